// VELMORA-Setup.exe: the painted installer window, its job thread and the self-delete that
// follows an uninstall.

#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "install_steps.h"
#include "installer_flow.h"
#include "ui/gdi_canvas_win.h"
#include "ui/screen_win.h"

namespace velmora::setup {
namespace {

constexpr wchar_t kClassName[] = L"KALDRA.Setup";
constexpr UINT kUninstalledMessage = WM_APP + 1;
constexpr UINT_PTR kCloseTimer = 1;
constexpr ui::Size kDesign{kWindowWidth, kWindowHeight};

// Kept with the window (its GWLP_USERDATA) and handed to the job thread; it lives on the stack
// of RunInstallerWindow until the job has been joined.
struct InstallerState {
    HINSTANCE hInstance = nullptr;
    HWND hwnd = nullptr;
    double scale = 1.0;                  // screen pixels per design unit; window thread only
    std::atomic<bool> windowOpen{true};  // false once the message loop has ended
    // The job thread writes the view through SetProgress, the window thread reads it to paint
    // and to decide clicks: every access holds the lock.
    std::mutex lock;
    InstallerView view;
    bool closeAfterJob = false;  // a close asked for while a job ran
    InstallerRects rects;        // window thread only
    std::thread job;
    std::atomic<bool> jobRunning{false};  // until the job's last statement
};

void RunInstallerJob(InstallerState* state);

void Repaint(HWND hwnd) {
    InvalidateRect(hwnd, nullptr, FALSE);
}

void Paint(InstallerState& state) {
    InstallerView view;
    {
        const std::lock_guard hold(state.lock);
        view = state.view;
    }
    ui::PaintBuffered(state.hwnd, state.scale, [&](ui::ICanvas& canvas, const ui::Rect& client) {
        state.rects = PaintInstaller(canvas, view, client.right, client.bottom);
    });
}

void StartJob(InstallerState& state) {
    if (state.jobRunning.load()) {
        return;  // the last job is still leaving its thread
    }
    if (state.job.joinable()) {
        state.job.join();
    }
    {
        const std::lock_guard hold(state.lock);
        BeginJob(state.view, [&state] {
            state.jobRunning = true;
            try {
                state.job = std::thread(RunInstallerJob, &state);
            } catch (...) {
                state.jobRunning = false;
                throw;
            }
        });
    }
    Repaint(state.hwnd);
}

void OnClick(InstallerState& state, int x, int y) {
    ClickAction action;
    {
        const std::lock_guard hold(state.lock);
        action = ClassifyClick(state.view, state.rects, x, y);
        if (action == ClickAction::ToggleDesktop) {
            state.view.createDesktopShortcut = !state.view.createDesktopShortcut;
        } else if (action == ClickAction::ToggleStartMenu) {
            state.view.createStartMenuShortcut = !state.view.createStartMenuShortcut;
        }
    }
    switch (action) {
        case ClickAction::ToggleDesktop:
        case ClickAction::ToggleStartMenu:
            Repaint(state.hwnd);
            break;
        case ClickAction::Close:
            DestroyWindow(state.hwnd);
            break;
        case ClickAction::OpenApp:
            ShellExecuteW(nullptr, L"open", JoinPath(INSTALL_DIR, kMeterFile).c_str(), nullptr,
                          nullptr, SW_SHOWNORMAL);
            DestroyWindow(state.hwnd);
            break;
        case ClickAction::StartJob:
            StartJob(state);
            break;
        case ClickAction::None:
            break;
    }
}

LRESULT HandleMessage(InstallerState& state, HWND hwnd, UINT message, WPARAM wParam,
                      LPARAM lParam) {
    switch (message) {
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
        case WM_PAINT:
            Paint(state);
            return 0;
        case WM_ERASEBKGND:
            return 1;
        case WM_NCHITTEST: {
            const LRESULT hit = DefWindowProcW(hwnd, message, wParam, lParam);
            POINT point{static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))};
            ScreenToClient(hwnd, &point);
            const ui::Point at = ui::ToDesign(point.x, point.y, state.scale);
            return hit == HTCLIENT && at.y < kHeaderHeight ? HTCAPTION : hit;
        }
        case WM_TIMER:
            if (wParam == kCloseTimer) {
                KillTimer(hwnd, kCloseTimer);
                DestroyWindow(hwnd);
            }
            return 0;
        case WM_LBUTTONUP: {
            const ui::Point at = ui::ToDesign(static_cast<short>(LOWORD(lParam)),
                                              static_cast<short>(HIWORD(lParam)), state.scale);
            OnClick(state, at.x, at.y);
            return 0;
        }
        case WM_DPICHANGED:
            state.scale = ui::FollowDpiChange(hwnd, kDesign, 0, wParam, lParam).scale;
            Repaint(hwnd);
            return 0;
        case WM_CLOSE: {
            // Alt+F4 during a job closes the window once the job has ended, never between steps.
            const std::lock_guard hold(state.lock);
            if (state.view.busy) {
                state.closeAfterJob = true;
                return 0;
            }
            break;
        }
        case kUninstalledMessage:
            SetTimer(hwnd, kCloseTimer, 2500, nullptr);
            return 0;
        default:
            break;
    }
    return DefWindowProcW(hwnd, message, wParam, lParam);
}

LRESULT CALLBACK InstallerWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        auto* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
        auto* state = static_cast<InstallerState*>(create->lpCreateParams);
        state->hwnd = hwnd;
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(state));
        return DefWindowProcW(hwnd, message, wParam, lParam);
    }
    auto* state = reinterpret_cast<InstallerState*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (state == nullptr) {
        return DefWindowProcW(hwnd, message, wParam, lParam);
    }
    try {
        return HandleMessage(*state, hwnd, message, wParam, lParam);
    } catch (...) {
        // Nothing may cross the window procedure; the window stays as it was.
        return 0;
    }
}

}  // namespace

void SetProgress(InstallerState& state, std::wstring_view text, int percent) {
    if (!state.windowOpen.load()) {
        return;  // the window is gone: nothing to show, and nobody to paint it
    }
    bool armCloseTimer = false;
    bool closeNow = false;
    {
        const std::lock_guard hold(state.lock);
        armCloseTimer = ApplyProgress(state.view, text, percent);
        closeNow = state.view.finished && !state.view.busy && state.closeAfterJob;
    }
    // Painted before the next step starts, so every step's text is seen.
    InvalidateRect(state.hwnd, nullptr, FALSE);
    UpdateWindow(state.hwnd);
    if (armCloseTimer) {
        PostMessageW(state.hwnd, kUninstalledMessage, 0, 0);
    }
    if (closeNow) {
        PostMessageW(state.hwnd, WM_CLOSE, 0, 0);
    }
}

namespace {

void RunInstallerJob(InstallerState* state) {
    bool uninstallMode = false;
    bool desktop = false;
    bool startMenu = false;
    {
        const std::lock_guard hold(state->lock);
        uninstallMode = state->view.uninstallMode;
        desktop = state->view.createDesktopShortcut;
        startMenu = state->view.createStartMenuShortcut;
    }
    try {
        InstallLayout layout;
        layout.progress = [state](std::wstring_view text, int percent) {
            SetProgress(*state, text, percent);
        };
        if (uninstallMode) {
            Uninstall(layout);
        } else {
            Install(layout, desktop, startMenu);
        }
    } catch (...) {
        // Out of memory or the like: still a failure the window can show, never an abort.
        SetProgress(*state, L"Erro inesperado. Tente novamente.", -1);
    }
    state->jobRunning = false;
}

}  // namespace

int RunInstallerWindow(HINSTANCE instance, bool uninstallMode) {
    InstallerState state;
    state.hInstance = instance;
    state.view = InitialView(uninstallMode);

    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = InstallerWindowProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(101));
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.lpszClassName = kClassName;
    RegisterClassExW(&windowClass);

    const ui::WindowPlacement placement = ui::PlaceWindow(
        kDesign, ui::ScreenDpi(), ui::PrimaryWorkArea(), 0, ui::WindowCorner::Centre);
    state.scale = placement.scale;
    const ui::Rect& frame = placement.frame;
    const HWND hwnd = CreateWindowExW(
        WS_EX_APPWINDOW, kClassName,
        uninstallMode ? L"VELMORA — Desinstalador" : L"VELMORA — Instalador",
        WS_POPUP | WS_VISIBLE | WS_MINIMIZEBOX, frame.left, frame.top, frame.right - frame.left,
        frame.bottom - frame.top, nullptr, nullptr, instance, &state);
    ShowWindow(hwnd, SW_SHOW);
    UpdateWindow(hwnd);

    MSG message{};
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }

    state.windowOpen = false;
    // The window is gone, so a job's last repaint cannot wait on this thread any more.
    if (state.job.joinable()) {
        state.job.join();
    }
    if (state.view.uninstallMode && state.view.succeeded) {
        // The system's own cmd.exe by its full path: an elevated process must not take
        // whichever cmd.exe the search path finds first.
        wchar_t system[MAX_PATH] = {};
        const UINT length = GetSystemDirectoryW(system, MAX_PATH);
        if (length > 0 && length < MAX_PATH) {
            const std::wstring cmd = std::wstring(system, length) + L"\\cmd.exe";
            const std::wstring parameters = SelfDeleteParameters(INSTALL_DIR);
            ShellExecuteW(nullptr, L"open", cmd.c_str(), parameters.c_str(), nullptr, SW_HIDE);
        }
    }
    return static_cast<int>(message.wParam);
}

}  // namespace velmora::setup

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR commandLine, int) {
    const bool uninstallMode =
        velmora::setup::IsUninstallCommandLine(commandLine ? commandLine : L"");
    return velmora::setup::RunInstallerWindow(instance, uninstallMode);
}
