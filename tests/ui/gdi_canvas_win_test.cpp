#include "ui/gdi_canvas_win.h"

#include <objidl.h>
// After objidl.h, which WIN32_LEAN_AND_MEAN leaves out.
#include <gdiplus.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <vector>

#include "servers/server_catalog.h"
#include "ui/dashboard.h"
#include "ui/scaled_views.h"

namespace velmora::ui {
namespace {

using modulos::medicao::MeasurementPhase;

// Paints the dashboard `frames` times into a memory bitmap, as WM_PAINT does.
void PaintFrames(modulos::medicao::SharedRunState& state, const WindowFields& window, int frames) {
    const HDC screen = GetDC(nullptr);
    const HDC memory = CreateCompatibleDC(screen);
    const HBITMAP bitmap = CreateCompatibleBitmap(screen, 360, 800);
    const HGDIOBJ old = SelectObject(memory, bitmap);
    for (int i = 0; i < frames; ++i) {
        GdiCanvas canvas(memory);
        PaintDashboard(state, window, canvas, {0, 0, 360, 800});
    }
    SelectObject(memory, old);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
}

// Every text fits its box at every scale, as the system's fonts render at that size (under Wine,
// Liberation Sans stands in for Segoe UI).
TEST(GdiCanvas, EveryTextFitsItsBoxAtEveryScale) {
    Gdiplus::GdiplusStartupInput input;
    ULONG_PTR token = 0;
    Gdiplus::GdiplusStartup(&token, &input, nullptr);
    test::ForEachScaledView([](const test::ScaledView& view) {
        const HDC screen = GetDC(nullptr);
        const HDC memory = CreateCompatibleDC(screen);
        const HBITMAP bitmap =
            CreateCompatibleBitmap(screen, static_cast<int>(view.width * view.scale),
                                   static_cast<int>(view.height * view.scale));
        const HGDIOBJ old = SelectObject(memory, bitmap);
        {
            GdiCanvas canvas(memory, view.scale);
            canvas.MeasureTexts();
            view.paint(canvas);
            EXPECT_TRUE(canvas.Overflows().empty())
                << view.name << ":" << test::Describe(canvas.Overflows());
        }
        SelectObject(memory, old);
        DeleteObject(bitmap);
        DeleteDC(memory);
        ReleaseDC(nullptr, screen);
    });
    Gdiplus::GdiplusShutdown(token);
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

TEST(GdiCanvas, NoObjectIsLeftBehindOverAThousandRepaints) {
    const auto catalog = modulos::medicao::BuildServerCatalog();
    modulos::medicao::SharedRunState state(catalog);
    state.phase.exchange(MeasurementPhase::Downloading);
    state.downloadMbps.exchange(750);
    state.userCity = L"São Paulo - SP";
    state.downloadChart = {100, 300, 200};
    WindowFields window{LayoutHitRects(360, 800), 2, 150, 355};  // with a tooltip

    Gdiplus::GdiplusStartupInput input;
    ULONG_PTR token = 0;
    Gdiplus::GdiplusStartup(&token, &input, nullptr);
    PaintFrames(state, window, 5);  // settle caches (fonts, GDI+ start-up)
    const DWORD countBefore = GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS);
    const std::size_t capacityBefore = FreeGdiCapacity();
    PaintFrames(state, window, 1000);
    const DWORD countAfter = GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS);
    const std::size_t capacityAfter = FreeGdiCapacity();
    Gdiplus::GdiplusShutdown(token);

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
