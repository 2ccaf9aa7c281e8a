#pragma once

// The host both programs' windows stand on: a borderless popup drawn in design units. It
// registers the class, places the window for the screen's DPI, runs the message loop, follows
// DPI changes, paints through a memory bitmap, lets the caption band drag the window, hands
// clicks and the mouse over in design units, and keeps every exception inside the window
// procedure. From the window's AccessibleItems it also gives the keyboard (Tab and Shift+Tab
// move among the controls, Enter and Space press the focused one, Esc closes as WM_CLOSE does)
// and screen readers (an MSAA tree, name changes announced) what the mouse and the eye get.
// A window keeps only its own handlers.

#include <windows.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ui/accessible.h"
#include "ui/accessible_win.h"
#include "ui/canvas.h"
#include "ui/window_scale.h"

namespace velmora::ui {

struct PopupOptions {
    const wchar_t* className = L"";
    const wchar_t* title = L"";
    Size design;
    int margin = 0;
    WindowCorner corner = WindowCorner::Centre;
    DWORD style = WS_POPUP | WS_VISIBLE;
    int icon = 0;  // resource ids; 0 for none
    int smallIcon = 0;
};

class PopupWindow : private AccessibleSource {
  public:
    ~PopupWindow() override = default;
    PopupWindow() = default;
    PopupWindow(const PopupWindow&) = delete;
    PopupWindow& operator=(const PopupWindow&) = delete;

    // Opens the window and runs the thread's message loop until WM_QUIT (sent when the window is
    // destroyed); returns the quit code, or 0 when the window could not be made.
    int Run(HINSTANCE instance, const PopupOptions& options, int show);

    HWND hwnd() const noexcept { return hwnd_; }
    double scale() const noexcept { return scale_; }  // screen pixels per design unit
    void Repaint() const { InvalidateRect(hwnd_, nullptr, FALSE); }

  protected:
    // The whole client area, in design units.
    virtual void Paint(ICanvas& canvas, const Rect& client) = 0;
    // Whether a point of the client area (design units) drags the window.
    virtual bool InCaption(Point at) const = 0;
    virtual void OnClick(Point /*at*/) {}
    virtual void OnMouseMove(Point /*at*/) {}
    virtual void OnMouseLeave() {}
    // After the window has been re-scaled for another DPI.
    virtual void OnScaleChanged() {}
    // Any message, before the host's own handling; a value ends it with that result.
    virtual std::optional<LRESULT> OnMessage(UINT /*message*/, WPARAM, LPARAM) {
        return std::nullopt;
    }
    // The window's texts and controls in reading order, as it paints them now.
    virtual std::vector<AccessibleItem> AccessibleItems() { return {}; }

  private:
    // AccessibleSource
    std::vector<AccessibleItem> Items() override { return AccessibleItems(); }
    std::optional<std::size_t> FocusedItem() const override { return focus_; }
    RECT ToScreen(const Rect& design) const override;
    void RequestPress(std::size_t item) override;

    // Presses a control the way a click on its centre would.
    void Press(std::size_t item);
    bool OnKey(WPARAM key);
    // Tells screen readers of the announced items whose names changed since the last paint.
    void AnnounceChanges(const std::vector<AccessibleItem>& items);

    static LRESULT CALLBACK Procedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT Handle(UINT message, WPARAM wParam, LPARAM lParam);
    Point DesignPoint(LPARAM lParam) const;

    HWND hwnd_ = nullptr;
    std::shared_ptr<AccessibleLink> link_ = std::make_shared<AccessibleLink>();
    std::optional<std::size_t> focus_;  // an index into AccessibleItems()
    bool focusCues_ = false;            // shown once the keyboard has been used
    std::vector<std::wstring> spoken_;  // the names last told, by item
    double scale_ = 1.0;
    Size design_;
    int margin_ = 0;
};

}  // namespace velmora::ui
