#include "ui/dashboard.h"

#include <algorithm>
#include <array>

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
                    Rgb text, std::optional<Rgb> edge) {
    canvas.RoundRect(rect, 14, fill, edge.value_or(fill));
    DrawLabel(canvas, rect, caption, text, -20, 600, TextAlign::Centre);
}

void DrawIconBadge(ICanvas& canvas, const Rect& rect, std::wstring_view glyph, Rgb colour,
                   Rgb disc) {
    canvas.Ellipse(rect, disc, colour);
    DrawLabel(canvas, rect, glyph, colour, -10, 700, TextAlign::Centre);
}

namespace {

// A line of the status and connection block, as painted and as read out.
struct InfoLine {
    const char* id;
    std::wstring text;
    Rgb colour;
    int height;
    int weight;
    Rect rect;
};

// The status and the connection, top to bottom (the location only when it is known).
std::vector<InfoLine> InfoLines(const modulos::medicao::RunSnapshot& run, int w) {
    const auto at = [w](int line) { return Rect{20, 388 + 26 * line, w - 20, 406 + 26 * line}; };
    std::vector<InfoLine> lines{
        {"status", L"Status: " + modulos::medicao::PhaseStatusText(run.phase), kWhite, -17, 600,
         at(0)},
        {"public-ip", L"IP público: " + run.publicIp, kSecondary, -15, 400, at(1)},
        {"operator", L"Operadora: " + run.isp, kSecondary, -15, 400, at(2)},
    };
    if (!run.userCity.empty()) {
        lines.push_back({"location", L"Localização: " + run.userCity, kAccent, -15, 400, at(3)});
    }
    lines.push_back({"server-ip", L"IP servidor: " + run.serverIp, kSecondary, -15, 400, at(4)});
    return lines;
}

// A row of the results panel: its label, its value and the whole row.
struct ResultRow {
    const char* id;
    const wchar_t* label;
    std::wstring value;
    Rect rect;
};

std::array<ResultRow, 4> ResultRows(const modulos::medicao::RunSnapshot& run, int w) {
    const auto at = [w](int row) { return Rect{34, 528 + 22 * row, w - 34, 548 + 22 * row}; };
    return {{{"download", L"Download", FormatFixed(run.downloadMbps, 2) + L" Mbps", at(0)},
             {"upload", L"Upload", FormatFixed(run.uploadMbps, 2) + L" Mbps", at(1)},
             {"ping", L"Ping", FormatFixed(run.pingMs, 0) + L" ms", at(2)},
             {"server", L"Servidor", run.serverLocation, at(3)}}};
}

const wchar_t* StartCaption(const modulos::medicao::RunSnapshot& run) {
    return run.running ? L"MEDINDO..." : L"INICIAR TESTE";
}

}  // namespace

std::vector<AccessibleItem> DashboardAccessibleItems(const modulos::medicao::RunSnapshot& run,
                                                     const WindowFields& window,
                                                     const Rect& client) {
    const int w = client.right;
    const HitRects& r = window.rects;
    const bool done = run.phase == MeasurementPhase::Done;
    const auto text = [](const char* id, std::wstring name, Rect rect) {
        AccessibleItem item{AccessibleRole::Text, std::move(name), {}, rect};
        item.id = id;
        return item;
    };
    std::vector<AccessibleItem> items;
    const std::vector<InfoLine> lines = InfoLines(run, w);
    for (const InfoLine& line : lines) {
        items.push_back(text(line.id, line.text, line.rect));
    }
    // At the end of a run the results speak for the status, as one text.
    items.front().announce = !done;
    const std::array<ResultRow, 4> rows = ResultRows(run, w);
    std::vector<AccessibleItem> figures;
    for (int i = 0; i < 3; ++i) {
        figures.push_back(text(rows[i].id, rows[i].label + (L": " + rows[i].value), rows[i].rect));
    }
    figures.push_back(
        text("latency-download",
             L"Latência durante o download: " + FormatFixed(run.downloadLatencyMs, 0) + L" ms",
             r.downloadIconRect));
    figures.push_back(
        text("latency-upload",
             L"Latência durante o upload: " + FormatFixed(run.uploadLatencyMs, 0) + L" ms",
             r.uploadIconRect));
    if (done) {
        // Second in reading order, so that hit tests find the rows the panel holds first.
        std::wstring results = items.front().name;
        for (const AccessibleItem& figure : figures) {
            results += L". " + figure.name;
        }
        AccessibleItem all = text("results", results + L".", {18, 522, w - 18, 616});
        all.announce = true;
        items.insert(items.begin() + 1, std::move(all));
    }
    items.insert(items.end(), figures.begin(), figures.end());
    items.push_back(text(rows[3].id, rows[3].label + (L": " + rows[3].value), rows[3].rect));
    const auto button = [](const char* id, std::wstring name, Rect rect) {
        AccessibleItem item{AccessibleRole::Button, std::move(name), {}, rect};
        item.id = id;
        return item;
    };
    items.push_back(button("start", StartCaption(run), r.startRect));
    items.back().unavailable = run.running;  // MEDINDO... starts nothing
    items.push_back(button("history", L"HISTÓRICO", r.historyRect));
    items.push_back(button("close", L"Fechar", r.closeRect));
    return items;
}

void PaintDashboard(const modulos::medicao::RunSnapshot& run, const WindowFields& window,
                    ICanvas& canvas, const Rect& client, const ContrastColours* contrast) {
    const MeasurementPhase phase = run.phase;
    const int w = client.right;
    const HitRects& r = window.rects;
    // The design's colour, or the contrast theme's in its place.
    const auto pick = [contrast](Rgb design, Rgb ContrastColours::*role) {
        return contrast ? contrast->*role : design;
    };
    const Rgb back = pick(kBackground, &ContrastColours::window);
    const Rgb text = pick(kWhite, &ContrastColours::windowText);
    const Rgb secondary = pick(kSecondary, &ContrastColours::windowText);

    canvas.FillRect(client, back);
    const double gaugeValue =
        phase == MeasurementPhase::Downloading ? run.downloadMbps
        : (phase == MeasurementPhase::Uploading || phase == MeasurementPhase::Done) ? run.uploadMbps
                                                                                    : 0.0;
    DrawSpeedGauge(canvas, w / 2, 246, gaugeValue, contrast);

    canvas.FillRect({0, 0, w, 76}, pick(kHeader, &ContrastColours::window));
    DrawLabel(canvas, {18, 12, w - 60, 38}, L"VELMORA", text, -22, 700, TextAlign::Left);
    DrawLabel(canvas, {18, 38, w - 60, 56}, L"ORVANE / TESSIM / KALDRA",
              pick(kAccent, &ContrastColours::windowText), -14, 600, TextAlign::Left);
    DrawLabel(canvas, r.closeRect, L"X", text, -18, 700, TextAlign::Centre);

    const Rgb disc = pick(kPanel, &ContrastColours::window);
    DrawIconBadge(canvas, r.idleIconRect, L"\u2194", pick(kAccent, &ContrastColours::windowText),
                  disc);
    DrawIconBadge(canvas, r.downloadIconRect, L"\u2193",
                  pick(kDownloadBadge, &ContrastColours::windowText), disc);
    DrawIconBadge(canvas, r.uploadIconRect, L"\u2191",
                  pick(kUploadBadge, &ContrastColours::windowText), disc);
    const auto badgeValue = [&](const Rect& icon, int right, double ms) {
        DrawLabel(canvas, {icon.right + 5, 363, right, 382}, FormatFixed(ms, 0) + L" ms", secondary,
                  -14, 400, TextAlign::Left);
    };
    badgeValue(r.idleIconRect, 118, run.idleLatencyMs);
    badgeValue(r.downloadIconRect, 218, run.downloadLatencyMs);
    badgeValue(r.uploadIconRect, 322, run.uploadLatencyMs);

    for (const InfoLine& line : InfoLines(run, w)) {
        DrawLabel(canvas, line.rect, line.text, contrast ? contrast->windowText : line.colour,
                  line.height, line.weight, TextAlign::Left);
    }

    canvas.FillRect({18, 522, w - 18, 616}, pick(kPanel, &ContrastColours::window));
    for (const ResultRow& row : ResultRows(run, w)) {
        const Rect& box = row.rect;
        DrawLabel(canvas, {box.left, box.top, 210, box.bottom}, row.label, secondary, -15, 400,
                  TextAlign::Left);
        // A value too long for its column (a far server's location with its distance, or a
        // wider font than the one the layout was drawn for) ends in an ellipsis rather than
        // lose its beginning.
        DrawLabel(canvas, {180, box.top, box.right, box.bottom}, row.value, text, -15, 600,
                  TextAlign::RightCut);
    }

    DrawLabel(canvas, {20, 626, w - 20, 642}, L"Gráfico de estabilidade", text, -15, 600,
              TextAlign::Left);
    DrawChartSeries(canvas, run.downloadChart, w, pick(kAccent, &ContrastColours::highlight));
    DrawChartSeries(canvas, run.uploadChart, w, text);

    if (contrast) {
        // A button that starts nothing now reads as unavailable; the one that starts a run is
        // the highlighted one, as the accent marks it.
        const ContrastColours& c = *contrast;
        DrawPillButton(
            canvas, r.startRect, StartCaption(run), run.running ? c.buttonFace : c.highlight,
            run.running ? c.grayText : c.highlightText, run.running ? c.grayText : c.buttonText);
        DrawPillButton(canvas, r.historyRect, L"HISTÓRICO", c.buttonFace, c.buttonText,
                       c.buttonText);
    } else {
        DrawPillButton(canvas, r.startRect, StartCaption(run), run.running ? kHeader : kAccent,
                       run.running ? kSecondary : kBlack);
        DrawPillButton(canvas, r.historyRect, L"HISTÓRICO", kPanel, kWhite);
    }

    if (const wchar_t* tip = TooltipText(window.hoverIcon)) {
        Rect box{window.mouseX + 10, window.mouseY + 10, window.mouseX + 218, window.mouseY + 36};
        if (box.right > w - 8) {
            box.right = w - 8;
            box.left = w - 216;
        }
        canvas.RoundRect(box, 10, pick(kTooltipFill, &ContrastColours::window),
                         pick(kTooltipBorder, &ContrastColours::windowText));
        DrawLabel(canvas, {box.left + 8, box.top, box.right - 8, box.bottom}, tip, text, -13, 400,
                  TextAlign::Tooltip);
    }
}

}  // namespace velmora::ui
