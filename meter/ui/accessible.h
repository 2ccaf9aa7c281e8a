#pragma once

// What a self-painted window offers the keyboard and assistive technology: its texts and
// controls as a flat list in reading order, and how the keyboard focus moves among the
// controls. Portable: each window builds the list from the state it paints, and the Windows host
// (popup_window_win.h) turns it into keyboard handling, a focus cue and an MSAA tree.

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "ui/canvas.h"

namespace velmora::ui {

enum class AccessibleRole { Text, Button, CheckBox, ProgressBar };

struct AccessibleItem {
    AccessibleRole role = AccessibleRole::Text;
    std::wstring name;
    std::wstring value;  // a progress bar's percentage, a number from 0 to 100
    Rect rect;           // design units; pressing a control clicks its centre
    bool checked = false;
    // A live region (a status, a run's results): told to screen readers when it appears and
    // when its name changes, wherever the user is; a live value's every change is not.
    bool announce = false;
    // A control that does nothing now (a button during the job it started).
    bool unavailable = false;
    // Who the item is, whatever its position and name: focus, announcements and the MSAA child
    // follow it while the list around it changes.
    std::string id{};

    bool Focusable() const {
        return role == AccessibleRole::Button || role == AccessibleRole::CheckBox;
    }
};

// The focus after Tab (or Shift+Tab, `backwards`) from `current` (an index into `items`, or none):
// the next control in reading order, round again after the last. None when there is no control.
std::optional<std::size_t> NextFocus(const std::vector<AccessibleItem>& items,
                                     std::optional<std::size_t> current, bool backwards);

// The index of the item `id` in `items`, if it is there.
std::optional<std::size_t> IndexOf(const std::vector<AccessibleItem>& items, const std::string& id);

// Where the focus goes when the list changes from `before` to `after`: it stays on its control
// while that is there; when it went away, to the next control after it that is still there,
// else the first control. None when `after` has no control.
std::optional<std::string> FocusAfterChange(const std::vector<AccessibleItem>& before,
                                            const std::vector<AccessibleItem>& after,
                                            const std::optional<std::string>& focus);

// The focus cue: a rectangle just outside the control, drawn only once the keyboard has been
// used, so that what mouse users see does not change; white, or a contrast theme's text colour.
void DrawFocusCue(ICanvas& canvas, const Rect& control, Rgb colour = {255, 255, 255});

}  // namespace velmora::ui
