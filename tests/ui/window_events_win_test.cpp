// What a screen reader receives from a real window, in the window's own process: a WinEvent hook
// records each event the window raises, resolved through the window's MSAA object as a reader
// resolves it, beside that object's answers to the reader's questions. The window is the host
// both programs stand on, showing the meter's or the installer's items for a state each scenario
// sets, as the programs publish theirs. (Wine cannot marshal the object, across processes or
// within one, so the test takes it from the window as WM_GETOBJECT hands it out.)

#include <windows.h>
// After windows.h, which it needs.
#include <oleacc.h>

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "common/win32_handles.h"
#include "setup/installer_flow.h"
#include "ui/dashboard.h"
#include "ui/popup_window_win.h"

namespace velmora::ui {
namespace {

using modulos::medicao::MeasurementPhase;
using modulos::medicao::RunSnapshot;
using setup::InstallerView;

std::vector<std::wstring>* recorded = nullptr;
HWND watched = nullptr;
IAccessible* reader = nullptr;  // the watched window's object, as a reader holds it

// A text the object hands out through `ask` (its HRESULT and BSTR), freed.
template <typename Ask>
std::wstring Text(Ask ask) {
    BSTR text = nullptr;
    const HRESULT result = ask(&text);
    std::wstring out = SUCCEEDED(result) && text ? std::wstring(text, SysStringLen(text)) : L"";
    SysFreeString(text);
    return out;
}

VARIANT Child(long id) {
    VARIANT v{};
    v.vt = VT_I4;
    v.lVal = id;
    return v;
}

std::wstring NameOf(IAccessible* object, const VARIANT& child) {
    return Text([&](BSTR* name) { return object->get_accName(child, name); });
}

std::wstring StateOf(IAccessible* object, const VARIANT& child) {
    VARIANT state{};
    object->get_accState(child, &state);
    std::wstring out;
    if (state.lVal & STATE_SYSTEM_CHECKED) {
        out += L"checked";
    }
    if (state.lVal & STATE_SYSTEM_UNAVAILABLE) {
        out += L"unavailable";
    }
    return out;
}

void CALLBACK OnEvent(HWINEVENTHOOK, DWORD event, HWND hwnd, LONG object, LONG child, DWORD,
                      DWORD) {
    static const std::map<DWORD, std::wstring> kinds{{EVENT_OBJECT_FOCUS, L"focus"},
                                                     {EVENT_OBJECT_NAMECHANGE, L"name"},
                                                     {EVENT_OBJECT_STATECHANGE, L"state"},
                                                     {EVENT_OBJECT_VALUECHANGE, L"value"},
                                                     {kLiveRegionChanged, L"live"}};
    const auto kind = kinds.find(event);
    // The system's own focus event for the window itself is not the window's news.
    if (hwnd != watched || object != OBJID_CLIENT || kind == kinds.end() || child == CHILDID_SELF) {
        return;
    }
    // As AccessibleObjectFromEvent answers for a simple element: its parent and its child id.
    IAccessible* accessible = reader;
    const VARIANT target = Child(child);
    std::wstring line = kind->second + L"|" + NameOf(accessible, target);
    if (event == EVENT_OBJECT_STATECHANGE) {
        line += L"|" + StateOf(accessible, target);
    } else if (event == EVENT_OBJECT_VALUECHANGE) {
        line += L"|" + Text([&](BSTR* value) { return accessible->get_accValue(target, value); });
    }
    recorded->push_back(line);
}

// The host with a scenario's items; a press is recorded, and toggles an installer's box.
class ScriptedWindow final : public PopupWindow {
  public:
    std::function<std::vector<AccessibleItem>()> items;
    std::function<void(ICanvas&)> paint = [](ICanvas&) {};
    std::function<void(Point)> click = [](Point) {};

  private:
    void Paint(ICanvas& canvas, const Rect& client) override {
        canvas.FillRect(client, {0, 0, 0});
        paint(canvas);
    }
    bool InCaption(Point) const override { return false; }
    std::vector<AccessibleItem> AccessibleItems() override { return items(); }
    void OnClick(Point at) override {
        for (const AccessibleItem& item : items()) {
            if (item.Focusable() && Inside(item.rect, at.x, at.y)) {
                recorded->push_back(L"press|" + item.name);
            }
        }
        click(at);
    }
};

RunSnapshot MeterState(const std::wstring& name) {
    RunSnapshot run;
    run.serverLocation = L"GRU / BR (3 km)";
    if (name == L"idle") {
        return run;
    }
    run.running = true;
    run.publicIp = L"177.10.20.30";
    run.isp = L"Claro S.A.";
    run.phase = MeasurementPhase::Latency;
    if (name == L"ping") {
        return run;
    }
    run.userCity = L"São Paulo - SP";  // the identification answers while the run goes on
    if (name == L"located") {
        return run;
    }
    run.phase = MeasurementPhase::Downloading;
    run.downloadMbps = 51.5;
    run.pingMs = 15;
    if (name == L"download") {
        return run;
    }
    run.phase = MeasurementPhase::Done;
    run.running = false;
    run.downloadMbps = 94.88;
    run.uploadMbps = 41.2;
    run.downloadLatencyMs = 80;
    run.uploadLatencyMs = 95;
    return run;
}

InstallerView InstallerState(const std::wstring& name) {
    InstallerView view = setup::InitialView(false);
    if (name == L"working") {
        view.busy = true;
        setup::ApplyProgress(view, L"Copiando arquivos...", 40);
    } else if (name == L"failed") {
        view.busy = true;
        setup::ApplyProgress(view, L"Copiando arquivos...", 40);
        setup::ApplyProgress(view, L"Falha ao copiar os arquivos.", -1);
    }
    return view;
}

enum class Program { Meter, Installer };

struct Scenario {
    const char* what;
    Program program;
    // "key NAME" (a first press), "held NAME" (its auto-repeat), "set STATE", "away" and
    // "back" (another window takes the foreground, then this one again), "ask focus",
    // "ask action|NAME", "ask value|NAME", "ask nav|DIRECTION|NAME" (NAME empty: the client area).
    std::vector<std::wstring> steps;
    std::vector<std::wstring> events;  // in order, the events and the answers
};

const Scenario kScenarios[] = {
    {"the focus stays on its control while the list around it grows",
     Program::Meter,
     {L"key Return", L"set ping", L"set located", L"ask focus"},
     {L"focus|INICIAR TESTE", L"press|INICIAR TESTE", L"name|Status: MEDINDO PING...",
      L"live|Status: MEDINDO PING...", L"state|MEDINDO...|unavailable", L"name|MEDINDO...",
      L"focus?|MEDINDO..."}},
    {"a control that goes away hands the focus on, one that stays keeps it",
     Program::Installer,
     {L"key Tab", L"key Tab", L"key Tab", L"key Return", L"set working", L"ask focus", L"set ready",
      L"key Tab", L"set working"},
     {L"focus|Criar atalho na Área de Trabalho",
      L"focus|Criar atalho no Menu Iniciar",
      L"focus|CANCELAR",
      L"focus|INSTALAR",
      L"press|INSTALAR",
      L"value|Copiando arquivos...|40",
      L"name|Copiando arquivos...",
      L"live|Copiando arquivos...",
      L"state|CANCELAR|unavailable",
      L"state|INSTALAR|unavailable",
      L"focus?|INSTALAR",
      L"value|Pronto para instalar.|0",
      L"name|Pronto para instalar.",
      L"live|Pronto para instalar.",
      L"state|CANCELAR|",
      L"state|INSTALAR|",
      L"focus|Criar atalho na Área de Trabalho",
      L"focus|CANCELAR",
      L"value|Copiando arquivos...|40",
      L"name|Copiando arquivos...",
      L"live|Copiando arquivos...",
      L"state|CANCELAR|unavailable",
      L"state|INSTALAR|unavailable"}},
    {"the end of a run is told once, every result in one text",
     Program::Meter,
     {L"set download", L"set done", L"set done"},
     {L"focus|INICIAR TESTE", L"name|Status: MEDINDO DOWNLOAD...",
      L"live|Status: MEDINDO DOWNLOAD...", L"state|MEDINDO...|unavailable", L"name|MEDINDO...",
      L"live|Status: MEDIÇÃO CONCLUÍDA. Download: 94.88 Mbps. Upload: 41.20 Mbps. Ping: 15 "
      L"ms. Latência durante o download: 80 ms. Latência durante o upload: 95 ms.",
      L"state|INICIAR TESTE|", L"name|INICIAR TESTE"}},
    {"an option box tells its state and offers the action that changes it",
     Program::Installer,
     {L"ask action|Criar atalho na Área de Trabalho", L"key space",
      L"ask action|Criar atalho na Área de Trabalho", L"set failed",
      L"ask action|Criar atalho na Área de Trabalho"},
     {L"focus|Criar atalho na Área de Trabalho", L"action?|Desmarcar",
      L"press|Criar atalho na Área de Trabalho", L"state|Criar atalho na Área de Trabalho|",
      L"action?|Marcar", L"state|Criar atalho na Área de Trabalho|checkedunavailable",
      L"state|Criar atalho no Menu Iniciar|checkedunavailable",
      L"value|Falha ao copiar os arquivos.|40", L"name|Falha ao copiar os arquivos.",
      L"live|Falha ao copiar os arquivos.", L"action?|Desmarcar"}},
    {"a reader walks the children in reading order",
     Program::Meter,
     {L"ask nav|first|", L"ask nav|next|Status: AGUARDANDO MEDIÇÃO", L"ask nav|last|",
      L"ask nav|previous|Fechar", L"ask nav|next|Fechar"},
     {L"focus|INICIAR TESTE", L"nav?|Status: AGUARDANDO MEDIÇÃO", L"nav?|IP público: Aguardando",
      L"nav?|Fechar", L"nav?|HISTÓRICO", L"nav?|"}},
    {"the progress bar tells its value as a number",
     Program::Installer,
     {L"ask value|Pronto para instalar.", L"set working", L"ask value|Copiando arquivos..."},
     {L"focus|Criar atalho na Área de Trabalho", L"value?|0", L"focus|CANCELAR",
      L"value|Copiando arquivos...|40", L"name|Copiando arquivos...", L"live|Copiando arquivos...",
      L"state|CANCELAR|unavailable", L"state|INSTALAR|unavailable", L"value?|40"}},
    {"the window gives the focus when it opens and when it comes back, and none while away",
     Program::Meter,
     {L"ask focus", L"away", L"ask focus", L"back", L"key Tab", L"away", L"back", L"ask focus"},
     {L"focus|INICIAR TESTE", L"focus?|INICIAR TESTE", L"focus?|", L"focus|INICIAR TESTE",
      L"focus|HISTÓRICO", L"focus|HISTÓRICO", L"focus?|HISTÓRICO"}},
    {"a held key acts once",
     Program::Meter,
     {L"key Tab", L"key Return", L"held Return", L"held Return", L"key space", L"held space"},
     {L"focus|INICIAR TESTE", L"focus|HISTÓRICO", L"press|HISTÓRICO", L"press|HISTÓRICO"}},
};

void Pump() {
    MSG message{};
    for (int round = 0; round < 3; ++round) {
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
}

std::vector<std::wstring> Split(const std::wstring& text, wchar_t by) {
    std::vector<std::wstring> parts;
    std::wstringstream in(text);
    for (std::wstring part; std::getline(in, part, by);) {
        parts.push_back(part);
    }
    if (!text.empty() && text.back() == by) {
        parts.emplace_back();
    }
    return parts;
}

void PrintTo(const Scenario& scenario, std::ostream* out) {
    *out << scenario.what;
}

class WindowEvents : public testing::TestWithParam<Scenario> {};

TEST_P(WindowEvents, AreWhatAScreenReaderNeeds) {
    const Scenario& scenario = GetParam();
    const win32::GdiplusScope gdiplus;
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    std::vector<std::wstring> events;
    recorded = &events;
    const HWINEVENTHOOK hook = SetWinEventHook(EVENT_MIN, EVENT_MAX, nullptr, OnEvent,
                                               GetCurrentProcessId(), 0, WINEVENT_OUTOFCONTEXT);
    ASSERT_NE(hook, nullptr);

    ScriptedWindow window;
    RunSnapshot run = MeterState(L"idle");
    InstallerView view = InstallerState(L"ready");
    setup::InstallerRects rects;
    WindowFields fields;
    PopupOptions options;
    if (scenario.program == Program::Meter) {
        fields.rects = LayoutHitRects(360, 800);
        window.items = [&] { return DashboardAccessibleItems(run, fields, {0, 0, 360, 800}); };
        options.design = {360, 800};
    } else {
        window.items = [&] {
            return setup::InstallerAccessibleItems(view, setup::kWindowWidth, setup::kWindowHeight);
        };
        window.paint = [&](ICanvas& canvas) {
            rects = setup::PaintInstaller(canvas, view, setup::kWindowWidth, setup::kWindowHeight);
        };
        // What the installer does with a click on a box: toggle it, and publish.
        window.click = [&](Point at) {
            const auto action = setup::ApplyClick(view, rects, at.x, at.y);
            if (action == setup::ClickAction::ToggleDesktop ||
                action == setup::ClickAction::ToggleStartMenu) {
                window.Publish();
            }
        };
        options.design = {setup::kWindowWidth, setup::kWindowHeight};
    }
    options.className = L"VELMORA.EventsTest";
    options.title = L"VELMORA events test";
    // Out of context, the events of the window's making wait in the queue until it is there.
    ASSERT_TRUE(window.Open(GetModuleHandleW(nullptr), options, SW_SHOW));
    watched = window.hwnd();
    reader = window.AccessibleObject();
    IAccessible* const client = reader;
    Pump();
    // The child a reader finds by its name, as AccessibleChildren lists them.
    const auto find = [&](const std::wstring& name) {
        long count = 0;
        client->get_accChildCount(&count);
        std::vector<VARIANT> children(static_cast<std::size_t>(count));
        long got = 0;
        AccessibleChildren(client, 0, count, children.data(), &got);
        for (long i = 0; i < got; ++i) {
            if (NameOf(client, children[i]) == name) {
                return children[i];
            }
        }
        return Child(CHILDID_SELF);
    };
    HWND other = nullptr;
    for (const std::wstring& step : scenario.steps) {
        const std::vector<std::wstring> word = Split(step, step.starts_with(L"ask") ? L'|' : L' ');
        if (word[0] == L"key" || word[0] == L"held") {
            const UINT key = word[1] == L"Tab"      ? VK_TAB
                             : word[1] == L"Return" ? VK_RETURN
                                                    : VK_SPACE;
            // Bit 30: the key was already down, as in every auto-repeat.
            const LPARAM flags = 1 | (word[0] == L"held" ? LPARAM{1} << 30 : 0);
            SendMessageW(window.hwnd(), WM_KEYDOWN, key, flags);
        } else if (word[0] == L"set") {
            run = MeterState(word[1]);
            view = InstallerState(word[1]);
            window.Publish();
        } else if (word[0] == L"away") {
            other = CreateWindowExW(0, L"STATIC", L"elsewhere", WS_POPUP | WS_VISIBLE, 0, 0, 50, 50,
                                    nullptr, nullptr, nullptr, nullptr);
            SetForegroundWindow(other);
            SetFocus(other);
        } else if (word[0] == L"back") {
            SetForegroundWindow(window.hwnd());
            SetFocus(window.hwnd());
            DestroyWindow(other);
        } else if (word[0] == L"ask focus") {
            VARIANT focus{};
            client->get_accFocus(&focus);
            events.push_back(L"focus?|" + (focus.vt == VT_I4 ? NameOf(client, focus) : L""));
        } else if (word[0] == L"ask action") {
            events.push_back(L"action?|" + Text([&](BSTR* action) {
                                 return client->get_accDefaultAction(find(word[1]), action);
                             }));
        } else if (word[0] == L"ask value") {
            events.push_back(L"value?|" + Text([&](BSTR* value) {
                                 return client->get_accValue(find(word[1]), value);
                             }));
        } else if (word[0] == L"ask nav") {
            const long direction = word[1] == L"first"  ? NAVDIR_FIRSTCHILD
                                   : word[1] == L"last" ? NAVDIR_LASTCHILD
                                   : word[1] == L"next" ? NAVDIR_NEXT
                                                        : NAVDIR_PREVIOUS;
            VARIANT end{};
            client->accNavigate(direction, word[2].empty() ? Child(CHILDID_SELF) : find(word[2]),
                                &end);
            events.push_back(L"nav?|" + (end.vt == VT_I4 ? NameOf(client, end) : L""));
        } else {
            FAIL() << "no such step";
        }
        Pump();
    }
    DestroyWindow(window.hwnd());
    Pump();
    UnhookWinEvent(hook);
    reader->Release();
    reader = nullptr;
    recorded = nullptr;
    CoUninitialize();
    EXPECT_EQ(events, scenario.events) << scenario.what;
}

INSTANTIATE_TEST_SUITE_P(UnderWine, WindowEvents, testing::ValuesIn(kScenarios));

}  // namespace
}  // namespace velmora::ui
