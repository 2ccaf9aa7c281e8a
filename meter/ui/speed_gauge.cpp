#include "ui/speed_gauge.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <string>

#include "common/text.h"

namespace velmora::ui {
namespace {

constexpr float kStartDegrees = 150.0f;
constexpr float kSweepDegrees = 240.0f;

Argb FromPacked(std::uint32_t argb) {
    return {static_cast<std::uint8_t>(argb >> 24), static_cast<std::uint8_t>(argb >> 16),
            static_cast<std::uint8_t>(argb >> 8), static_cast<std::uint8_t>(argb)};
}

float Radians(float degrees) {
    return degrees * std::numbers::pi_v<float> / 180.0f;
}

float AngleOf(float scaleValue) {
    return scaleValue / static_cast<float>(GAUGE_MAX_MBPS) * kSweepDegrees + kStartDegrees;
}

PointF OnCircle(float cx, float cy, float radius, float degrees) {
    return {cx + radius * std::cos(Radians(degrees)), cy + radius * std::sin(Radians(degrees))};
}

RectF Square(float cx, float cy, float half) {
    return {cx - half, cy - half, 2 * half, 2 * half};
}

}  // namespace

std::uint32_t GaugeColorAt(double t) {
    struct Stop {
        int r, g, b;
    };
    constexpr Stop kGreen{30, 200, 100}, kYellow{240, 220, 0}, kOrange{255, 130, 20},
        kRed{235, 55, 55};
    t = std::clamp(t, 0.0, 1.0);
    Stop a, b;
    double k;
    if (t < 0.33) {
        a = kGreen, b = kYellow, k = t / 0.33;
    } else if (t < 0.66) {
        a = kYellow, b = kOrange, k = (t - 0.33) / 0.33;
    } else {
        a = kOrange, b = kRed, k = (t - 0.66) / 0.34;
    }
    k = std::clamp(k, 0.0, 1.0);
    const auto channel = [k](int from, int to) {
        return static_cast<std::uint32_t>(static_cast<int>(from + (to - from) * k));
    };
    return 0xFF000000u | (channel(a.r, b.r) << 16) | (channel(a.g, b.g) << 8) | channel(a.b, b.b);
}

void DrawSpeedGauge(ICanvas& canvas, int centreX, int centreY, double mbps,
                    const ContrastColours* contrast) {
    // The design's colour, or the contrast theme's in its place, opaque.
    const auto pick = [contrast](Argb design, Rgb ContrastColours::*role) {
        if (!contrast) {
            return design;
        }
        const Rgb c = contrast->*role;
        return Argb{255, c.r, c.g, c.b};
    };
    const auto cx = static_cast<float>(centreX);
    const auto cy = static_cast<float>(centreY);
    const float clamped =
        std::max(0.0f, std::min(static_cast<float>(mbps), static_cast<float>(GAUGE_MAX_MBPS)));
    const float fraction = clamped / static_cast<float>(GAUGE_MAX_MBPS);

    canvas.BeginVector();
    canvas.Arc(Square(cx, cy, 124), kStartDegrees, kSweepDegrees,
               pick({30, 255, 208, 0}, &ContrastColours::windowText), 1.5f);
    canvas.Arc(Square(cx, cy, 112), kStartDegrees, kSweepDegrees,
               pick({45, 120, 120, 120}, &ContrastColours::grayText), 14.0f);

    if (clamped > 0.5f) {
        for (int i = 0; i < 100; ++i) {
            const double t = i / 100.0;
            if (t > fraction) {
                break;
            }
            canvas.Arc(Square(cx, cy, 112), kStartDegrees + 2.4f * static_cast<float>(i), 2.9f,
                       pick(FromPacked(GaugeColorAt(t)), &ContrastColours::highlight), 10.0f);
        }
    }

    for (int s = 0; s <= 1500; s += 50) {
        const bool major = s % 100 == 0;
        const float angle = AngleOf(static_cast<float>(s));
        canvas.Line(OnCircle(cx, cy, 120, angle), OnCircle(cx, cy, major ? 106.0f : 113.0f, angle),
                    pick(major ? Argb{220, 255, 255, 255} : Argb{90, 150, 150, 150},
                         &ContrastColours::windowText),
                    major ? 2.0f : 1.0f, LineCap::Flat, LineCap::Flat);
    }

    for (int s = 0; s <= 1500; s += 250) {
        const PointF p = OnCircle(cx, cy, 90, AngleOf(static_cast<float>(s)));
        canvas.TextF({p.x - 22, p.y - 8, 44, 16}, std::to_wstring(s),
                     pick({180, 200, 200, 200}, &ContrastColours::windowText), 7.5f, false);
    }

    const float needle = fraction * kSweepDegrees + kStartDegrees;
    const PointF tip = OnCircle(cx, cy, 96, needle);
    const PointF tail = OnCircle(cx, cy, -14, needle);
    if (!contrast) {  // a shadow is no outline
        canvas.Line({tail.x + 1.5f, tail.y + 1.5f}, {tip.x + 1.5f, tip.y + 1.5f}, {50, 0, 0, 0},
                    4.0f, LineCap::Round, LineCap::Triangle);
    }
    canvas.Line(tail, tip, pick({255, 235, 60, 60}, &ContrastColours::windowText), 2.5f,
                LineCap::Round, LineCap::Triangle);

    canvas.GradientEllipse(Square(cx, cy, 9),
                           pick({255, 200, 200, 200}, &ContrastColours::windowText),
                           pick({255, 60, 60, 60}, &ContrastColours::windowText),
                           pick({120, 160, 160, 160}, &ContrastColours::windowText), 1.0f);

    const std::wstring value = mbps >= 100.0 ? FormatFixed(std::min(mbps, GAUGE_MAX_MBPS), 1)
                                             : FormatFixed(std::max(mbps, 0.0), 2);
    canvas.TextF({cx - 80, cy + 20, 160, 40}, value,
                 pick({255, 255, 255, 255}, &ContrastColours::windowText), 26.0f, true);
    canvas.TextF({cx - 40, cy + 54, 80, 18}, L"Mbps",
                 pick({170, 200, 200, 200}, &ContrastColours::windowText), 10.0f, false);
    canvas.EndVector();
}

}  // namespace velmora::ui
