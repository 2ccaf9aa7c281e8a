// Time of one whole PaintDashboard: Cairo into an image natively, GDI and GDI+ into a memory
// bitmap under Windows (or Wine). Figures only.

#include <chrono>
#include <cstdio>

#include "ui/dashboard_samples.h"

#ifdef _WIN32
#include "ui/gdi_canvas_win.h"
#else
#include "ui/cairo_canvas.h"
#endif

using namespace velmora;
using Clock = std::chrono::steady_clock;

namespace {

// One scale's frame time in milliseconds.
double FrameMs(const modulos::medicao::RunSnapshot& run, const ui::WindowFields& window,
               double scale) {
    constexpr int kFrames = 200;
    const int width = static_cast<int>(360 * scale + 0.5);
    const int height = static_cast<int>(800 * scale + 0.5);
#ifdef _WIN32
    const win32::MemoryDc frame(nullptr, width, height);
    const auto start = Clock::now();
    for (int i = 0; i < kFrames; ++i) {
        ui::GdiCanvas canvas(frame.get(), scale);
        ui::PaintDashboard(run, window, canvas, {0, 0, 360, 800});
    }
    GdiFlush();
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
#else
    (void)width;
    (void)height;
    ui::CairoCanvas canvas(360, 800, scale);
    const auto start = Clock::now();
    for (int i = 0; i < kFrames; ++i) {
        ui::PaintDashboard(run, window, canvas, {0, 0, 360, 800});
    }
    canvas.PixelAt(0, 0);  // flushes the surface
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
#endif
    return ms / kFrames;
}

}  // namespace

int main() {
    modulos::medicao::RunSnapshot run;
    ui::WindowFields window{ui::LayoutHitRects(360, 800)};
    ui::StageSampleScene("download", run, window);
#ifdef _WIN32
    const win32::GdiplusScope gdiplus;
    const char* how = "GDI + GDI+";
#else
    const char* how = "Cairo";
#endif
    for (const double scale : {1.0, 1.5, 2.0}) {
        std::printf(
            "PaintDashboard (%s, download scene) at %3.0f %% (%d x %d): %.2f ms per frame\n", how,
            scale * 100, static_cast<int>(360 * scale + 0.5), static_cast<int>(800 * scale + 0.5),
            FrameMs(run, window, scale));
    }
    return 0;
}
