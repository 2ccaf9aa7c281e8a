#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "ui/canvas.h"

typedef struct _cairo cairo_t;
typedef struct _cairo_surface cairo_surface_t;

namespace velmora::ui {

// Draws the dashboard with Cairo on Linux: into an image for PNGs and tests. Text uses the face
// that fontconfig finds closest to "Segoe UI". Callers draw in design units; the image is
// `scale` times their size.
class CairoCanvas final : public ICanvas {
  public:
    CairoCanvas(int width, int height, double scale = 1.0);
    ~CairoCanvas() override;
    CairoCanvas(const CairoCanvas&) = delete;
    CairoCanvas& operator=(const CairoCanvas&) = delete;

    void FillRect(const Rect& rect, Rgb colour) override;
    void RoundRect(const Rect& rect, int corner, Rgb fill, Rgb pen) override;
    void Ellipse(const Rect& rect, Rgb fill, Rgb pen) override;
    void Text(const Rect& rect, std::wstring_view text, Rgb colour, int height, int weight,
              TextAlign align) override;
    void Polyline(std::span<const Point> points, Rgb colour, int width) override;
    void Arc(const RectF& square, float startDegrees, float sweepDegrees, Argb colour,
             float width) override;
    void Line(PointF from, PointF to, Argb colour, float width, LineCap start,
              LineCap end) override;
    void TextF(const RectF& layout, std::wstring_view text, Argb colour, float points,
               bool bold) override;
    void GradientEllipse(const RectF& bounds, Argb centre, Argb surround, Argb outline,
                         float outlineWidth) override;

    // The colour at a pixel, for tests.
    Rgb PixelAt(int x, int y);
    bool WritePng(const std::filesystem::path& file);
    // Every single-line text so far that did not fit its box (texts that may overflow by design,
    // unclipped or cut with an ellipsis, are not measured).
    const std::vector<TextOverflow>& Overflows() const { return overflows_; }

  private:
    void ShowText(double left, double top, double width, double height, const std::string& utf8,
                  double pixels, bool bold, TextAlign align);

    cairo_surface_t* surface_;
    cairo_t* cr_;
    std::vector<TextOverflow> overflows_;
};

}  // namespace velmora::ui
