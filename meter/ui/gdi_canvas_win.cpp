#include "ui/gdi_canvas_win.h"

#include <objidl.h>
// After objidl.h, which WIN32_LEAN_AND_MEAN leaves out.
#include <gdiplus.h>

#include <cmath>
#include <string>
#include <vector>

#include "common/text.h"
#include "common/unique_handle.h"

namespace velmora::ui {
namespace {

namespace gp = Gdiplus::DllExports;
using Gdiplus::GpBrush;
using Gdiplus::GpFont;
using Gdiplus::GpFontFamily;
using Gdiplus::GpGraphics;
using Gdiplus::GpPen;
using Gdiplus::GpStringFormat;

struct GdiObjectTraits {
    using Type = HGDIOBJ;
    static Type Invalid() noexcept { return nullptr; }
    static void Close(Type object) noexcept { DeleteObject(object); }
};
using GdiObject = UniqueHandle<GdiObjectTraits>;

// Selects an object into a DC for one scope and puts the old one back.
class SelectScope {
  public:
    SelectScope(HDC dc, HGDIOBJ object) : dc_(dc), old_(SelectObject(dc, object)) {}
    ~SelectScope() { SelectObject(dc_, old_); }
    SelectScope(const SelectScope&) = delete;
    SelectScope& operator=(const SelectScope&) = delete;

  private:
    HDC dc_;
    HGDIOBJ old_;
};

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
// have Liberation Sans, metric-compatible with Arial), never a null family.
GpFontFamily* GaugeFontFamily() {
    GpFontFamily* family = nullptr;
    for (const wchar_t* face : {L"Segoe UI", L"Liberation Sans", L"Arial", L"Tahoma"}) {
        if (gp::GdipCreateFontFamilyFromName(face, nullptr, &family) == Gdiplus::Ok) {
            return family;
        }
    }
    gp::GdipGetGenericFontFamilySansSerif(&family);
    return family;
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
    if (graphics_ != nullptr) {
        return;
    }
    // GDI+ keeps a transform of its own; the DC's would be applied on top of it by some
    // implementations (Wine's), so the DC goes back to device units for the span.
    ModifyWorldTransform(dc_, nullptr, MWT_IDENTITY);
    GpGraphics* graphics = nullptr;
    if (gp::GdipCreateFromHDC(dc_, &graphics) != Gdiplus::Ok) {
        ScaleDc();
        return;
    }
    gp::GdipScaleWorldTransform(graphics, static_cast<float>(scale_), static_cast<float>(scale_),
                                Gdiplus::MatrixOrderPrepend);
    gp::GdipSetSmoothingMode(graphics, Gdiplus::SmoothingModeAntiAlias);
    gp::GdipSetTextRenderingHint(graphics, Gdiplus::TextRenderingHintAntiAliasGridFit);
    graphics_ = graphics;
}

void GdiCanvas::EndVector() {
    if (graphics_ != nullptr) {
        gp::GdipDeleteGraphics(static_cast<GpGraphics*>(graphics_));
        graphics_ = nullptr;
        ScaleDc();
    }
}

void GdiCanvas::Arc(const RectF& square, float startDegrees, float sweepDegrees, Argb colour,
                    float width) {
    auto* graphics = static_cast<GpGraphics*>(graphics_);
    GpPen* pen = nullptr;
    if (graphics == nullptr ||
        gp::GdipCreatePen1(Packed(colour), width, Gdiplus::UnitWorld, &pen) != Gdiplus::Ok) {
        return;
    }
    gp::GdipDrawArc(graphics, pen, square.x, square.y, square.width, square.height, startDegrees,
                    sweepDegrees);
    gp::GdipDeletePen(pen);
}

void GdiCanvas::Line(PointF from, PointF to, Argb colour, float width, LineCap start, LineCap end) {
    auto* graphics = static_cast<GpGraphics*>(graphics_);
    GpPen* pen = nullptr;
    if (graphics == nullptr ||
        gp::GdipCreatePen1(Packed(colour), width, Gdiplus::UnitWorld, &pen) != Gdiplus::Ok) {
        return;
    }
    if (start != LineCap::Flat) {
        gp::GdipSetPenStartCap(pen, Cap(start));
    }
    if (end != LineCap::Flat) {
        gp::GdipSetPenEndCap(pen, Cap(end));
    }
    gp::GdipDrawLine(graphics, pen, from.x, from.y, to.x, to.y);
    gp::GdipDeletePen(pen);
}

void GdiCanvas::TextF(const RectF& layout, std::wstring_view text, Argb colour, float points,
                      bool bold) {
    auto* graphics = static_cast<GpGraphics*>(graphics_);
    if (graphics == nullptr) {
        return;
    }
    GpFontFamily* family = GaugeFontFamily();
    GpFont* font = nullptr;
    Gdiplus::GpSolidFill* brush = nullptr;
    GpStringFormat* format = nullptr;
    // Points of the 96-dpi design, in design units: a point size would follow the screen's DPI
    // a second time, on top of the scale.
    if (family != nullptr &&
        gp::GdipCreateFont(family, points * kPointsToDesignUnits,
                           bold ? Gdiplus::FontStyleBold : Gdiplus::FontStyleRegular,
                           Gdiplus::UnitPixel, &font) == Gdiplus::Ok &&
        gp::GdipCreateSolidFill(Packed(colour), &brush) == Gdiplus::Ok &&
        gp::GdipCreateStringFormat(0, LANG_NEUTRAL, &format) == Gdiplus::Ok) {
        gp::GdipSetStringFormatAlign(format, Gdiplus::StringAlignmentCenter);
        gp::GdipSetStringFormatLineAlign(format, Gdiplus::StringAlignmentCenter);
        const Gdiplus::RectF box(layout.x, layout.y, layout.width, layout.height);
        const std::wstring copy(text);
        if (measuring_) {
            const Gdiplus::RectF unbounded(0, 0, 0, 0);
            Gdiplus::RectF needed;
            if (gp::GdipMeasureString(graphics, copy.c_str(), static_cast<INT>(copy.size()), font,
                                      &unbounded, format, &needed, nullptr,
                                      nullptr) == Gdiplus::Ok &&
                needed.Width > layout.width + 0.5f) {
                overflows_.push_back({WideToUtf8(text), needed.Width, layout.width});
            }
        }
        gp::GdipDrawString(graphics, copy.c_str(), static_cast<INT>(copy.size()), font, &box,
                           format, brush);
    }
    if (format != nullptr)
        gp::GdipDeleteStringFormat(format);
    if (brush != nullptr)
        gp::GdipDeleteBrush(brush);
    if (font != nullptr)
        gp::GdipDeleteFont(font);
    if (family != nullptr)
        gp::GdipDeleteFontFamily(family);
}

void GdiCanvas::GradientEllipse(const RectF& bounds, Argb centre, Argb surround, Argb outline,
                                float outlineWidth) {
    auto* graphics = static_cast<GpGraphics*>(graphics_);
    Gdiplus::GpPath* path = nullptr;
    if (graphics == nullptr ||
        gp::GdipCreatePath(Gdiplus::FillModeAlternate, &path) != Gdiplus::Ok) {
        return;
    }
    gp::GdipAddPathEllipse(path, bounds.x, bounds.y, bounds.width, bounds.height);
    Gdiplus::GpPathGradient* brush = nullptr;
    if (gp::GdipCreatePathGradientFromPath(path, &brush) == Gdiplus::Ok) {
        gp::GdipSetPathGradientCenterColor(brush, Packed(centre));
        INT count = 0;
        gp::GdipGetPathGradientPointCount(brush, &count);
        if (count > 0) {
            std::vector<Gdiplus::ARGB> colours(static_cast<std::size_t>(count), Packed(surround));
            gp::GdipSetPathGradientSurroundColorsWithCount(brush, colours.data(), &count);
        }
        gp::GdipFillEllipse(graphics, brush, bounds.x, bounds.y, bounds.width, bounds.height);
        gp::GdipDeleteBrush(brush);
    }
    GpPen* pen = nullptr;
    if (gp::GdipCreatePen1(Packed(outline), outlineWidth, Gdiplus::UnitWorld, &pen) ==
        Gdiplus::Ok) {
        gp::GdipDrawEllipse(graphics, pen, bounds.x, bounds.y, bounds.width, bounds.height);
        gp::GdipDeletePen(pen);
    }
    gp::GdipDeletePath(path);
}

void PaintBuffered(HWND hwnd, double scale,
                   const std::function<void(ICanvas&, const Rect& client)>& paint) {
    PAINTSTRUCT ps{};
    const HDC dc = BeginPaint(hwnd, &ps);
    RECT client{};
    GetClientRect(hwnd, &client);
    const HDC memory = CreateCompatibleDC(dc);
    const HBITMAP bitmap = CreateCompatibleBitmap(dc, client.right, client.bottom);
    const HGDIOBJ old = SelectObject(memory, bitmap);
    {
        GdiCanvas canvas(memory, scale);
        paint(canvas, {0, 0, static_cast<int>(std::lround(client.right / scale)),
                       static_cast<int>(std::lround(client.bottom / scale))});
    }
    BitBlt(dc, 0, 0, client.right, client.bottom, memory, 0, 0, SRCCOPY);
    SelectObject(memory, old);
    DeleteObject(bitmap);
    DeleteDC(memory);
    EndPaint(hwnd, &ps);
}

}  // namespace velmora::ui
