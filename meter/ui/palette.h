#pragma once

// The colours the meter and its installer share: one dark theme with a yellow accent; and,
// when the user has chosen a contrast theme, the system colours that take its place.

#include "ui/canvas.h"

namespace velmora::ui::palette {

inline constexpr Rgb kBackground{10, 10, 10};
inline constexpr Rgb kHeader{18, 18, 18};  // header bands and dark buttons
inline constexpr Rgb kEdge{58, 58, 58};    // thin outlines
inline constexpr Rgb kAccent{255, 208, 0};
inline constexpr Rgb kSecondary{180, 180, 180};  // secondary text
inline constexpr Rgb kWhite{255, 255, 255};

}  // namespace velmora::ui::palette

namespace velmora::ui {

// A contrast theme's system colours (Windows: GetSysColor while SPI_GETHIGHCONTRAST says it is
// on). A window painted with one uses nothing else: texts and outlines in the window text
// colour on the window colour, buttons in button face and text with an outline of the text,
// the marks that carry a value (the active arc, the progress, a tick) in the highlight, and
// what does nothing now in grey text. Without one, the design's colours, unchanged.
struct ContrastColours {
    Rgb window;
    Rgb windowText;
    Rgb buttonFace;
    Rgb buttonText;
    Rgb highlight;
    Rgb highlightText;
    Rgb grayText;
};

}  // namespace velmora::ui
