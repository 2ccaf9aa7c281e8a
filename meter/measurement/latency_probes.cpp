#include "measurement/latency_probes.h"

#include <exception>

#include "net/tcp_connect.h"
#include "net/tcp_latency.h"

namespace velmora::modulos::medicao {
namespace {

double ProbeWithFallback(const std::wstring& host, ProbePorts ports, int attempts,
                         bool discardFirst, const std::stop_token& stop) {
    const std::wstring address = ResolveHostAddress(host);
    try {
        return MeasureTcpLatency(address, ports.first, attempts, discardFirst, 0, stop);
    } catch (const std::exception&) {
        return MeasureTcpLatency(address, ports.fallback, attempts, discardFirst, 0, stop);
    }
}

}  // namespace

double ProbeIdleLatency(const std::wstring& host, ProbePorts ports, const std::stop_token& stop) {
    return ProbeWithFallback(host, ports, 7, true, stop);
}

double ProbeLoadedLatency(const std::wstring& host, ProbePorts ports, const std::stop_token& stop) {
    return ProbeWithFallback(host, ports, 3, false, stop);
}

}  // namespace velmora::modulos::medicao
