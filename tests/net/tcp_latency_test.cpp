#include "net/tcp_latency.h"

#include <gtest/gtest.h>

#include <deque>

#include "support/loopback_listener.h"

namespace velmora::modulos::medicao {
namespace {

using namespace std::chrono_literals;
using velmora::test::LoopbackListener;
using velmora::test::RefusedLoopbackPort;

// A clock that only moves when a scripted attempt or a sleep moves it.
struct ScriptedClock {
    using TimePoint = std::chrono::steady_clock::time_point;
    mutable TimePoint now{};
    mutable std::vector<std::chrono::nanoseconds> sleeps;  // requested pause after each attempt
    mutable int openConnections = 0;
    mutable int connectionsOpenWhileSleeping = 0;

    TimePoint Now() const { return now; }
    void SleepUntil(TimePoint until) const {
        sleeps.push_back(until - now);
        connectionsOpenWhileSleeping += openConnections;
        now = until;
    }
};

struct FakeConnection {
    const ScriptedClock* clock;
    explicit FakeConnection(const ScriptedClock* c) : clock(c) { ++clock->openConnections; }
    FakeConnection(FakeConnection&& other) noexcept : clock(std::exchange(other.clock, nullptr)) {}
    ~FakeConnection() {
        if (clock != nullptr) {
            --clock->openConnections;
        }
    }
};

// Runs a series in which attempt i takes durations[i]; a negative duration is a failed attempt.
double RunScripted(int attempts, bool discardFirst, std::deque<std::chrono::nanoseconds> durations,
                   const ScriptedClock& clock, std::vector<double>* timed = nullptr) {
    return MeasureLatencySeries(
        attempts, discardFirst,
        [&] {
            const auto d = durations.front();
            durations.pop_front();
            if (d < 0ns) {
                throw std::runtime_error("Falha ao abrir conexão TCP de download.");
            }
            clock.now += d;
            return FakeConnection(&clock);
        },
        clock, {}, timed);
}

constexpr auto kFail = -1ns;

TEST(MeasureLatencySeries, MeanOfTheThreeFastestAfterTheDiscardedFirst) {
    ScriptedClock clock;
    // The first (2 ms) would be the fastest but is discarded.
    std::vector<double> timed;
    EXPECT_DOUBLE_EQ(RunScripted(7, true, {2ms, 12ms, 15ms, 11ms, 30ms, 14ms, 13ms}, clock, &timed),
                     12.0);
    // The kept series, in the order taken, is what the jitter is computed from.
    EXPECT_EQ(timed, (std::vector<double>{12, 15, 11, 30, 14, 13}));
    EXPECT_EQ(clock.sleeps.size(), 7u);
    EXPECT_EQ(clock.connectionsOpenWhileSleeping, 0);
}

TEST(SuccessiveJitter, MeanAbsoluteStepBetweenConsecutiveConnects) {
    const struct {
        std::vector<double> series;
        double jitter;
    } cases[] = {
        {{}, -1.0},
        {{20.0}, -1.0},
        {{20.0, 20.0, 20.0}, 0.0},
        {{12, 15, 11, 30, 14, 13}, (3.0 + 4 + 19 + 16 + 1) / 5},
        // A steady climb reads as its steps, not as its range.
        {{10, 20, 30, 40}, 10.0},
    };
    for (const auto& c : cases) {
        EXPECT_DOUBLE_EQ(SuccessiveJitter(c.series), c.jitter) << testing::PrintToString(c.series);
    }
}

TEST(MeasureLatencySeries, FewSuccessesAreAveragedAndFailuresSkipped) {
    ScriptedClock clock;
    EXPECT_DOUBLE_EQ(RunScripted(3, false, {kFail, 40ms, kFail}, clock), 40.0);
    EXPECT_DOUBLE_EQ(RunScripted(3, false, {40ms, kFail, 50ms}, clock), 45.0);
    // Fractions of a millisecond are kept.
    EXPECT_DOUBLE_EQ(RunScripted(1, false, {12'345'678ns}, clock), 12.345678);
}

TEST(MeasureLatencySeries, EveryAttemptIsFollowedBy75ms) {
    ScriptedClock clock;
    RunScripted(4, false, {5ms, kFail, 7ms, kFail}, clock);
    ASSERT_EQ(clock.sleeps.size(), 4u);
    for (const auto pause : clock.sleeps) {
        EXPECT_EQ(pause, 75ms);
    }
}

TEST(MeasureLatencySeries, OnlyTheDiscardedAttemptSucceedingRaises) {
    ScriptedClock clock;
    try {
        RunScripted(7, true, {10ms, kFail, kFail, kFail, kFail, kFail, kFail}, clock);
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Não foi possível medir a latência TCP.");
    }
    EXPECT_THROW(RunScripted(0, false, {}, clock), std::runtime_error);
}

TEST(MeasureTcpLatency, TimesRealLoopbackConnections) {
    LoopbackListener listener;
    const auto start = std::chrono::steady_clock::now();
    const double ms = MeasureTcpLatency(L"127.0.0.1", listener.port(), 4, true, 0);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GT(ms, 0.0);
    EXPECT_LT(ms, 1000.0);
    EXPECT_GE(elapsed, 4 * 75ms);
}

TEST(MeasureTcpLatency, RefusedPortRaises) {
    try {
        MeasureTcpLatency(L"127.0.0.1", RefusedLoopbackPort(), 2, false, 0);
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Não foi possível medir a latência TCP.");
    }
}

}  // namespace
}  // namespace velmora::modulos::medicao
