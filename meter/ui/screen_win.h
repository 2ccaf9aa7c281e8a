#pragma once

// What the windows need to know of the screen to place themselves.

#include <windows.h>

#include "ui/canvas.h"
#include "ui/window_scale.h"

namespace velmora::ui {

// The DPI windows open at (96 = 100 %).
int ScreenDpi();

// The primary monitor's screen and work area (the screen without the taskbar), in pixels.
Desktop PrimaryDesktop();

// A monitor's work area; the primary one's when it cannot be read.
Rect MonitorWorkArea(HMONITOR monitor);

// Handles WM_DPICHANGED for a window of `design`: the same design at the new scale, where the
// system suggests, kept inside that monitor's work area. Moves and resizes the window and
// returns the placement it took.
WindowPlacement FollowDpiChange(HWND hwnd, Size design, int margin, WPARAM wParam, LPARAM lParam);

}  // namespace velmora::ui
