#include "measurement/latency_probes.h"

#include <exception>

#include "net/tcp_connect.h"
#include "net/tcp_latency.h"

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

double ProbeIdleLatency(const std::wstring& host, ProbePorts ports) {
    return ProbeWithFallback(host, ports, 7, true);
}

double ProbeLoadedLatency(const std::wstring& host, ProbePorts ports) {
    return ProbeWithFallback(host, ports, 3, false);
}

}  // namespace velmora::modulos::medicao
