#pragma once

// The host both programs' windows stand on: a borderless popup drawn in design units. It
// registers the class, places the window for the screen's DPI, runs the message loop, follows
// DPI changes, paints through a memory bitmap, lets the caption band drag the window, hands
// clicks and the mouse over in design units, and keeps every exception inside the window
// procedure. A window keeps only its own handlers.

#include <windows.h>

#include <optional>

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

class PopupWindow {
  public:
    virtual ~PopupWindow() = default;
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

  private:
    static LRESULT CALLBACK Procedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT Handle(UINT message, WPARAM wParam, LPARAM lParam);
    Point DesignPoint(LPARAM lParam) const;

    HWND hwnd_ = nullptr;
    double scale_ = 1.0;
    Size design_;
    int margin_ = 0;
};

}  // namespace velmora::ui
