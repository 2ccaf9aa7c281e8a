#pragma once

#include <windows.h>

#include <functional>
#include <vector>

#include "common/win32_handles.h"
#include "ui/canvas.h"

namespace velmora::ui {

// Draws on a device context with GDI, and with GDI+ between BeginVector and EndVector. Every
// font, pen and brush is made for one call and deleted right after it. Callers draw in design
// units; `scale` (device pixels per unit) is applied by both GDI's and GDI+'s world transforms,
// fonts included, so the picture is the same at every DPI.
class GdiCanvas final : public ICanvas {
  public:
    explicit GdiCanvas(HDC dc, double scale = 1.0);
    ~GdiCanvas() override;
    GdiCanvas(const GdiCanvas&) = delete;
    GdiCanvas& operator=(const GdiCanvas&) = delete;

    void FillRect(const Rect& rect, Rgb colour) override;
    void RoundRect(const Rect& rect, int corner, Rgb fill, Rgb pen) override;
    void Ellipse(const Rect& rect, Rgb fill, Rgb pen) override;
    void Text(const Rect& rect, std::wstring_view text, Rgb colour, int height, int weight,
              TextAlign align) override;
    void Polyline(std::span<const Point> points, Rgb colour, int width) override;

    void BeginVector() override;
    void EndVector() override;
    void Arc(const RectF& square, float startDegrees, float sweepDegrees, Argb colour,
             float width) override;
    void Line(PointF from, PointF to, Argb colour, float width, LineCap start,
              LineCap end) override;
    void TextF(const RectF& layout, std::wstring_view text, Argb colour, float points,
               bool bold) override;
    void GradientEllipse(const RectF& bounds, Argb centre, Argb surround, Argb outline,
                         float outlineWidth) override;

    // From now on, measures every single-line text against its box as the fonts render at this
    // scale (texts that are cut with an ellipsis or unclipped by design are not measured).
    void MeasureTexts() { measuring_ = true; }
    const std::vector<TextOverflow>& Overflows() const { return overflows_; }

  private:
    void ScaleDc();

    HDC dc_;
    double scale_;
    bool measuring_ = false;
    std::vector<TextOverflow> overflows_;
    win32::gdip::Graphics graphics_;  // while a vector span is open
};

// Handles WM_PAINT: `paint` draws the whole client area (given in design units: the client
// size over `scale`) on a memory bitmap, which is then copied to the window in one go, so a
// repaint never flickers.
void PaintBuffered(HWND hwnd, double scale,
                   const std::function<void(ICanvas&, const Rect& client)>& paint);

}  // namespace velmora::ui
