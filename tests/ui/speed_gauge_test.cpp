#include "ui/speed_gauge.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "support/recording_canvas.h"

namespace velmora::ui {
namespace {

using velmora::test::RecordingCanvas;

RecordingCanvas Draw(double mbps) {
    RecordingCanvas canvas;
    DrawSpeedGauge(canvas, 180, 246, mbps);
    return canvas;
}

// The needle is the last line drawn; its angle in degrees, 0..360.
double NeedleDegrees(const RecordingCanvas& c) {
    const auto& needle = c.lines.back();
    double a = std::atan2(needle.to.y - needle.from.y, needle.to.x - needle.from.x) * 180 /
               std::numbers::pi;
    return a < 0 ? a + 360 : a;
}

TEST(GaugeColorAt, RampStops) {
    EXPECT_EQ(GaugeColorAt(0), 0xFF1EC864u);     // (30, 200, 100)
    EXPECT_EQ(GaugeColorAt(0.33), 0xFFF0DC00u);  // (240, 220, 0)
    EXPECT_EQ(GaugeColorAt(0.66), 0xFFFF8214u);  // (255, 130, 20)
    // (235, 55, 55) in the table; (1 - 0.66) / 0.34 is a hair below 1 in binary, so the
    // truncated blue is 54. The arc never reaches t = 1 (its last piece is t = 0.99).
    EXPECT_EQ(GaugeColorAt(1), 0xFFEB3736u);
    EXPECT_EQ(GaugeColorAt(-3), GaugeColorAt(0));
    EXPECT_EQ(GaugeColorAt(7), GaugeColorAt(1));
    // Halfway between yellow and orange: each channel truncated.
    EXPECT_EQ(GaugeColorAt(0.5), 0xFFF7AD0Au);
}

TEST(SpeedGauge, ZeroAndTinyValuesDrawNoActiveArc) {
    for (const double v : {0.0, 0.5, -5.0}) {
        const RecordingCanvas c = Draw(v);
        EXPECT_EQ(c.arcs.size(), 2u) << v;  // ring and track only
        EXPECT_NEAR(NeedleDegrees(c), v > 0 ? 150.08 : 150.0, 0.01) << v;
        EXPECT_EQ(c.textsF[7].text, v > 0 ? L"0.50" : L"0.00") << v;
    }
    EXPECT_EQ(Draw(0.6).arcs.size(), 3u);  // one piece
}

TEST(SpeedGauge, ActiveArcPiecesAndNeedleFollowTheValue) {
    const RecordingCanvas half = Draw(750);
    EXPECT_EQ(half.arcs.size(), 2u + 51u);  // t = 0.00 ... 0.50
    EXPECT_NEAR(NeedleDegrees(half), 270.0, 0.01);
    EXPECT_FLOAT_EQ(half.arcs[2].start, 150.0f);
    EXPECT_FLOAT_EQ(half.arcs[2].sweep, 2.9f);
    EXPECT_FLOAT_EQ(half.arcs.back().start, 150.0f + 2.4f * 50);
    EXPECT_EQ(half.arcs.back().colour.Packed(), GaugeColorAt(0.5));

    const RecordingCanvas over = Draw(2000);
    EXPECT_EQ(over.arcs.size(), 2u + 100u);
    EXPECT_NEAR(NeedleDegrees(over), 30.0, 0.01);
    EXPECT_EQ(over.textsF[7].text, L"1500.0");
}

TEST(SpeedGauge, ValueTextDecimals) {
    EXPECT_EQ(Draw(99.999).textsF[7].text, L"100.00");
    EXPECT_EQ(Draw(100).textsF[7].text, L"100.0");
    EXPECT_EQ(Draw(512.345).textsF[7].text, L"512.3");
    EXPECT_EQ(Draw(12.3456).textsF[7].text, L"12.35");
    const RecordingCanvas c = Draw(42);
    EXPECT_EQ(c.textsF[8].text, L"Mbps");
    EXPECT_TRUE(c.textsF[7].bold);
    EXPECT_FLOAT_EQ(c.textsF[7].points, 26.0f);
}

TEST(SpeedGauge, TicksAndScaleLabels) {
    const RecordingCanvas c = Draw(0);
    ASSERT_EQ(c.lines.size(), 31u + 2u);
    int major = 0;
    for (std::size_t i = 0; i < 31; ++i) {
        const auto& tick = c.lines[i];
        const double outer = std::hypot(tick.from.x - 180, tick.from.y - 246);
        const double inner = std::hypot(tick.to.x - 180, tick.to.y - 246);
        EXPECT_NEAR(outer, 120.0, 0.01);
        if (tick.width == 2.0f) {
            ++major;
            EXPECT_NEAR(inner, 106.0, 0.01);
        } else {
            EXPECT_NEAR(inner, 113.0, 0.01);
        }
    }
    EXPECT_EQ(major, 16);
    const std::vector<std::wstring> labels{L"0", L"250", L"500", L"750", L"1000", L"1250", L"1500"};
    for (std::size_t i = 0; i < labels.size(); ++i) {
        EXPECT_EQ(c.textsF[i].text, labels[i]);
    }
    // 750 sits straight above the centre, 90 px up.
    EXPECT_NEAR(c.textsF[3].layout.x + 22, 180.0, 0.01);
    EXPECT_NEAR(c.textsF[3].layout.y + 8, 246.0 - 90.0, 0.01);
    ASSERT_EQ(c.hubs.size(), 1u);
    EXPECT_FLOAT_EQ(c.hubs[0].width, 18.0f);
}

}  // namespace
}  // namespace velmora::ui
