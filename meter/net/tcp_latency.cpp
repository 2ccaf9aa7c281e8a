#include "net/tcp_latency.h"

#include <algorithm>
#include <cmath>

#include "net/tcp_connect.h"

namespace velmora::modulos::medicao {

double FastestThreeMean(std::vector<double> samples) {
    std::sort(samples.begin(), samples.end());
    const std::size_t count = std::min<std::size_t>(3, samples.size());
    double sum = 0.0;
    for (std::size_t i = 0; i < count; ++i) {
        sum += samples[i];
    }
    return sum / static_cast<double>(count);
}

double SuccessiveJitter(const std::vector<double>& series) {
    if (series.size() < 2) {
        return -1.0;
    }
    double sum = 0.0;
    for (std::size_t i = 1; i < series.size(); ++i) {
        sum += std::abs(series[i] - series[i - 1]);
    }
    return sum / static_cast<double>(series.size() - 1);
}

double MeasureTcpLatency(const std::wstring& host, std::uint16_t port, int attempts,
                         bool discardFirst, std::uint32_t timeoutMs, const std::stop_token& stop,
                         std::vector<double>* timed) {
    return MeasureLatencySeries(
        attempts, discardFirst, [&] { return ConnectTcp(host, port, timeoutMs, stop); },
        SteadyLatencyClock{}, stop, timed);
}

}  // namespace velmora::modulos::medicao
