#include "ui/accessible.h"

#include <array>

namespace velmora::ui {

std::optional<std::size_t> NextFocus(const std::vector<AccessibleItem>& items,
                                     std::optional<std::size_t> current, bool backwards) {
    const std::size_t count = items.size();
    if (count == 0) {
        return std::nullopt;
    }
    // Start just outside the list, so that the first step lands on the first (or last) item.
    std::size_t at = current && *current < count ? *current : (backwards ? 0 : count - 1);
    for (std::size_t step = 0; step < count; ++step) {
        at = backwards ? (at + count - 1) % count : (at + 1) % count;
        if (items[at].Focusable()) {
            return at;
        }
    }
    return std::nullopt;
}

std::optional<std::size_t> IndexOf(const std::vector<AccessibleItem>& items,
                                   const std::string& id) {
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (items[i].id == id) {
            return i;
        }
    }
    return std::nullopt;
}

std::optional<std::string> FocusAfterChange(const std::vector<AccessibleItem>& before,
                                            const std::vector<AccessibleItem>& after,
                                            const std::optional<std::string>& focus) {
    const auto stays = [&](const std::string& id) {
        const auto at = IndexOf(after, id);
        return at && after[*at].Focusable();
    };
    if (focus && stays(*focus)) {
        return focus;
    }
    if (focus) {
        if (const auto was = IndexOf(before, *focus)) {
            for (std::size_t i = *was + 1; i < before.size(); ++i) {
                if (before[i].Focusable() && stays(before[i].id)) {
                    return before[i].id;
                }
            }
        }
    }
    if (const auto first = NextFocus(after, std::nullopt, false)) {
        return after[*first].id;
    }
    return std::nullopt;
}

void DrawFocusCue(ICanvas& canvas, const Rect& control, Rgb colour) {
    const Rect r{control.left - 3, control.top - 3, control.right + 3, control.bottom + 3};
    const std::array<Point, 5> outline{{{r.left, r.top},
                                        {r.right, r.top},
                                        {r.right, r.bottom},
                                        {r.left, r.bottom},
                                        {r.left, r.top}}};
    canvas.Polyline(outline, colour, 2);
}

}  // namespace velmora::ui
