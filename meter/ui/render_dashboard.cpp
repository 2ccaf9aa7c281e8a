// velmora-render: the dashboard drawn with Cairo into a PNG, for looking at the window's
// layout on Linux. It paints a snapshot that stands for a phase of a run.
//
//   velmora-render OUT.png [idle|running|download|upload|done|error]

#include <cstdio>
#include <string>

#include "ui/cairo_canvas.h"
#include "ui/dashboard_samples.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s OUT.png [idle|running|download|upload|done|error]\n",
                     argv[0]);
        return 2;
    }
    const std::string scene = argc > 2 ? argv[2] : "done";
    velmora::modulos::medicao::RunSnapshot run;
    velmora::ui::WindowFields window{velmora::ui::LayoutHitRects(360, 800)};
    if (!velmora::ui::StageSampleScene(scene, run, window)) {
        std::fprintf(stderr, "unknown scene: %s\n", scene.c_str());
        return 2;
    }
    velmora::ui::CairoCanvas canvas(360, 800);
    velmora::ui::PaintDashboard(run, window, canvas, {0, 0, 360, 800});
    return canvas.WritePng(argv[1]) ? 0 : 1;
}
