#pragma once

// The colours the meter and its installer share: one dark theme with a yellow accent.

#include "ui/canvas.h"

namespace velmora::ui::palette {

inline constexpr Rgb kBackground{10, 10, 10};
inline constexpr Rgb kHeader{18, 18, 18};  // header bands and dark buttons
inline constexpr Rgb kEdge{58, 58, 58};    // thin outlines
inline constexpr Rgb kAccent{255, 208, 0};
inline constexpr Rgb kSecondary{180, 180, 180};  // secondary text
inline constexpr Rgb kWhite{255, 255, 255};

}  // namespace velmora::ui::palette
