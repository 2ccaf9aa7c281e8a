#include "servers/server_selection.h"

#include <future>

#include "net/tcp_connect.h"
#include "net/tcp_latency.h"

namespace velmora::modulos::medicao {
namespace {

double Measure(const SelectionSettings& settings, const std::wstring& host, std::uint16_t port,
               int attempts, bool discardFirst, std::uint32_t timeoutMs,
               const std::stop_token& stop = {}) {
    return settings.measure
               ? settings.measure(host, port, attempts, discardFirst, timeoutMs)
               : MeasureTcpLatency(host, port, attempts, discardFirst, timeoutMs, stop);
}

}  // namespace

double DistanceFromUserKm(const ServerEntry& row, double lat, double lon) {
    const bool known =
        !(lat == 0.0 && lon == 0.0) && !(row.latitude == 0.0 && row.longitude == 0.0);
    return known ? HaversineKm(lat, lon, row.latitude, row.longitude) : 0.0;
}

SelectedServer DescribeServer(const ServerEntry& row, double lat, double lon) {
    return {row.host,
            ResolveHostAddress(row.host),
            row.city + L" / " + row.region,
            row.name,
            0.0,
            DistanceFromUserKm(row, lat, lon),
            row.protocol};
}

SelectedServer ProbeCloudflareEdge(const std::wstring& host, const SelectionSettings& settings,
                                   const std::stop_token& stop) {
    SelectedServer edge{
        host, L"Não identificado",     L"Localização não identificada", L"Cloudflare", 0.0,
        0.0,  ProtocolKind::Cloudflare};
    const std::vector<std::wstring> addresses = ResolveHostAddresses(host);
    if (addresses.empty()) {
        edge.ip = ResolveHostAddress(host);
        edge.location = FetchEdgeLocation(settings.edgeTrace, stop);
        return edge;
    }
    double best = NO_LATENCY_MS;
    std::wstring bestAddress = addresses.front();
    for (const std::wstring& address : addresses) {
        if (stop.stop_requested()) {
            break;
        }
        try {
            const double latency = Measure(settings, address, settings.edgePort, 3, true, 0, stop);
            if (latency < best) {
                best = latency;
                bestAddress = address;
            }
        } catch (const std::exception&) {
            // An address that cannot be timed is left out.
        }
    }
    edge.ip = bestAddress;
    edge.latencyMs = best;
    edge.location = FetchEdgeLocation(settings.edgeTrace, stop);
    return edge;
}

ProbeResult ProbeCandidate(std::size_t index, const std::vector<ServerEntry>& candidates,
                           const SelectionSettings& settings) {
    ProbeResult result{index, NO_LATENCY_MS};
    for (const std::uint16_t port : settings.candidatePorts) {
        try {
            result.latencyMs = Measure(settings, candidates[index].host, port, 2, false, 2500);
            return result;
        } catch (const std::exception&) {
            // Try the next port.
        }
    }
    return result;
}

SelectedServer SelectBestServer(const ServerCatalog& catalog, double lat, double lon,
                                const SelectionSettings& settings, const std::stop_token& stop) {
    SelectedServer best = ProbeCloudflareEdge(settings.edgeHost, settings, stop);

    const std::vector<ServerEntry>& rows = catalog.Entries();
    const ServerEntry* edgeRow = rows.empty() ? nullptr : &rows.front();
    for (const ServerEntry& row : rows) {
        if (protocolos::ProtocolFor(row.protocol).edge) {
            edgeRow = &row;
            break;
        }
    }
    if (edgeRow != nullptr) {
        best.name = edgeRow->name;
    }
    best.protocol = ProtocolKind::Cloudflare;
    if ((lat == 0.0 && lon == 0.0) || stop.stop_requested()) {
        return best;
    }
    if (edgeRow != nullptr) {
        best.distanceKm = HaversineKm(lat, lon, edgeRow->latitude, edgeRow->longitude);
    }

    // Declared before the futures: every probe task reads it until the futures are destroyed.
    const std::vector<ServerEntry> candidates = catalog.Nearby(lat, lon, MAX_CANDIDATE_KM);
    std::vector<std::future<ProbeResult>> probes;
    for (std::size_t i = 0; i < candidates.size() && probes.size() < MAX_PARALLEL_PROBES; ++i) {
        if (!protocolos::ProtocolFor(candidates[i].protocol).edge) {
            probes.push_back(std::async(std::launch::async, [i, &candidates, &settings] {
                return ProbeCandidate(i, candidates, settings);
            }));
        }
    }

    double bestLatency = best.latencyMs > 0.0 ? best.latencyMs : NO_LATENCY_MS;
    for (std::future<ProbeResult>& probe : probes) {
        // A probe that misses its window is not looked at; its future still waits for it below.
        if (probe.wait_for(settings.probeWait) != std::future_status::ready) {
            continue;
        }
        const ProbeResult result = probe.get();
        if (result.latencyMs < bestLatency && result.latencyMs < NO_LATENCY_MS) {
            bestLatency = result.latencyMs;
            best = DescribeServer(candidates[result.index], lat, lon);
            best.latencyMs = result.latencyMs;
        }
    }
    return best;
}

}  // namespace velmora::modulos::medicao
