#include "measurement/tcp_latency.h"

#include "measurement/tcp_connect.h"

namespace velmora::modulos::medicao {
namespace {

double ProbeWithFallback(const std::wstring& host, ProbePorts ports, int attempts,
                         bool discardFirst) {
    const std::wstring address = ResolveHostAddress(host);
    try {
        return MeasureTcpLatency(address, ports.first, attempts, discardFirst, 0);
    } catch (const std::exception&) {
        return MeasureTcpLatency(address, ports.fallback, attempts, discardFirst, 0);
    }
}

}  // namespace

double FastestThreeMean(std::vector<double> samples) {
    std::sort(samples.begin(), samples.end());
    const std::size_t count = std::min<std::size_t>(3, samples.size());
    double sum = 0.0;
    for (std::size_t i = 0; i < count; ++i) {
        sum += samples[i];
    }
    return sum / static_cast<double>(count);
}

double MeasureTcpLatency(const std::wstring& host, std::uint16_t port, int attempts,
                         bool discardFirst, std::uint32_t timeoutMs) {
    const std::uint32_t bound = timeoutMs == 0 ? kProbeConnectTimeoutMs : timeoutMs;
    return MeasureLatencySeries(
        attempts, discardFirst, [&] { return ConnectTcp(host, port, bound); },
        SteadyLatencyClock{});
}

double ProbeIdleLatency(const std::wstring& host, ProbePorts ports) {
    return ProbeWithFallback(host, ports, 7, true);
}

double ProbeLoadedLatency(const std::wstring& host, ProbePorts ports) {
    return ProbeWithFallback(host, ports, 3, false);
}

}  // namespace velmora::modulos::medicao
