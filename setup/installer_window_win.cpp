// VELMORA-Setup.exe: the painted installer window, its job thread and the self-delete that
// follows an uninstall.

#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include <atomic>
#include <mutex>
#include <optional>
#include <thread>

#include "common/dll_search_win.h"
#include "install_steps.h"
#include "installer_flow.h"
#include "ui/popup_window_win.h"

namespace velmora::setup {
namespace {

constexpr UINT kUninstalledMessage = WM_APP + 1;
constexpr UINT_PTR kCloseTimer = 1;
constexpr ui::Size kDesign{kWindowWidth, kWindowHeight};

// The installer's window and what it shares with its job thread; it lives on the stack of
// RunInstallerWindow until the job has been joined.
class InstallerWindow final : public ui::PopupWindow {
  public:
    explicit InstallerWindow(bool uninstallMode) : view_(InitialView(uninstallMode)) {}

    // From the job thread: the step's text and percentage, painted before the next step starts
    // so every step's text is seen.
    void SetProgress(std::wstring_view text, int percent);

    // After the message loop: waits for the job, then says whether an uninstall succeeded.
    bool FinishAndUninstalled() {
        windowOpen_ = false;
        // The window is gone, so a job's last repaint cannot wait on this thread any more.
        if (job_.joinable()) {
            job_.join();
        }
        return view_.uninstallMode && view_.succeeded;
    }

  private:
    void Paint(ui::ICanvas& canvas, const ui::Rect& client) override {
        InstallerView view;
        {
            const std::lock_guard hold(lock_);
            view = view_;
        }
        rects_ = PaintInstaller(canvas, view, client.right, client.bottom, contrast());
    }

    bool InCaption(ui::Point at) const override { return at.y < kHeaderHeight; }

    std::vector<ui::AccessibleItem> AccessibleItems() override {
        InstallerView view;
        {
            const std::lock_guard hold(lock_);
            view = view_;
        }
        return InstallerAccessibleItems(view, kWindowWidth, kWindowHeight);
    }

    void OnClick(ui::Point at) override;
    void StartJob();
    void RunJob();

    std::optional<LRESULT> OnMessage(UINT message, WPARAM wParam, LPARAM) override {
        switch (message) {
            case WM_TIMER:
                if (wParam == kCloseTimer) {
                    KillTimer(hwnd(), kCloseTimer);
                    DestroyWindow(hwnd());
                }
                return 0;
            case WM_CLOSE: {
                // Alt+F4 during a job closes the window once the job has ended, never between
                // steps.
                const std::lock_guard hold(lock_);
                if (view_.busy) {
                    closeAfterJob_ = true;
                    return 0;
                }
                return std::nullopt;
            }
            case kUninstalledMessage:
                SetTimer(hwnd(), kCloseTimer, 2500, nullptr);
                return 0;
            default:
                return std::nullopt;
        }
    }

    std::atomic<bool> windowOpen_{true};  // false once the message loop has ended
    // The job thread writes the view through SetProgress, the window thread reads it to paint
    // and to decide clicks: every access holds the lock.
    mutable std::mutex lock_;
    InstallerView view_;
    bool closeAfterJob_ = false;  // a close asked for while a job ran
    InstallerRects rects_;        // window thread only
    std::thread job_;
    std::atomic<bool> jobRunning_{false};  // until the job's last statement
};

void InstallerWindow::StartJob() {
    if (jobRunning_.load()) {
        return;  // the last job is still leaving its thread
    }
    if (job_.joinable()) {
        job_.join();
    }
    {
        const std::lock_guard hold(lock_);
        BeginJob(view_, [this] {
            jobRunning_ = true;
            try {
                job_ = std::thread(&InstallerWindow::RunJob, this);
            } catch (...) {
                jobRunning_ = false;
                throw;
            }
        });
    }
    Publish();
}

void InstallerWindow::OnClick(ui::Point at) {
    ClickAction action;
    {
        const std::lock_guard hold(lock_);
        action = ApplyClick(view_, rects_, at.x, at.y);
    }
    switch (action) {
        case ClickAction::ToggleDesktop:
        case ClickAction::ToggleStartMenu:
            Publish();
            break;
        case ClickAction::Close:
            DestroyWindow(hwnd());
            break;
        case ClickAction::OpenApp:
            StartAsDesktopUser(JoinPath(INSTALL_DIR, kMeterFile));
            DestroyWindow(hwnd());
            break;
        case ClickAction::StartJob:
            StartJob();
            break;
        case ClickAction::None:
            break;
    }
}

void InstallerWindow::SetProgress(std::wstring_view text, int percent) {
    if (!windowOpen_.load()) {
        return;  // the window is gone: nothing to show, and nobody to paint it
    }
    bool armCloseTimer = false;
    bool closeNow = false;
    {
        const std::lock_guard hold(lock_);
        armCloseTimer = ApplyProgress(view_, text, percent);
        closeNow = view_.finished && !view_.busy && closeAfterJob_;
    }
    // Told and painted before the next step starts, so every step's text is seen and heard.
    Publish();
    UpdateWindow(hwnd());
    if (armCloseTimer) {
        PostMessageW(hwnd(), kUninstalledMessage, 0, 0);
    }
    if (closeNow) {
        PostMessageW(hwnd(), WM_CLOSE, 0, 0);
    }
}

void InstallerWindow::RunJob() {
    bool uninstallMode = false;
    bool desktop = false;
    bool startMenu = false;
    {
        const std::lock_guard hold(lock_);
        uninstallMode = view_.uninstallMode;
        desktop = view_.createDesktopShortcut;
        startMenu = view_.createStartMenuShortcut;
    }
    try {
        InstallLayout layout;
        layout.progress = [this](std::wstring_view text, int percent) {
            SetProgress(text, percent);
        };
        if (uninstallMode) {
            Uninstall(layout);
        } else {
            Install(layout, desktop, startMenu);
        }
    } catch (...) {
        // Out of memory or the like: still a failure the window can show, never an abort.
        SetProgress(L"Erro inesperado. Tente novamente.", -1);
    }
    jobRunning_ = false;
}

}  // namespace

int RunInstallerWindow(HINSTANCE instance, bool uninstallMode) {
    ui::PopupOptions options;
    options.className = L"KALDRA.Setup";
    options.title = uninstallMode ? L"VELMORA — Desinstalador" : L"VELMORA — Instalador";
    options.design = kDesign;
    options.corner = ui::WindowCorner::Centre;
    options.style = WS_POPUP | WS_VISIBLE | WS_MINIMIZEBOX;
    options.icon = VELMORA_SETUP_ICON;
    InstallerWindow window(uninstallMode);
    const int code = window.Run(instance, options, SW_SHOW);

    if (window.FinishAndUninstalled()) {
        // The system's own cmd.exe by its full path: an elevated process must not take
        // whichever cmd.exe the search path finds first.
        wchar_t system[MAX_PATH] = {};
        const UINT length = GetSystemDirectoryW(system, MAX_PATH);
        if (length > 0 && length < MAX_PATH) {
            const std::wstring cmd = std::wstring(system, length) + L"\\cmd.exe";
            const std::wstring folder(system, length);
            const std::wstring parameters = SelfDeleteParameters(INSTALL_DIR, folder);
            // Started in the system folder, where no user can leave a file.
            ShellExecuteW(nullptr, L"open", cmd.c_str(), parameters.c_str(), folder.c_str(),
                          SW_HIDE);
        }
    }
    return code;
}

}  // namespace velmora::setup

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR commandLine, int) {
    velmora::win32::LoadDllsOnlyFromSystem();
    const bool uninstallMode =
        velmora::setup::IsUninstallCommandLine(commandLine ? commandLine : L"");
    return velmora::setup::RunInstallerWindow(instance, uninstallMode);
}
