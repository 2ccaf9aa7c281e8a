#pragma once

#include <filesystem>

#include "ui/canvas.h"

typedef struct _cairo cairo_t;
typedef struct _cairo_surface cairo_surface_t;

namespace velmora::ui {

// Draws the dashboard with Cairo on Linux: into an image for PNGs and tests. Text uses the face
// that fontconfig finds closest to "Segoe UI".
class CairoCanvas final : public ICanvas {
  public:
    CairoCanvas(int width, int height);
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

  private:
    void ShowText(double left, double top, double width, double height, const std::string& utf8,
                  double pixels, bool bold, TextAlign align);

    cairo_surface_t* surface_;
    cairo_t* cr_;
};

}  // namespace velmora::ui
