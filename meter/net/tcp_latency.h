#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <exception>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

namespace velmora::modulos::medicao {

// Pause after every connection attempt of a series, successful or not.
inline constexpr std::chrono::milliseconds kLatencyAttemptSpacing{75};

struct SteadyLatencyClock {
    using TimePoint = std::chrono::steady_clock::time_point;
    TimePoint Now() const { return std::chrono::steady_clock::now(); }
    // One sleep can end a fraction of a millisecond before `until` by this clock: the system's
    // timer (Windows' tick, Wine's timer) is not the counter steady_clock reads. The spacing is a
    // minimum, so sleep again for what is left.
    void SleepUntil(TimePoint until) const {
        while (Now() < until) {
            std::this_thread::sleep_until(until);
        }
    }
};

// Mean of the (up to) three smallest samples.
double FastestThreeMean(std::vector<double> samples);

// Jitter: the mean absolute difference of consecutive samples of a series, in the series' order
// (so a steady climb under a filling queue reads as the steps it took, not as its range).
// -1 when fewer than two samples were timed.
double SuccessiveJitter(const std::vector<double>& series);

// A timed series of connection attempts reduced to one latency in ms. `connect` opens one
// connection and returns its owner (closed when the attempt ends); anything it throws only costs
// that attempt. A stop request ends the series with what it has timed. Throws "Não foi possível
// medir a latência TCP." when no attempt was timed. `timed`, when given, receives every kept
// sample in the order taken.
template <typename Connect, typename Clock>
double MeasureLatencySeries(int attempts, bool discardFirst, Connect&& connect, const Clock& clock,
                            const std::stop_token& stop = {},
                            std::vector<double>* timed = nullptr) {
    std::vector<double> samples;
    samples.reserve(static_cast<std::size_t>(std::max(attempts, 0)));
    for (int i = 0; i < attempts && !stop.stop_requested(); ++i) {
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
    if (timed != nullptr) {
        timed->insert(timed->end(), samples.begin(), samples.end());
    }
    return FastestThreeMean(std::move(samples));
}

// Time to open a TCP connection to host:port, in ms, over `attempts` attempts; timeoutMs = 0
// waits for each handshake as long as the system does. A stop request ends the series.
double MeasureTcpLatency(const std::wstring& host, std::uint16_t port, int attempts,
                         bool discardFirst, std::uint32_t timeoutMs,
                         const std::stop_token& stop = {}, std::vector<double>* timed = nullptr);

}  // namespace velmora::modulos::medicao
