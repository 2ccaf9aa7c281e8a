#pragma once

// Every view the two windows paint, at 100, 125, 150 and 200 %: the meter in each phase (with
// the widest speed the gauge shows and a long server location) and the installer's screens.
// The canvas tests paint each with their own canvas and measure every text in its box.

#include <functional>
#include <string>

#include "setup/installer_flow.h"
#include "ui/dashboard.h"
#include "ui/dashboard_samples.h"

namespace velmora::ui::test {

struct ScaledView {
    std::string name;
    double scale;
    int width, height;  // design units
    std::function<void(ICanvas&)> paint;
};

inline void ForEachScaledView(const std::function<void(const ScaledView&)>& visit) {
    for (const double scale : {1.0, 1.25, 1.5, 2.0}) {
        const std::string at = " at " + std::to_string(static_cast<int>(scale * 100)) + " %";
        for (const std::string scene : {"idle", "running", "download", "upload", "done", "error"}) {
            modulos::medicao::RunSnapshot run;
            WindowFields window{LayoutHitRects(360, 800)};
            StageSampleScene(scene, run, window);
            if (scene == "download") {
                run.downloadMbps = 1500.0;
            } else if (scene == "done") {
                run.serverLocation = L"Rio de Janeiro / RJ (2345 km)";
            }
            visit({"meter, " + scene + at, scale, 360, 800, [&](ICanvas& canvas) {
                       PaintDashboard(run, window, canvas, {0, 0, 360, 800});
                   }});
        }
        for (const bool uninstall : {false, true}) {
            setup::InstallerView view = setup::InitialView(uninstall);
            for (const int percent : {0, 40, 100}) {
                setup::ApplyProgress(
                    view, uninstall ? L"Removendo atalhos..." : L"Copiando arquivos...", percent);
                visit({(uninstall ? "uninstaller " : "installer ") + std::to_string(percent) +
                           " %" + at,
                       scale, setup::kWindowWidth, setup::kWindowHeight, [&](ICanvas& canvas) {
                           setup::PaintInstaller(canvas, view, setup::kWindowWidth,
                                                 setup::kWindowHeight);
                       }});
            }
        }
    }
}

inline std::string Describe(const std::vector<TextOverflow>& overflows) {
    std::string out;
    for (const TextOverflow& o : overflows) {
        out += " \"" + o.text + "\" " + std::to_string(o.width) + " > " + std::to_string(o.room);
    }
    return out;
}

}  // namespace velmora::ui::test
