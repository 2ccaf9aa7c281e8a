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
#include "ui/screen_win.h"
#include "ui/window_scale.h"

namespace velmora::ui {
namespace {

using namespace modulos::medicao;

constexpr wchar_t kClassName[] = L"OBRIXKALDRA.MainForm";
// The 96-dpi design: 360 x 800, 16 from the work area's bottom-right corner, corners of 18.
constexpr Size kDesign{360, 800};
constexpr int kMargin = 16;
constexpr int kCorner = 18;
// How long the closed window waits for a run to wind down before the process ends regardless.
constexpr std::chrono::milliseconds kWorkerExitWait{2500};

// The window's whole state: the run state the worker shares, and the window's own fields.
struct MainWindowState {
    MainWindowState(HINSTANCE instance, const ServerCatalog& catalog)
        : hInstance(instance), run(catalog) {}
    HINSTANCE hInstance;
    HWND hwnd = nullptr;
    double scale = 1.0;  // screen pixels per design unit
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

// The rounded outline, at the window's current size.
void ApplyShape(MainWindowState& state) {
    RECT window{};
    GetWindowRect(state.hwnd, &window);
    const int corner = static_cast<int>(kCorner * state.scale + 0.5);
    const HRGN region = CreateRoundRectRgn(0, 0, window.right - window.left + 1,
                                           window.bottom - window.top + 1, corner, corner);
    SetWindowRgn(state.hwnd, region, TRUE);  // the window owns the region from here
}

void Paint(MainWindowState& state) {
    PaintBuffered(state.hwnd, state.scale, [&state](ICanvas& canvas, const Rect& client) {
        PaintDashboard(ReadRunSnapshot(state.run), state.window, canvas, client);
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
    const MeasurementRecord record = MakeMeasurementRecord(ReadRunSnapshot(state.run));
    AppendToHistory(record);  // never throws; a record that cannot be stored is lost quietly
    state.run.running.exchange(false);
    InvalidateRect(state.hwnd, nullptr, FALSE);
}

LRESULT HandleMessage(MainWindowState& state, UINT message, WPARAM wParam, LPARAM lParam) {
    const HWND hwnd = state.hwnd;
    switch (message) {
        case WM_CREATE:
            ApplyShape(state);
            return 0;
        case WM_DPICHANGED:
            state.scale = FollowDpiChange(hwnd, kDesign, kMargin, wParam, lParam).scale;
            ApplyShape(state);
            InvalidateRect(hwnd, nullptr, FALSE);
            return 0;
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
        case WM_PAINT:
            Paint(state);
            return 0;
        case WM_ERASEBKGND:
            return 1;
        case WM_NCHITTEST: {
            POINT p{static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))};
            ScreenToClient(hwnd, &p);
            const Point at = ToDesign(p.x, p.y, state.scale);
            return HitTest(state.window.rects, at.x, at.y) == NonClientHit::Caption ? HTCAPTION
                                                                                    : HTCLIENT;
        }
        case WM_MOUSEMOVE: {
            const Point at = ToDesign(static_cast<short>(LOWORD(lParam)),
                                      static_cast<short>(HIWORD(lParam)), state.scale);
            state.window.mouseX = at.x;
            state.window.mouseY = at.y;
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
        case WM_LBUTTONUP: {
            const Point at = ToDesign(static_cast<short>(LOWORD(lParam)),
                                      static_cast<short>(HIWORD(lParam)), state.scale);
            OnClick(state, at.x, at.y);
            return 0;
        }
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

}  // namespace

int RunMainWindow(const ServerCatalog& catalog, HINSTANCE instance, int show) {
    try {
        EnsureHistoryFile();
    } catch (...) {
        // A folder that cannot hold the history: runs are still measured, just not stored.
    }
    MainWindowState state(instance, catalog);
    InitRunState(state);
    state.window.rects = ui::LayoutHitRects(kDesign.width, kDesign.height);

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

    const WindowPlacement placement =
        PlaceWindow(kDesign, ScreenDpi(), PrimaryWorkArea(), kMargin, WindowCorner::BottomRight);
    state.scale = placement.scale;
    const Rect& frame = placement.frame;
    const HWND hwnd = CreateWindowExW(
        WS_EX_APPWINDOW, kClassName, L"OBRIX KALDRA", WS_POPUP | WS_VISIBLE, frame.left, frame.top,
        frame.right - frame.left, frame.bottom - frame.top, nullptr, nullptr, instance, &state);
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
    const velmora::win32::GdiplusScope gdiplus;
    const velmora::modulos::medicao::ServerCatalog catalog =
        velmora::modulos::medicao::BuildServerCatalog();
    return velmora::ui::RunMainWindow(catalog, instance, show);
}
