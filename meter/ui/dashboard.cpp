#include "ui/dashboard.h"

#include <algorithm>

#include "common/text.h"
#include "ui/palette.h"
#include "ui/speed_gauge.h"

namespace velmora::ui {
namespace {

using modulos::medicao::MeasurementPhase;

using palette::kAccent;
using palette::kBackground;
using palette::kHeader;
using palette::kSecondary;
using palette::kWhite;
constexpr Rgb kPanel{26, 26, 26};
constexpr Rgb kTooltipFill{28, 28, 28};
constexpr Rgb kTooltipBorder = palette::kEdge;
constexpr Rgb kBlack{0, 0, 0};
constexpr Rgb kDownloadBadge{70, 220, 255};
constexpr Rgb kUploadBadge{196, 112, 255};

const wchar_t* TooltipText(std::uint32_t hover) {
    switch (hover) {
        case 1:
            return L"Latência idle / ping base da conexão.";
        case 2:
            return L"Latência durante o download sob carga.";
        case 3:
            return L"Latência durante o upload sob carga.";
        default:
            return nullptr;
    }
}

// Seven points across the chart's panel, each series scaled to its own peak.
void DrawChartSeries(ICanvas& canvas, const std::vector<double>& samples, int width, Rgb colour) {
    const std::array<int, 7> heights = ChartHeights(samples, 46);
    const int step = (width - 48) / 6;
    std::array<Point, 7> line{};
    for (std::size_t k = 0; k < line.size(); ++k) {
        line[k] = {24 + static_cast<int>(k) * step, 696 - heights[k]};
    }
    canvas.Polyline(line, colour, 2);
}

}  // namespace

HitRects LayoutHitRects(int w, int h) {
    return {{w - 48, 18, w - 14, 50}, {20, h - 108, w - 20, h - 66}, {20, h - 56, w - 20, h - 14},
            {44, 349, 62, 367},       {146, 349, 164, 367},          {250, 349, 268, 367}};
}

NonClientHit HitTest(const HitRects& rects, int x, int y) {
    constexpr int kDragBand = 77;
    if (Inside(rects.closeRect, x, y) || Inside(rects.startRect, x, y) ||
        Inside(rects.historyRect, x, y)) {
        return NonClientHit::Client;
    }
    return y < kDragBand ? NonClientHit::Caption : NonClientHit::Client;
}

std::uint32_t BadgeAt(const HitRects& rects, int x, int y) {
    if (Inside(rects.idleIconRect, x, y))
        return 1;
    if (Inside(rects.downloadIconRect, x, y))
        return 2;
    if (Inside(rects.uploadIconRect, x, y))
        return 3;
    return 0;
}

std::array<int, 7> ChartHeights(const std::vector<double>& samples, double scale) {
    std::array<int, 7> heights{};
    if (samples.empty()) {
        return heights;
    }
    double max = *std::max_element(samples.begin(), samples.end());
    if (max <= 0.0) {
        max = 1.0;
    }
    for (std::size_t i = 0; i < std::min<std::size_t>(samples.size(), 7); ++i) {
        heights[i] = static_cast<int>(samples[i] / max * scale);
    }
    return heights;
}

void DrawLabel(ICanvas& canvas, const Rect& rect, std::wstring_view text, Rgb colour, int height,
               int weight, TextAlign align) {
    canvas.Text(rect, text, colour, height, weight, align);
}

void DrawPillButton(ICanvas& canvas, const Rect& rect, std::wstring_view caption, Rgb fill,
                    Rgb text) {
    canvas.RoundRect(rect, 14, fill, fill);
    DrawLabel(canvas, rect, caption, text, -20, 600, TextAlign::Centre);
}

void DrawIconBadge(ICanvas& canvas, const Rect& rect, std::wstring_view glyph, Rgb colour) {
    canvas.Ellipse(rect, kPanel, colour);
    DrawLabel(canvas, rect, glyph, colour, -10, 700, TextAlign::Centre);
}

std::vector<AccessibleItem> DashboardAccessibleItems(const modulos::medicao::RunSnapshot& run,
                                                     const WindowFields& window,
                                                     const Rect& client) {
    const int w = client.right;
    const HitRects& r = window.rects;
    const bool done = run.phase == MeasurementPhase::Done;
    const auto text = [](std::wstring name, Rect rect, bool announce = false) {
        return AccessibleItem{AccessibleRole::Text, std::move(name), {}, rect, false, announce};
    };
    const auto row = [&](int i) { return Rect{34, 528 + 22 * i, w - 34, 548 + 22 * i}; };
    std::vector<AccessibleItem> items{
        text(L"Status: " + modulos::medicao::PhaseStatusText(run.phase), {20, 388, w - 20, 406},
             true),
        text(L"IP público: " + run.publicIp, {20, 414, w - 20, 432}),
        text(L"Operadora: " + run.isp, {20, 440, w - 20, 458}),
    };
    if (!run.userCity.empty()) {
        items.push_back(text(L"Localização: " + run.userCity, {20, 466, w - 20, 484}));
    }
    items.push_back(text(L"IP servidor: " + run.serverIp, {20, 492, w - 20, 510}));
    items.push_back(
        text(L"Download: " + FormatFixed(run.downloadMbps, 2) + L" Mbps", row(0), done));
    items.push_back(text(L"Upload: " + FormatFixed(run.uploadMbps, 2) + L" Mbps", row(1), done));
    items.push_back(text(L"Ping: " + FormatFixed(run.pingMs, 0) + L" ms", row(2), done));
    items.push_back(
        text(L"Latência durante o download: " + FormatFixed(run.downloadLatencyMs, 0) + L" ms",
             r.downloadIconRect, done));
    items.push_back(
        text(L"Latência durante o upload: " + FormatFixed(run.uploadLatencyMs, 0) + L" ms",
             r.uploadIconRect, done));
    items.push_back(text(L"Servidor: " + run.serverLocation, row(3)));
    const auto button = [](std::wstring name, Rect rect) {
        return AccessibleItem{AccessibleRole::Button, std::move(name), {}, rect};
    };
    items.push_back(button(run.running ? L"MEDINDO..." : L"INICIAR TESTE", r.startRect));
    items.push_back(button(L"HISTÓRICO", r.historyRect));
    items.push_back(button(L"Fechar", r.closeRect));
    return items;
}

void PaintDashboard(const modulos::medicao::RunSnapshot& run, const WindowFields& window,
                    ICanvas& canvas, const Rect& client) {
    const MeasurementPhase phase = run.phase;
    const int w = client.right;
    const HitRects& r = window.rects;

    canvas.FillRect(client, kBackground);
    const double gaugeValue =
        phase == MeasurementPhase::Downloading ? run.downloadMbps
        : (phase == MeasurementPhase::Uploading || phase == MeasurementPhase::Done) ? run.uploadMbps
                                                                                    : 0.0;
    DrawSpeedGauge(canvas, w / 2, 246, gaugeValue);

    canvas.FillRect({0, 0, w, 76}, kHeader);
    DrawLabel(canvas, {18, 12, w - 60, 38}, L"VELMORA", kWhite, -22, 700, TextAlign::Left);
    DrawLabel(canvas, {18, 38, w - 60, 56}, L"ORVANE / TESSIM / KALDRA", kAccent, -14, 600,
              TextAlign::Left);
    DrawLabel(canvas, r.closeRect, L"X", kWhite, -18, 700, TextAlign::Centre);

    DrawIconBadge(canvas, r.idleIconRect, L"\u2194", kAccent);
    DrawIconBadge(canvas, r.downloadIconRect, L"\u2193", kDownloadBadge);
    DrawIconBadge(canvas, r.uploadIconRect, L"\u2191", kUploadBadge);
    const auto badgeValue = [&](const Rect& icon, int right, double ms) {
        DrawLabel(canvas, {icon.right + 5, 363, right, 382}, FormatFixed(ms, 0) + L" ms",
                  kSecondary, -14, 400, TextAlign::Left);
    };
    badgeValue(r.idleIconRect, 118, run.idleLatencyMs);
    badgeValue(r.downloadIconRect, 218, run.downloadLatencyMs);
    badgeValue(r.uploadIconRect, 322, run.uploadLatencyMs);

    DrawLabel(canvas, {20, 388, w - 20, 406},
              L"Status: " + modulos::medicao::PhaseStatusText(phase), kWhite, -17, 600,
              TextAlign::Left);
    DrawLabel(canvas, {20, 414, w - 20, 432}, L"IP público: " + run.publicIp, kSecondary, -15, 400,
              TextAlign::Left);
    DrawLabel(canvas, {20, 440, w - 20, 458}, L"Operadora: " + run.isp, kSecondary, -15, 400,
              TextAlign::Left);
    if (!run.userCity.empty()) {
        DrawLabel(canvas, {20, 466, w - 20, 484}, L"Localização: " + run.userCity, kAccent, -15,
                  400, TextAlign::Left);
    }
    DrawLabel(canvas, {20, 492, w - 20, 510}, L"IP servidor: " + run.serverIp, kSecondary, -15, 400,
              TextAlign::Left);

    canvas.FillRect({18, 522, w - 18, 616}, kPanel);
    const std::wstring rows[4][2] = {
        {L"Download", FormatFixed(run.downloadMbps, 2) + L" Mbps"},
        {L"Upload", FormatFixed(run.uploadMbps, 2) + L" Mbps"},
        {L"Ping", FormatFixed(run.pingMs, 0) + L" ms"},
        {L"Servidor", run.serverLocation},
    };
    for (int i = 0; i < 4; ++i) {
        const int y = 528 + 22 * i;
        DrawLabel(canvas, {34, y, 210, y + 20}, rows[i][0], kSecondary, -15, 400, TextAlign::Left);
        // A value too long for its column (a far server's location with its distance, or a
        // wider font than the one the layout was drawn for) ends in an ellipsis rather than
        // lose its beginning.
        DrawLabel(canvas, {180, y, w - 34, y + 20}, rows[i][1], kWhite, -15, 600,
                  TextAlign::RightCut);
    }

    DrawLabel(canvas, {20, 626, w - 20, 642}, L"Gráfico de estabilidade", kWhite, -15, 600,
              TextAlign::Left);
    DrawChartSeries(canvas, run.downloadChart, w, kAccent);
    DrawChartSeries(canvas, run.uploadChart, w, kWhite);

    if (run.running) {
        DrawPillButton(canvas, r.startRect, L"MEDINDO...", kHeader, kSecondary);
    } else {
        DrawPillButton(canvas, r.startRect, L"INICIAR TESTE", kAccent, kBlack);
    }
    DrawPillButton(canvas, r.historyRect, L"HISTÓRICO", kPanel, kWhite);

    if (const wchar_t* tip = TooltipText(window.hoverIcon)) {
        Rect box{window.mouseX + 10, window.mouseY + 10, window.mouseX + 218, window.mouseY + 36};
        if (box.right > w - 8) {
            box.right = w - 8;
            box.left = w - 216;
        }
        canvas.RoundRect(box, 10, kTooltipFill, kTooltipBorder);
        DrawLabel(canvas, {box.left + 8, box.top, box.right - 8, box.bottom}, tip, kWhite, -13, 400,
                  TextAlign::Tooltip);
    }
}

}  // namespace velmora::ui
