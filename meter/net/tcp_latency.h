#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <exception>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace velmora::modulos::medicao {

// Pause after every connection attempt of a series, successful or not.
inline constexpr std::chrono::milliseconds kLatencyAttemptSpacing{75};

struct SteadyLatencyClock {
    using TimePoint = std::chrono::steady_clock::time_point;
    TimePoint Now() const { return std::chrono::steady_clock::now(); }
    void SleepUntil(TimePoint until) const { std::this_thread::sleep_until(until); }
};

// Mean of the (up to) three smallest samples.
double FastestThreeMean(std::vector<double> samples);

// A timed series of connection attempts reduced to one latency in ms. `connect` opens one
// connection and returns its owner (closed when the attempt ends); anything it throws only costs
// that attempt. Throws "Não foi possível medir a latência TCP." when no attempt was timed.
template <typename Connect, typename Clock>
double MeasureLatencySeries(int attempts, bool discardFirst, Connect&& connect,
                            const Clock& clock) {
    std::vector<double> samples;
    samples.reserve(static_cast<std::size_t>(std::max(attempts, 0)));
    for (int i = 0; i < attempts; ++i) {
        try {
            const auto t0 = clock.Now();
            auto connection = connect();
            const auto t1 = clock.Now();
            if (!(discardFirst && i == 0)) {
                const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(t1 - t0);
                samples.push_back(static_cast<double>(ns.count()) / 1'000'000.0);
            }
        } catch (const std::exception&) {
            // A failed attempt yields no sample.
        }
        clock.SleepUntil(clock.Now() + kLatencyAttemptSpacing);
    }
    if (samples.empty()) {
        throw std::runtime_error("Não foi possível medir a latência TCP.");
    }
    return FastestThreeMean(std::move(samples));
}

// The longest a probe's connect may take when the caller sets no bound: long enough to time a
// handshake through a bloated uplink, short enough that a port that drops SYNs costs seconds,
// not the system's 21 s (Windows) or the socket's 1 s send time-out (Linux), on both alike.
inline constexpr std::uint32_t kProbeConnectTimeoutMs = 3000;

// Time to open a TCP connection to host:port, in ms, over `attempts` attempts; timeoutMs = 0
// means kProbeConnectTimeoutMs.
double MeasureTcpLatency(const std::wstring& host, std::uint16_t port, int attempts,
                         bool discardFirst, std::uint32_t timeoutMs);

}  // namespace velmora::modulos::medicao
