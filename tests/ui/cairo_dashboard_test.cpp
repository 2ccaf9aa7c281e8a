#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <numbers>

#include "setup/installer_flow.h"
#include "servers/server_catalog.h"
#include "ui/cairo_canvas.h"
#include "ui/dashboard_samples.h"

namespace velmora::ui {
namespace {

constexpr Rgb kAccent{255, 208, 0};
constexpr Rgb kBusy{18, 18, 18};

// The dashboard of one scene, painted with Cairo; the PNG is kept as a test artifact.
class Painted {
  public:
    explicit Painted(const std::string& scene) : canvas_(360, 800) {
        WindowFields window{LayoutHitRects(360, 800)};
        EXPECT_TRUE(StageSampleScene(scene, state_, window));
        PaintDashboard(state_, window, canvas_, {0, 0, 360, 800});
        std::filesystem::create_directories("artifacts");
        canvas_.WritePng("artifacts/dashboard-" + scene + ".png");
    }
    Rgb At(int x, int y) { return canvas_.PixelAt(x, y); }

  private:
    modulos::medicao::ServerCatalog catalog_ = modulos::medicao::BuildServerCatalog();
    modulos::medicao::SharedRunState state_{catalog_};
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

std::string Describe(const std::vector<TextOverflow>& overflows) {
    std::string out;
    for (const TextOverflow& o : overflows) {
        out += " \"" + o.text + "\" " + std::to_string(o.width) + " > " + std::to_string(o.room);
    }
    return out;
}

// Every text fits its box at 100, 125, 150 and 200 %, as the font renders at that size: the
// meter in each phase (with the widest speed the gauge shows and a long server location) and
// the installer's screens.
TEST(CairoDashboard, EveryTextFitsItsBoxAtEveryScale) {
    const modulos::medicao::ServerCatalog catalog = modulos::medicao::BuildServerCatalog();
    for (const double scale : {1.0, 1.25, 1.5, 2.0}) {
        for (const std::string scene : {"idle", "running", "download", "upload", "done", "error"}) {
            modulos::medicao::SharedRunState state(catalog);
            WindowFields window{LayoutHitRects(360, 800)};
            ASSERT_TRUE(StageSampleScene(scene, state, window));
            if (scene == "download") {
                state.downloadMbps.exchange(1500.0);
            } else if (scene == "done") {
                std::lock_guard lock(state.mutex);
                state.serverLocation = L"Rio de Janeiro / RJ (2345 km)";
            }
            CairoCanvas canvas(360, 800, scale);
            PaintDashboard(state, window, canvas, {0, 0, 360, 800});
            EXPECT_TRUE(canvas.Overflows().empty())
                << scene << " at " << scale << ":" << Describe(canvas.Overflows());
        }
        for (const bool uninstall : {false, true}) {
            setup::InstallerView view = setup::InitialView(uninstall);
            for (const int percent : {0, 40, 100}) {
                setup::ApplyProgress(view, uninstall ? L"Removendo atalhos..." : L"Copiando arquivos...",
                                     percent);
                CairoCanvas canvas(setup::kWindowWidth, setup::kWindowHeight, scale);
                setup::PaintInstaller(canvas, view, setup::kWindowWidth, setup::kWindowHeight);
                EXPECT_TRUE(canvas.Overflows().empty())
                    << (uninstall ? "uninstaller" : "installer") << " at " << percent << " %, "
                    << scale << ":" << Describe(canvas.Overflows());
            }
        }
    }
}

}  // namespace
}  // namespace velmora::ui
