#include "ui/dashboard.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "support/recording_canvas.h"

namespace velmora::ui {
namespace {

using modulos::medicao::MeasurementPhase;
using velmora::test::RecordingCanvas;

constexpr Rect kClient{0, 0, 360, 800};
constexpr Rgb kAccent{255, 208, 0};

class DashboardTest : public ::testing::Test {
  protected:
    RecordingCanvas Paint() {
        RecordingCanvas canvas;
        PaintDashboard(run, window, canvas, kClient);
        return canvas;
    }
    modulos::medicao::RunSnapshot run;
    WindowFields window{LayoutHitRects(360, 800)};
};

TEST(HitRects, LayoutAt360By800) {
    const HitRects r = LayoutHitRects(360, 800);
    EXPECT_EQ(r.closeRect, (Rect{312, 18, 346, 50}));
    EXPECT_EQ(r.startRect, (Rect{20, 692, 340, 734}));
    EXPECT_EQ(r.historyRect, (Rect{20, 744, 340, 786}));
    EXPECT_EQ(r.idleIconRect, (Rect{44, 349, 62, 367}));
    EXPECT_EQ(r.downloadIconRect, (Rect{146, 349, 164, 367}));
    EXPECT_EQ(r.uploadIconRect, (Rect{250, 349, 268, 367}));
    // Every edge counts as inside.
    EXPECT_TRUE(Inside(r.startRect, 340, 734));
    EXPECT_TRUE(Inside(r.startRect, 20, 692));
    EXPECT_FALSE(Inside(r.startRect, 341, 700));
    EXPECT_FALSE(Inside(r.startRect, 100, 735));
    EXPECT_EQ(BadgeAt(r, 62, 367), 1u);
    EXPECT_EQ(BadgeAt(r, 146, 349), 2u);
    EXPECT_EQ(BadgeAt(r, 260, 360), 3u);
    EXPECT_EQ(BadgeAt(r, 100, 360), 0u);
}

TEST(HitRects, TheTopBandDragsExceptOnTheCloseGlyph) {
    const HitRects r = LayoutHitRects(360, 800);
    EXPECT_EQ(HitTest(r, 10, 10), NonClientHit::Caption);
    EXPECT_EQ(HitTest(r, 200, 76), NonClientHit::Caption);
    EXPECT_EQ(HitTest(r, 200, 77), NonClientHit::Client);
    EXPECT_EQ(HitTest(r, 312, 18), NonClientHit::Client);  // the close glyph's corner
    EXPECT_EQ(HitTest(r, 346, 50), NonClientHit::Client);
    EXPECT_EQ(HitTest(r, 311, 18), NonClientHit::Caption);
    EXPECT_EQ(HitTest(r, 20, 700), NonClientHit::Client);
    // A window short enough to put a button in the band keeps the button clickable.
    const HitRects tiny = LayoutHitRects(360, 120);
    EXPECT_EQ(HitTest(tiny, 100, 20), NonClientHit::Client);  // start button at 12..54
}

TEST(ChartHeights, ScaleToTheLargest) {
    EXPECT_EQ(ChartHeights({}, 46), (std::array<int, 7>{}));
    EXPECT_EQ(ChartHeights({80}, 46), (std::array<int, 7>{46, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(ChartHeights({0, 0}, 46), (std::array<int, 7>{}));
    EXPECT_EQ(ChartHeights({-2, -1}, 46), (std::array<int, 7>{-92, -46, 0, 0, 0, 0, 0}));
    EXPECT_EQ(ChartHeights({50, 100, 25, 99.9}, 46), (std::array<int, 7>{23, 46, 11, 45, 0, 0, 0}));
    // Only the first seven are drawn, but the largest of all sets the scale.
    EXPECT_EQ(ChartHeights({1, 1, 1, 1, 1, 1, 1, 2}, 46),
              (std::array<int, 7>{23, 23, 23, 23, 23, 23, 23}));
}

TEST_F(DashboardTest, BeforeAnyRun) {
    const RecordingCanvas c = Paint();
    EXPECT_NE(c.FindText(L"Status: AGUARDANDO MEDIÇÃO"), nullptr);
    EXPECT_NE(c.FindText(L"IP público: Aguardando"), nullptr);
    EXPECT_NE(c.FindText(L"Operadora: Aguardando"), nullptr);
    EXPECT_NE(c.FindText(L"IP servidor: Aguardando medição"), nullptr);
    EXPECT_NE(c.FindText(L"Melhor rota disponível"), nullptr);
    for (const auto& t : c.texts) {
        EXPECT_NE(t.text.rfind(L"Localização", 0), 0u) << "no location line before a run";
    }
    ASSERT_EQ(c.polylines.size(), 2u);
    for (const auto& line : c.polylines) {
        ASSERT_EQ(line.points.size(), 7u);
        for (std::size_t k = 0; k < 7; ++k) {
            EXPECT_EQ(line.points[k], (Point{24 + 52 * static_cast<int>(k), 696}));
        }
    }
    EXPECT_EQ(c.polylines[0].colour, kAccent);
    EXPECT_EQ(c.polylines[1].colour, (Rgb{255, 255, 255}));
    EXPECT_EQ(c.textsF[7].text, L"0.00");  // the gauge
    const auto* start = c.FindText(L"INICIAR TESTE");
    ASSERT_NE(start, nullptr);
    EXPECT_EQ(start->rect, window.rects.startRect);
    EXPECT_EQ(start->colour, (Rgb{0, 0, 0}));
    // The first fill is the background, over the whole client area.
    EXPECT_EQ(c.shapes[0].rect, kClient);
    EXPECT_EQ(c.shapes[0].fill, (Rgb{10, 10, 10}));
}

TEST_F(DashboardTest, PlacesEveryFigure) {
    run.phase = MeasurementPhase::Done;
    run.downloadMbps = 512.345;
    run.uploadMbps = 98.7;
    run.pingMs = 12;
    run.idleLatencyMs = 12;
    run.downloadLatencyMs = 25;
    run.uploadLatencyMs = 31;
    run.userCity = L"São Paulo - SP";
    run.serverLocation = L"GRU / BR (3 km)";
    run.downloadChart = {100, 200};
    const RecordingCanvas c = Paint();

    const auto* download = c.FindText(L"512.35 Mbps");
    ASSERT_NE(download, nullptr);
    EXPECT_EQ(download->rect, (Rect{180, 528, 326, 548}));
    EXPECT_EQ(download->align, TextAlign::RightCut);
    EXPECT_EQ(c.FindText(L"98.70 Mbps")->rect, (Rect{180, 550, 326, 570}));
    EXPECT_EQ(c.FindText(L"12 ms")->rect, (Rect{67, 363, 118, 382}));
    EXPECT_EQ(c.FindText(L"25 ms")->rect, (Rect{169, 363, 218, 382}));
    EXPECT_EQ(c.FindText(L"31 ms")->rect, (Rect{273, 363, 322, 382}));
    EXPECT_EQ(c.FindText(L"GRU / BR (3 km)")->rect, (Rect{180, 594, 326, 614}));
    const auto* city = c.FindText(L"Localização: São Paulo - SP");
    ASSERT_NE(city, nullptr);
    EXPECT_EQ(city->colour, kAccent);
    EXPECT_EQ(city->rect, (Rect{20, 466, 340, 484}));
    EXPECT_EQ(c.FindText(L"Status: MEDIÇÃO CONCLUÍDA")->height, -17);
    // Done shows the upload on the gauge.
    EXPECT_EQ(c.textsF[7].text, L"98.70");
    EXPECT_EQ(c.polylines[0].points[0], (Point{24, 696 - 23}));
    EXPECT_EQ(c.polylines[0].points[1], (Point{76, 696 - 46}));
    EXPECT_EQ(c.polylines[0].points[2], (Point{128, 696}));
}

TEST_F(DashboardTest, GaugeFollowsThePhase) {
    run.downloadMbps = 300;
    run.uploadMbps = 40;
    const std::pair<MeasurementPhase, const wchar_t*> cases[] = {
        {MeasurementPhase::Latency, L"0.00"},    {MeasurementPhase::Downloading, L"300.0"},
        {MeasurementPhase::Uploading, L"40.00"}, {MeasurementPhase::Done, L"40.00"},
        {MeasurementPhase::Error, L"0.00"},
    };
    for (const auto& [phase, text] : cases) {
        run.phase = phase;
        EXPECT_EQ(Paint().textsF[7].text, text) << static_cast<int>(phase);
    }
    run.phase = static_cast<MeasurementPhase>(9);
    EXPECT_NE(Paint().FindText(L"Status: "), nullptr);
}

TEST_F(DashboardTest, OneSampleDrawsAStep) {
    run.uploadChart = {42};
    const RecordingCanvas c = Paint();
    EXPECT_EQ(c.polylines[1].points[0], (Point{24, 650}));
    for (std::size_t k = 1; k < 7; ++k) {
        EXPECT_EQ(c.polylines[1].points[k].y, 696);
    }
}

TEST_F(DashboardTest, BusyButtonWhileRunning) {
    run.running = true;
    const RecordingCanvas c = Paint();
    EXPECT_EQ(c.FindText(L"INICIAR TESTE"), nullptr);
    const auto* busy = c.FindText(L"MEDINDO...");
    ASSERT_NE(busy, nullptr);
    EXPECT_EQ(busy->colour, (Rgb{180, 180, 180}));
    const auto button = std::find_if(c.shapes.begin(), c.shapes.end(), [&](const auto& s) {
        return s.kind == RecordingCanvas::ShapeCall::Round && s.rect == window.rects.startRect;
    });
    ASSERT_NE(button, c.shapes.end());
    EXPECT_EQ(button->fill, (Rgb{18, 18, 18}));
    EXPECT_EQ(button->corner, 14);
}

TEST_F(DashboardTest, TooltipStaysInsideTheWindow) {
    window.hoverIcon = 3;
    window.mouseX = 255;
    window.mouseY = 355;
    RecordingCanvas c = Paint();
    const auto* tip = c.FindText(L"Latência durante o upload sob carga.");
    ASSERT_NE(tip, nullptr);
    EXPECT_EQ(tip->rect, (Rect{144 + 8, 365, 352 - 8, 391}));
    EXPECT_EQ(tip->align, TextAlign::Tooltip);
    EXPECT_EQ(c.shapes.back().rect, (Rect{144, 365, 352, 391}));
    EXPECT_EQ(c.order.back(), 'T');  // drawn last, over everything

    // Near the bottom it is not moved: it may run past the window's edge.
    window.mouseY = 790;
    c = Paint();
    EXPECT_EQ(c.shapes.back().rect, (Rect{144, 800, 352, 826}));

    window.hoverIcon = 1;
    window.mouseX = 50;
    window.mouseY = 355;
    c = Paint();
    EXPECT_EQ(c.FindText(L"Latência idle / ping base da conexão.")->rect,
              (Rect{68, 365, 260, 391}));
    window.hoverIcon = 0;
    EXPECT_EQ(Paint().FindText(L"Latência idle / ping base da conexão."), nullptr);
}

TEST_F(DashboardTest, TellsScreenReadersWhatItShowsAndTabsThroughTheButtons) {
    run.phase = MeasurementPhase::Done;
    run.downloadMbps = 94.876;
    run.pingMs = 15;
    run.downloadLatencyMs = 80;
    run.publicIp = L"177.10.20.30";
    run.isp = L"Claro S.A.";
    run.serverLocation = L"GRU / BR (3 km)";
    const std::vector<AccessibleItem> items = DashboardAccessibleItems(run, window, kClient);
    std::vector<std::wstring> names;
    for (const AccessibleItem& item : items) {
        names.push_back(item.name);
    }
    for (const wchar_t* shown :
         {L"Status: MEDIÇÃO CONCLUÍDA", L"IP público: 177.10.20.30", L"Operadora: Claro S.A.",
          L"Download: 94.88 Mbps", L"Ping: 15 ms", L"Latência durante o download: 80 ms",
          L"Servidor: GRU / BR (3 km)"}) {
        EXPECT_NE(std::find(names.begin(), names.end(), shown), names.end()) << shown;
    }
    // Focus and events follow the ids: no two items share one.
    std::set<std::string> ids;
    for (const AccessibleItem& item : items) {
        EXPECT_TRUE(ids.insert(item.id).second) << item.id;
    }
    // Tab: the buttons in order, round again; Shift+Tab from nothing: the last.
    std::optional<std::size_t> focus;
    for (const wchar_t* button : {L"INICIAR TESTE", L"HISTÓRICO", L"Fechar", L"INICIAR TESTE"}) {
        focus = NextFocus(items, focus, false);
        ASSERT_TRUE(focus.has_value());
        EXPECT_EQ(items[*focus].name, button);
        EXPECT_EQ(items[*focus].role, AccessibleRole::Button);
    }
    EXPECT_EQ(items[*NextFocus(items, std::nullopt, true)].name, L"Fechar");
    EXPECT_EQ(items[*NextFocus(items, std::nullopt, false)].rect, window.rects.startRect);
    EXPECT_FALSE(NextFocus({}, std::nullopt, false).has_value());
}

}  // namespace
}  // namespace velmora::ui
