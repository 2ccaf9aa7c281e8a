#include "ui/cairo_canvas.h"

#include <cairo.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <string>

#include "common/text.h"

namespace velmora::ui {
namespace {

constexpr double kDegrees = std::numbers::pi / 180.0;
constexpr double kPointsToPixels = 96.0 / 72.0;  // GDI+ points at the usual 96 dpi

void SetRgb(cairo_t* cr, Rgb c) {
    cairo_set_source_rgb(cr, c.r / 255.0, c.g / 255.0, c.b / 255.0);
}
void SetArgb(cairo_t* cr, Argb c) {
    cairo_set_source_rgba(cr, c.r / 255.0, c.g / 255.0, c.b / 255.0, c.a / 255.0);
}

void RoundedPath(cairo_t* cr, const Rect& r, double radius) {
    cairo_new_path(cr);
    const double l = r.left, t = r.top, w = r.right - r.left, h = r.bottom - r.top;
    radius = std::min({radius, w / 2, h / 2});
    cairo_new_sub_path(cr);
    cairo_arc(cr, l + w - radius, t + radius, radius, -90 * kDegrees, 0);
    cairo_arc(cr, l + w - radius, t + h - radius, radius, 0, 90 * kDegrees);
    cairo_arc(cr, l + radius, t + h - radius, radius, 90 * kDegrees, 180 * kDegrees);
    cairo_arc(cr, l + radius, t + radius, radius, 180 * kDegrees, 270 * kDegrees);
    cairo_close_path(cr);
}

cairo_line_cap_t Cap(LineCap cap) {
    return cap == LineCap::Flat ? CAIRO_LINE_CAP_BUTT : CAIRO_LINE_CAP_ROUND;
}

}  // namespace

CairoCanvas::CairoCanvas(int width, int height, double scale)
    : surface_(cairo_image_surface_create(CAIRO_FORMAT_RGB24,
                                          static_cast<int>(std::lround(width * scale)),
                                          static_cast<int>(std::lround(height * scale)))),
      cr_(cairo_create(surface_)) {
    cairo_scale(cr_, scale, scale);
}

CairoCanvas::~CairoCanvas() {
    cairo_destroy(cr_);
    cairo_surface_destroy(surface_);
}

void CairoCanvas::FillRect(const Rect& rect, Rgb colour) {
    SetRgb(cr_, colour);
    cairo_rectangle(cr_, rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top);
    cairo_fill(cr_);
}

void CairoCanvas::RoundRect(const Rect& rect, int corner, Rgb fill, Rgb pen) {
    RoundedPath(cr_, rect, corner / 2.0);
    SetRgb(cr_, fill);
    cairo_fill_preserve(cr_);
    SetRgb(cr_, pen);
    cairo_set_line_width(cr_, 1);
    cairo_stroke(cr_);
}

void CairoCanvas::Ellipse(const Rect& rect, Rgb fill, Rgb pen) {
    const double w = rect.right - rect.left, h = rect.bottom - rect.top;
    cairo_new_path(cr_);
    cairo_save(cr_);
    cairo_translate(cr_, rect.left + w / 2, rect.top + h / 2);
    cairo_scale(cr_, w / 2, h / 2);
    cairo_arc(cr_, 0, 0, 1, 0, 2 * std::numbers::pi);
    cairo_restore(cr_);
    SetRgb(cr_, fill);
    cairo_fill_preserve(cr_);
    SetRgb(cr_, pen);
    cairo_set_line_width(cr_, 1);
    cairo_stroke(cr_);
}

void CairoCanvas::ShowText(double left, double top, double width, double height,
                           const std::string& utf8, double pixels, bool bold, TextAlign align) {
    cairo_select_font_face(cr_, "Segoe UI", CAIRO_FONT_SLANT_NORMAL,
                           bold ? CAIRO_FONT_WEIGHT_BOLD : CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_font_size(cr_, pixels);
    std::string text = utf8;
    cairo_text_extents_t extents{};
    cairo_text_extents(cr_, text.c_str(), &extents);
    const bool cut = align == TextAlign::Tooltip || align == TextAlign::RightCut;
    if (cut && extents.x_advance > width) {
        // Cut at a character boundary and end with an ellipsis, as DT_END_ELLIPSIS does.
        while (!text.empty() && extents.x_advance > width) {
            // Drop the last character whole: its continuation bytes, then its lead byte (a
            // lone lead byte is invalid UTF-8, which leaves Cairo drawing nothing more).
            while (!text.empty() && (static_cast<unsigned char>(text.back()) & 0xC0) == 0x80) {
                text.pop_back();
            }
            if (!text.empty()) {
                text.pop_back();
            }
            const std::string candidate = text + "\xE2\x80\xA6";
            cairo_text_extents(cr_, candidate.c_str(), &extents);
        }
        text += "\xE2\x80\xA6";
    }
    if (align != TextAlign::Tooltip && align != TextAlign::TopLeft &&
        extents.x_advance > width + 0.5) {
        overflows_.push_back({text, extents.x_advance, width});
    }
    cairo_font_extents_t font{};
    cairo_font_extents(cr_, &font);
    double x = left;
    if (align == TextAlign::Centre) {
        x = left + (width - extents.x_advance) / 2;
    } else if (align == TextAlign::Right || align == TextAlign::RightCut) {
        x = left + width - extents.x_advance;
    }
    if (align == TextAlign::TopLeft) {
        cairo_move_to(cr_, x, top + font.ascent);
        cairo_show_text(cr_, text.c_str());
        cairo_new_path(cr_);
        return;
    }
    const double y = top + (height - (font.ascent + font.descent)) / 2 + font.ascent;
    // Clipped at the sides like DrawTextW; a little room above and below for accents.
    cairo_save(cr_);
    cairo_rectangle(cr_, left, top - height / 4, width, height * 1.5);
    cairo_clip(cr_);
    cairo_move_to(cr_, x, y);
    cairo_show_text(cr_, text.c_str());
    cairo_restore(cr_);
    cairo_new_path(cr_);
}

void CairoCanvas::Text(const Rect& rect, std::wstring_view text, Rgb colour, int height, int weight,
                       TextAlign align) {
    SetRgb(cr_, colour);
    ShowText(rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top, WideToUtf8(text),
             std::abs(height), weight >= 600, align);
}

void CairoCanvas::Polyline(std::span<const Point> points, Rgb colour, int width) {
    if (points.empty()) {
        return;
    }
    cairo_new_path(cr_);
    cairo_move_to(cr_, points[0].x, points[0].y);
    for (std::size_t k = 1; k < points.size(); ++k) {
        cairo_line_to(cr_, points[k].x, points[k].y);
    }
    SetRgb(cr_, colour);
    cairo_set_line_width(cr_, width);
    cairo_stroke(cr_);
}

void CairoCanvas::Arc(const RectF& square, float startDegrees, float sweepDegrees, Argb colour,
                      float width) {
    cairo_new_path(cr_);
    cairo_arc(cr_, square.x + square.width / 2, square.y + square.height / 2, square.width / 2,
              startDegrees * kDegrees, (startDegrees + sweepDegrees) * kDegrees);
    SetArgb(cr_, colour);
    cairo_set_line_width(cr_, width);
    cairo_set_line_cap(cr_, CAIRO_LINE_CAP_BUTT);
    cairo_stroke(cr_);
}

void CairoCanvas::Line(PointF from, PointF to, Argb colour, float width, LineCap start,
                       LineCap end) {
    cairo_new_path(cr_);
    cairo_move_to(cr_, from.x, from.y);
    cairo_line_to(cr_, to.x, to.y);
    SetArgb(cr_, colour);
    cairo_set_line_width(cr_, width);
    cairo_set_line_cap(
        cr_, start == LineCap::Flat && end == LineCap::Flat ? CAIRO_LINE_CAP_BUTT : Cap(start));
    cairo_stroke(cr_);
    cairo_set_line_cap(cr_, CAIRO_LINE_CAP_BUTT);
}

void CairoCanvas::TextF(const RectF& layout, std::wstring_view text, Argb colour, float points,
                        bool bold) {
    SetArgb(cr_, colour);
    ShowText(layout.x, layout.y, layout.width, layout.height, WideToUtf8(text),
             points * kPointsToPixels, bold, TextAlign::Centre);
}

void CairoCanvas::GradientEllipse(const RectF& bounds, Argb centre, Argb surround, Argb outline,
                                  float outlineWidth) {
    const double cx = bounds.x + bounds.width / 2, cy = bounds.y + bounds.height / 2;
    const double r = bounds.width / 2;
    cairo_pattern_t* gradient = cairo_pattern_create_radial(cx, cy, 0, cx, cy, r);
    cairo_pattern_add_color_stop_rgba(gradient, 0, centre.r / 255.0, centre.g / 255.0,
                                      centre.b / 255.0, centre.a / 255.0);
    cairo_pattern_add_color_stop_rgba(gradient, 1, surround.r / 255.0, surround.g / 255.0,
                                      surround.b / 255.0, surround.a / 255.0);
    cairo_new_path(cr_);
    cairo_arc(cr_, cx, cy, r, 0, 2 * std::numbers::pi);
    cairo_set_source(cr_, gradient);
    cairo_fill_preserve(cr_);
    cairo_pattern_destroy(gradient);
    SetArgb(cr_, outline);
    cairo_set_line_width(cr_, outlineWidth);
    cairo_stroke(cr_);
}

Rgb CairoCanvas::PixelAt(int x, int y) {
    cairo_surface_flush(surface_);
    const unsigned char* data = cairo_image_surface_get_data(surface_);
    const int stride = cairo_image_surface_get_stride(surface_);
    const auto pixel = *reinterpret_cast<const std::uint32_t*>(data + y * stride + x * 4);
    return {static_cast<std::uint8_t>(pixel >> 16), static_cast<std::uint8_t>(pixel >> 8),
            static_cast<std::uint8_t>(pixel)};
}

bool CairoCanvas::WritePng(const std::filesystem::path& file) {
    return cairo_surface_write_to_png(surface_, file.c_str()) == CAIRO_STATUS_SUCCESS;
}

}  // namespace velmora::ui
