#include "ui/popup_window_win.h"

#include "ui/gdi_canvas_win.h"
#include "ui/screen_win.h"

namespace velmora::ui {

int PopupWindow::Run(HINSTANCE instance, const PopupOptions& options, int show) {
    design_ = options.design;
    margin_ = options.margin;

    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = Procedure;
    windowClass.hInstance = instance;
    if (options.icon != 0) {
        windowClass.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(options.icon));
    }
    if (options.smallIcon != 0) {
        windowClass.hIconSm = LoadIconW(instance, MAKEINTRESOURCEW(options.smallIcon));
    }
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.lpszClassName = options.className;
    RegisterClassExW(&windowClass);

    const WindowPlacement placement =
        PlaceWindow(design_, ScreenDpi(), PrimaryWorkArea(), margin_, options.corner);
    scale_ = placement.scale;
    const Rect& frame = placement.frame;
    if (CreateWindowExW(WS_EX_APPWINDOW, options.className, options.title, options.style,
                        frame.left, frame.top, frame.right - frame.left, frame.bottom - frame.top,
                        nullptr, nullptr, instance, this) == nullptr) {
        return 0;
    }
    ShowWindow(hwnd_, show);
    UpdateWindow(hwnd_);
    MSG message{};
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return static_cast<int>(message.wParam);
}

LRESULT CALLBACK PopupWindow::Procedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        auto* self =
            static_cast<PopupWindow*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
        self->hwnd_ = hwnd;
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
        return DefWindowProcW(hwnd, message, wParam, lParam);
    }
    auto* self = reinterpret_cast<PopupWindow*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (message == WM_NCDESTROY) {
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
    }
    if (self == nullptr) {
        return DefWindowProcW(hwnd, message, wParam, lParam);
    }
    try {
        return self->Handle(message, wParam, lParam);
    } catch (...) {
        // Nothing may cross the window procedure; the window stays as it was.
        return 0;
    }
}

Point PopupWindow::DesignPoint(LPARAM lParam) const {
    return ToDesign(static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam)), scale_);
}

LRESULT PopupWindow::Handle(UINT message, WPARAM wParam, LPARAM lParam) {
    if (const std::optional<LRESULT> handled = OnMessage(message, wParam, lParam)) {
        return *handled;
    }
    switch (message) {
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
        case WM_PAINT:
            PaintBuffered(hwnd_, scale_,
                          [this](ICanvas& canvas, const Rect& client) { Paint(canvas, client); });
            return 0;
        case WM_ERASEBKGND:
            return 1;  // every paint covers the whole client area
        case WM_NCHITTEST: {
            const LRESULT hit = DefWindowProcW(hwnd_, message, wParam, lParam);
            POINT point{static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))};
            ScreenToClient(hwnd_, &point);
            return hit == HTCLIENT && InCaption(ToDesign(point.x, point.y, scale_)) ? HTCAPTION
                                                                                    : hit;
        }
        case WM_DPICHANGED:
            scale_ = FollowDpiChange(hwnd_, design_, margin_, wParam, lParam).scale;
            OnScaleChanged();
            Repaint();
            return 0;
        case WM_LBUTTONUP:
            OnClick(DesignPoint(lParam));
            return 0;
        case WM_MOUSEMOVE: {
            TRACKMOUSEEVENT track{};
            track.cbSize = sizeof track;
            track.dwFlags = TME_LEAVE;
            track.hwndTrack = hwnd_;
            TrackMouseEvent(&track);
            OnMouseMove(DesignPoint(lParam));
            return 0;
        }
        case WM_MOUSELEAVE:
            OnMouseLeave();
            return 0;
        default:
            return DefWindowProcW(hwnd_, message, wParam, lParam);
    }
}

}  // namespace velmora::ui
