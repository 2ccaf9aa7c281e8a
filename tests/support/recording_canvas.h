#pragma once

#include <algorithm>
#include <string>
#include <vector>

#include "ui/canvas.h"

namespace velmora::test {

// Keeps every drawing call, in order, so tests can ask what was drawn where.
class RecordingCanvas final : public ui::ICanvas {
  public:
    struct TextCall {
        ui::Rect rect;
        std::wstring text;
        ui::Rgb colour;
        int height;
        int weight;
        ui::TextAlign align;
    };
    struct ShapeCall {
        enum Kind { Fill, Round, Ellipse } kind;
        ui::Rect rect;
        ui::Rgb fill;
        ui::Rgb pen;
        int corner;
    };
    struct ArcCall {
        ui::RectF square;
        float start, sweep;
        ui::Argb colour;
        float width;
    };
    struct LineCall {
        ui::PointF from, to;
        ui::Argb colour;
        float width;
        ui::LineCap start, end;
    };
    struct TextFCall {
        ui::RectF layout;
        std::wstring text;
        ui::Argb colour;
        float points;
        bool bold;
    };
    struct PolylineCall {
        std::vector<ui::Point> points;
        ui::Rgb colour;
        int width;
    };

    void FillRect(const ui::Rect& rect, ui::Rgb colour) override {
        shapes.push_back({ShapeCall::Fill, rect, colour, colour, 0});
        order.push_back('F');
    }
    void RoundRect(const ui::Rect& rect, int corner, ui::Rgb fill, ui::Rgb pen) override {
        shapes.push_back({ShapeCall::Round, rect, fill, pen, corner});
        order.push_back('R');
    }
    void Ellipse(const ui::Rect& rect, ui::Rgb fill, ui::Rgb pen) override {
        shapes.push_back({ShapeCall::Ellipse, rect, fill, pen, 0});
        order.push_back('E');
    }
    void Text(const ui::Rect& rect, std::wstring_view text, ui::Rgb colour, int height, int weight,
              ui::TextAlign align) override {
        texts.push_back({rect, std::wstring(text), colour, height, weight, align});
        order.push_back('T');
    }
    void Polyline(std::span<const ui::Point> points, ui::Rgb colour, int width) override {
        polylines.push_back({std::vector<ui::Point>(points.begin(), points.end()), colour, width});
        order.push_back('P');
    }
    void Arc(const ui::RectF& square, float start, float sweep, ui::Argb colour,
             float width) override {
        arcs.push_back({square, start, sweep, colour, width});
        order.push_back('A');
    }
    void Line(ui::PointF from, ui::PointF to, ui::Argb colour, float width, ui::LineCap start,
              ui::LineCap end) override {
        lines.push_back({from, to, colour, width, start, end});
        order.push_back('L');
    }
    void TextF(const ui::RectF& layout, std::wstring_view text, ui::Argb colour, float points,
               bool bold) override {
        textsF.push_back({layout, std::wstring(text), colour, points, bold});
        order.push_back('t');
    }
    void GradientEllipse(const ui::RectF& bounds, ui::Argb, ui::Argb, ui::Argb, float) override {
        hubs.push_back(bounds);
        order.push_back('H');
    }

    // The text call whose text is exactly `text`, or nullptr.
    const TextCall* FindText(std::wstring_view text) const {
        const auto it = std::find_if(texts.begin(), texts.end(),
                                     [&](const TextCall& t) { return t.text == text; });
        return it == texts.end() ? nullptr : &*it;
    }

    std::vector<TextCall> texts;
    std::vector<ShapeCall> shapes;
    std::vector<ArcCall> arcs;
    std::vector<LineCall> lines;
    std::vector<TextFCall> textsF;
    std::vector<PolylineCall> polylines;
    std::vector<ui::RectF> hubs;
    std::string order;
};

}  // namespace velmora::test
