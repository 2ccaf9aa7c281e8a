#include "ui/window_scale.h"

#include <algorithm>
#include <cmath>

namespace velmora::ui {

WindowPlacement PlaceWindow(Size design, int dpi, const Desktop& desktop, int margin,
                            WindowCorner corner) {
    const Rect& work = desktop.work;
    const int workWidth = work.right - work.left;
    const int workHeight = work.bottom - work.top;
    double scale = (dpi > 0 ? dpi : 96) / 96.0;
    const double fitsWidth = static_cast<double>(workWidth) / (design.width + 2 * margin);
    const double fitsHeight = static_cast<double>(workHeight) / (design.height + 2 * margin);
    scale = std::max(0.25, std::min({scale, fitsWidth, fitsHeight}));

    const int width = static_cast<int>(std::lround(design.width * scale));
    const int height = static_cast<int>(std::lround(design.height * scale));
    const int gap = static_cast<int>(std::lround(margin * scale));
    int left = 0;
    int top = 0;
    if (corner == WindowCorner::BottomRight) {
        left = work.right - gap - width;
        top = work.bottom - gap - height;
    } else {
        // The screen's centre, not the work area's, so the window opens where it always
        // has; the work area only moves it clear of a taskbar it would overlap.
        const Rect& screen = desktop.screen;
        left = screen.left + (screen.right - screen.left - width) / 2;
        top = screen.top + (screen.bottom - screen.top - height) / 2;
    }
    return {KeepInside({left, top, left + width, top + height}, work), scale};
}

Rect KeepInside(const Rect& frame, const Rect& work) {
    const int width = frame.right - frame.left;
    const int height = frame.bottom - frame.top;
    // Past the right and bottom edges first, so that a frame larger than the work area keeps
    // its top-left part, with the title and the drag band, on the screen.
    const int left = std::max(work.left, std::min(frame.left, work.right - width));
    const int top = std::max(work.top, std::min(frame.top, work.bottom - height));
    return {left, top, left + width, top + height};
}

}  // namespace velmora::ui
