// VELMORA.exe: the borderless dashboard window, its messages, and the program's start and end.

#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include <cmath>
#include <optional>

#include "common/dll_search_win.h"
#include "common/win32_handles.h"
#include "history/history_file.h"
#include "history/history_report.h"
#include "history/run_finish.h"
#include "measurement/measurement_run.h"
#include "platform/history_platform.h"
#include "product/facts.h"
#include "servers/server_catalog.h"
#include "ui/dashboard.h"
#include "ui/popup_window_win.h"

namespace velmora::ui {
namespace {

using namespace modulos::medicao;

// The 96-dpi design: 360 x 800, 16 from the work area's bottom-right corner, corners of 18.
constexpr Size kDesign{360, 800};
constexpr int kMargin = 16;
constexpr int kCorner = 18;
// How long the closed window waits for a run to wind down before the process ends regardless.
constexpr std::chrono::milliseconds kWorkerExitWait{2500};
// The run's events, as the worker posts them to the window.
constexpr UINT kRunProgressMessage = WM_APP + 1;
constexpr UINT kRunDoneMessage = WM_APP + 2;

// The dashboard: the run state the worker shares, and the window's own fields.
class MeterWindow final : public PopupWindow {
  public:
    explicit MeterWindow(const ServerCatalog& catalog) : run_(catalog) {
        // The worker reaches the window by posting.
        run_.notifier.post = [this](RunEvent event) {
            PostMessageW(hwnd(), event == RunEvent::Done ? kRunDoneMessage : kRunProgressMessage, 0,
                         0);
        };
        run_.notifier.invalidate = [this] { Repaint(); };
        window_.rects = LayoutHitRects(kDesign.width, kDesign.height);
    }

    // Every wait of a run gives up when stopped; should one still hold the worker (a system
    // call that ignores the stop), false, and the process must end instead of destroying the
    // state the worker writes.
    bool StopRun() { return StopMeasurement(run_, kWorkerExitWait); }

  private:
    void Paint(ICanvas& canvas, const Rect& client) override {
        PaintDashboard(ReadRunSnapshot(run_), window_, canvas, client, contrast());
    }

    std::vector<AccessibleItem> AccessibleItems() override {
        return DashboardAccessibleItems(ReadRunSnapshot(run_), window_,
                                        {0, 0, kDesign.width, kDesign.height});
    }

    bool InCaption(Point at) const override {
        return HitTest(window_.rects, at.x, at.y) == NonClientHit::Caption;
    }

    void OnClick(Point at) override {
        const HitRects& r = window_.rects;
        if (Inside(r.closeRect, at.x, at.y)) {
            DestroyWindow(hwnd());
        } else if (Inside(r.startRect, at.x, at.y)) {
            if (!ReadRunSnapshot(run_).running) {
                StartMeasurement(run_);
                Publish();
            }
        } else if (Inside(r.historyRect, at.x, at.y)) {
            // The report never throws; a failure simply opens nothing.
            const auto page = BuildHistoryReport(HistoryDirectory() / VELMORA_HISTORY_FILE);
            if (!page.empty()) {
                ShellExecuteW(hwnd(), L"open", page.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
            }
        }
    }

    void OnMouseMove(Point at) override {
        window_.mouseX = at.x;
        window_.mouseY = at.y;
        Hover(BadgeAt(window_.rects, at.x, at.y));
    }

    void OnMouseLeave() override { Hover(0); }

    void Hover(std::uint32_t badge) {
        if (badge != window_.hoverIcon) {
            window_.hoverIcon = badge;
            Repaint();
        }
    }

    // The rounded outline, at the window's current size.
    void OnScaleChanged() override {
        RECT frame{};
        GetWindowRect(hwnd(), &frame);
        const int corner = static_cast<int>(std::lround(kCorner * scale()));
        const HRGN region = CreateRoundRectRgn(0, 0, frame.right - frame.left + 1,
                                               frame.bottom - frame.top + 1, corner, corner);
        SetWindowRgn(hwnd(), region, TRUE);  // the window owns the region from here
    }

    std::optional<LRESULT> OnMessage(UINT message, WPARAM, LPARAM) override {
        switch (message) {
            case WM_CREATE:
                OnScaleChanged();
                return 0;
            case kRunProgressMessage:
                Publish();
                return 0;
            case kRunDoneMessage:
                FinishMeasurement(run_);  // a record that cannot be stored is lost
                Publish();
                return 0;
            default:
                return std::nullopt;
        }
    }

    WindowFields window_;
    SharedRunState run_;  // last: destroying it stops and joins a running worker first
};

}  // namespace

int RunMainWindow(const ServerCatalog& catalog, HINSTANCE instance, int show) {
    try {
        EnsureHistoryFile();
    } catch (...) {
        // A folder that cannot hold the history: runs are still measured, just not stored.
    }
    PopupOptions options;
    options.className = L"OBRIXKALDRA.MainForm";
    options.title = L"OBRIX KALDRA";
    options.design = kDesign;
    options.margin = kMargin;
    options.corner = WindowCorner::BottomRight;
    options.icon = VELMORA_ICON_LARGE;
    options.smallIcon = VELMORA_ICON_SMALL;
    MeterWindow window(catalog);
    const int code = window.Run(instance, options, show);
    // History work runs on this thread, so nothing stored is lost by ending here.
    if (!window.StopRun()) {
        ExitProcess(static_cast<UINT>(code));
    }
    return code;
}

}  // namespace velmora::ui

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show) {
    velmora::win32::LoadDllsOnlyFromSystem();
    const velmora::win32::GdiplusScope gdiplus;
    const velmora::modulos::medicao::ServerCatalog catalog =
        velmora::modulos::medicao::BuildServerCatalog();
    return velmora::ui::RunMainWindow(catalog, instance, show);
}
