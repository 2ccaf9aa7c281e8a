#include "measurement/latency_probes.h"

#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>
#include <thread>

#include "support/loopback_listener.h"

namespace velmora::modulos::medicao {
namespace {

using namespace std::chrono_literals;
using velmora::test::LoopbackListener;
using velmora::test::RefusedLoopbackPort;

TEST(ProbeLatency, FallsBackToTheSecondPortWhenTheFirstGivesNothing) {
    LoopbackListener fallback;
    const ProbePorts ports{RefusedLoopbackPort(), fallback.port()};
    EXPECT_GT(ProbeIdleLatency(L"127.0.0.1", ports), 0.0);
    EXPECT_GT(ProbeLoadedLatency(L"127.0.0.1", ports), 0.0);
}

TEST(ProbeLatency, FirstPortIsUsedWhenItAnswers) {
    LoopbackListener first;
    LoopbackListener second;
    ProbeLoadedLatency(L"127.0.0.1", {first.port(), second.port()});
    // The listener counts connections as it accepts them; give the last one a moment.
    for (int i = 0; i < 100 && first.accepted() < 3; ++i) {
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(first.accepted(), 3);
    EXPECT_EQ(second.accepted(), 0);
}

TEST(ProbeLatency, BothPortsRefusedRaisesTheSeriesFailure) {
    const ProbePorts ports{RefusedLoopbackPort(), RefusedLoopbackPort()};
    try {
        ProbeLoadedLatency(L"127.0.0.1", ports);
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Não foi possível medir a latência TCP.");
    }
}

TEST(ProbeLatency, ResolvesTheHostNameFirst) {
    LoopbackListener listener;
    EXPECT_GT(ProbeLoadedLatency(L"localhost", {listener.port(), listener.port()}), 0.0);
}

}  // namespace
}  // namespace velmora::modulos::medicao
