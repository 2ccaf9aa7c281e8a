// velmora-cli: one measurement with the meter's engine, shown on the console in the dashboard's
// words. The run is driven exactly as the window drives it: the worker posts its two messages,
// this thread reads the shared state when they arrive.

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "cli_options.h"
#include "common/text.h"
#include "console.h"
#include "history/history_file.h"
#include "history/history_platform.h"
#include "history/history_report.h"
#include "record_json.h"

namespace {

using namespace velmora::modulos::medicao;
using Clock = std::chrono::steady_clock;
using velmora::FormatFixed;
using velmora::WideToUtf8;

// The messages the worker posts, handed to this thread as a window's queue would.
class MessageQueue {
  public:
    void Post(std::uint32_t message) {
        std::lock_guard lock(mutex_);
        messages_.push_back(message);
        arrived_.notify_one();
    }
    // The next message, or 0 when none arrived within `wait`.
    std::uint32_t Next(std::chrono::milliseconds wait) {
        std::unique_lock lock(mutex_);
        if (!arrived_.wait_for(lock, wait, [this] { return !messages_.empty(); })) {
            return 0;
        }
        const std::uint32_t message = messages_.front();
        messages_.pop_front();
        return message;
    }

  private:
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::deque<std::uint32_t> messages_;
};

void PrintLine(const std::wstring& text) {
    std::printf("%s\n", WideToUtf8(text).c_str());
}

// What the console shows of a run as it goes.
class ConsoleView {
  public:
    ConsoleView(SharedRunState& state, const RunSettings& settings, bool live)
        : state_(state), settings_(settings), live_(live) {}

    void Refresh() {
        const MeasurementPhase phase = state_.phase.load();
        if (phase != shownPhase_) {
            EndLiveLine();
            shownPhase_ = phase;
            phaseStart_ = Clock::now();
            PrintLine(L"Status: " + PhaseStatusText(phase));
            if (phase == MeasurementPhase::Downloading) {
                ShowIdentity();
            }
        }
        if (phase == MeasurementPhase::Downloading || phase == MeasurementPhase::Uploading) {
            ShowLiveLine(phase);
        }
    }

    void ShowResult() {
        EndLiveLine();
        PrintLine(L"Download: " + FormatFixed(state_.downloadMbps.load(), 2) + L" Mbps");
        PrintLine(L"Upload: " + FormatFixed(state_.uploadMbps.load(), 2) + L" Mbps");
        PrintLine(L"Ping: " + FormatFixed(state_.pingMs.load(), 0) + L" ms");
        PrintLine(L"Latência durante o download: " +
                  FormatFixed(state_.downloadLatencyMs.load(), 0) + L" ms");
        PrintLine(L"Latência durante o upload: " + FormatFixed(state_.uploadLatencyMs.load(), 0) +
                  L" ms");
    }

  private:
    void ShowIdentity() {
        std::lock_guard lock(state_.mutex);
        PrintLine(L"IP público: " + state_.publicIp);
        PrintLine(L"Operadora: " + state_.isp);
        if (!state_.userCity.empty()) {
            PrintLine(L"Localização: " + state_.userCity);
        }
        PrintLine(L"Servidor: " + state_.serverName + L" - " + state_.serverLocation);
        PrintLine(L"IP servidor: " + state_.serverIp);
        PrintLine(L"Ping: " + FormatFixed(state_.pingMs.load(), 0) + L" ms");
    }

    void ShowLiveLine(MeasurementPhase phase) {
        if (!live_) {
            return;
        }
        const bool upload = phase == MeasurementPhase::Uploading;
        const auto length = upload ? settings_.upload.length : settings_.download.length;
        const double done =
            std::min(1.0, std::chrono::duration<double>(Clock::now() - phaseStart_) /
                              std::chrono::duration<double>(length));
        constexpr int kWidth = 30;
        const int filled = static_cast<int>(done * kWidth);
        const std::string bar = std::string(static_cast<std::size_t>(filled), '#') +
                                std::string(static_cast<std::size_t>(kWidth - filled), '.');
        const double mbps = upload ? state_.uploadMbps.load() : state_.downloadMbps.load();
        std::printf("\r%-8s [%s] %10s Mbps ", upload ? "Upload" : "Download", bar.c_str(),
                    WideToUtf8(FormatFixed(mbps, 2)).c_str());
        std::fflush(stdout);
        lineOpen_ = true;
    }

    void EndLiveLine() {
        if (lineOpen_) {
            std::printf("\n");
            lineOpen_ = false;
        }
    }

    SharedRunState& state_;
    const RunSettings& settings_;
    bool live_;
    MeasurementPhase shownPhase_ = MeasurementPhase::Idle;
    Clock::time_point phaseStart_ = Clock::now();
    bool lineOpen_ = false;
};

}  // namespace

int main(int argc, char** argv) {
    velmora::cli::PrepareConsole();
    std::string error;
    const auto options =
        velmora::cli::ParseCliOptions(std::vector<std::string>(argv + 1, argv + argc), error);
    if (!options) {
        std::fprintf(stderr, "velmora-cli: %s\n\n%s", error.c_str(), velmora::cli::kCliUsage);
        return 2;
    }
    if (options->help) {
        std::printf("%s", velmora::cli::kCliUsage);
        return 0;
    }

    const std::filesystem::path historyDirectory =
        options->historyDirectory.empty()
            ? ProgramDirectory()
            : std::filesystem::path(velmora::Utf8ToWide(options->historyDirectory));
    if (options->report) {
        const std::filesystem::path page = BuildHistoryReport(historyDirectory / "history.xml");
        if (page.empty()) {
            std::fprintf(stderr, "velmora-cli: não foi possível gerar o relatório\n");
            return 1;
        }
        std::printf("%s\n", WideToUtf8(page.wstring()).c_str());
        return 0;
    }

    ServerCatalog fullCatalog = BuildServerCatalog();
    const ServerCatalog catalog = options->operators
                                      ? std::move(fullCatalog)
                                      : ServerCatalog({fullCatalog.Entries().front()});
    MessageQueue queue;  // outlives the state, whose worker posts into it
    SharedRunState state(catalog);
    state.notifier.post = [&queue](std::uint32_t message) { queue.Post(message); };

    ConsoleView view(state, options->run, !options->json && velmora::cli::StdoutIsTerminal());
    StartMeasurement(state, options->run);
    for (;;) {
        const std::uint32_t message = queue.Next(std::chrono::milliseconds(250));
        if (!options->json) {
            view.Refresh();
        }
        if (message == WM_MEASUREMENT_DONE) {
            const MeasurementRecord record = MakeMeasurementRecord(state);
            const bool stored = AppendToHistory(record, historyDirectory);
            state.running.exchange(false);
            if (options->json) {
                std::printf("%s\n", velmora::cli::RecordToJson(record).c_str());
            } else {
                view.ShowResult();
            }
            if (!stored) {
                std::fprintf(stderr,
                             "velmora-cli: o resultado não foi guardado no histórico (%s)\n",
                             WideToUtf8((historyDirectory / "history.xml").wstring()).c_str());
            }
            return 0;
        }
        if (state.phase.load() == MeasurementPhase::Error && !state.running.load()) {
            std::fflush(stdout);
            std::fprintf(stderr,
                         "velmora-cli: ERRO NA MEDIÇÃO - a medição não pôde ser concluída "
                         "(sem conexão com o servidor de teste?)\n");
            return 1;
        }
    }
}
