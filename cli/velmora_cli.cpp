// velmora-cli: one measurement with the meter's engine, shown on the console in the dashboard's
// words. The run is driven exactly as the window drives it: the worker posts its two events,
// this thread reads a snapshot when they arrive and finishes the run on the last.

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "cli_options.h"
#include "common/text.h"
#include "history/history_file.h"
#include "history/history_reader.h"
#include "history/history_report.h"
#include "history/run_finish.h"
#include "metrics_export.h"
#include "net/tcp_connect.h"
#include "platform/console.h"
#include "platform/history_platform.h"
#include "platform/wall_clock.h"
#include "product/facts.h"
#include "record_formats.h"
#include "run_assessment.h"

namespace {

using namespace velmora::modulos::medicao;
using Clock = std::chrono::steady_clock;
using velmora::FormatFixed;
using velmora::WideToUtf8;

// The events the worker posts, handed to this thread as a window's queue would.
class EventQueue {
  public:
    void Post(RunEvent event) {
        std::lock_guard lock(mutex_);
        events_.push_back(event);
        arrived_.notify_one();
    }
    // The next event, or none when none arrived within `wait`.
    std::optional<RunEvent> Next(std::chrono::milliseconds wait) {
        std::unique_lock lock(mutex_);
        if (!arrived_.wait_for(lock, wait, [this] { return !events_.empty(); })) {
            return std::nullopt;
        }
        const RunEvent event = events_.front();
        events_.pop_front();
        return event;
    }

  private:
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::deque<RunEvent> events_;
};

void PrintLine(const std::wstring& text) {
    std::printf("%s\n", WideToUtf8(text).c_str());
}

// What the console shows of a run as it goes: on a terminal one live line redrawn in place
// (phase, elapsed of total, current value, a bar); otherwise a plain line each second.
class ConsoleView {
  public:
    ConsoleView(const RunSettings& settings, bool terminal)
        : settings_(settings), terminal_(terminal) {}

    void Refresh(const RunSnapshot& run) {
        const MeasurementPhase phase = run.phase;
        if (phase != shownPhase_) {
            EndLiveLine();
            shownPhase_ = phase;
            phaseStart_ = Clock::now();
            shownSecond_ = -1;
            PrintLine(L"Status: " + PhaseStatusText(phase));
            if (phase == MeasurementPhase::Downloading) {
                ShowIdentity(run);
            }
        }
        if (phase == MeasurementPhase::Downloading || phase == MeasurementPhase::Uploading) {
            ShowProgress(run);
        }
    }

    void ShowResult(const MeasurementRecord& record, const RunDiagnostics& diagnostics) {
        EndLiveLine();
        PrintLine(L"Download: " + FormatFixed(record.downloadMbps, 2) + L" Mbps");
        PrintLine(L"Upload: " + FormatFixed(record.uploadMbps, 2) + L" Mbps");
        PrintLine(L"Ping: " + FormatFixed(record.pingMs, 0) + L" ms");
        PrintLine(L"Latência durante o download: " + FormatFixed(record.downloadLatencyMs, 0) +
                  L" ms");
        PrintLine(L"Latência durante o upload: " + FormatFixed(record.uploadLatencyMs, 0) + L" ms");
        using namespace velmora::cli;
        std::printf("%s\n", ResponsivenessLine(AssessRun(record, diagnostics)).c_str());
        std::printf("Dados usados: %s (recebidos %s, enviados %s)\n",
                    FormatDataSize(diagnostics.bytesReceived + diagnostics.bytesSent).c_str(),
                    FormatDataSize(diagnostics.bytesReceived).c_str(),
                    FormatDataSize(diagnostics.bytesSent).c_str());
        for (const std::string& note : TrustNotes(diagnostics)) {
            std::printf("Nota: %s\n", note.c_str());
        }
    }

    void EndLiveLine() {
        if (lineOpen_) {
            std::printf("\n");
            lineOpen_ = false;
        }
    }

  private:
    static void ShowIdentity(const RunSnapshot& run) {
        PrintLine(L"IP público: " + run.publicIp);
        PrintLine(L"Operadora: " + run.isp);
        if (!run.userCity.empty()) {
            PrintLine(L"Localização: " + run.userCity);
        }
        PrintLine(L"Servidor: " + run.serverName + L" - " + run.serverLocation);
        PrintLine(L"IP servidor: " + run.serverIp);
        PrintLine(L"Ping: " + FormatFixed(run.pingMs, 0) + L" ms");
    }

    void ShowProgress(const RunSnapshot& run) {
        const bool upload = run.phase == MeasurementPhase::Uploading;
        const auto length = upload ? settings_.upload.length : settings_.download.length;
        const double total = std::chrono::duration<double>(length).count();
        const double elapsed =
            std::min(total, std::chrono::duration<double>(Clock::now() - phaseStart_).count());
        const double mbps = upload ? run.uploadMbps : run.downloadMbps;
        const std::string value = WideToUtf8(FormatFixed(mbps, 2));
        const char* name = upload ? "Upload" : "Download";
        if (!terminal_) {
            const int second = static_cast<int>(elapsed);
            if (second != shownSecond_) {
                shownSecond_ = second;
                std::printf("%s %2d/%.0f s %s Mbps\n", name, second, total, value.c_str());
            }
            return;
        }
        constexpr int kWidth = 30;
        const int filled = static_cast<int>(elapsed / total * kWidth);
        const std::string bar = std::string(static_cast<std::size_t>(filled), '#') +
                                std::string(static_cast<std::size_t>(kWidth - filled), '.');
        std::printf("\r%-8s [%s] %4.1f/%.0f s %10s Mbps ", name, bar.c_str(), elapsed, total,
                    value.c_str());
        std::fflush(stdout);
        lineOpen_ = true;
    }

    const RunSettings& settings_;
    bool terminal_;
    MeasurementPhase shownPhase_ = MeasurementPhase::Idle;
    Clock::time_point phaseStart_ = Clock::now();
    int shownSecond_ = -1;
    bool lineOpen_ = false;
};

// Ends the program once its result is out. A run's streams give up when stopped; should a
// server still hold one in a call that ignores the stop, the program ends anyway rather than
// linger after it has said everything.
int Finish(SharedRunState& state, int status) {
    std::fflush(stdout);
    std::fflush(stderr);
    if (!StopMeasurement(state, std::chrono::seconds(3))) {
        std::_Exit(status);
    }
    return status;
}

std::string ProtocolName(ProtocolKind kind) {
    return WideToUtf8(protocolos::ProtocolFor(kind).name);
}

// The catalogue row named by --server (its name or its host), or nullptr.
const ServerEntry* FindServer(const ServerCatalog& catalog, const std::string& wanted) {
    for (const ServerEntry& row : catalog.Entries()) {
        if (WideToUtf8(row.name) == wanted || WideToUtf8(row.host) == wanted) {
            return &row;
        }
    }
    return nullptr;
}

// The run's server when --server names one: that row, as the choice would have described it.
SelectedServer FixedServer(const ServerEntry& row, const ConnectionInfo& user,
                           const SelectionSettings& selection, const std::stop_token& stop) {
    if (!protocolos::ProtocolFor(row.protocol).edge) {
        return DescribeServer(row, user.lat, user.lon);
    }
    // --cloudflare moves the edge: its host and its trace, not the catalogue's.
    return {selection.edgeHost,
            ResolveHostAddress(selection.edgeHost),
            FetchEdgeLocation(selection.edgeTrace, stop),
            row.name,
            0.0,
            DistanceFromUserKm(row, user.lat, user.lon),
            row.protocol};
}

int ListServers(const ServerCatalog& catalog, const RunSettings& settings) {
    const ConnectionInfo user = LookupConnectionInfo(settings.geolocation);
    std::vector<std::pair<double, const ServerEntry*>> rows;
    for (const ServerEntry& row : catalog.Entries()) {
        rows.emplace_back(DistanceFromUserKm(row, user.lat, user.lon), &row);
    }
    const bool located = !(user.lat == 0.0 && user.lon == 0.0);
    if (located) {
        std::stable_sort(rows.begin(), rows.end(),
                         [](const auto& a, const auto& b) { return a.first < b.first; });
    }
    using velmora::cli::PadRight;
    const auto line = [](const std::string& name, const std::string& city, const std::string& host,
                         const std::string& protocol, const std::string& distance) {
        const std::string text = PadRight(name, 24) + " " + PadRight(city, 20) + " " +
                                 PadRight(host, 32) + " " + PadRight(protocol, 16) + " " + distance;
        std::printf("%s\n", text.substr(0, text.find_last_not_of(' ') + 1).c_str());
    };
    line("Servidor", "Cidade", "Host", "Protocolo", located ? "Distância" : "");
    for (const auto& [km, row] : rows) {
        line(WideToUtf8(row->name), WideToUtf8(row->city), WideToUtf8(row->host),
             ProtocolName(row->protocol),
             km > 0.0 ? WideToUtf8(FormatFixed(km, 0)) + " km" : std::string(located ? "-" : ""));
    }
    return 0;
}

// The last `count` stored runs as a table. A history that cannot be read, or is too large
// to, says so rather than show an empty one.
int PrintHistory(const std::filesystem::path& historyFile, std::size_t count) {
    try {
        std::error_code missing;
        const std::optional<std::string> bytes = std::filesystem::exists(historyFile, missing)
                                                     ? ReadFileBytes(historyFile)
                                                     : std::optional<std::string>("");
        if (bytes) {
            std::printf("%s", velmora::cli::HistoryTable(ReadHistory(*bytes), count).c_str());
            return 0;
        }
    } catch (const std::exception&) {
        // Out of memory on a history of too many entries: the same answer.
    }
    std::fprintf(stderr, "velmora-cli: não foi possível ler o histórico (%s)\n",
                 WideToUtf8(historyFile.wstring()).c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    using velmora::cli::CliAction;
    using velmora::cli::OutputFormat;
    velmora::cli::PrepareProcess();
    std::string error;
    auto options =
        velmora::cli::ParseCliOptions(std::vector<std::string>(argv + 1, argv + argc), error);
    if (!options) {
        std::fprintf(stderr, "velmora-cli: %s\n\n%s", error.c_str(), velmora::cli::kCliUsage);
        return 2;
    }
    const std::filesystem::path historyDirectory =
        options->historyDirectory.empty()
            ? HistoryDirectory()
            : std::filesystem::path(velmora::Utf8ToWide(options->historyDirectory));
    const std::filesystem::path historyFile = historyDirectory / VELMORA_HISTORY_FILE;

    switch (options->action) {
        case CliAction::Help:
            std::printf("%s", velmora::cli::kCliUsage);
            return 0;
        case CliAction::CsvHeader:
            std::printf("%s\n", velmora::cli::CsvHeader().c_str());
            return 0;
        case CliAction::History:
            return PrintHistory(historyFile, options->historyCount);
        case CliAction::Report: {
            const std::filesystem::path page = BuildHistoryReport(historyFile);
            if (page.empty()) {
                std::fprintf(stderr, "velmora-cli: não foi possível gerar o relatório\n");
                return 1;
            }
            std::printf("%s\n", WideToUtf8(page.wstring()).c_str());
            if (velmora::cli::CanOpenBrowser()) {
                std::fflush(stdout);
                OpenInBrowser(page);
            }
            return 0;
        }
        case CliAction::List:
        case CliAction::Measure:
            break;
    }

    ServerCatalog fullCatalog = BuildServerCatalog();
    if (options->action == CliAction::List) {
        return ListServers(fullCatalog, options->run);
    }
    if (!options->server.empty()) {
        const ServerEntry* row = FindServer(fullCatalog, options->server);
        if (row == nullptr) {
            std::fprintf(stderr, "velmora-cli: servidor desconhecido: %s (veja --list)\n",
                         options->server.c_str());
            return 2;
        }
        options->run.chooseServer = [row = *row, selection = options->run.selection](
                                        const ConnectionInfo& user, const std::stop_token& stop) {
            return FixedServer(row, user, selection, stop);
        };
    }
    const ServerCatalog catalog = options->operators
                                      ? std::move(fullCatalog)
                                      : ServerCatalog({fullCatalog.Entries().front()});
    EventQueue queue;  // outlives the state, whose worker posts into it
    SharedRunState state(catalog);
    state.notifier.post = [&queue](RunEvent event) { queue.Post(event); };

    const OutputFormat format = options->format;
    ConsoleView view(options->run, velmora::cli::StdoutIsTerminal());
    StartMeasurement(state, options->run);
    for (;;) {
        const std::optional<RunEvent> event = queue.Next(std::chrono::milliseconds(250));
        const RunSnapshot run = ReadRunSnapshot(state);
        if (format == OutputFormat::Text) {
            view.Refresh(run);
        }
        if (event == RunEvent::Done) {
            const FinishedRun finished = FinishMeasurement(state, historyDirectory);
            const MeasurementRecord& record = finished.record;
            const RunDiagnostics& diagnostics = finished.run.diagnostics;
            if (format == OutputFormat::Json) {
                std::printf("%s\n", velmora::cli::RecordToJson(record, diagnostics).c_str());
            } else if (format == OutputFormat::Csv) {
                std::printf("%s\n", velmora::cli::RecordToCsv(record, diagnostics).c_str());
            } else {
                view.ShowResult(record, diagnostics);
            }
            if (!finished.stored) {
                const bool unreadable = !ReadFileBytes(historyFile);
                std::fprintf(stderr,
                             "velmora-cli: o resultado não foi guardado no histórico (%s%s)\n",
                             WideToUtf8(historyFile.wstring()).c_str(),
                             unreadable ? ": não foi possível lê-lo" : "");
            }
            const bool exported = velmora::cli::ExportRun(
                options->metrics, velmora::cli::MetricsOf(record, diagnostics));
            return Finish(state, exported ? 0 : velmora::cli::kExportFailedStatus);
        }
        if (run.phase == MeasurementPhase::Error && !run.running) {
            const std::string& reason = run.failure;
            if (format == OutputFormat::Json) {
                std::printf("%s\n", velmora::cli::FailureToJson(reason).c_str());
            } else {
                view.EndLiveLine();
            }
            std::fflush(stdout);
            std::fprintf(stderr, "velmora-cli: ERRO NA MEDIÇÃO - %s\n", reason.c_str());
            velmora::cli::ExportRun(options->metrics,
                                    velmora::cli::FailedRunMetrics(velmora::UnixTicksNow()));
            return Finish(state, 1);
        }
    }
}
