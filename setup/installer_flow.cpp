#include "installer_flow.h"

#include <array>
#include <vector>

#include "ui/palette.h"

namespace velmora::setup {
namespace {

using ui::Rect;
using ui::Rgb;

using ui::palette::kAccent;
using ui::palette::kBackground;
using ui::palette::kEdge;
using ui::palette::kWhite;
constexpr Rgb kPanel = ui::palette::kHeader;
constexpr Rgb kMuted = ui::palette::kSecondary;
constexpr Rgb kField{30, 30, 30};

struct Font {
    int height;
    int weight;
};
constexpr Font kTitleFont{-20, 800};
constexpr Font kTextFont{-13, 400};
constexpr Font kSmallFont{-11, 400};
constexpr Font kButtonFont{-13, 700};

bool IsSeparator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

// Text from a point, not clipped, one line (the rectangle only anchors it).
void DrawTextAt(ui::ICanvas& canvas, int x, int y, std::wstring_view text, Font font, Rgb colour) {
    canvas.Text({x, y, x + 600, y + 200}, text, colour, font.height, font.weight,
                ui::TextAlign::TopLeft);
}

void DrawButton(ui::ICanvas& canvas, const Rect& rect, std::wstring_view caption, Rgb fill,
                Rgb text, Rgb edge) {
    canvas.RoundRect(rect, 10, fill, edge);
    canvas.Text(rect, caption, text, kButtonFont.height, kButtonFont.weight, ui::TextAlign::Centre);
}

struct CheckboxColours {
    Rgb field;
    Rgb edge;
    Rgb tick;
    Rgb label;
};

void DrawCheckbox(ui::ICanvas& canvas, int top, bool ticked, std::wstring_view label,
                  const CheckboxColours& colours) {
    canvas.RoundRect({28, top + 2, 44, top + 18}, 3, colours.field, colours.edge);
    if (ticked) {
        canvas.RoundRect({31, top + 5, 41, top + 15}, 2, colours.tick, colours.tick);
    }
    DrawTextAt(canvas, 52, top + 1, label, kTextFont, colours.label);
}

struct Button {
    Rect rect;
    const wchar_t* caption;
    Rgb fill;
    Rgb text;
    bool primary;
};

struct Option {
    Rect rect;
    const wchar_t* label;
    bool ticked;
};

// The option boxes the view shows (none when uninstalling or during a job), top to bottom.
std::vector<Option> OptionsOf(const InstallerView& view) {
    if (view.uninstallMode || view.busy) {
        return {};
    }
    return {{{28, 184, 308, 206}, L"Criar atalho na Área de Trabalho", view.createDesktopShortcut},
            {{28, 214, 308, 236}, L"Criar atalho no Menu Iniciar", view.createStartMenuShortcut}};
}

// The buttons of the screen that the view shows, left to right.
std::vector<Button> ButtonsOf(const InstallerView& view, int w, int h) {
    const Rect right{w - 188, h - 58, w - 28, h - 16};
    const Rect left{w - 362, h - 58, w - 202, h - 16};
    switch (ScreenOf(view)) {
        case Screen::ReadyOrWorking:
            return {{left, L"CANCELAR", kPanel, kWhite, false},
                    {right, view.uninstallMode ? L"DESINSTALAR" : L"INSTALAR",
                     view.busy ? kEdge : kAccent, kBackground, true}};
        case Screen::Installed:
            return {{left, L"FECHAR", kPanel, kWhite, false},
                    {right, L"ABRIR APP", kAccent, kBackground, true}};
        case Screen::UninstallEnded:
            return {
                {right, view.succeeded ? L"FECHANDO..." : L"FECHAR", kAccent, kBackground, false}};
    }
    return {};
}

}  // namespace

std::wstring JoinPath(std::wstring_view folder, std::wstring_view name) {
    std::wstring path(folder);
    if (!path.empty() && !IsSeparator(path.back())) {
        path += L'\\';
    }
    path += name;
    return path;
}

std::wstring FolderOf(std::wstring_view path) {
    std::size_t end = path.size();
    while (end > 0 && !IsSeparator(path[end - 1])) {
        --end;  // the last component
    }
    const std::size_t afterLast = end;
    while (end > 0 && IsSeparator(path[end - 1])) {
        --end;  // the separators before it
    }
    // Keep the root: "C:\" for "C:\file", "\" for "\file".
    if (afterLast > 0 && (end == 0 || (end == 2 && path[1] == L':'))) {
        return std::wstring(path.substr(0, end + 1));
    }
    return std::wstring(path.substr(0, end));
}

bool IsUninstallCommandLine(std::wstring_view arguments) {
    return arguments.size() >= 10 && arguments.find(L"/uninstall") != std::wstring_view::npos;
}

std::wstring SelfDeleteParameters(std::wstring_view installDir, std::wstring_view systemDir) {
    std::wstring parameters =
        L"/c " + JoinPath(systemDir, L"PING.EXE") + L" -n 3 127.0.0.1 >nul & del /q \"";
    parameters += JoinPath(installDir, kUninstallerFile);
    parameters += L"\" & rmdir /q \"";
    parameters += installDir;
    parameters += L"\"";
    return parameters;
}

namespace {

// `name` is `prefix`, optionally ".N" (N decimal digits), then `suffix`.
bool IsNumbered(std::wstring_view name, std::wstring_view prefix, std::wstring_view suffix) {
    if (!name.starts_with(prefix) || !name.ends_with(suffix) ||
        name.size() < prefix.size() + suffix.size()) {
        return false;
    }
    std::wstring_view middle =
        name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
    if (middle.empty()) {
        return true;
    }
    if (middle.front() != L'.' || middle.size() < 2) {
        return false;
    }
    middle.remove_prefix(1);
    return middle.find_first_not_of(L"0123456789") == std::wstring_view::npos;
}

bool SameName(std::wstring_view a, std::wstring_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](wchar_t c) { return c >= L'A' && c <= L'Z' ? c + 32 : c; };
        if (lower(a[i]) != lower(b[i])) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool IsInstalledName(std::wstring_view name) {
    for (const std::wstring_view program : {kMeterFile, kIconFile, kUninstallerFile}) {
        if (SameName(name, program) || SameName(name, std::wstring(program) + L".new")) {
            return true;
        }
    }
    if (SameName(name, kDataFolder) || SameName(name, kDataFolderNote) ||
        SameName(name, kHistoryFile) || SameName(name, VELMORA_WIDE(VELMORA_HISTORY_LOCK))) {
        return true;
    }
    constexpr std::wstring_view kTemporary = VELMORA_WIDE(VELMORA_HISTORY_TEMPORARY);
    if (name.starts_with(kTemporary) && name.size() > kTemporary.size() &&
        name.substr(kTemporary.size()).find_first_not_of(L"0123456789abcdef") ==
            std::wstring_view::npos) {
        return true;
    }
    return IsNumbered(name, VELMORA_WIDE(VELMORA_DAMAGED_BACKUP), L".bak") ||
           IsNumbered(name, VELMORA_WIDE(VELMORA_UTF16_BACKUP), L".bak");
}

std::uint32_t EstimatedSizeKiB(std::uint64_t bytes) {
    return static_cast<std::uint32_t>(bytes >> 10);
}

InstallerView InitialView(bool uninstallMode) {
    InstallerView view;
    view.uninstallMode = uninstallMode;
    view.statusText = uninstallMode ? L"Pronto para desinstalar." : L"Pronto para instalar.";
    return view;
}

bool ApplyProgress(InstallerView& view, std::wstring_view text, int percent) {
    view.statusText = text;
    if (percent >= 0) {
        view.progress = percent;
    }
    if (percent == 100 || percent == -1) {
        view.finished = true;
        view.succeeded = percent == 100;
        view.busy = false;
    }
    return view.finished && view.succeeded && view.uninstallMode;
}

void BeginJob(InstallerView& view, const std::function<void()>& start) {
    view.busy = true;
    try {
        start();
    } catch (...) {
        ApplyProgress(view,
                      view.uninstallMode ? L"Não foi possível iniciar a desinstalação."
                                         : L"Não foi possível iniciar a instalação.",
                      -1);
    }
}

Screen ScreenOf(const InstallerView& view) {
    if (view.uninstallMode && view.finished) {
        return Screen::UninstallEnded;
    }
    if (!view.uninstallMode && view.finished && view.succeeded) {
        return Screen::Installed;
    }
    return Screen::ReadyOrWorking;
}

ClickAction ClassifyClick(const InstallerView& view, const InstallerRects& rects, int x, int y) {
    if (!view.busy && !view.finished) {
        if (Contains(rects.desktopBoxRect, x, y)) {
            return ClickAction::ToggleDesktop;
        }
        if (Contains(rects.startMenuBoxRect, x, y)) {
            return ClickAction::ToggleStartMenu;
        }
    }
    const bool installed = ScreenOf(view) == Screen::Installed;
    if (Contains(rects.secondaryRect, x, y)) {
        return !view.busy || installed ? ClickAction::Close : ClickAction::None;
    }
    if (Contains(rects.primaryRect, x, y) && !view.busy) {
        return installed ? ClickAction::OpenApp : ClickAction::StartJob;
    }
    return ClickAction::None;
}

InstallerRects PaintInstaller(ui::ICanvas& canvas, const InstallerView& view, int width, int height,
                              const ui::ContrastColours* contrast) {
    const int w = width;
    const int h = height;
    InstallerRects rects;
    // The design's colour, or the contrast theme's in its place.
    const auto pick = [contrast](Rgb design, Rgb ui::ContrastColours::*role) {
        return contrast ? contrast->*role : design;
    };
    const Rgb text = pick(kWhite, &ui::ContrastColours::windowText);
    const Rgb muted = pick(kMuted, &ui::ContrastColours::windowText);
    const Rgb field = pick(kField, &ui::ContrastColours::window);

    canvas.FillRect({0, 0, w, h}, pick(kBackground, &ui::ContrastColours::window));
    canvas.FillRect({0, 0, w, kHeaderHeight}, pick(kPanel, &ui::ContrastColours::window));
    const std::array<ui::Point, 2> rule{{{0, 89}, {w, 89}}};
    canvas.Polyline(rule, pick(kAccent, &ui::ContrastColours::windowText), 2);
    DrawTextAt(canvas, 28, 20, kPublisher, kTitleFont,
               pick(kAccent, &ui::ContrastColours::windowText));
    DrawTextAt(canvas, 28, 55,
               view.uninstallMode ? L"Desinstalador"
                                  : L"Instalador — VELMORA v" VELMORA_WIDE(VELMORA_VERSION),
               kSmallFont, muted);

    DrawTextAt(canvas, 28, 110, L"Destino da instalação:", kSmallFont, muted);
    canvas.RoundRect({28, 132, w - 28, 166}, 8, field,
                     pick(kEdge, &ui::ContrastColours::windowText));
    DrawTextAt(canvas, 40, 140, INSTALL_DIR, kTextFont, text);

    const std::vector<Option> options = OptionsOf(view);
    if (options.size() == 2) {
        rects.desktopBoxRect = options[0].rect;
        rects.startMenuBoxRect = options[1].rect;
    }
    for (const Option& option : options) {
        // After a job a box changes nothing: in a contrast theme it reads as unavailable.
        const Rgb edge = !contrast       ? kEdge
                         : view.finished ? contrast->grayText
                                         : contrast->windowText;
        DrawCheckbox(canvas, option.rect.top, option.ticked, option.label,
                     {field, edge, pick(kAccent, &ui::ContrastColours::highlight),
                      view.finished && contrast ? contrast->grayText : text});
    }

    // The track is outlined in a contrast theme, where its fill is the window's.
    canvas.RoundRect({28, h - 100, w - 28, h - 90}, 5, field,
                     pick(kField, &ui::ContrastColours::windowText));
    if (view.progress > 0) {
        const int right = 28 + (w - 56) * view.progress / 100;
        const Rgb bar = pick(kAccent, &ui::ContrastColours::highlight);
        canvas.RoundRect({28, h - 100, right, h - 90}, 5, bar, bar);
    }
    DrawTextAt(canvas, 28, h - 82, view.statusText, kSmallFont, muted);

    for (const Button& button : ButtonsOf(view, w, h)) {
        (button.primary ? rects.primaryRect : rects.secondaryRect) = button.rect;
        if (!contrast) {
            DrawButton(canvas, button.rect, button.caption, button.fill, button.text, button.fill);
            continue;
        }
        // During a job neither button does anything; otherwise the accent marks the one that
        // goes on.
        const ui::ContrastColours& c = *contrast;
        if (view.busy) {
            DrawButton(canvas, button.rect, button.caption, c.buttonFace, c.grayText, c.grayText);
        } else if (button.fill == kAccent) {
            DrawButton(canvas, button.rect, button.caption, c.highlight, c.highlightText,
                       c.buttonText);
        } else {
            DrawButton(canvas, button.rect, button.caption, c.buttonFace, c.buttonText,
                       c.buttonText);
        }
    }
    return rects;
}

std::vector<ui::AccessibleItem> InstallerAccessibleItems(const InstallerView& view, int width,
                                                         int height) {
    using ui::AccessibleItem;
    using ui::AccessibleRole;
    const auto item = [](const char* id, AccessibleRole role, std::wstring name, ui::Rect rect) {
        AccessibleItem made{role, std::move(name), {}, rect};
        made.id = id;
        return made;
    };
    std::vector<AccessibleItem> items{item("destination", AccessibleRole::Text,
                                           L"Destino da instalação: " + std::wstring(INSTALL_DIR),
                                           {28, 110, width - 28, 166})};
    const std::vector<Option> options = OptionsOf(view);
    for (std::size_t i = 0; i < options.size(); ++i) {
        items.push_back(item(i == 0 ? "desktop-shortcut" : "start-menu-shortcut",
                             AccessibleRole::CheckBox, options[i].label, options[i].rect));
        items.back().checked = options[i].ticked;
        items.back().unavailable = view.finished;  // after a job a click changes nothing
    }
    items.push_back(item("progress", AccessibleRole::ProgressBar, view.statusText,
                         {28, height - 100, width - 28, height - 66}));
    items.back().value = std::to_wstring(view.progress);
    items.back().announce = true;
    for (const Button& button : ButtonsOf(view, width, height)) {
        // The one button of an ended uninstall is neither of the two it replaces.
        const char* id = ScreenOf(view) == Screen::UninstallEnded ? "close"
                         : button.primary                         ? "primary"
                                                                  : "secondary";
        items.push_back(item(id, AccessibleRole::Button, button.caption, button.rect));
        // During a job neither button answers a click (ClassifyClick).
        items.back().unavailable = view.busy;
    }
    return items;
}

ClickAction ApplyClick(InstallerView& view, const InstallerRects& rects, int x, int y) {
    const ClickAction action = ClassifyClick(view, rects, x, y);
    if (action == ClickAction::ToggleDesktop) {
        view.createDesktopShortcut = !view.createDesktopShortcut;
    } else if (action == ClickAction::ToggleStartMenu) {
        view.createStartMenuShortcut = !view.createStartMenuShortcut;
    }
    return action;
}

}  // namespace velmora::setup
