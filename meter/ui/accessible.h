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
    std::wstring value;  // a progress bar's percentage
    Rect rect;           // design units; pressing a control clicks its centre
    bool checked = false;
    // A change of name is told to screen readers (a status, a final result), not every change
    // of a live value.
    bool announce = false;

    bool Focusable() const {
        return role == AccessibleRole::Button || role == AccessibleRole::CheckBox;
    }
};

// The focus after Tab (or Shift+Tab, `backwards`) from `current` (an index into `items`, or none):
// the next control in reading order, round again after the last. None when there is no control.
std::optional<std::size_t> NextFocus(const std::vector<AccessibleItem>& items,
                                     std::optional<std::size_t> current, bool backwards);

// The focus cue: a rectangle just outside the control, drawn only once the keyboard has been
// used, so that what mouse users see does not change.
void DrawFocusCue(ICanvas& canvas, const Rect& control);

}  // namespace velmora::ui
