#include "measurement/latency_probes.h"

#include <exception>

#include "net/tcp_connect.h"
#include "net/tcp_latency.h"

namespace velmora::modulos::medicao {
namespace {

double ProbeWithFallback(const std::wstring& host, ProbePorts ports, int attempts,
                         bool discardFirst, const std::stop_token& stop,
                         std::vector<double>* timed) {
    const std::wstring address = ResolveHostAddress(host);
    try {
        return MeasureTcpLatency(address, ports.first, attempts, discardFirst, 0, stop, timed);
    } catch (const std::exception&) {
        return MeasureTcpLatency(address, ports.fallback, attempts, discardFirst, 0, stop, timed);
    }
}

}  // namespace

double ProbeIdleLatency(const std::wstring& host, ProbePorts ports, const std::stop_token& stop,
                        std::vector<double>* timed) {
    return ProbeWithFallback(host, ports, 7, true, stop, timed);
}

double ProbeLoadedLatency(const std::wstring& host, ProbePorts ports, const std::stop_token& stop,
                          std::vector<double>* timed) {
    return ProbeWithFallback(host, ports, 3, false, stop, timed);
}

}  // namespace velmora::modulos::medicao
