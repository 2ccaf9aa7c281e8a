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

}  // namespace
}  // namespace velmora::modulos::medicao
