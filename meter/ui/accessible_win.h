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

// An item with its MSAA child id: 1 and up, the same for the same item id as long as the
// window lives, so that an event names the item it was about even after the list has changed.
struct AccessibleChild {
    long child = 0;
    AccessibleItem item;
};

// What the accessible object asks of its window, on the window's thread.
class AccessibleSource {
  public:
    virtual ~AccessibleSource() = default;
    // In reading order.
    virtual std::vector<AccessibleChild> Children() = 0;
    // Who has the keyboard focus: none when the window is not the focused foreground window,
    // CHILDID_SELF for the window itself, else the child.
    virtual std::optional<long> Focus() const = 0;
    // Screen pixels of a rectangle in design units.
    virtual RECT ToScreen(const Rect& design) const = 0;
    // The child's default action; asked from any thread, done on the window's.
    virtual void RequestPress(long child) = 0;
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

// A check box's default action for its state, as Windows' own check boxes name it.
const wchar_t* DefaultActionOf(const AccessibleItem& item);

// Tells screen readers that a child is a polite live region (IAccPropServices, where the system
// has it): false where it does not, and then only the events carry the news.
bool MarkLiveRegion(HWND hwnd, long child);

// A WinEvent about one child of the client area (EVENT_OBJECT_FOCUS, _NAMECHANGE, ...;
// CHILDID_SELF for the client area itself).
void NotifyChild(HWND hwnd, DWORD event, long child);

// Event ids newer than some headers.
constexpr DWORD kLiveRegionChanged = 0x8019;  // EVENT_OBJECT_LIVEREGIONCHANGED

}  // namespace velmora::ui
