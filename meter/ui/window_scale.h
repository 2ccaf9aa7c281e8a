#pragma once

// Where a window of a fixed 96-dpi design opens, and how large. Every layout number stays in
// design units; the canvas applies one scale, so painting and hit-testing do not change with
// the screen.

#include "ui/canvas.h"

namespace velmora::ui {

struct Size {
    int width = 0, height = 0;
};

struct WindowPlacement {
    Rect frame;          // screen pixels
    double scale = 1.0;  // screen pixels per design unit
};

enum class WindowCorner { BottomRight, Centre };

// The primary monitor as a window sees it: the whole screen, and the part of it the taskbar
// leaves (the work area).
struct Desktop {
    Rect screen;
    Rect work;
};

// The design scaled for `dpi` (96 = 100 %) and, where the work area cannot hold it with
// `margin` design units around it, shrunk until it does: never pushed off the screen. At the
// work area's bottom-right corner (`margin` from both edges) or centred on the screen, then
// moved as little as needed to lie whole on the work area.
WindowPlacement PlaceWindow(Size design, int dpi, const Desktop& desktop, int margin,
                            WindowCorner corner);

// `frame` moved (not resized) as little as needed to lie inside `work`, its top-left corner
// first when it is larger.
Rect KeepInside(const Rect& frame, const Rect& work);

// A client-area point in design units.
inline Point ToDesign(int x, int y, double scale) {
    return {static_cast<int>(x / scale), static_cast<int>(y / scale)};
}

}  // namespace velmora::ui
