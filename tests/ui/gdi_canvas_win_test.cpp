#include "ui/gdi_canvas_win.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <stdexcept>
#include <vector>

#include "ui/dashboard.h"
#include "ui/scaled_views.h"

namespace velmora::ui {
namespace {

using modulos::medicao::MeasurementPhase;

// Paints the dashboard `frames` times, each into a memory bitmap of its own as WM_PAINT does;
// one frame in ten fails halfway, which must cost nothing either.
void PaintFrames(const modulos::medicao::RunSnapshot& run, const WindowFields& window, int frames) {
    for (int i = 0; i < frames; ++i) {
        try {
            const win32::MemoryDc frame(nullptr, 360, 800);
            GdiCanvas canvas(frame.get());
            PaintDashboard(run, window, canvas, {0, 0, 360, 800});
            if (i % 10 == 9) {
                throw std::runtime_error("the painting failed");
            }
        } catch (const std::runtime_error&) {
        }
    }
}

// Every text fits its box at every scale, as the system's fonts render at that size (under Wine,
// Liberation Sans stands in for Segoe UI).
TEST(GdiCanvas, EveryTextFitsItsBoxAtEveryScale) {
    const win32::GdiplusScope gdiplus;
    test::ForEachScaledView([](const test::ScaledView& view) {
        const win32::MemoryDc frame(nullptr, static_cast<int>(view.width * view.scale),
                                    static_cast<int>(view.height * view.scale));
        GdiCanvas canvas(frame.get(), view.scale);
        canvas.MeasureTexts();
        view.paint(canvas);
        EXPECT_TRUE(canvas.Overflows().empty())
            << view.name << ":" << test::Describe(canvas.Overflows());
    });
}

// How many more GDI objects the process could make now: objects leaked by painting use up the
// handle table, so this falls by one per leaked object.
std::size_t FreeGdiCapacity() {
    std::vector<HBRUSH> made;
    while (made.size() < 100000) {
        const HBRUSH brush = CreateSolidBrush(RGB(1, 2, 3));
        if (brush == nullptr) {
            break;
        }
        made.push_back(brush);
    }
    for (const HBRUSH brush : made) {
        DeleteObject(brush);
    }
    return made.size();
}

TEST(GdiCanvas, NoObjectIsLeftBehindOverAThousandRepaintsEvenWhenOneFails) {
    modulos::medicao::RunSnapshot run;
    run.phase = MeasurementPhase::Downloading;
    run.downloadMbps = 750;
    run.userCity = L"São Paulo - SP";
    run.downloadChart = {100, 300, 200};
    WindowFields window{LayoutHitRects(360, 800), 2, 150, 355};  // with a tooltip

    const win32::GdiplusScope gdiplus;
    PaintFrames(run, window, 5);  // settle caches (fonts, GDI+ start-up)
    const DWORD countBefore = GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS);
    const std::size_t capacityBefore = FreeGdiCapacity();
    PaintFrames(run, window, 1000);
    const DWORD countAfter = GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS);
    const std::size_t capacityAfter = FreeGdiCapacity();

    std::printf("GDI objects %lu -> %lu, free handles %zu -> %zu\n", countBefore, countAfter,
                capacityBefore, capacityAfter);
    if (countBefore != 0) {
        EXPECT_LE(countAfter, countBefore + 2);  // the system's own count
    } else {
        // Where GetGuiResources counts nothing (Wine), the free handles tell: one object leaked
        // per frame would take a thousand of them.
        EXPECT_GT(capacityBefore, 1000u);
        EXPECT_GE(capacityAfter + 2, capacityBefore);
    }
}

}  // namespace
}  // namespace velmora::ui
