#pragma once

// What the dashboard and the gauge draw with. The Windows implementation issues the GDI and
// GDI+ calls; a recording one lets tests see what is drawn where; a Cairo one renders PNGs on
// Linux. Coordinates are client pixels.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace velmora::ui {

struct Rgb {
    std::uint8_t r = 0, g = 0, b = 0;
    friend bool operator==(const Rgb&, const Rgb&) = default;
};

struct Argb {
    std::uint8_t a = 255, r = 0, g = 0, b = 0;
    friend bool operator==(const Argb&, const Argb&) = default;
    std::uint32_t Packed() const {
        return (std::uint32_t{a} << 24) | (std::uint32_t{r} << 16) | (std::uint32_t{g} << 8) | b;
    }
};

struct Rect {
    int left = 0, top = 0, right = 0, bottom = 0;
    friend bool operator==(const Rect&, const Rect&) = default;
};

struct Point {
    int x = 0, y = 0;
    friend bool operator==(const Point&, const Point&) = default;
};

struct PointF {
    float x = 0, y = 0;
};

struct RectF {
    float x = 0, y = 0, width = 0, height = 0;
};

// DrawTextW flag sets: left / centre / right are single-line and vertically centred; the
// tooltip set (left) and right-cut cut the text with an ellipsis when it is too long; top-left
// is one unclipped line from the rectangle's top-left corner.
enum class TextAlign { Left, Centre, Right, Tooltip, TopLeft, RightCut };

enum class LineCap { Flat, Round, Triangle };

// A text wider than the box it is drawn in (design units), as a canvas measured it at its scale.
struct TextOverflow {
    std::string text;  // UTF-8
    double width = 0;
    double room = 0;
};

class ICanvas {
  public:
    virtual ~ICanvas() = default;

    // GDI, the dashboard.
    virtual void FillRect(const Rect& rect, Rgb colour) = 0;
    // Solid fill and a 1-pixel pen, corner ellipse `corner` x `corner`.
    virtual void RoundRect(const Rect& rect, int corner, Rgb fill, Rgb pen) = 0;
    virtual void Ellipse(const Rect& rect, Rgb fill, Rgb pen) = 0;
    // "Segoe UI" at `height` (negative: character height in pixels) and `weight`.
    virtual void Text(const Rect& rect, std::wstring_view text, Rgb colour, int height, int weight,
                      TextAlign align) = 0;
    virtual void Polyline(std::span<const Point> points, Rgb colour, int width) = 0;

    // GDI+, the gauge: anti-aliased, in floating-point world units, between BeginVector and
    // EndVector (the Windows canvas holds one GDI+ graphics object for that span).
    virtual void BeginVector() {}
    virtual void EndVector() {}
    virtual void Arc(const RectF& square, float startDegrees, float sweepDegrees, Argb colour,
                     float width) = 0;
    virtual void Line(PointF from, PointF to, Argb colour, float width, LineCap start,
                      LineCap end) = 0;
    // Centred horizontally and vertically in `layout`; size in points.
    virtual void TextF(const RectF& layout, std::wstring_view text, Argb colour, float points,
                       bool bold) = 0;
    // An ellipse filled with a path gradient from `centre` to `surround`, outlined.
    virtual void GradientEllipse(const RectF& bounds, Argb centre, Argb surround, Argb outline,
                                 float outlineWidth) = 0;
};

}  // namespace velmora::ui
