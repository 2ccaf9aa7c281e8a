#include "measurement/consolidation.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace velmora::modulos::medicao {
namespace {

TEST(ConsolidateSamples, WorkedExamples) {
    EXPECT_DOUBLE_EQ(ConsolidateSamples({42.5}), 42.5);
    // Ten values in shuffled order: two trimmed at each end, middle 51, band 33.15..63.75.
    EXPECT_DOUBLE_EQ(ConsolidateSamples({53, 10, 49, 90, 47, 51, 55, 48, 52, 50}), 50.5);
    // Four values, no trimming, the upper middle (30) is taken without averaging.
    EXPECT_DOUBLE_EQ(ConsolidateSamples({100, 20, 10, 30}), 25.0);
    // The outlier 100 survives the trim but not the band.
    EXPECT_DOUBLE_EQ(ConsolidateSamples({28, 29, 30, 31, 32, 100, 200}), 30.5);
}

TEST(ConsolidateSamples, BandIsInclusiveAndAsymmetric) {
    // Middle 100: 65 and 125 sit exactly on the band's ends and count; 64.9 and 125.1 do not.
    EXPECT_DOUBLE_EQ(ConsolidateSamples({65, 100, 125}), (65.0 + 100.0 + 125.0) / 3.0);
    EXPECT_DOUBLE_EQ(ConsolidateSamples({64.9, 100, 125.1}), 100.0);
}

TEST(ConsolidateSamples, FallsBackToTheMiddleWhenNothingIsInTheBand) {
    EXPECT_DOUBLE_EQ(ConsolidateSamples({-5, -4, -3}), -4.0);
}

TEST(ConsolidateSamples, LeavesTheInputUnchanged) {
    const std::vector<double> samples{9, 3, 7, 1, 5, 8};
    const std::vector<double> copy = samples;
    ConsolidateSamples(samples);
    EXPECT_EQ(samples, copy);
}

TEST(ConsolidateSamples, EmptyListRaises) {
    try {
        ConsolidateSamples({});
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Sem amostras suficientes para consolidar a medição.");
    }
}

// Readings every 0.2 s over 12 s of a link that delivers 1000 bytes a second. Bytes held behind
// a loss crossed the link earlier: the count is short of the link's line by as much until the
// retransmission lets them through.
TEST(PaceOfReadings, FollowsTheLinkThroughHeldBytes) {
    const auto readings = [](auto held) {
        std::vector<std::pair<double, std::uint64_t>> r;
        for (int i = 0; i <= 60; ++i) {
            const double t = 0.2 * i;
            r.emplace_back(t, static_cast<std::uint64_t>(5000 + 1000 * t - held(t, i)));
        }
        return r;
    };
    const auto none = [](double, int) { return 0.0; };
    const auto lumpAt = [](double at) {
        return [at](double t, int) { return t < at ? 1200.0 : 0.0; };
    };
    // As measured at 10/2 Mbit/s: most held just after warm-up, draining over its first
    // seconds, and short holds that come and go throughout. A least-squares line read 8 % high.
    const auto draining = [](double t, int i) {
        return (t < 3.0 ? 1500.0 * (1.0 - t / 3.0) : 0.0) + (i % 5 == 2 ? 400.0 : 0.0);
    };
    const auto heldAtTheEnd = [](double t, int) { return t > 11.5 ? 1200.0 : 0.0; };
    const struct {
        const char* what;
        std::vector<std::pair<double, std::uint64_t>> readings;
    } cases[] = {
        {"steady", readings(none)},
        {"held a second's worth, delivered 0.3 s in", readings(lumpAt(0.3))},
        {"held, delivered 0.5 s in", readings(lumpAt(0.5))},
        {"held most at the start, and now and then", readings(draining)},
        {"held at the end", readings(heldAtTheEnd)},
    };
    for (const auto& c : cases) {
        const std::optional<double> pace = PaceOfReadings(c.readings);
        ASSERT_TRUE(pace) << c.what;
        EXPECT_NEAR(*pace, 1000.0, 2.0) << c.what;
    }
    EXPECT_FALSE(PaceOfReadings({{0.0, 10}, {1.0, 20}}));
    EXPECT_FALSE(PaceOfReadings({{1.0, 10}, {1.0, 20}, {1.0, 30}}));
}

}  // namespace
}  // namespace velmora::modulos::medicao
