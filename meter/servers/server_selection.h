#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <iterator>
#include <stop_token>
#include <string>
#include <vector>

#include "identification/edge_trace.h"
#include "protocols/ookla_protocol.h"
#include "servers/server_catalog.h"

namespace velmora::modulos::medicao {

// The server a run measures against.
struct SelectedServer {
    std::wstring host;
    std::wstring ip;
    std::wstring location;
    std::wstring name;
    double latencyMs = 0.0;
    double distanceKm = 0.0;
    ProtocolKind protocol = ProtocolKind::Cloudflare;
};

struct ProbeResult {
    std::uint64_t index = 0;
    double latencyMs = 0.0;
};

inline constexpr double MAX_CANDIDATE_KM = 1500.0;
inline constexpr std::size_t MAX_PARALLEL_PROBES = 5;
inline constexpr double NO_LATENCY_MS = 99999.0;

// host, port, attempts, discard-first, connect time-out in ms -> latency in ms; throws when no
// attempt could be timed. MeasureTcpLatency in the product.
using LatencyMeasure =
    std::function<double(const std::wstring&, std::uint16_t, int, bool, std::uint32_t)>;

// Everything the choice reaches in the outside world, with the built-in values as defaults.
struct SelectionSettings {
    std::wstring edgeHost = protocolos::kCloudflareSpeedHost;
    std::uint16_t edgePort = 443;
    protocolos::HttpEndpoint edgeTrace = DefaultEdgeTrace();
    std::vector<std::uint16_t> candidatePorts{std::begin(protocolos::kOoklaPorts),
                                              std::end(protocolos::kOoklaPorts)};
    std::chrono::milliseconds probeWait{6000};
    LatencyMeasure measure;  // empty: MeasureTcpLatency
};

// Kilometres from the user at (lat, lon) to the row; 0.0 when either position is unknown.
double DistanceFromUserKm(const ServerEntry& row, double lat, double lon);

// A catalogue row as a run's server: its host and address, "city / region", its distance from
// the user at (lat, lon). The latency is left at 0.
SelectedServer DescribeServer(const ServerEntry& row, double lat, double lon);

// Times every IPv4 address of the Cloudflare edge and reads where the edge is. A stop request
// skips what is left.
SelectedServer ProbeCloudflareEdge(const std::wstring& host, const SelectionSettings& settings = {},
                                   const std::stop_token& stop = {});

// Latency of candidates[index] on the first candidate port that answers; NO_LATENCY_MS if none.
ProbeResult ProbeCandidate(std::size_t index, const std::vector<ServerEntry>& candidates,
                           const SelectionSettings& settings = {});

// The server with the lowest TCP connect latency: the Cloudflare edge, or one of the first five
// operator servers within 1500 km of the user (probed at once). The edge wins ties and is the
// choice when the position (0, 0) is missing or no operator answers faster. Every probe task
// has ended when this returns. A stop request skips the steps that are left.
SelectedServer SelectBestServer(const ServerCatalog& catalog, double lat, double lon,
                                const SelectionSettings& settings = {},
                                const std::stop_token& stop = {});

}  // namespace velmora::modulos::medicao
