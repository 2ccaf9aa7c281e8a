#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace velmora::modulos::medicao {

class ServerCatalog;

enum class MeasurementPhase : std::int32_t {
    Idle = 0,
    Latency = 1,
    Downloading = 2,
    Uploading = 3,
    Done = 4,
    Error = 5,
};

// What the worker tells whoever shows the run: something changed (read a snapshot), or the run
// is done (finish it: FinishMeasurement). An Error ends with Progress and the Error phase.
enum class RunEvent : std::uint32_t {
    Progress = 0,
    Done = 1,
};

inline constexpr std::size_t kChartCapacity = 7;

inline constexpr wchar_t kStatusDone[] = L"MEDIÇÃO CONCLUÍDA";
inline constexpr wchar_t kStatusError[] = L"ERRO NA MEDIÇÃO";
inline constexpr wchar_t kDownloadVariation[] = L"Oscilação leve com estabilidade predominante.";
inline constexpr wchar_t kUploadVariation[] = L"Oscilação leve e envio consistente.";

// What the run shows until it knows better.
inline constexpr wchar_t kAwaiting[] = L"Aguardando";
inline constexpr wchar_t kServerNameAwaiting[] = L"Seleção inteligente de servidor";
inline constexpr wchar_t kServerIpAwaiting[] = L"Aguardando medição";
inline constexpr wchar_t kServerLocationAwaiting[] = L"Melhor rota disponível";

// How the run reaches whoever shows it. On Windows the window fills these with PostMessageW and
// InvalidateRect on its own handle; tests and the console front end use plain callbacks. The run
// works the same with either, and with none.
struct RunNotifier {
    std::function<void(RunEvent event)> post;
    std::function<void()> invalidate;
};

// How far one phase's figures can be trusted. The console tells it; the window does not.
struct PhaseDiagnostics {
    int loadedProbes = 0;              // probes under load that timed a connect
    double cpuShare = -1.0;            // the program's CPU time over the cores' time; < 0: unknown
    double liveVariation = -1.0;       // the live values' standard deviation over their mean
    double retransmittedShare = -1.0;  // of the bytes the uploads sent, the share sent again
    double jitterMs = -1.0;            // of the connects the probes under load timed; < 0: unknown
};

// What a run spent and how it went, beside its figures. The shares and variations are taken
// after the warm-up.
struct RunDiagnostics {
    PhaseDiagnostics download;
    PhaseDiagnostics upload;
    double idleJitterMs = -1.0;       // of the idle latency's connects; < 0: unknown
    std::uint64_t bytesReceived = 0;  // HTTP bodies, the whole run
    std::uint64_t bytesSent = 0;
    int addressFamily = 0;  // of the transfers' connections: 4 or 6; 0 when none was made
    bool viaProxy = false;
};

// What a run publishes as text and charts.
struct RunTexts {
    std::wstring publicIp = kAwaiting;
    std::wstring isp = kAwaiting;
    std::wstring serverName = kServerNameAwaiting;
    std::wstring serverIp = kServerIpAwaiting;
    std::wstring serverLocation = kServerLocationAwaiting;
    std::wstring userCity;
    std::vector<double> downloadChart;
    std::vector<double> uploadChart;
    std::string failure;  // why the last run ended in Error; never shown by the window
    RunDiagnostics diagnostics;
};

// The one object through which the measurement worker publishes a run and the window reads it.
// The texts and charts are guarded by `mutex`; the numbers, the phase and `running` are atomics,
// replaced whole by exchange and read without the lock.
struct SharedRunState {
    explicit SharedRunState(const ServerCatalog& serverCatalog) : catalog(serverCatalog) {}
    SharedRunState(const SharedRunState&) = delete;
    SharedRunState& operator=(const SharedRunState&) = delete;

    RunNotifier notifier;
    const ServerCatalog& catalog;

    std::atomic<double> downloadMbps{0.0};
    std::atomic<double> uploadMbps{0.0};
    std::atomic<double> pingMs{0.0};
    std::atomic<double> idleLatencyMs{0.0};
    std::atomic<double> downloadLatencyMs{0.0};
    std::atomic<double> uploadLatencyMs{0.0};
    std::atomic<MeasurementPhase> phase{MeasurementPhase::Idle};
    std::atomic<bool> running{false};

    std::mutex mutex;
    RunTexts texts;

    // Workers that have started and not yet returned (streams joined), so that a closing window
    // can wait a bounded time for the last one instead of joining it.
    std::atomic<int> activeWorkers{0};

    // Declared last so that it is destroyed first: a jthread requests stop and joins before the
    // members the run writes go away.
    std::jthread worker;
};

// Everything a run has published, copied at one moment: what the window paints, the console
// prints and the history keeps. A plain value, so a test writes one as a literal.
struct RunSnapshot : RunTexts {
    MeasurementPhase phase = MeasurementPhase::Idle;
    bool running = false;
    double downloadMbps = 0.0;
    double uploadMbps = 0.0;
    double pingMs = 0.0;
    double idleLatencyMs = 0.0;
    double downloadLatencyMs = 0.0;
    double uploadLatencyMs = 0.0;
};

// The one place that reads a run's state: the numbers, then the texts and charts under its lock.
RunSnapshot ReadRunSnapshot(SharedRunState& state);

// One run's result: a plain value, in the order of the history's elements.
struct MeasurementRecord {
    std::int64_t timestamp = 0;  // 100 ns ticks since 1970-01-01 00:00:00 UTC
    double downloadMbps = 0.0;
    double uploadMbps = 0.0;
    double pingMs = 0.0;
    double idleLatencyMs = 0.0;
    double downloadLatencyMs = 0.0;
    double uploadLatencyMs = 0.0;
    std::wstring publicIp;
    std::wstring userCity;
    std::wstring serverIp;
    std::wstring serverName;
    std::wstring serverLocation;
    std::wstring status;
    std::wstring downloadVariation;
    std::wstring uploadVariation;
    std::vector<double> downloadSamples;
    std::vector<double> uploadSamples;
};

// The status line's text for a phase; empty for a value outside the six.
std::wstring PhaseStatusText(MeasurementPhase phase);

// The record of a finished run, stamped now; made on RunEvent::Done.
MeasurementRecord MakeMeasurementRecord(const RunSnapshot& run);

// Bounded append: keeps only the newest kChartCapacity values. The caller holds the state's mutex.
void AppendChartValue(std::vector<double>& chart, double value);

// "City - Region", or whichever of the two is present.
std::wstring ComposeUserCity(const std::wstring& city, const std::wstring& regionName);

// The location followed by " (N km)" with the distance truncated to whole kilometres, when the
// distance is greater than 0.
std::wstring ComposeServerLocation(const std::wstring& location, double distanceKm);

// Posts `event` through the state's notifier, if there is one.
void PostRunEvent(SharedRunState& state, RunEvent event);

}  // namespace velmora::modulos::medicao
