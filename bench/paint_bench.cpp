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

namespace {

// One scale's frame time in milliseconds.
double FrameMs(modulos::medicao::SharedRunState& state, const ui::WindowFields& window,
               double scale) {
    constexpr int kFrames = 200;
    const int width = static_cast<int>(360 * scale + 0.5);
    const int height = static_cast<int>(800 * scale + 0.5);
#ifdef _WIN32
    const HDC screen = GetDC(nullptr);
    const HDC memory = CreateCompatibleDC(screen);
    const HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
    const HGDIOBJ old = SelectObject(memory, bitmap);
    const auto start = Clock::now();
    for (int i = 0; i < kFrames; ++i) {
        ui::GdiCanvas canvas(memory, scale);
        ui::PaintDashboard(state, window, canvas, {0, 0, 360, 800});
    }
    GdiFlush();
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    SelectObject(memory, old);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
#else
    (void)width;
    (void)height;
    ui::CairoCanvas canvas(360, 800, scale);
    const auto start = Clock::now();
    for (int i = 0; i < kFrames; ++i) {
        ui::PaintDashboard(state, window, canvas, {0, 0, 360, 800});
    }
    canvas.PixelAt(0, 0);  // flushes the surface
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
#endif
    return ms / kFrames;
}

}  // namespace

int main() {
    const auto catalog = modulos::medicao::BuildServerCatalog();
    modulos::medicao::SharedRunState state(catalog);
    ui::WindowFields window{ui::LayoutHitRects(360, 800)};
    ui::StageSampleScene("download", state, window);
#ifdef _WIN32
    Gdiplus::GdiplusStartupInput input;
    ULONG_PTR token = 0;
    Gdiplus::GdiplusStartup(&token, &input, nullptr);
    const char* how = "GDI + GDI+";
#else
    const char* how = "Cairo";
#endif
    for (const double scale : {1.0, 1.5, 2.0}) {
        std::printf(
            "PaintDashboard (%s, download scene) at %3.0f %% (%d x %d): %.2f ms per frame\n", how,
            scale * 100, static_cast<int>(360 * scale + 0.5), static_cast<int>(800 * scale + 0.5),
            FrameMs(state, window, scale));
    }
#ifdef _WIN32
    Gdiplus::GdiplusShutdown(token);
#endif
    return 0;
}
