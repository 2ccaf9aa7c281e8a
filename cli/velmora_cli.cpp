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
#include "connection_kind.h"
#include "history/history_file.h"
#include "history/history_reader.h"
#include "history/history_report.h"
#include "history/run_finish.h"
#include "metrics_export.h"
#include "net/tcp_connect.h"
#include "plan_compliance.h"
#include "platform/console.h"
#include "platform/history_platform.h"
#include "platform/wall_clock.h"
#include "product/facts.h"
#include "record_formats.h"
#include "run_assessment.h"
#include "run_log.h"

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

    void ShowResult(const MeasurementRecord& record, const RunDiagnostics& diagnostics,
                    const velmora::cli::RunConnection& connection) {
        EndLiveLine();
        PrintLine(L"Download: " + FormatFixed(record.downloadMbps, 2) + L" Mbps");
        PrintLine(L"Upload: " + FormatFixed(record.uploadMbps, 2) + L" Mbps");
        PrintLine(L"Ping: " + FormatFixed(record.pingMs, 0) + L" ms");
        PrintLine(L"Latência durante o download: " + FormatFixed(record.downloadLatencyMs, 0) +
                  L" ms");
        PrintLine(L"Latência durante o upload: " + FormatFixed(record.uploadLatencyMs, 0) + L" ms");
        using namespace velmora::cli;
        std::printf("%s\n", JitterLine(diagnostics).c_str());
        std::printf("%s\n", ResponsivenessLine(AssessRun(record, diagnostics)).c_str());
        std::printf("Dados usados: %s (recebidos %s, enviados %s)\n",
                    FormatDataSize(diagnostics.bytesReceived + diagnostics.bytesSent).c_str(),
                    FormatDataSize(diagnostics.bytesReceived).c_str(),
                    FormatDataSize(diagnostics.bytesSent).c_str());
        std::printf("%s\n", ConnectionLine(connection).c_str());
        for (const std::string& note : ConnectionNotes(connection, record.downloadMbps)) {
            std::printf("Nota: %s\n", note.c_str());
        }
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

// The stored runs; none when the history cannot be read, or is too large to.
std::optional<std::vector<HistoryEntry>> ReadStoredRuns(const std::filesystem::path& file) {
    try {
        std::error_code missing;
        if (!std::filesystem::exists(file, missing)) {
            return missing ? std::nullopt : std::optional(std::vector<HistoryEntry>{});
        }
        const std::optional<std::string> bytes = ReadFileBytes(file);
        if (bytes) {
            return ReadHistory(*bytes);
        }
    } catch (const std::exception&) {
        // Out of memory on a history of too many entries: it cannot be read.
    }
    return std::nullopt;
}

// The last `count` stored runs as a table. A history that cannot be read says so rather than
// show an empty one.
int PrintHistory(const std::filesystem::path& historyFile, std::size_t count) {
    if (const auto runs = ReadStoredRuns(historyFile)) {
        std::printf("%s", velmora::cli::HistoryTable(*runs, count).c_str());
        return 0;
    }
    std::fprintf(stderr, "velmora-cli: não foi possível ler o histórico (%s)\n",
                 WideToUtf8(historyFile.wstring()).c_str());
    return 1;
}

int SavePlan(const std::filesystem::path& directory, const std::string& text) {
    const velmora::cli::ContractedPlan plan = *velmora::cli::ParsePlan(text);
    std::error_code error;
    std::filesystem::create_directories(directory, error);
    const std::string stored =
        WideToUtf8(FormatFixed(plan.downloadMbps, 2) + L"/" + FormatFixed(plan.uploadMbps, 2));
    if (!velmora::cli::SavePlanText(directory, stored)) {
        std::fprintf(stderr, "velmora-cli: não foi possível guardar o plano em %s\n",
                     WideToUtf8((directory / velmora::cli::kPlanFile).wstring()).c_str());
        return 1;
    }
    std::printf("Plano guardado: %s Mbps (download/upload)\n", stored.c_str());
    return 0;
}

// The months held against the stored plan, on the console or as a dossier page. The history and
// the log are only read.
int CheckPlan(const velmora::cli::CliOptions& options, const std::filesystem::path& directory,
              const std::filesystem::path& historyFile) {
    using namespace velmora::cli;
    const std::optional<std::string> planText = LoadPlanText(directory);
    const std::optional<ContractedPlan> plan = planText ? ParsePlan(*planText) : std::nullopt;
    if (!plan) {
        std::fprintf(stderr,
                     "velmora-cli: nenhum plano guardado (%s): informe-o com --plano D/U, "
                     "por exemplo --plano 300/150\n",
                     WideToUtf8((directory / kPlanFile).wstring()).c_str());
        return 2;
    }
    const std::optional<std::vector<HistoryEntry>> history = ReadStoredRuns(historyFile);
    const RunLog log = ReadRunLog(directory);
    if (!history || !log.readable) {
        std::fprintf(
            stderr, "velmora-cli: não foi possível ler %s\n",
            WideToUtf8((history ? directory / kRunLogFile : historyFile).wstring()).c_str());
        return 1;
    }
    if (log.badLines > 0 || log.otherVersionLines > 0) {
        std::fprintf(stderr,
                     "velmora-cli: linhas ignoradas em %s: %d inválidas, %d de outra versão\n",
                     kRunLogFile, log.badLines, log.otherVersionLines);
    }
    std::vector<ComplianceRun> runs = ComplianceRuns(*history, log);
    if (runs.empty() && !options.month) {
        std::fprintf(stderr, "velmora-cli: nenhuma medição guardada em %s\n",
                     WideToUtf8(historyFile.wstring()).c_str());
        return 1;
    }
    const std::vector<MonthCompliance> months =
        MonthlyCompliance(runs, *plan, options.includeWifi, options.month);
    if (options.action == CliAction::Dossier) {
        if (options.month) {
            std::erase_if(runs, [&](const ComplianceRun& run) {
                return !run.localTime.starts_with(*options.month);
            });
        }
        const std::string page =
            DossierPage(*plan, months, runs, options.includeWifi,
                        WideToUtf8(FormatHistoryTimestamp(velmora::UnixTicksNow())));
        const std::filesystem::path file(velmora::Utf8ToWide(options.dossierFile));
        if (!ReplaceFileContents(file, page)) {
            std::fprintf(stderr, "velmora-cli: não foi possível gravar %s\n",
                         options.dossierFile.c_str());
            return 1;
        }
        std::printf("%s\n%zu medições, SHA-256 %s\n", options.dossierFile.c_str(), runs.size(),
                    Sha256Hex(DossierDigestText(runs)).c_str());
        return 0;
    }
    if (options.format == OutputFormat::Json) {
        std::printf("%s\n", ComplianceJson(*plan, months, options.includeWifi).c_str());
    } else {
        std::printf("%s", ComplianceText(*plan, months, options.includeWifi).c_str());
    }
    return 0;
}

// A campaign's run is skipped, in one line, when this month's runs already spent nearly the
// budget. Whether they did is known from the log; one that cannot be read does not stop a run.
bool OverDataBudget(const std::filesystem::path& directory, std::uint64_t budget) {
    using namespace velmora::cli;
    const DataBudgetCheck check =
        CheckDataBudget(ReadRunLog(directory), velmora::UnixTicksNow(), budget);
    if (!check.wouldPass) {
        return false;
    }
    std::printf(
        "Medição pulada: os dados usados neste mês (%s) mais uma medição (cerca de %s) "
        "passariam do orçamento de %s.\n",
        FormatDataSize(check.usedBytes).c_str(), FormatDataSize(check.expectedRunBytes).c_str(),
        FormatDataSize(budget).c_str());
    return true;
}

// What the metrics carry beside the record: the jitters, the connection and the stored plan.
void WithProofExtras(velmora::cli::RunMetrics& metrics, const RunDiagnostics& diagnostics,
                     const velmora::cli::RunConnection& connection,
                     const std::filesystem::path& directory) {
    const auto measured = [](double ms) {
        return ms >= 0.0 ? std::optional<double>(ms) : std::nullopt;
    };
    metrics.idleJitterMs = measured(diagnostics.idleJitterMs);
    metrics.downloadJitterMs = measured(diagnostics.download.jitterMs);
    metrics.uploadJitterMs = measured(diagnostics.upload.jitterMs);
    if (metrics.succeeded) {
        metrics.connectionKind = velmora::cli::ConnectionKindId(connection.kind);
    }
    const std::optional<std::string> text = velmora::cli::LoadPlanText(directory);
    if (const auto plan = text ? velmora::cli::ParsePlan(*text) : std::nullopt) {
        metrics.planDownloadMbps = plan->downloadMbps;
        metrics.planUploadMbps = plan->uploadMbps;
    }
}

// An earlier version's history found on the first run: copied into this user's own, or left
// where it is, with why.
void SayOldHistories(const std::vector<OldHistory>& found) {
    for (const OldHistory& old : found) {
        const std::string source = WideToUtf8(old.source.wstring());
        if (old.copied) {
            std::fprintf(stderr, "velmora-cli: histórico anterior copiado de %s\n", source.c_str());
        } else if (old.refusal != FileRefusal::None) {
            std::fprintf(stderr, "velmora-cli: histórico anterior deixado como está (%s): %s\n",
                         source.c_str(), RefusalText(old.refusal));
        }
    }
}

void LogRun(const std::filesystem::path& directory, const std::string& line) {
    if (!velmora::cli::AppendRunLog(directory, line)) {
        std::fprintf(stderr, "velmora-cli: o registro completo não foi guardado (%s)\n",
                     WideToUtf8((directory / velmora::cli::kRunLogFile).wstring()).c_str());
    }
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
    if (options->historyDirectory.empty() && options->action != CliAction::Help &&
        options->action != CliAction::CsvHeader && options->action != CliAction::List) {
        SayOldHistories(MigrateOldHistory(historyDirectory, OldHistorySources()));
    }

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
        case CliAction::Plan:
            return SavePlan(historyDirectory, options->plan);
        case CliAction::Compliance:
        case CliAction::Dossier:
            return CheckPlan(*options, historyDirectory, historyFile);
        case CliAction::List:
        case CliAction::Measure:
            break;
    }
    if (options->action == CliAction::Measure && options->dataBudget &&
        OverDataBudget(historyDirectory, *options->dataBudget)) {
        return 0;
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
            const std::optional<velmora::cli::AdapterFacts> adapter =
                velmora::cli::QueryRouteAdapter(WideToUtf8(record.serverIp));
            const velmora::cli::RunConnection connection =
                adapter ? velmora::cli::DescribeConnection(*adapter)
                        : velmora::cli::RunConnection{};
            const std::string json = velmora::cli::RecordToJson(record, diagnostics, connection);
            if (format == OutputFormat::Json) {
                std::printf("%s\n", json.c_str());
            } else if (format == OutputFormat::Csv) {
                std::printf("%s\n",
                            velmora::cli::RecordToCsv(record, diagnostics, connection).c_str());
            } else {
                view.ShowResult(record, diagnostics, connection);
            }
            LogRun(historyDirectory, velmora::cli::RunLogLine(json));
            if (!finished.stored) {
                const FileRefusal why = ReadPlainFile(historyFile, kMostHistoryBytes).refusal;
                std::fprintf(stderr,
                             "velmora-cli: o resultado não foi guardado no histórico (%s%s%s)\n",
                             WideToUtf8(historyFile.wstring()).c_str(),
                             why == FileRefusal::None ? "" : ": ", RefusalText(why));
            }
            velmora::cli::RunMetrics metrics = velmora::cli::MetricsOf(record, diagnostics);
            WithProofExtras(metrics, diagnostics, connection, historyDirectory);
            const bool exported = velmora::cli::ExportRun(options->metrics, metrics);
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
            velmora::cli::RunMetrics metrics =
                velmora::cli::FailedRunMetrics(velmora::UnixTicksNow());
            WithProofExtras(metrics, {}, {}, historyDirectory);
            velmora::cli::ExportRun(options->metrics, metrics);
            LogRun(historyDirectory, velmora::cli::FailureLogLine(velmora::UnixTicksNow(), reason));
            return Finish(state, 1);
        }
    }
}
