#include "setup/installer_flow.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "support/recording_canvas.h"

namespace velmora::setup {
namespace {

using test::RecordingCanvas;
using ui::Rect;
using ui::Rgb;

constexpr Rgb kAccent{255, 208, 0};
constexpr Rgb kBusyGrey{58, 58, 58};

TEST(InstallerPaths, JoinAndFolder) {
    EXPECT_EQ(JoinPath(L"C:\\GRUPOORVANE\\IP-KALDRA", L"VELMORA.exe"),
              L"C:\\GRUPOORVANE\\IP-KALDRA\\VELMORA.exe");
    EXPECT_EQ(JoinPath(L"C:\\", L"x.lnk"), L"C:\\x.lnk");
    EXPECT_EQ(FolderOf(L"C:\\GRUPOORVANE\\IP-KALDRA\\VELMORA.exe"), L"C:\\GRUPOORVANE\\IP-KALDRA");
    EXPECT_EQ(FolderOf(L"C:\\a\\\\b.exe"), L"C:\\a");
    EXPECT_EQ(FolderOf(L"C:\\b.exe"), L"C:\\");
    EXPECT_EQ(FolderOf(L"\\b.exe"), L"\\");
    EXPECT_EQ(FolderOf(L"b.exe"), L"");
}

TEST(InstallerCommandLine, UninstallRule) {
    EXPECT_TRUE(IsUninstallCommandLine(L"/uninstall"));
    EXPECT_TRUE(IsUninstallCommandLine(L"x/uninstallx"));  // inside a longer word
    EXPECT_TRUE(IsUninstallCommandLine(L"--foo /uninstall --bar"));
    EXPECT_FALSE(IsUninstallCommandLine(L"/UNINSTALL"));
    EXPECT_FALSE(IsUninstallCommandLine(L"/uninstal"));
    EXPECT_FALSE(IsUninstallCommandLine(L""));
}

TEST(InstallerCommandLine, SelfDeleteCommand) {
    EXPECT_EQ(
        SelfDeleteParameters(INSTALL_DIR, L"C:\\Windows\\system32"),
        L"/c C:\\Windows\\system32\\PING.EXE -n 3 127.0.0.1 >nul & del /q "
        L"\"C:\\GRUPOORVANE\\IP-KALDRA\\uninstall.exe\" & rmdir /q \"C:\\GRUPOORVANE\\IP-KALDRA\"");
}

TEST(InstallerNames, OnlyWhatTheProgramsMakeIsTheirs) {
    for (const wchar_t* ours :
         {L"VELMORA.exe", L"velmora.EXE", L"KALDRA-NEW.ico.new", L"uninstall.exe", L"dados",
          L"LEIA-ME.txt", L"history.xml", L"history.lock", L".history.xml.new-4242",
          L"history.damaged.bak", L"history.damaged.12.bak", L"history.utf16.bak",
          L"history.utf16.3.bak"}) {
        EXPECT_TRUE(IsInstalledName(ours)) << ours;
    }
    for (const wchar_t* theirs :
         {L"winhttp.dll", L"notes.txt", L"history.bak", L"history.old.bak", L"x.new",
          L"history.damaged..bak", L"history.damaged.1a.bak", L".history.xml.new-",
          L".history.xml.new-12x", L"VELMORA.exe.new.new", L"history.xml.bak"}) {
        EXPECT_FALSE(IsInstalledName(theirs)) << theirs;
    }
}

TEST(InstallerCommandLine, EstimatedSizeIsWholeKiB) {
    EXPECT_EQ(EstimatedSizeKiB(1188352), 1160u);
    EXPECT_EQ(EstimatedSizeKiB(1023), 0u);
    EXPECT_EQ(EstimatedSizeKiB(1024), 1u);
    EXPECT_EQ(EstimatedSizeKiB(std::uint64_t{5} << 40), 5u << 30);
}

TEST(InstallerProgress, StepsThenSuccessOrFailure) {
    InstallerView view = InitialView(false);
    EXPECT_EQ(view.statusText, L"Pronto para instalar.");
    EXPECT_EQ(InitialView(true).statusText, L"Pronto para desinstalar.");
    view.busy = true;

    EXPECT_FALSE(ApplyProgress(view, L"Extraindo VELMORA...", 20));
    EXPECT_EQ(view.progress, 20);
    EXPECT_TRUE(view.busy);
    EXPECT_FALSE(view.finished);

    // A failure keeps the bar where it was and frees the window.
    EXPECT_FALSE(ApplyProgress(view, L"Erro ao extrair o executável.", -1));
    EXPECT_EQ(view.progress, 20);
    EXPECT_EQ(view.statusText, L"Erro ao extrair o executável.");
    EXPECT_TRUE(view.finished);
    EXPECT_FALSE(view.succeeded);
    EXPECT_FALSE(view.busy);
    EXPECT_EQ(ScreenOf(view), Screen::ReadyOrWorking);

    // Success in install mode shows the Installed view but arms no close timer.
    view.busy = true;
    EXPECT_FALSE(ApplyProgress(view, L"Instalação concluída com sucesso!", 100));
    EXPECT_TRUE(view.succeeded);
    EXPECT_EQ(ScreenOf(view), Screen::Installed);

    InstallerView uninstall = InitialView(true);
    uninstall.busy = true;
    EXPECT_FALSE(ApplyProgress(uninstall, L"Removendo registro...", 75));
    EXPECT_TRUE(ApplyProgress(uninstall, L"Desinstalação concluída.", 100));
    EXPECT_EQ(ScreenOf(uninstall), Screen::UninstallEnded);
}

TEST(InstallerProgress, JobThatCannotStartIsAFailure) {
    InstallerView view = InitialView(false);
    bool started = false;
    BeginJob(view, [&] { started = true; });
    EXPECT_TRUE(started);
    EXPECT_TRUE(view.busy);

    InstallerView failed = InitialView(true);
    BeginJob(failed, [] { throw std::runtime_error("no thread"); });
    EXPECT_FALSE(failed.busy);
    EXPECT_TRUE(failed.finished);
    EXPECT_FALSE(failed.succeeded);
    EXPECT_EQ(failed.statusText, L"Não foi possível iniciar a desinstalação.");
    EXPECT_EQ(ScreenOf(failed), Screen::UninstallEnded);  // "FECHAR", no self-delete
}

class InstallerPaint : public ::testing::Test {
  protected:
    InstallerRects Paint(const InstallerView& view) {
        canvas = RecordingCanvas();
        return PaintInstaller(canvas, view, kWindowWidth, kWindowHeight);
    }
    // The last shape drawn exactly on `rect`: the one that is seen.
    const RecordingCanvas::ShapeCall* ShapeAt(const Rect& rect) const {
        for (auto it = canvas.shapes.rbegin(); it != canvas.shapes.rend(); ++it) {
            if (it->rect == rect) {
                return &*it;
            }
        }
        return nullptr;
    }
    RecordingCanvas canvas;
};

TEST_F(InstallerPaint, ReadyInInstallMode) {
    const InstallerRects rects = Paint(InitialView(false));
    EXPECT_EQ(rects.primaryRect, (Rect{332, 362, 492, 404}));
    EXPECT_EQ(rects.secondaryRect, (Rect{158, 362, 318, 404}));
    EXPECT_EQ(rects.desktopBoxRect, (Rect{28, 184, 308, 206}));
    EXPECT_EQ(rects.startMenuBoxRect, (Rect{28, 214, 308, 236}));
    ASSERT_NE(canvas.FindText(L"INSTALAR"), nullptr);
    EXPECT_EQ(canvas.FindText(L"INSTALAR")->align, ui::TextAlign::Centre);
    ASSERT_NE(canvas.FindText(L"CANCELAR"), nullptr);
    ASSERT_NE(canvas.FindText(L"Instalador — VELMORA v2.0.3.7"), nullptr);
    const auto* path = canvas.FindText(L"C:\\GRUPOORVANE\\IP-KALDRA");
    ASSERT_NE(path, nullptr);
    EXPECT_EQ(path->rect, (Rect{40, 140, 640, 340}));
    EXPECT_EQ(path->align, ui::TextAlign::TopLeft);
    ASSERT_NE(canvas.FindText(L"Pronto para instalar."), nullptr);
    EXPECT_EQ(canvas.FindText(L"Pronto para instalar.")->rect.top, 338);
    // Both ticks drawn; no progress bar at 0 %.
    EXPECT_NE(ShapeAt({31, 189, 41, 199}), nullptr);
    EXPECT_NE(ShapeAt({31, 219, 41, 229}), nullptr);
    EXPECT_EQ(ShapeAt({28, 320, 28, 330}), nullptr);
    EXPECT_EQ(ShapeAt(rects.primaryRect)->fill, kAccent);
    ASSERT_EQ(canvas.polylines.size(), 1u);
    EXPECT_EQ(canvas.polylines[0].width, 2);
    EXPECT_EQ(canvas.polylines[0].points[0], (ui::Point{0, 89}));
}

TEST_F(InstallerPaint, UntickedOptionsAndProgressBar) {
    InstallerView view = InitialView(false);
    view.createDesktopShortcut = false;
    view.progress = 55;
    Paint(view);
    EXPECT_EQ(ShapeAt({31, 189, 41, 199}), nullptr);
    EXPECT_NE(ShapeAt({31, 219, 41, 229}), nullptr);
    // 28 + 464 * 55 / 100 = 283 (truncated).
    const auto* bar = ShapeAt({28, 320, 283, 330});
    ASSERT_NE(bar, nullptr);
    EXPECT_EQ(bar->fill, kAccent);
}

TEST_F(InstallerPaint, WorkingHidesOptionsAndGreysTheButton) {
    InstallerView view = InitialView(false);
    view.busy = true;
    const InstallerRects rects = Paint(view);
    EXPECT_EQ(rects.desktopBoxRect, Rect{});
    EXPECT_EQ(rects.startMenuBoxRect, Rect{});
    EXPECT_EQ(canvas.FindText(L"Criar atalho na Área de Trabalho"), nullptr);
    EXPECT_EQ(ShapeAt(rects.primaryRect)->fill, kBusyGrey);
}

TEST_F(InstallerPaint, InstalledAndUninstallViews) {
    InstallerView view = InitialView(false);
    ApplyProgress(view, L"Instalação concluída com sucesso!", 100);
    InstallerRects rects = Paint(view);
    EXPECT_NE(canvas.FindText(L"ABRIR APP"), nullptr);
    EXPECT_NE(canvas.FindText(L"FECHAR"), nullptr);
    EXPECT_EQ(ShapeAt({28, 320, 492, 330})->fill, kAccent);  // full bar
    EXPECT_EQ(rects.desktopBoxRect, (Rect{28, 184, 308, 206}));

    InstallerView uninstall = InitialView(true);
    rects = Paint(uninstall);
    EXPECT_NE(canvas.FindText(L"DESINSTALAR"), nullptr);
    EXPECT_NE(canvas.FindText(L"Desinstalador"), nullptr);
    EXPECT_EQ(rects.desktopBoxRect, Rect{});  // no options in uninstall mode

    ApplyProgress(uninstall, L"Desinstalação concluída.", 100);
    rects = Paint(uninstall);
    EXPECT_NE(canvas.FindText(L"FECHANDO..."), nullptr);
    EXPECT_EQ(canvas.FindText(L"CANCELAR"), nullptr);
    EXPECT_EQ(rects.primaryRect, Rect{});
    EXPECT_EQ(rects.secondaryRect, (Rect{332, 362, 492, 404}));

    InstallerView failed = InitialView(true);
    ApplyProgress(failed, L"x", -1);
    Paint(failed);
    EXPECT_NE(canvas.FindText(L"FECHAR"), nullptr);
    EXPECT_EQ(canvas.FindText(L"FECHANDO..."), nullptr);
}

TEST_F(InstallerPaint, ClickRules) {
    InstallerView view = InitialView(false);
    InstallerRects rects = Paint(view);
    EXPECT_EQ(ClassifyClick(view, rects, 28, 184), ClickAction::ToggleDesktop);
    EXPECT_EQ(ClassifyClick(view, rects, 307, 205), ClickAction::ToggleDesktop);
    EXPECT_EQ(ClassifyClick(view, rects, 308, 190), ClickAction::None);  // right edge outside
    EXPECT_EQ(ClassifyClick(view, rects, 100, 236), ClickAction::None);  // bottom edge outside
    EXPECT_EQ(ClassifyClick(view, rects, 100, 230), ClickAction::ToggleStartMenu);
    EXPECT_EQ(ClassifyClick(view, rects, 332, 362), ClickAction::StartJob);
    EXPECT_EQ(ClassifyClick(view, rects, 491, 403), ClickAction::StartJob);
    EXPECT_EQ(ClassifyClick(view, rects, 492, 380), ClickAction::None);
    EXPECT_EQ(ClassifyClick(view, rects, 400, 404), ClickAction::None);
    EXPECT_EQ(ClassifyClick(view, rects, 200, 380), ClickAction::Close);
    EXPECT_EQ(ClassifyClick(view, rects, 250, 50), ClickAction::None);

    // Working: CANCELAR does not interrupt, INSTALAR does not start a second job.
    view.busy = true;
    EXPECT_EQ(ClassifyClick(view, rects, 200, 380), ClickAction::None);
    EXPECT_EQ(ClassifyClick(view, rects, 400, 380), ClickAction::None);
    EXPECT_EQ(ClassifyClick(view, rects, 30, 190), ClickAction::None);

    // After a failed install the options are drawn again but no longer toggle.
    ApplyProgress(view, L"Erro ao extrair o executável.", -1);
    rects = Paint(view);
    EXPECT_EQ(rects.desktopBoxRect, (Rect{28, 184, 308, 206}));
    EXPECT_EQ(ClassifyClick(view, rects, 30, 190), ClickAction::None);
    EXPECT_EQ(ClassifyClick(view, rects, 400, 380), ClickAction::StartJob);  // try again

    view.busy = true;
    ApplyProgress(view, L"Instalação concluída com sucesso!", 100);
    rects = Paint(view);
    EXPECT_EQ(ClassifyClick(view, rects, 400, 380), ClickAction::OpenApp);
    EXPECT_EQ(ClassifyClick(view, rects, 200, 380), ClickAction::Close);

    InstallerView uninstall = InitialView(true);
    ApplyProgress(uninstall, L"Desinstalação concluída.", 100);
    rects = Paint(uninstall);
    EXPECT_EQ(ClassifyClick(uninstall, rects, 400, 380), ClickAction::Close);  // "FECHANDO..."
}

TEST(InstallerAccessibility, EachScreenInReadingOrder) {
    const auto roles = [](const InstallerView& view) {
        std::wstring out;
        for (const ui::AccessibleItem& item :
             InstallerAccessibleItems(view, kWindowWidth, kWindowHeight)) {
            out += item.name + (item.checked ? L"[x]" : L"") + L"|" + item.value + L";";
        }
        return out;
    };
    InstallerView ready = InitialView(false);
    ready.createStartMenuShortcut = false;
    EXPECT_EQ(roles(ready),
              L"Destino da instalação: C:\\GRUPOORVANE\\IP-KALDRA|;"
              L"Criar atalho na Área de Trabalho[x]|;Criar atalho no Menu Iniciar|;Pronto para "
              L"instalar.|0;"
              L"CANCELAR|;INSTALAR|;");
    InstallerView working = ready;
    working.busy = true;
    ApplyProgress(working, L"Copiando arquivos...", 40);
    EXPECT_EQ(roles(working),
              L"Destino da instalação: C:\\GRUPOORVANE\\IP-KALDRA|;"
              L"Copiando arquivos...|40;CANCELAR|;INSTALAR|;");
    InstallerView done = InitialView(false);
    ApplyProgress(done, L"Instalação concluída com sucesso!", 100);
    const std::wstring installed = roles(done);
    EXPECT_NE(installed.find(L"FECHAR|;ABRIR APP|;"), std::wstring::npos) << installed;
}

}  // namespace
}  // namespace velmora::setup
