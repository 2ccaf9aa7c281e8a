#pragma once

// The host both programs' windows stand on: a borderless popup drawn in design units. It
// registers the class, places the window for the screen's DPI, runs the message loop, follows
// DPI changes, paints through a memory bitmap, lets the caption band drag the window, hands
// clicks and the mouse over in design units, and keeps every exception inside the window
// procedure. From the window's AccessibleItems it also gives the keyboard (Tab and Shift+Tab
// move among the controls, Enter and Space press the focused one, Esc closes as WM_CLOSE does;
// a held key acts once) and screen readers (an MSAA tree, and on each Publish the focus, state,
// value and live-region events of what changed) what the mouse and the eye get. Focus and
// events follow each item's id, so a list that grows or shrinks moves neither.
// A window keeps only its own handlers.

#include <windows.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ui/accessible.h"
#include "ui/accessible_win.h"
#include "ui/canvas.h"
#include "ui/palette.h"
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
    // Run's first half: the window made and shown; false when it could not be made.
    bool Open(HINSTANCE instance, const PopupOptions& options, int show);

    HWND hwnd() const noexcept { return hwnd_; }
    double scale() const noexcept { return scale_; }  // screen pixels per design unit
    // The contrast theme's colours while the user has one on, else null (the design's look).
    const ContrastColours* contrast() const noexcept { return contrast_ ? &*contrast_ : nullptr; }
    void Repaint() const { InvalidateRect(hwnd_, nullptr, FALSE); }
    // The client area's accessible object as WM_GETOBJECT hands it out (a reference, the
    // caller's).
    IAccessible* AccessibleObject() const { return CreateClientAccessible(link_); }
    // The state the items are built from has changed: tells screen readers what changed (on the
    // window's thread, waiting for it from any other) and repaints.
    void Publish() const;

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
    std::vector<AccessibleChild> Children() override;
    std::optional<long> Focus() const override;
    RECT ToScreen(const Rect& design) const override;
    void RequestPress(long child) override;

    // The item's MSAA child id, given on first sight.
    long ChildOf(const std::string& id);
    // Presses a control the way a click on its centre would.
    void Press(const std::string& id);
    bool OnKey(WPARAM key, LPARAM flags);
    void MoveFocus(std::optional<std::string> to);
    // Compares the items with those last told and tells screen readers the difference.
    void TellChanges();

    static LRESULT CALLBACK Procedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT Handle(UINT message, WPARAM wParam, LPARAM lParam);
    Point DesignPoint(LPARAM lParam) const;

    HWND hwnd_ = nullptr;
    std::shared_ptr<AccessibleLink> link_ = std::make_shared<AccessibleLink>();
    std::optional<std::string> focus_;   // the id of the focused control
    bool focusCues_ = false;             // shown once the keyboard has been used
    std::vector<AccessibleItem> told_;   // the items as screen readers last heard of them
    std::vector<std::string> children_;  // item ids by MSAA child id - 1
    std::optional<ContrastColours> contrast_;
    double scale_ = 1.0;
    Size design_;
    int margin_ = 0;
};

}  // namespace velmora::ui
