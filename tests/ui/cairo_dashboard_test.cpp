#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <numbers>

#include "setup/installer_flow.h"
#include "ui/cairo_canvas.h"
#include "ui/dashboard_samples.h"
#include "ui/scaled_views.h"

namespace velmora::ui {
namespace {

constexpr Rgb kAccent{255, 208, 0};
constexpr Rgb kBusy{18, 18, 18};

// The dashboard of one scene, painted with Cairo; the PNG is kept as a test artifact.
class Painted {
  public:
    explicit Painted(const std::string& scene) : canvas_(360, 800) {
        WindowFields window{LayoutHitRects(360, 800)};
        EXPECT_TRUE(StageSampleScene(scene, run_, window));
        PaintDashboard(run_, window, canvas_, {0, 0, 360, 800});
        std::filesystem::create_directories("artifacts");
        canvas_.WritePng("artifacts/dashboard-" + scene + ".png");
    }
    Rgb At(int x, int y) { return canvas_.PixelAt(x, y); }

  private:
    modulos::medicao::RunSnapshot run_;
    CairoCanvas canvas_;
};

// A point on the gauge's track at `degrees` (150 = 0 Mbps, 270 = 750 Mbps).
std::pair<int, int> OnTrack(double degrees) {
    const double a = degrees * std::numbers::pi / 180;
    return {static_cast<int>(std::lround(180 + 112 * std::cos(a))),
            static_cast<int>(std::lround(246 + 112 * std::sin(a)))};
}

TEST(CairoDashboard, EveryPhaseAtSampledPixels) {
    for (const std::string scene : {"idle", "running", "download", "upload", "done", "error"}) {
        Painted p(scene);
        EXPECT_EQ(p.At(5, 400), (Rgb{10, 10, 10})) << scene << ": background";
        EXPECT_EQ(p.At(250, 70), (Rgb{18, 18, 18})) << scene << ": header band";
        EXPECT_EQ(p.At(25, 540), (Rgb{26, 26, 26})) << scene << ": results panel";
        EXPECT_EQ(p.At(30, 765), (Rgb{26, 26, 26})) << scene << ": history button";
        const bool busy = scene == "running" || scene == "download" || scene == "upload";
        EXPECT_EQ(p.At(30, 713), busy ? kBusy : kAccent) << scene << ": start button";
    }
}

TEST(CairoDashboard, TheActiveArcFollowsTheShownSpeed) {
    const auto [x, y] = OnTrack(160);  // about 60 Mbps along the dial
    const Rgb idle = Painted("idle").At(x, y);
    EXPECT_LT(idle.g, 100) << "no active arc before a run";
    const Rgb download = Painted("download").At(x, y);
    EXPECT_GT(download.g, 150) << "green near the start of the dial";
    EXPECT_GT(download.g, download.r);
    // 487 Mbps reaches about 228 degrees but not 300.
    const auto [fx, fy] = OnTrack(300);
    EXPECT_LT(Painted("download").At(fx, fy).g, 100);
}

// Both windows in a dark and a light contrast theme (Windows' Aquatic and Desert), kept as
// pictures: the theme's window behind everything, the button that starts in its highlight.
TEST(CairoDashboard, ContrastThemesPaintBothWindowsInTheirColours) {
    const std::pair<const char*, ContrastColours> themes[] = {
        {"aquatic",
         {{32, 32, 32},
          {255, 255, 255},
          {32, 32, 32},
          {255, 255, 255},
          {142, 227, 240},
          {38, 59, 80},
          {166, 166, 166}}},
        {"desert",
         {{255, 250, 239},
          {61, 61, 61},
          {255, 250, 239},
          {32, 32, 32},
          {144, 57, 9},
          {255, 245, 227},
          {103, 103, 103}}},
    };
    std::filesystem::create_directories("artifacts");
    for (const auto& [name, theme] : themes) {
        CairoCanvas meter(360, 800);
        modulos::medicao::RunSnapshot run;
        WindowFields window{LayoutHitRects(360, 800)};
        StageSampleScene("done", run, window);
        PaintDashboard(run, window, meter, {0, 0, 360, 800}, &theme);
        meter.WritePng(std::string("artifacts/contrast-") + name + "-meter.png");
        EXPECT_EQ(meter.PixelAt(5, 400), theme.window) << name;
        EXPECT_EQ(meter.PixelAt(250, 70), theme.window) << name << ": header band";
        EXPECT_EQ(meter.PixelAt(30, 713), theme.highlight) << name << ": INICIAR TESTE";

        CairoCanvas installer(setup::kWindowWidth, setup::kWindowHeight);
        setup::InstallerView view = setup::InitialView(false);
        setup::PaintInstaller(installer, view, setup::kWindowWidth, setup::kWindowHeight, &theme);
        installer.WritePng(std::string("artifacts/contrast-") + name + "-installer.png");
        EXPECT_EQ(installer.PixelAt(400, 40), theme.window) << name;
        EXPECT_EQ(installer.PixelAt(340, 370), theme.highlight) << name << ": INSTALAR";
    }
}

// Every text fits its box at every scale, as Cairo's font renders at that size.
TEST(CairoDashboard, EveryTextFitsItsBoxAtEveryScale) {
    test::ForEachScaledView([](const test::ScaledView& view) {
        CairoCanvas canvas(view.width, view.height, view.scale);
        view.paint(canvas);
        EXPECT_TRUE(canvas.Overflows().empty())
            << view.name << ":" << test::Describe(canvas.Overflows());
    });
}

}  // namespace
}  // namespace velmora::ui
