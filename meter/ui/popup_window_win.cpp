#include "ui/popup_window_win.h"

#include "common/win32_handles.h"
#include "ui/gdi_canvas_win.h"
#include "ui/screen_win.h"

namespace velmora::ui {
namespace {

// A press asked for by a screen reader, done on the window's thread: wParam is the child id.
constexpr UINT kPressMessage = WM_APP + 0x400;
// Publish, on the window's thread.
constexpr UINT kPublishMessage = WM_APP + 0x401;
// WM_KEYDOWN's lParam: the key was already down (auto-repeat).
constexpr LPARAM kKeyWasDown = LPARAM{1} << 30;

Rgb SystemColour(int index) {
    const COLORREF colour = GetSysColor(index);
    return {GetRValue(colour), GetGValue(colour), GetBValue(colour)};
}

// The contrast theme's colours while one is on (Settings › Accessibility › Contrast themes).
std::optional<ContrastColours> SystemContrast() {
    HIGHCONTRASTW contrast{};
    contrast.cbSize = sizeof contrast;
    if (!SystemParametersInfoW(SPI_GETHIGHCONTRAST, sizeof contrast, &contrast, 0) ||
        (contrast.dwFlags & HCF_HIGHCONTRASTON) == 0) {
        return std::nullopt;
    }
    return ContrastColours{SystemColour(COLOR_WINDOW),    SystemColour(COLOR_WINDOWTEXT),
                           SystemColour(COLOR_BTNFACE),   SystemColour(COLOR_BTNTEXT),
                           SystemColour(COLOR_HIGHLIGHT), SystemColour(COLOR_HIGHLIGHTTEXT),
                           SystemColour(COLOR_GRAYTEXT)};
}

}  // namespace

int PopupWindow::Run(HINSTANCE instance, const PopupOptions& options, int show) {
    // Screen readers reach the window's accessible object through COM (and the shell, which
    // the windows call, wants it too).
    const win32::ComScope com;
    if (!Open(instance, options, show)) {
        return 0;
    }
    MSG message{};
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return static_cast<int>(message.wParam);
}

bool PopupWindow::Open(HINSTANCE instance, const PopupOptions& options, int show) {
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
    contrast_ = SystemContrast();
    const Rect& frame = placement.frame;
    if (CreateWindowExW(WS_EX_APPWINDOW, options.className, options.title, options.style,
                        frame.left, frame.top, frame.right - frame.left, frame.bottom - frame.top,
                        nullptr, nullptr, instance, this) == nullptr) {
        return false;
    }
    ShowWindow(hwnd_, show);
    UpdateWindow(hwnd_);
    return true;
}

LRESULT CALLBACK PopupWindow::Procedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        auto* self =
            static_cast<PopupWindow*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
        self->hwnd_ = hwnd;
        self->link_->hwnd = hwnd;
        self->link_->source = self;
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
        // What the window shows from its first moment is not news (a visible window is
        // activated, and takes the focus, before CreateWindowEx returns).
        self->told_ = self->AccessibleItems();
        for (const AccessibleItem& item : self->told_) {
            self->ChildOf(item.id);
            if (item.announce) {
                MarkLiveRegion(hwnd, self->ChildOf(item.id));
            }
        }
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
            const auto focused = focus_ ? IndexOf(items, *focus_) : std::nullopt;
            PaintBuffered(hwnd_, scale_, [&](ICanvas& canvas, const Rect& client) {
                Paint(canvas, client);
                if (focusCues_ && focused) {
                    DrawFocusCue(canvas, items[*focused].rect,
                                 contrast_ ? contrast_->windowText : Rgb{255, 255, 255});
                }
            });
            return 0;
        }
        case WM_SETFOCUS:
            // Opened or activated again: the control that had the focus keeps it, else the
            // first one takes it; either way screen readers hear where it is.
            if (!focus_) {
                focus_ = FocusAfterChange({}, AccessibleItems(), std::nullopt);
            }
            if (focus_) {
                NotifyChild(hwnd_, EVENT_OBJECT_FOCUS, ChildOf(*focus_));
            }
            Repaint();
            return 0;
        case kPublishMessage:
            TellChanges();
            Repaint();
            return 0;
        case WM_KEYDOWN:
            return OnKey(wParam, lParam) ? 0 : DefWindowProcW(hwnd_, message, wParam, lParam);
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
            if (wParam >= 1 && wParam <= children_.size()) {
                Press(children_[wParam - 1]);
            }
            return 0;
        case WM_SYSCOLORCHANGE:
        case WM_SETTINGCHANGE:
            // A contrast theme turned on, off or changed: the next paint takes its colours.
            contrast_ = SystemContrast();
            Repaint();
            return DefWindowProcW(hwnd_, message, wParam, lParam);
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

void PopupWindow::RequestPress(long child) {
    PostMessageW(hwnd_, kPressMessage, static_cast<WPARAM>(child), 0);
}

void PopupWindow::Publish() const {
    SendMessageW(hwnd_, kPublishMessage, 0, 0);
}

long PopupWindow::ChildOf(const std::string& id) {
    for (std::size_t i = 0; i < children_.size(); ++i) {
        if (children_[i] == id) {
            return static_cast<long>(i + 1);
        }
    }
    children_.push_back(id);
    return static_cast<long>(children_.size());
}

std::vector<AccessibleChild> PopupWindow::Children() {
    std::vector<AccessibleChild> children;
    for (AccessibleItem& item : AccessibleItems()) {
        const long child = ChildOf(item.id);
        children.push_back({child, std::move(item)});
    }
    return children;
}

std::optional<long> PopupWindow::Focus() const {
    // The window's thread may not be the caller's: ask the system whose focus it is.
    GUITHREADINFO thread{};
    thread.cbSize = sizeof thread;
    if (GetForegroundWindow() != hwnd_ ||
        !GetGUIThreadInfo(GetWindowThreadProcessId(hwnd_, nullptr), &thread) ||
        thread.hwndFocus != hwnd_) {
        return std::nullopt;
    }
    if (focus_) {
        for (std::size_t i = 0; i < children_.size(); ++i) {
            if (children_[i] == *focus_) {
                return static_cast<long>(i + 1);
            }
        }
    }
    return CHILDID_SELF;
}

void PopupWindow::Press(const std::string& id) {
    const std::vector<AccessibleItem> items = AccessibleItems();
    const auto at = IndexOf(items, id);
    if (at && items[*at].Focusable() && !items[*at].unavailable) {
        const Rect& r = items[*at].rect;
        OnClick({(r.left + r.right) / 2, (r.top + r.bottom) / 2});
    }
}

void PopupWindow::MoveFocus(std::optional<std::string> to) {
    if (to == focus_) {
        return;
    }
    focus_ = std::move(to);
    if (focus_ && Focus()) {
        NotifyChild(hwnd_, EVENT_OBJECT_FOCUS, ChildOf(*focus_));
    }
}

bool PopupWindow::OnKey(WPARAM key, LPARAM flags) {
    // A held Enter, Space or Esc acts once, not at the keyboard's repeat rate; a held Tab moves
    // on, as it does in Windows' own dialogs.
    const bool repeated = (flags & kKeyWasDown) != 0;
    switch (key) {
        case VK_TAB: {
            const bool backwards = GetKeyState(VK_SHIFT) < 0;
            const std::vector<AccessibleItem> items = AccessibleItems();
            const auto next =
                NextFocus(items, focus_ ? IndexOf(items, *focus_) : std::nullopt, backwards);
            MoveFocus(next ? std::optional<std::string>(items[*next].id) : std::nullopt);
            focusCues_ = true;
            Repaint();
            return true;
        }
        case VK_RETURN:
        case VK_SPACE:
            if (repeated) {
                return true;
            }
            focusCues_ = true;
            if (focus_) {
                Press(*focus_);
            }
            Repaint();
            return true;
        case VK_ESCAPE:
            if (!repeated) {
                PostMessageW(hwnd_, WM_CLOSE, 0, 0);  // what the close glyph or Alt+F4 would do
            }
            return true;
        default:
            return false;
    }
}

void PopupWindow::TellChanges() {
    std::vector<AccessibleItem> now = AccessibleItems();
    bool reordered = now.size() != told_.size();
    for (std::size_t i = 0; i < now.size() && !reordered; ++i) {
        reordered = now[i].id != told_[i].id;
    }
    if (reordered) {
        NotifyChild(hwnd_, EVENT_OBJECT_REORDER, CHILDID_SELF);
    }
    if (focus_) {
        // The focused control went away: to the next one, else the first, and said so.
        MoveFocus(FocusAfterChange(told_, now, focus_));
    }
    for (const AccessibleItem& item : now) {
        const long child = ChildOf(item.id);
        const auto was = IndexOf(told_, item.id);
        if (!was) {
            if (item.announce) {
                MarkLiveRegion(hwnd_, child);
                NotifyChild(hwnd_, kLiveRegionChanged, child);
            }
            continue;
        }
        const AccessibleItem& before = told_[*was];
        if (item.checked != before.checked || item.unavailable != before.unavailable) {
            NotifyChild(hwnd_, EVENT_OBJECT_STATECHANGE, child);
        }
        if (item.value != before.value) {
            NotifyChild(hwnd_, EVENT_OBJECT_VALUECHANGE, child);
        }
        // A live value's every change is not news; a control's new caption and a live
        // region's new text are.
        if (item.name != before.name && (item.announce || item.Focusable())) {
            NotifyChild(hwnd_, EVENT_OBJECT_NAMECHANGE, child);
            if (item.announce) {
                NotifyChild(hwnd_, kLiveRegionChanged, child);
            }
        }
    }
    told_ = std::move(now);
}

}  // namespace velmora::ui
