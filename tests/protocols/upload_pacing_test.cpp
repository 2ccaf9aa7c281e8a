#include "protocols/upload_pacing.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

namespace velmora::modulos::medicao::protocolos {
namespace {

TEST(PieceSizer, PiecesFollowTheFlowsOwnPace) {
    struct Case {
        const char* what;
        std::vector<std::pair<std::size_t, double>> writes;  // bytes, seconds
        std::size_t next;
    } cases[] = {
        {"nothing written yet", {}, 8 * 1024},
        {"taken at once by empty buffers", {{8192, 0.0}, {131072, 0.0}}, 128 * 1024},
        // 20 Mbit/s over six flows: 417 kB/s, so 75 ms is 31 kB.
        {"a 20 Mbit/s uplink", {{31250, 0.075}, {31250, 0.075}, {31250, 0.075}}, 31250},
        // 2 Mbit/s over six flows: 75 ms is 3 kB, below the floor.
        {"a 2 Mbit/s uplink", {{8192, 0.197}, {8192, 0.197}}, 8 * 1024},
        // A burst into empty buffers, then one 128 KiB piece that took three seconds to drain:
        // the recent pace is the slow one.
        {"buffers full at last", {{131072, 0.001}, {131072, 0.001}, {131072, 3.1}}, 8 * 1024},
        {"a fast link", {{131072, 0.004}, {131072, 0.004}}, 128 * 1024},
    };
    for (const Case& c : cases) {
        PieceSizer sizer;
        for (const auto& [bytes, seconds] : c.writes) {
            sizer.Wrote(bytes, seconds);
        }
        EXPECT_NEAR(static_cast<double>(sizer.Next()), static_cast<double>(c.next),
                    static_cast<double>(c.next) * 0.02)
            << c.what;
    }
}

TEST(AcknowledgedBody, CreditsWhatTheConnectionHadAcknowledgedSinceTheRequestBegan) {
    // A connection that carried an earlier request: 5 MB out, 10 kB of it resent, all acked.
    const TcpSendStats start{5'000'000, 10'000, 0};
    struct Step {
        std::uint64_t taken;
        std::optional<TcpSendStats> now;
        std::uint64_t received;
    } steps[] = {
        {131'072, TcpSendStats{5'100'000, 10'000, 60'000}, 40'000},   // 100 kB out, 60 in flight
        {262'144, TcpSendStats{5'250'000, 30'000, 20'000}, 210'000},  // 20 kB more resent
        {393'216, std::nullopt, 393'216},  // the query fails: what was taken, as before
        {393'216, TcpSendStats{5'700'000, 30'000, 0}, 393'216},  // never past what was taken
        {10, TcpSendStats{4'000'000, 0, 0}, 0},  // counters behind the start: nothing yet
    };
    const AcknowledgedBody body(start);
    for (const Step& step : steps) {
        EXPECT_EQ(body.Received(step.taken, step.now), step.received) << step.taken;
    }
    // Without counters at the start there is no baseline: what was taken.
    EXPECT_EQ(AcknowledgedBody(std::nullopt).Received(1000, TcpSendStats{10, 0, 0}), 1000u);
}

}  // namespace
}  // namespace velmora::modulos::medicao::protocolos
