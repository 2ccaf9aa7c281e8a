// VELMORA.exe: the borderless dashboard window, its messages, and the program's start and end.

#include <windows.h>
// After windows.h, which they need.
#include <objidl.h>
// After objidl.h, which WIN32_LEAN_AND_MEAN leaves out.
#include <gdiplus.h>
#include <shellapi.h>

#include "history/history_file.h"
#include "history/history_platform.h"
#include "history/history_report.h"
#include "measurement/measurement_run.h"
#include "servers/server_catalog.h"
#include "ui/dashboard.h"
#include "ui/gdi_canvas_win.h"

namespace velmora::ui {
namespace {

using namespace modulos::medicao;

constexpr wchar_t kClassName[] = L"OBRIXKALDRA.MainForm";
constexpr int kWidth = 360;
constexpr int kHeight = 800;
// How long the closed window waits for a run to wind down before the process ends regardless.
constexpr std::chrono::milliseconds kWorkerExitWait{2500};

// The window's whole state: the run state the worker shares, and the window's own fields.
struct MainWindowState {
    MainWindowState(HINSTANCE instance, const ServerCatalog& catalog)
        : hInstance(instance), run(catalog) {}
    HINSTANCE hInstance;
    HWND hwnd = nullptr;
    WindowFields window;
    SharedRunState run;  // last: destroying it stops and joins a running worker first
};

void InitRunState(MainWindowState& state) {
    // The run members start with their waiting texts; the worker reaches the window by posting.
    state.run.notifier.post = [&state](std::uint32_t message) {
        PostMessageW(state.hwnd, message, 0, 0);
    };
    state.run.notifier.invalidate = [&state] { InvalidateRect(state.hwnd, nullptr, FALSE); };
}

void LayoutHitRects(MainWindowState& state) {
    RECT client{};
    GetClientRect(state.hwnd, &client);
    state.window.rects = ui::LayoutHitRects(client.right, client.bottom);
}

void Paint(MainWindowState& state) {
    PaintBuffered(state.hwnd, [&state](ICanvas& canvas, const Rect& client) {
        PaintDashboard(state.run, state.window, canvas, client);
    });
}

void OnClick(MainWindowState& state, int x, int y) {
    const HitRects& r = state.window.rects;
    if (Inside(r.closeRect, x, y)) {
        DestroyWindow(state.hwnd);
    } else if (Inside(r.startRect, x, y)) {
        if (!state.run.running.load()) {
            StartMeasurement(state.run);
        }
    } else if (Inside(r.historyRect, x, y)) {
        // The report never throws; a failure simply opens nothing.
        const auto page = BuildHistoryReport(ProgramDirectory() / L"history.xml");
        if (!page.empty()) {
            ShellExecuteW(state.hwnd, L"open", page.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
        }
    }
}

void OnMeasurementDone(MainWindowState& state) {
    const MeasurementRecord record = MakeMeasurementRecord(state.run);
    AppendToHistory(record);  // never throws; a record that cannot be stored is lost quietly
    state.run.running.exchange(false);
    InvalidateRect(state.hwnd, nullptr, FALSE);
}

LRESULT HandleMessage(MainWindowState& state, UINT message, WPARAM wParam, LPARAM lParam) {
    const HWND hwnd = state.hwnd;
    switch (message) {
        case WM_CREATE: {
            const HRGN region = CreateRoundRectRgn(0, 0, kWidth + 1, kHeight + 1, 18, 18);
            SetWindowRgn(hwnd, region, TRUE);
            LayoutHitRects(state);
            return 0;
        }
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
        case WM_SIZE:
            LayoutHitRects(state);
            InvalidateRect(hwnd, nullptr, FALSE);
            return 0;
        case WM_PAINT:
            Paint(state);
            return 0;
        case WM_ERASEBKGND:
            return 1;
        case WM_NCHITTEST: {
            POINT p{static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))};
            ScreenToClient(hwnd, &p);
            return HitTest(state.window.rects, p.x, p.y) == NonClientHit::Caption ? HTCAPTION
                                                                                  : HTCLIENT;
        }
        case WM_MOUSEMOVE: {
            state.window.mouseX = static_cast<short>(LOWORD(lParam));
            state.window.mouseY = static_cast<short>(HIWORD(lParam));
            TRACKMOUSEEVENT track{};
            track.cbSize = sizeof track;
            track.dwFlags = TME_LEAVE;
            track.hwndTrack = hwnd;
            TrackMouseEvent(&track);
            const std::uint32_t hover =
                BadgeAt(state.window.rects, state.window.mouseX, state.window.mouseY);
            if (hover != state.window.hoverIcon) {
                state.window.hoverIcon = hover;
                InvalidateRect(hwnd, nullptr, FALSE);
            }
            return 0;
        }
        case WM_MOUSELEAVE:
            if (state.window.hoverIcon != 0) {
                state.window.hoverIcon = 0;
                InvalidateRect(hwnd, nullptr, FALSE);
            }
            return 0;
        case WM_LBUTTONUP:
            OnClick(state, static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam)));
            return 0;
        case WM_MEASUREMENT_PROGRESS:
            InvalidateRect(hwnd, nullptr, FALSE);
            return 0;
        case WM_MEASUREMENT_DONE:
            OnMeasurementDone(state);
            return 0;
        default:
            return DefWindowProcW(hwnd, message, wParam, lParam);
    }
}

LRESULT CALLBACK MainWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        auto* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
        auto* state = static_cast<MainWindowState*>(create->lpCreateParams);
        state->hwnd = hwnd;
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(state));
        return DefWindowProcW(hwnd, message, wParam, lParam);
    }
    auto* state = reinterpret_cast<MainWindowState*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (state == nullptr) {
        return DefWindowProcW(hwnd, message, wParam, lParam);
    }
    try {
        return HandleMessage(*state, message, wParam, lParam);
    } catch (...) {
        // Nothing may cross the window procedure; the window stays as it was.
        return 0;
    }
}

RECT WorkArea() {
    RECT work{};
    if (SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0)) {
        return work;
    }
    MONITORINFO info{};
    info.cbSize = sizeof info;
    if (GetMonitorInfoW(MonitorFromPoint({0, 0}, MONITOR_DEFAULTTOPRIMARY), &info)) {
        return info.rcWork;
    }
    return {0, 0, 0, 0};
}

}  // namespace

int RunMainWindow(const ServerCatalog& catalog, HINSTANCE instance, int show) {
    try {
        EnsureHistoryFile();
    } catch (...) {
        // A folder that cannot hold the history: runs are still measured, just not stored.
    }
    MainWindowState state(instance, catalog);
    InitRunState(state);

    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = MainWindowProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(107));
    windowClass.hIconSm = LoadIconW(instance, MAKEINTRESOURCEW(108));
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.lpszClassName = kClassName;
    RegisterClassExW(&windowClass);

    const RECT work = WorkArea();
    const HWND hwnd = CreateWindowExW(WS_EX_APPWINDOW, kClassName, L"OBRIX KALDRA",
                                      WS_POPUP | WS_VISIBLE, work.right - 376, work.bottom - 816,
                                      kWidth, kHeight, nullptr, nullptr, instance, &state);
    if (hwnd == nullptr) {
        return 0;
    }
    ShowWindow(hwnd, show);
    UpdateWindow(hwnd);
    MSG message{};
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    // Every wait of a run gives up when stopped; should one still hold the worker (a system call
    // that ignores the stop), the process ends anyway instead of lingering hidden with
    // VELMORA.exe locked. History work runs on this thread, so nothing stored is lost.
    if (!StopMeasurement(state.run, kWorkerExitWait)) {
        ExitProcess(static_cast<UINT>(message.wParam));
    }
    return static_cast<int>(message.wParam);
}

}  // namespace velmora::ui

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show) {
    Gdiplus::GdiplusStartupInput input;
    ULONG_PTR token = 0;
    Gdiplus::GdiplusStartup(&token, &input, nullptr);
    int exitCode = 0;
    {
        const velmora::modulos::medicao::ServerCatalog catalog =
            velmora::modulos::medicao::BuildServerCatalog();
        exitCode = velmora::ui::RunMainWindow(catalog, instance, show);
    }
    Gdiplus::GdiplusShutdown(token);
    return exitCode;
}
