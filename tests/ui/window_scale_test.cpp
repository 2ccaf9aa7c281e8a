#include <gtest/gtest.h>

#include "ui/window_scale.h"

namespace velmora::ui {
namespace {

struct PlacementCase {
    const char* what;
    Size design;
    int dpi;
    Desktop desktop;
    int margin;
    WindowCorner corner;
    double scale;  // expected
    Rect frame;    // expected
};

// The meter (360 x 800, 16 from the work area's corner) and the installer (520 x 420, centred
// on the screen) on the desktops our users have, with a 48-pixel taskbar at the bottom.
// clang-format off
const PlacementCase kCases[] = {
    {"meter, 1080p at 100 %", {360, 800}, 96, {{0, 0, 1920, 1080}, {0, 0, 1920, 1032}}, 16,
     WindowCorner::BottomRight, 1.0, {1544, 216, 1904, 1016}},
    {"meter, 1080p at 125 %", {360, 800}, 120, {{0, 0, 1920, 1080}, {0, 0, 1920, 1032}}, 16,
     WindowCorner::BottomRight, 1032.0 / 832, {1453, 20, 1900, 1012}},
    {"meter, 4K at 200 %", {360, 800}, 192, {{0, 0, 3840, 2160}, {0, 0, 3840, 2112}}, 16,
     WindowCorner::BottomRight, 2.0, {3088, 480, 3808, 2080}},
    {"meter, 1366 x 768 at 100 %", {360, 800}, 96, {{0, 0, 1366, 768}, {0, 0, 1366, 720}}, 16,
     WindowCorner::BottomRight, 720.0 / 832, {1040, 14, 1352, 706}},
    {"meter, 1280 x 720 at 100 %", {360, 800}, 96, {{0, 0, 1280, 720}, {0, 0, 1280, 672}}, 16,
     WindowCorner::BottomRight, 672.0 / 832, {976, 13, 1267, 659}},
    {"meter, taskbar at the top", {360, 800}, 96, {{0, 0, 1920, 1080}, {0, 40, 1920, 1080}}, 16,
     WindowCorner::BottomRight, 1.0, {1544, 264, 1904, 1064}},
    {"installer, 1080p at 100 %", {520, 420}, 96, {{0, 0, 1920, 1080}, {0, 0, 1920, 1032}}, 0,
     WindowCorner::Centre, 1.0, {700, 330, 1220, 750}},
    {"installer, 1080p at 150 %", {520, 420}, 144, {{0, 0, 1920, 1080}, {0, 0, 1920, 1032}}, 0,
     WindowCorner::Centre, 1.5, {570, 225, 1350, 855}},
    {"installer, taskbar on the left", {520, 420}, 96, {{0, 0, 1920, 1080}, {62, 0, 1920, 1080}},
     0, WindowCorner::Centre, 1.0, {700, 330, 1220, 750}},
    // Centred on the screen it would reach 3 pixels into the taskbar: lifted just clear of it.
    {"installer, 1280 x 720 at 150 %", {520, 420}, 144, {{0, 0, 1280, 720}, {0, 0, 1280, 672}},
     0, WindowCorner::Centre, 1.5, {250, 42, 1030, 672}},
};
// clang-format on

TEST(PlaceWindow, WholeOnTheWorkAreaAtEveryScale) {
    for (const PlacementCase& c : kCases) {
        const WindowPlacement placed = PlaceWindow(c.design, c.dpi, c.desktop, c.margin, c.corner);
        const Rect& work = c.desktop.work;
        EXPECT_NEAR(placed.scale, c.scale, 1e-3) << c.what;
        EXPECT_EQ(placed.frame, c.frame) << c.what;
        EXPECT_GE(placed.frame.left, work.left) << c.what;
        EXPECT_GE(placed.frame.top, work.top) << c.what;
        EXPECT_LE(placed.frame.right, work.right) << c.what;
        EXPECT_LE(placed.frame.bottom, work.bottom) << c.what;
    }
}

TEST(PlaceWindow, AFrameMovedInsideKeepsItsSizeAndItsTopLeftFirst) {
    const Rect work{0, 0, 1280, 672};
    EXPECT_EQ(KeepInside({1200, 600, 1560, 1400}, work), (Rect{920, 0, 1280, 800}));
    EXPECT_EQ(KeepInside({-50, -20, 310, 780}, work), (Rect{0, 0, 360, 800}));
    EXPECT_EQ(KeepInside({100, 100, 460, 400}, work), (Rect{100, 100, 460, 400}));
}

}  // namespace
}  // namespace velmora::ui
