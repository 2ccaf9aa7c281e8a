// Time of one whole PaintDashboard: Cairo into an image natively, GDI and GDI+ into a memory
// bitmap under Windows (or Wine). Figures only.

#include <chrono>
#include <cstdio>

#include "servers/server_catalog.h"
#include "ui/dashboard_samples.h"

#ifdef _WIN32
#include <objidl.h>
// After objidl.h, which WIN32_LEAN_AND_MEAN leaves out.
#include <gdiplus.h>

#include "ui/gdi_canvas_win.h"
#else
#include "ui/cairo_canvas.h"
#endif

using namespace velmora;
using Clock = std::chrono::steady_clock;

int main() {
    const auto catalog = modulos::medicao::BuildServerCatalog();
    modulos::medicao::SharedRunState state(catalog);
    ui::WindowFields window{ui::LayoutHitRects(360, 800)};
    ui::StageSampleScene("download", state, window);
    constexpr int kFrames = 300;
#ifdef _WIN32
    Gdiplus::GdiplusStartupInput input;
    ULONG_PTR token = 0;
    Gdiplus::GdiplusStartup(&token, &input, nullptr);
    const HDC screen = GetDC(nullptr);
    const HDC memory = CreateCompatibleDC(screen);
    const HBITMAP bitmap = CreateCompatibleBitmap(screen, 360, 800);
    const HGDIOBJ old = SelectObject(memory, bitmap);
    const auto start = Clock::now();
    for (int i = 0; i < kFrames; ++i) {
        ui::GdiCanvas canvas(memory);
        ui::PaintDashboard(state, window, canvas, {0, 0, 360, 800});
    }
    GdiFlush();
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    SelectObject(memory, old);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    Gdiplus::GdiplusShutdown(token);
    const char* how = "GDI + GDI+";
#else
    ui::CairoCanvas canvas(360, 800);
    const auto start = Clock::now();
    for (int i = 0; i < kFrames; ++i) {
        ui::PaintDashboard(state, window, canvas, {0, 0, 360, 800});
    }
    canvas.PixelAt(0, 0);  // flushes the surface
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    const char* how = "Cairo";
#endif
    std::printf(
        "PaintDashboard (%s, 360 x 800, download scene): %.2f ms per frame over %d frames\n", how,
        ms / kFrames, kFrames);
    return 0;
}
