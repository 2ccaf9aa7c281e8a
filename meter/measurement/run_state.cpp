#include "measurement/run_state.h"

#include <cmath>
#include <cwchar>

#include "common/wall_clock.h"

namespace velmora::modulos::medicao {

std::wstring PhaseStatusText(MeasurementPhase phase) {
    switch (phase) {
        case MeasurementPhase::Idle:
            return L"AGUARDANDO MEDIÇÃO";
        case MeasurementPhase::Latency:
            return L"MEDINDO PING...";
        case MeasurementPhase::Downloading:
            return L"MEDINDO DOWNLOAD...";
        case MeasurementPhase::Uploading:
            return L"MEDINDO UPLOAD...";
        case MeasurementPhase::Done:
            return kStatusDone;
        case MeasurementPhase::Error:
            return kStatusError;
    }
    return {};
}

MeasurementRecord MakeMeasurementRecord(SharedRunState& state) {
    MeasurementRecord record;
    const MeasurementPhase phase = state.phase.load();
    record.timestamp = UnixTicksNow();
    record.downloadMbps = state.downloadMbps.load();
    record.uploadMbps = state.uploadMbps.load();
    record.pingMs = state.pingMs.load();
    record.idleLatencyMs = state.idleLatencyMs.load();
    record.downloadLatencyMs = state.downloadLatencyMs.load();
    record.uploadLatencyMs = state.uploadLatencyMs.load();
    record.status = phase == MeasurementPhase::Done ? kStatusDone : kStatusError;
    record.downloadVariation = kDownloadVariation;
    record.uploadVariation = kUploadVariation;
    {
        std::lock_guard lock(state.mutex);
        record.publicIp = state.publicIp;
        record.userCity = state.userCity;
        record.serverIp = state.serverIp;
        record.serverName = state.serverName;
        record.serverLocation = state.serverLocation;
        record.downloadSamples = state.downloadChart;
        record.uploadSamples = state.uploadChart;
    }
    return record;
}

void AppendChartValue(std::vector<double>& chart, double value) {
    while (chart.size() >= kChartCapacity) {
        chart.erase(chart.begin());
    }
    chart.push_back(value);
}

std::wstring ComposeUserCity(const std::wstring& city, const std::wstring& regionName) {
    if (city.empty()) {
        return regionName;
    }
    if (regionName.empty()) {
        return city;
    }
    return city + L" - " + regionName;
}

std::wstring ComposeServerLocation(const std::wstring& location, double distanceKm) {
    if (!(distanceKm > 0.0) || !std::isfinite(distanceKm)) {
        return location;
    }
    // "%.0f" of an already truncated value prints the whole number with no decimal point and no
    // grouping, whatever the locale, and cannot overflow an integer type.
    wchar_t km[64];
    std::swprintf(km, sizeof km / sizeof km[0], L"%.0f", std::trunc(distanceKm));
    return location + L" (" + km + L" km)";
}

void PostRunMessage(SharedRunState& state, std::uint32_t message) {
    if (state.notifier.post) {
        state.notifier.post(message);
    }
}

}  // namespace velmora::modulos::medicao
