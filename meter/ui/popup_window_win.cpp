#include "ui/popup_window_win.h"

#include "common/win32_handles.h"
#include "ui/gdi_canvas_win.h"
#include "ui/screen_win.h"

namespace velmora::ui {
namespace {

// A press asked for by a screen reader, done on the window's thread: wParam is the item.
constexpr UINT kPressMessage = WM_APP + 0x400;

}  // namespace

int PopupWindow::Run(HINSTANCE instance, const PopupOptions& options, int show) {
    // Screen readers reach the window's accessible object through COM (and the shell, which
    // the windows call, wants it too).
    const win32::ComScope com;
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
        PlaceWindow(design_, ScreenDpi(), PrimaryDesktop(), margin_, options.corner);
    scale_ = placement.scale;
    BOOL cues = FALSE;
    focusCues_ = SystemParametersInfoW(SPI_GETKEYBOARDCUES, 0, &cues, 0) && cues;
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
        self->link_->hwnd = hwnd;
        self->link_->source = self;
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
        return DefWindowProcW(hwnd, message, wParam, lParam);
    }
    auto* self = reinterpret_cast<PopupWindow*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (message == WM_NCDESTROY) {
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
        if (self != nullptr) {
            self->link_->source = nullptr;  // objects handed out answer that the window is gone
        }
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
        case WM_PAINT: {
            const std::vector<AccessibleItem> items = AccessibleItems();
            if (focus_ && *focus_ >= items.size()) {
                focus_.reset();
            }
            PaintBuffered(hwnd_, scale_, [&](ICanvas& canvas, const Rect& client) {
                Paint(canvas, client);
                if (focusCues_ && focus_) {
                    DrawFocusCue(canvas, items[*focus_].rect);
                }
            });
            AnnounceChanges(items);
            return 0;
        }
        case WM_KEYDOWN:
            return OnKey(wParam) ? 0 : DefWindowProcW(hwnd_, message, wParam, lParam);
        case WM_UPDATEUISTATE:
            if (LOWORD(wParam) == UIS_CLEAR && (HIWORD(wParam) & UISF_HIDEFOCUS)) {
                focusCues_ = true;
                Repaint();
            }
            return DefWindowProcW(hwnd_, message, wParam, lParam);
        case WM_GETOBJECT:
            if (static_cast<LONG>(lParam) == OBJID_CLIENT) {
                if (const LRESULT object = AnswerGetObject(link_, wParam)) {
                    return object;
                }
            }
            return DefWindowProcW(hwnd_, message, wParam, lParam);
        case kPressMessage:
            Press(static_cast<std::size_t>(wParam));
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

RECT PopupWindow::ToScreen(const Rect& design) const {
    const auto pixels = [this](int units) { return static_cast<LONG>(units * scale_ + 0.5); };
    RECT r{pixels(design.left), pixels(design.top), pixels(design.right), pixels(design.bottom)};
    MapWindowPoints(hwnd_, nullptr, reinterpret_cast<POINT*>(&r), 2);
    return r;
}

void PopupWindow::RequestPress(std::size_t item) {
    PostMessageW(hwnd_, kPressMessage, item, 0);
}

void PopupWindow::Press(std::size_t item) {
    const std::vector<AccessibleItem> items = AccessibleItems();
    if (item < items.size() && items[item].Focusable()) {
        const Rect& r = items[item].rect;
        OnClick({(r.left + r.right) / 2, (r.top + r.bottom) / 2});
    }
}

bool PopupWindow::OnKey(WPARAM key) {
    switch (key) {
        case VK_TAB: {
            const bool backwards = GetKeyState(VK_SHIFT) < 0;
            focus_ = NextFocus(AccessibleItems(), focus_, backwards);
            focusCues_ = true;
            if (focus_) {
                AnnounceFocus(hwnd_, *focus_);
            }
            Repaint();
            return true;
        }
        case VK_RETURN:
        case VK_SPACE:
            focusCues_ = true;
            if (focus_) {
                Press(*focus_);
            }
            Repaint();
            return true;
        case VK_ESCAPE:
            PostMessageW(hwnd_, WM_CLOSE, 0, 0);  // what the close glyph or Alt+F4 would do
            return true;
        default:
            return false;
    }
}

void PopupWindow::AnnounceChanges(const std::vector<AccessibleItem>& items) {
    const bool first = spoken_.empty();
    spoken_.resize(items.size());
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (items[i].announce && items[i].name != spoken_[i] && !first) {
            AnnounceNameChange(hwnd_, i);
        }
        spoken_[i] = items[i].name;
    }
}

}  // namespace velmora::ui
