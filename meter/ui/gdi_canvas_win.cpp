#include "ui/gdi_canvas_win.h"

#include <cmath>
#include <string>
#include <vector>

#include "common/text.h"

namespace velmora::ui {
namespace {

namespace gp = Gdiplus::DllExports;
namespace owned = win32::gdip;
using Gdiplus::GpFontFamily;
using win32::GdiObject;
using win32::SelectScope;

constexpr float kPointsToDesignUnits = 96.0f / 72.0f;

COLORREF Ref(Rgb c) {
    return RGB(c.r, c.g, c.b);
}
Gdiplus::ARGB Packed(Argb c) {
    return c.Packed();
}
RECT Win(const Rect& r) {
    return {r.left, r.top, r.right, r.bottom};
}

UINT Flags(TextAlign align) {
    switch (align) {
        case TextAlign::Centre:
            return DT_SINGLELINE | DT_VCENTER | DT_CENTER;
        case TextAlign::Right:
            return DT_SINGLELINE | DT_VCENTER | DT_RIGHT;
        case TextAlign::Tooltip:
            return DT_SINGLELINE | DT_VCENTER | DT_END_ELLIPSIS;
        case TextAlign::RightCut:
            return DT_SINGLELINE | DT_VCENTER | DT_RIGHT | DT_END_ELLIPSIS;
        case TextAlign::TopLeft:
            return DT_SINGLELINE | DT_NOCLIP;
        case TextAlign::Left:
        default:
            return DT_SINGLELINE | DT_VCENTER;
    }
}

Gdiplus::LineCap Cap(LineCap cap) {
    switch (cap) {
        case LineCap::Round:
            return Gdiplus::LineCapRound;
        case LineCap::Triangle:
            return Gdiplus::LineCapTriangle;
        case LineCap::Flat:
        default:
            return Gdiplus::LineCapFlat;
    }
}

// "Segoe UI" where it exists; otherwise the closest face that is installed (Wine and Linux
// have Liberation Sans, metric-compatible with Arial); the generic sans-serif at worst.
owned::FontFamily GaugeFontFamily() {
    GpFontFamily* family = nullptr;
    for (const wchar_t* face : {L"Segoe UI", L"Liberation Sans", L"Arial", L"Tahoma"}) {
        if (gp::GdipCreateFontFamilyFromName(face, nullptr, &family) == Gdiplus::Ok) {
            return owned::FontFamily(family);
        }
    }
    gp::GdipGetGenericFontFamilySansSerif(&family);
    return owned::FontFamily(family);
}

}  // namespace

GdiCanvas::GdiCanvas(HDC dc, double scale) : dc_(dc), scale_(scale) {
    SetBkMode(dc_, TRANSPARENT);
    SetGraphicsMode(dc_, GM_ADVANCED);
    ScaleDc();
}

void GdiCanvas::ScaleDc() {
    const auto s = static_cast<FLOAT>(scale_);
    const XFORM transform{s, 0, 0, s, 0, 0};
    SetWorldTransform(dc_, &transform);
}

GdiCanvas::~GdiCanvas() {
    EndVector();
    // A copy from this DC would be transformed by its scale a second time.
    ModifyWorldTransform(dc_, nullptr, MWT_IDENTITY);
}

void GdiCanvas::FillRect(const Rect& rect, Rgb colour) {
    const GdiObject brush(CreateSolidBrush(Ref(colour)));
    const RECT r = Win(rect);
    ::FillRect(dc_, &r, static_cast<HBRUSH>(brush.get()));
}

void GdiCanvas::RoundRect(const Rect& rect, int corner, Rgb fill, Rgb pen) {
    const GdiObject brush(CreateSolidBrush(Ref(fill)));
    const GdiObject outline(CreatePen(PS_SOLID, 1, Ref(pen)));
    const SelectScope useBrush(dc_, brush.get());
    const SelectScope usePen(dc_, outline.get());
    ::RoundRect(dc_, rect.left, rect.top, rect.right, rect.bottom, corner, corner);
}

void GdiCanvas::Ellipse(const Rect& rect, Rgb fill, Rgb pen) {
    const GdiObject brush(CreateSolidBrush(Ref(fill)));
    const GdiObject outline(CreatePen(PS_SOLID, 1, Ref(pen)));
    const SelectScope useBrush(dc_, brush.get());
    const SelectScope usePen(dc_, outline.get());
    ::Ellipse(dc_, rect.left, rect.top, rect.right, rect.bottom);
}

void GdiCanvas::Text(const Rect& rect, std::wstring_view text, Rgb colour, int height, int weight,
                     TextAlign align) {
    const GdiObject font(CreateFontW(height, 0, 0, 0, weight, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                                     OUT_OUTLINE_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY,
                                     VARIABLE_PITCH, L"Segoe UI"));
    const SelectScope useFont(dc_, font.get());
    SetTextColor(dc_, Ref(colour));
    SetBkMode(dc_, TRANSPARENT);
    RECT r = Win(rect);
    if (measuring_ &&
        (align == TextAlign::Left || align == TextAlign::Centre || align == TextAlign::Right)) {
        RECT needed{};
        DrawTextW(dc_, text.data(), static_cast<int>(text.size()), &needed,
                  DT_SINGLELINE | DT_CALCRECT);
        if (needed.right > rect.right - rect.left) {
            overflows_.push_back({WideToUtf8(text), static_cast<double>(needed.right),
                                  static_cast<double>(rect.right - rect.left)});
        }
    }
    DrawTextW(dc_, text.data(), static_cast<int>(text.size()), &r, Flags(align));
}

void GdiCanvas::Polyline(std::span<const Point> points, Rgb colour, int width) {
    if (points.empty()) {
        return;
    }
    const GdiObject pen(CreatePen(PS_SOLID, width, Ref(colour)));
    const SelectScope usePen(dc_, pen.get());
    MoveToEx(dc_, points[0].x, points[0].y, nullptr);
    for (std::size_t k = 1; k < points.size(); ++k) {
        LineTo(dc_, points[k].x, points[k].y);
    }
}

void GdiCanvas::BeginVector() {
    if (graphics_) {
        return;
    }
    // GDI+ keeps a transform of its own; the DC's would be applied on top of it by some
    // implementations (Wine's), so the DC goes back to device units for the span.
    ModifyWorldTransform(dc_, nullptr, MWT_IDENTITY);
    Gdiplus::GpGraphics* graphics = nullptr;
    if (gp::GdipCreateFromHDC(dc_, &graphics) != Gdiplus::Ok) {
        ScaleDc();
        return;
    }
    graphics_.reset(graphics);
    gp::GdipScaleWorldTransform(graphics, static_cast<float>(scale_), static_cast<float>(scale_),
                                Gdiplus::MatrixOrderPrepend);
    gp::GdipSetSmoothingMode(graphics, Gdiplus::SmoothingModeAntiAlias);
    gp::GdipSetTextRenderingHint(graphics, Gdiplus::TextRenderingHintAntiAliasGridFit);
}

void GdiCanvas::EndVector() {
    if (graphics_) {
        graphics_.reset();
        ScaleDc();
    }
}

namespace {

// A pen for one GDI+ call; none when GDI+ cannot make it.
owned::Pen MakePen(Argb colour, float width) {
    Gdiplus::GpPen* pen = nullptr;
    if (gp::GdipCreatePen1(Packed(colour), width, Gdiplus::UnitWorld, &pen) != Gdiplus::Ok) {
        return {};
    }
    return owned::Pen(pen);
}

}  // namespace

void GdiCanvas::Arc(const RectF& square, float startDegrees, float sweepDegrees, Argb colour,
                    float width) {
    const owned::Pen pen = graphics_ ? MakePen(colour, width) : owned::Pen();
    if (!pen) {
        return;
    }
    gp::GdipDrawArc(graphics_.get(), pen.get(), square.x, square.y, square.width, square.height,
                    startDegrees, sweepDegrees);
}

void GdiCanvas::Line(PointF from, PointF to, Argb colour, float width, LineCap start, LineCap end) {
    const owned::Pen pen = graphics_ ? MakePen(colour, width) : owned::Pen();
    if (!pen) {
        return;
    }
    if (start != LineCap::Flat) {
        gp::GdipSetPenStartCap(pen.get(), Cap(start));
    }
    if (end != LineCap::Flat) {
        gp::GdipSetPenEndCap(pen.get(), Cap(end));
    }
    gp::GdipDrawLine(graphics_.get(), pen.get(), from.x, from.y, to.x, to.y);
}

void GdiCanvas::TextF(const RectF& layout, std::wstring_view text, Argb colour, float points,
                      bool bold) {
    if (!graphics_) {
        return;
    }
    const owned::FontFamily family = GaugeFontFamily();
    Gdiplus::GpFont* rawFont = nullptr;
    Gdiplus::GpSolidFill* rawBrush = nullptr;
    Gdiplus::GpStringFormat* rawFormat = nullptr;
    // Points of the 96-dpi design, in design units: a point size would follow the screen's DPI
    // a second time, on top of the scale.
    if (family) {
        gp::GdipCreateFont(family.get(), points * kPointsToDesignUnits,
                           bold ? Gdiplus::FontStyleBold : Gdiplus::FontStyleRegular,
                           Gdiplus::UnitPixel, &rawFont);
    }
    const owned::Font font(rawFont);
    gp::GdipCreateSolidFill(Packed(colour), &rawBrush);
    const owned::Brush brush(rawBrush);
    gp::GdipCreateStringFormat(0, LANG_NEUTRAL, &rawFormat);
    const owned::StringFormat format(rawFormat);
    if (!font || !brush || !format) {
        return;
    }
    gp::GdipSetStringFormatAlign(rawFormat, Gdiplus::StringAlignmentCenter);
    gp::GdipSetStringFormatLineAlign(rawFormat, Gdiplus::StringAlignmentCenter);
    const Gdiplus::RectF box(layout.x, layout.y, layout.width, layout.height);
    const std::wstring copy(text);
    if (measuring_) {
        const Gdiplus::RectF unbounded(0, 0, 0, 0);
        Gdiplus::RectF needed;
        if (gp::GdipMeasureString(graphics_.get(), copy.c_str(), static_cast<INT>(copy.size()),
                                  rawFont, &unbounded, rawFormat, &needed, nullptr,
                                  nullptr) == Gdiplus::Ok &&
            needed.Width > layout.width + 0.5f) {
            overflows_.push_back({WideToUtf8(text), needed.Width, layout.width});
        }
    }
    gp::GdipDrawString(graphics_.get(), copy.c_str(), static_cast<INT>(copy.size()), rawFont, &box,
                       rawFormat, rawBrush);
}

void GdiCanvas::GradientEllipse(const RectF& bounds, Argb centre, Argb surround, Argb outline,
                                float outlineWidth) {
    Gdiplus::GpPath* rawPath = nullptr;
    if (!graphics_ || gp::GdipCreatePath(Gdiplus::FillModeAlternate, &rawPath) != Gdiplus::Ok) {
        return;
    }
    const owned::Path path(rawPath);
    gp::GdipAddPathEllipse(rawPath, bounds.x, bounds.y, bounds.width, bounds.height);
    Gdiplus::GpPathGradient* rawBrush = nullptr;
    if (gp::GdipCreatePathGradientFromPath(rawPath, &rawBrush) == Gdiplus::Ok) {
        const owned::Brush brush(rawBrush);
        gp::GdipSetPathGradientCenterColor(rawBrush, Packed(centre));
        INT count = 0;
        gp::GdipGetPathGradientPointCount(rawBrush, &count);
        if (count > 0) {
            std::vector<Gdiplus::ARGB> colours(static_cast<std::size_t>(count), Packed(surround));
            gp::GdipSetPathGradientSurroundColorsWithCount(rawBrush, colours.data(), &count);
        }
        gp::GdipFillEllipse(graphics_.get(), rawBrush, bounds.x, bounds.y, bounds.width,
                            bounds.height);
    }
    if (const owned::Pen pen = MakePen(outline, outlineWidth)) {
        gp::GdipDrawEllipse(graphics_.get(), pen.get(), bounds.x, bounds.y, bounds.width,
                            bounds.height);
    }
}

void PaintBuffered(HWND hwnd, double scale,
                   const std::function<void(ICanvas&, const Rect& client)>& paint) {
    const win32::PaintScope painting(hwnd);
    RECT client{};
    GetClientRect(hwnd, &client);
    const win32::MemoryDc frame(painting.get(), client.right, client.bottom);
    {
        GdiCanvas canvas(frame.get(), scale);
        paint(canvas, {0, 0, static_cast<int>(std::lround(client.right / scale)),
                       static_cast<int>(std::lround(client.bottom / scale))});
    }
    BitBlt(painting.get(), 0, 0, client.right, client.bottom, frame.get(), 0, 0, SRCCOPY);
}

}  // namespace velmora::ui
