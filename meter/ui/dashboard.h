#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "measurement/run_state.h"
#include "ui/accessible.h"
#include "ui/canvas.h"
#include "ui/palette.h"

namespace velmora::ui {

// The painted controls' rectangles, laid out from the client size.
struct HitRects {
    Rect closeRect;
    Rect startRect;
    Rect historyRect;
    Rect idleIconRect;
    Rect downloadIconRect;
    Rect uploadIconRect;
};

// What the window keeps beside the run state: its controls and the mouse.
struct WindowFields {
    HitRects rects;
    std::uint32_t hoverIcon = 0;  // 0 none, 1 idle, 2 download, 3 upload latency badge
    int mouseX = 0;
    int mouseY = 0;
};

HitRects LayoutHitRects(int clientRight, int clientBottom);

// All four edges count as inside.
inline bool Inside(const Rect& r, int x, int y) {
    return r.left <= x && x <= r.right && r.top <= y && y <= r.bottom;
}

// Where a point of the client area belongs for the system: the buttons are client area
// everywhere; elsewhere the top band drags the window.
enum class NonClientHit { Client, Caption };
NonClientHit HitTest(const HitRects& rects, int x, int y);

// The latency badge under (x, y): 1, 2, 3 or 0.
std::uint32_t BadgeAt(const HitRects& rects, int x, int y);

// Seven heights for the stability chart: the samples scaled so the largest reaches `scale`.
std::array<int, 7> ChartHeights(const std::vector<double>& samples, double scale);

void DrawLabel(ICanvas& canvas, const Rect& rect, std::wstring_view text, Rgb colour, int height,
               int weight, TextAlign align);
// `edge` outlines the button in a contrast theme; by default the fill, which draws none.
void DrawPillButton(ICanvas& canvas, const Rect& rect, std::wstring_view caption, Rgb fill,
                    Rgb text, std::optional<Rgb> edge = std::nullopt);
void DrawIconBadge(ICanvas& canvas, const Rect& rect, std::wstring_view glyph, Rgb colour,
                   Rgb disc);

// What the window says to the keyboard and to screen readers, in reading order: the status,
// the connection, the figures with their labels, then the buttons INICIAR TESTE, HISTÓRICO and
// the close glyph. The status and, once the run is done, its results are announced.
std::vector<AccessibleItem> DashboardAccessibleItems(const modulos::medicao::RunSnapshot& run,
                                                     const WindowFields& window,
                                                     const Rect& client);

// The whole window, from a snapshot of the run and the window's own fields; in a contrast
// theme's colours when there is one.
void PaintDashboard(const modulos::medicao::RunSnapshot& run, const WindowFields& window,
                    ICanvas& canvas, const Rect& client, const ContrastColours* contrast = nullptr);

}  // namespace velmora::ui
