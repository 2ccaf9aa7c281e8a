#pragma once

// The MSAA face of a PopupWindow: the IAccessible that answers WM_GETOBJECT for the client
// area, its children the window's AccessibleItems.

#include <windows.h>
// After windows.h, which it needs.
#include <oleacc.h>

#include <memory>
#include <optional>
#include <vector>

#include "ui/accessible.h"

namespace velmora::ui {

// What the accessible object asks of its window, on the window's thread.
class AccessibleSource {
  public:
    virtual ~AccessibleSource() = default;
    virtual std::vector<AccessibleItem> Items() = 0;
    virtual std::optional<std::size_t> FocusedItem() const = 0;
    // Screen pixels of a rectangle in design units.
    virtual RECT ToScreen(const Rect& design) const = 0;
    // The item's default action; asked from any thread, done on the window's.
    virtual void RequestPress(std::size_t item) = 0;
};

// The link between a window and the objects it handed out: cut when the window goes, after
// which they answer that they are gone (a client may hold one longer than the window lives).
struct AccessibleLink {
    HWND hwnd = nullptr;
    AccessibleSource* source = nullptr;
};

// The client area's accessible object (one reference, the caller's).
IAccessible* CreateClientAccessible(std::shared_ptr<AccessibleLink> link);

// WM_GETOBJECT for OBJID_CLIENT: the object marshalled for the caller (LresultFromObject), or
// 0 when MSAA is not there.
LRESULT AnswerGetObject(const std::shared_ptr<AccessibleLink>& link, WPARAM wParam);

// Tells screen readers that an item's name changed (and, for live regions, that it is news).
void AnnounceNameChange(HWND hwnd, std::size_t item);
void AnnounceFocus(HWND hwnd, std::size_t item);

}  // namespace velmora::ui
