// In a contrast theme both windows paint with the theme's colours and nothing else, whatever they
// show, and each text in the colour that goes with what lies under it: the window's text on the
// window, a button's text on a button, the highlight's text on the highlight (grey text, for
// what does nothing now, on any of them).
// (Pictures of both windows in two themes: cairo_dashboard_test.cpp.)

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "setup/installer_flow.h"
#include "support/recording_canvas.h"
#include "ui/dashboard.h"
#include "ui/dashboard_samples.h"

namespace velmora::ui {
namespace {

// Two of Windows' contrast themes, dark and light (Aquatic and Desert), whose window and button
// texts differ in the light one.
const ContrastColours kThemes[] = {
    {{32, 32, 32},
     {255, 255, 255},
     {32, 32, 32},
     {255, 255, 255},
     {142, 227, 240},
     {38, 59, 80},
     {166, 166, 166}},
    {{255, 250, 239},
     {61, 61, 61},
     {255, 250, 239},
     {32, 32, 32},
     {144, 57, 9},
     {255, 245, 227},
     {103, 103, 103}},
};

struct View {
    std::string name;
    std::function<void(ICanvas&, const ContrastColours*)> paint;
};

std::vector<View> Views() {
    std::vector<View> views;
    for (const std::string scene : {"idle", "running", "download", "done", "error"}) {
        views.push_back({"meter " + scene, [scene](ICanvas& canvas, const ContrastColours* c) {
                             modulos::medicao::RunSnapshot run;
                             WindowFields window{LayoutHitRects(360, 800)};
                             StageSampleScene(scene, run, window);
                             window.hoverIcon = 2;  // and a tooltip
                             window.mouseX = 150;
                             window.mouseY = 355;
                             PaintDashboard(run, window, canvas, {0, 0, 360, 800}, c);
                         }});
    }
    using setup::InstallerView;
    InstallerView working = setup::InitialView(false);
    working.busy = true;
    setup::ApplyProgress(working, L"Copiando arquivos...", 40);
    InstallerView failed = working;
    setup::ApplyProgress(failed, L"Falha.", -1);
    InstallerView installed = setup::InitialView(false);
    setup::ApplyProgress(installed, L"Instalação concluída com sucesso!", 100);
    InstallerView uninstalled = setup::InitialView(true);
    setup::ApplyProgress(uninstalled, L"Desinstalação concluída.", 100);
    for (const auto& [name, view] : {std::pair{"ready", setup::InitialView(false)},
                                     {"working", working},
                                     {"failed", failed},
                                     {"installed", installed},
                                     {"uninstalled", uninstalled}}) {
        views.push_back({std::string("installer ") + name,
                         [view = view](ICanvas& canvas, const ContrastColours* c) {
                             setup::PaintInstaller(canvas, view, setup::kWindowWidth,
                                                   setup::kWindowHeight, c);
                         }});
    }
    return views;
}

bool Contains(const Rect& r, int x, int y) {
    return r.left <= x && x < r.right && r.top <= y && y < r.bottom;
}

TEST(ContrastTheme, PaintsOnlyTheThemesColoursEachTextOnItsPartner) {
    for (const ContrastColours& theme : kThemes) {
        const std::vector<Rgb> own{theme.window,     theme.windowText, theme.buttonFace,
                                   theme.buttonText, theme.highlight,  theme.highlightText,
                                   theme.grayText};
        const auto ours = [&](Rgb c) { return std::find(own.begin(), own.end(), c) != own.end(); };
        const auto opaque = [&](Argb c) { return c.a == 255 && ours({c.r, c.g, c.b}); };
        // Whether a text colour goes with a fill (where the theme's button face is its window,
        // either text colour does).
        const auto goes = [&](Rgb text, Rgb fill) {
            return (fill == theme.window && text == theme.windowText) ||
                   (fill == theme.buttonFace && text == theme.buttonText) ||
                   (fill == theme.highlight && text == theme.highlightText) ||
                   text == theme.grayText;
        };
        for (const View& view : Views()) {
            test::RecordingCanvas canvas;
            view.paint(canvas, &theme);
            for (const auto& shape : canvas.shapes) {
                EXPECT_TRUE(ours(shape.fill) && ours(shape.pen)) << view.name;
            }
            for (const auto& line : canvas.polylines) {
                EXPECT_TRUE(ours(line.colour)) << view.name;
            }
            for (const auto& arc : canvas.arcs) {
                EXPECT_TRUE(opaque(arc.colour)) << view.name;
            }
            for (const auto& line : canvas.lines) {
                EXPECT_TRUE(opaque(line.colour)) << view.name;
            }
            for (const auto& text : canvas.textsF) {
                EXPECT_TRUE(opaque(text.colour)) << view.name << ": " << text.points;
            }
            // Each text against the last shape painted under its middle before it.
            std::size_t shape = 0;
            std::size_t text = 0;
            std::vector<std::pair<std::size_t, Rgb>> fills;
            for (const char call : canvas.order) {
                if (call == 'F' || call == 'R' || call == 'E') {
                    fills.push_back({shape, canvas.shapes[shape].fill});
                    ++shape;
                } else if (call == 'T') {
                    const auto& t = canvas.texts[text++];
                    const int x = (t.rect.left + t.rect.right) / 2;
                    const int y = t.rect.top + 8;
                    Rgb back = theme.window;
                    for (const auto& [index, fill] : fills) {
                        if (Contains(canvas.shapes[index].rect, x, y)) {
                            back = fill;
                        }
                    }
                    EXPECT_TRUE(goes(t.colour, back))
                        << view.name << ": " << std::string(t.text.begin(), t.text.end());
                }
            }
        }
    }
}

}  // namespace
}  // namespace velmora::ui
