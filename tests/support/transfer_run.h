#pragma once

#include <chrono>
#include <functional>
#include <stop_token>
#include <thread>
#include <vector>

namespace velmora::test {

// Runs `streams` threads of `transfer` for `duration`, requests stop and joins them. Returns how
// long the join took after the stop request: the time a call needs to notice a stop.
inline std::chrono::steady_clock::duration RunStreams(
    int streams, std::chrono::milliseconds duration,
    const std::function<void(std::stop_token)>& transfer) {
    std::vector<std::jthread> threads;
    for (int i = 0; i < streams; ++i) {
        threads.emplace_back(transfer);
    }
    std::this_thread::sleep_for(duration);
    for (auto& t : threads) {
        t.request_stop();
    }
    const auto stopAt = std::chrono::steady_clock::now();
    threads.clear();
    return std::chrono::steady_clock::now() - stopAt;
}

// Like RunStreams, but stops as soon as `done` holds (checked every 10 ms), or after `limit`.
// For tests that wait for something to happen rather than for a span of time.
inline void RunStreamsUntil(int streams, const std::function<bool()>& done,
                            const std::function<void(std::stop_token)>& transfer,
                            std::chrono::milliseconds limit = std::chrono::seconds(15)) {
    std::vector<std::jthread> threads;
    for (int i = 0; i < streams; ++i) {
        threads.emplace_back(transfer);
    }
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

}  // namespace velmora::test
