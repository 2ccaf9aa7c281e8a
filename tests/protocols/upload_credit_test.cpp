#include "protocols/payload_sizer.h"

#include <gtest/gtest.h>

#include <optional>
#include <thread>

#include "protocols/transfer_tally.h"

namespace velmora::modulos::medicao::protocolos {
namespace {

// A stream on a link that gives it `rate` bytes a second, `roundTrip` seconds from the end of a
// body to its answer, with the system's sockets holding up to `held` bytes of a body when it has
// been handed over, and its first answer back after `firstAnswer`: the payload it settles on
// after a few seconds of POSTs.
double SettledPayload(double rate, double roundTrip, double held = 0.0, double firstAnswer = 0.0) {
    PayloadSizer sizer;
    double elapsed = 0.0;
    std::size_t payload = sizer.Next();
    while (elapsed < 10.0) {
        const double drain = std::min(static_cast<double>(payload), held) / rate + roundTrip;
        double seconds = static_cast<double>(payload) / rate + roundTrip;
        if (elapsed == 0.0 && firstAnswer > 0.0) {
            seconds = firstAnswer;
        }
        sizer.Answered(payload, seconds, std::min(drain, seconds));
        elapsed += seconds;
        payload = sizer.Next();
    }
    return static_cast<double>(payload);
}

TEST(PayloadSizer, PayloadsHoldHalfASecondOfTheStreamsPaceAndItsRoundTrips) {
    EXPECT_EQ(PayloadSizer().Next(), PayloadSizer::kFirstPayload);
    const struct {
        const char* what;
        double rate;  // bytes/s of one stream
        double roundTrip;
        double held, firstAnswer;
        double low, high;  // the settled payload, in seconds of the stream's rate
    } cases[] = {
        {"20 Mbit/s over six streams, 20 ms", 417e3, 0.02, 0, 0, 0.5, 0.7},
        {"2 Mbit/s over six streams, 60 ms", 41.7e3, 0.06, 0, 0, 1.0, 1.6},
        // A path that answers after 300 ms must not shrink the payloads to the floor, and its
        // payloads outlast their round trips several times over.
        {"3 Mbit/s over six streams, 300 ms", 62.5e3, 0.3, 0, 0, 1.5, 2.1},
        // Where a small payload's transfer outlasts the round trip, the quickest answer is that
        // transfer: the payloads stop at a few seconds, so that a window holds several.
        {"0.25 Mbit/s over six streams, 80 ms", 5.2e3, 0.08, 0, 0, 2.0, 4.0},
        // Behind half a second of queue that fills after the stream's first answer: payloads
        // that only outlast that answer leave the queue half empty; they must outgrow what the
        // sockets hold.
        {"2 Mbit/s over six streams, 40 ms behind 500 ms of queue", 41.7e3, 0.54, 64e3, 0.075, 1.5,
         4.0},
    };
    for (const auto& c : cases) {
        const double seconds = SettledPayload(c.rate, c.roundTrip, c.held, c.firstAnswer) / c.rate;
        EXPECT_GE(seconds, c.low) << c.what;
        EXPECT_LE(seconds, c.high) << c.what;
    }
    EXPECT_EQ(SettledPayload(5e9, 0.0001), PayloadSizer::kLargestPayload);
    // A first answer through this machine's buffers alone does not make the next one huge.
    PayloadSizer fast;
    fast.Answered(PayloadSizer::kFirstPayload, 0.0005, 0.0005);
    EXPECT_EQ(fast.Next(), 4 * PayloadSizer::kFirstPayload);
}

// Exchanges on two streams, in seconds from a common origin, against the window [0, 10].
TEST(AnsweredBytesPerSecond, AnswersCountForTheShareOfTheirTimeInsideTheWindow) {
    struct Exchange {
        int stream;
        double sent, ended;
        std::uint64_t bytes;
        std::optional<double> out{};  // when the request went out, where it was noted
    };
    const struct {
        const char* what;
        std::vector<Exchange> exchanges;
        double pace;  // bytes/s; negative: no figure
    } cases[] = {
        {"a payload across either edge counts for its time inside",
         {{0, -4, 1, 500}, {0, 1, 3, 200}, {0, 3, 5, 200}, {0, 5, 9, 400}, {0, 9, 14, 500}},
         100},
        {"a request that failed takes its time and brings nothing",
         {{0, 0, 2, 200}, {0, 2, 4, 0}, {0, 4, 10, 600}},
         80},
        {"streams add up", {{0, 0, 10, 1000}, {1, -5, 15, 2000}}, 200},
        {"a new connection's handshakes carry none of the bytes",
         {{0, -4, 2, 600, -1}, {0, 2, 10, 800}},
         120},
        {"no answer inside the window: no figure",
         {{0, -5, -1, 100}, {0, 11, 12, 100}, {1, 2, 3, 0}},
         -1},
    };
    const std::thread::id ids[] = {std::thread::id(), std::this_thread::get_id()};
    const auto origin = std::chrono::steady_clock::time_point() + std::chrono::hours(1);
    const auto at = [&](double s) {
        return origin + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                            std::chrono::duration<double>(s));
    };
    for (const auto& c : cases) {
        std::vector<UploadExchange> exchanges;
        for (const Exchange& e : c.exchanges) {
            exchanges.push_back({at(e.sent), at(e.ended), e.bytes, ids[e.stream],
                                 e.out ? std::optional(at(*e.out)) : std::nullopt});
        }
        const std::optional<double> pace = AnsweredBytesPerSecond(exchanges, at(0), at(10));
        if (c.pace < 0) {
            EXPECT_FALSE(pace) << c.what;
        } else {
            ASSERT_TRUE(pace) << c.what;
            EXPECT_NEAR(*pace, c.pace, 1e-6) << c.what;
        }
    }
}

}  // namespace
}  // namespace velmora::modulos::medicao::protocolos
