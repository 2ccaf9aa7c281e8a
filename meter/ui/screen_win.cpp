#include "ui/screen_win.h"

#include "common/win32_handles.h"

namespace velmora::ui {
namespace {

Rect FromWin(const RECT& r) {
    return {r.left, r.top, r.right, r.bottom};
}

}  // namespace

int ScreenDpi() {
    const win32::ScreenDc screen(GetDC(nullptr));
    const int dpi = screen ? GetDeviceCaps(screen.get(), LOGPIXELSY) : 96;
    return dpi > 0 ? dpi : 96;
}

Desktop PrimaryDesktop() {
    Desktop desktop;
    RECT work{};
    desktop.work = SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0) && work.right > work.left
                       ? FromWin(work)
                       : MonitorWorkArea(MonitorFromPoint({0, 0}, MONITOR_DEFAULTTOPRIMARY));
    desktop.screen = {0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
    if (desktop.screen.right <= 0 || desktop.screen.bottom <= 0) {
        desktop.screen = desktop.work;
    }
    return desktop;
}

Rect MonitorWorkArea(HMONITOR monitor) {
    MONITORINFO info{};
    info.cbSize = sizeof info;
    if (monitor != nullptr && GetMonitorInfoW(monitor, &info)) {
        return FromWin(info.rcWork);
    }
    return {0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
}

WindowPlacement FollowDpiChange(HWND hwnd, Size design, int margin, WPARAM wParam, LPARAM lParam) {
    const RECT& suggested = *reinterpret_cast<const RECT*>(lParam);
    const Rect work = MonitorWorkArea(MonitorFromRect(&suggested, MONITOR_DEFAULTTONEAREST));
    WindowPlacement placement =
        PlaceWindow(design, HIWORD(wParam), {work, work}, margin, WindowCorner::Centre);
    const Rect& size = placement.frame;
    placement.frame =
        KeepInside({suggested.left, suggested.top, suggested.left + size.right - size.left,
                    suggested.top + size.bottom - size.top},
                   work);
    const Rect& frame = placement.frame;
    SetWindowPos(hwnd, nullptr, frame.left, frame.top, frame.right - frame.left,
                 frame.bottom - frame.top, SWP_NOZORDER | SWP_NOACTIVATE);
    return placement;
}

}  // namespace velmora::ui
