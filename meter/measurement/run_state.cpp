#include "measurement/run_state.h"

#include <cmath>
#include <cwchar>

#include "platform/wall_clock.h"

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

RunSnapshot ReadRunSnapshot(SharedRunState& state) {
    RunSnapshot run;
    run.phase = state.phase.load();
    run.running = state.running.load();
    run.downloadMbps = state.downloadMbps.load();
    run.uploadMbps = state.uploadMbps.load();
    run.pingMs = state.pingMs.load();
    run.idleLatencyMs = state.idleLatencyMs.load();
    run.downloadLatencyMs = state.downloadLatencyMs.load();
    run.uploadLatencyMs = state.uploadLatencyMs.load();
    std::lock_guard lock(state.mutex);
    static_cast<RunTexts&>(run) = state.texts;
    return run;
}

MeasurementRecord MakeMeasurementRecord(const RunSnapshot& run) {
    MeasurementRecord record;
    record.timestamp = UnixTicksNow();
    record.downloadMbps = run.downloadMbps;
    record.uploadMbps = run.uploadMbps;
    record.pingMs = run.pingMs;
    record.idleLatencyMs = run.idleLatencyMs;
    record.downloadLatencyMs = run.downloadLatencyMs;
    record.uploadLatencyMs = run.uploadLatencyMs;
    record.status = run.phase == MeasurementPhase::Done ? kStatusDone : kStatusError;
    record.downloadVariation = kDownloadVariation;
    record.uploadVariation = kUploadVariation;
    record.publicIp = run.publicIp;
    record.userCity = run.userCity;
    record.serverIp = run.serverIp;
    record.serverName = run.serverName;
    record.serverLocation = run.serverLocation;
    record.downloadSamples = run.downloadChart;
    record.uploadSamples = run.uploadChart;
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

void PostRunEvent(SharedRunState& state, RunEvent event) {
    if (state.notifier.post) {
        state.notifier.post(event);
    }
}

}  // namespace velmora::modulos::medicao
