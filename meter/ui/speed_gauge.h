#pragma once

#include <cstdint>

#include "ui/canvas.h"
#include "ui/palette.h"

namespace velmora::ui {

inline constexpr double GAUGE_MAX_MBPS = 1500.0;

// The active arc's colour at t (0 to 1): green, yellow, orange, red.
std::uint32_t GaugeColorAt(double t);

// The speedometer centred at (cx, cy) showing `mbps`; in a contrast theme's colours when there
// is one.
void DrawSpeedGauge(ICanvas& canvas, int cx, int cy, double mbps,
                    const ContrastColours* contrast = nullptr);

}  // namespace velmora::ui
