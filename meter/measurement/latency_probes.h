#pragma once

#include <cstdint>
#include <stop_token>
#include <string>
#include <vector>

namespace velmora::modulos::medicao {

// The ports the run's probes try, in order: the second only when the first gave no sample.
struct ProbePorts {
    std::uint16_t first = 80;
    std::uint16_t fallback = 443;
};

// Idle latency to the chosen server: 7 attempts, the first discarded. Each connect waits as
// long as the system does, or until `stop`. `timed` receives the connects timed, in order.
double ProbeIdleLatency(const std::wstring& host, ProbePorts ports = {},
                        const std::stop_token& stop = {}, std::vector<double>* timed = nullptr);

// Latency under load: 3 attempts, none discarded.
double ProbeLoadedLatency(const std::wstring& host, ProbePorts ports = {},
                          const std::stop_token& stop = {}, std::vector<double>* timed = nullptr);

}  // namespace velmora::modulos::medicao
