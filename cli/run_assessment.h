#pragma once

// What velmora-cli tells beside the speeds: how responsive the line stays under load, how much
// data the run spent, and when a figure may say more about the machine or the path than about
// the line.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "history/history_reader.h"
#include "measurement/run_state.h"

namespace velmora::cli {

// The bufferbloat scale: a grade for the latency added under load, below each bound in turn;
// "F" from the last bound on.
struct GradeBound {
    double belowMs;
    const char* grade;
};
inline constexpr GradeBound kGradeBounds[] = {
    {5.0, "A+"}, {30.0, "A"}, {60.0, "B"}, {200.0, "C"}, {400.0, "D"}};
inline constexpr char kWorstGrade[] = "F";

std::string GradeForAddedLatency(double addedMs);

// One direction under load; empty when no latency under load was measured.
struct DirectionLoad {
    std::optional<double> addedMs;  // loaded - idle, never below 0
    std::optional<long long> rpm;   // round trips per minute under load: 60,000 / loaded ms
};

struct Responsiveness {
    DirectionLoad download;
    DirectionLoad upload;
    std::optional<std::string> grade;  // from the worse measured direction
};

// Loaded latencies that are absent (or below 0) leave their direction unmeasured.
Responsiveness AssessResponsiveness(double idleMs, std::optional<double> downloadLoadedMs,
                                    std::optional<double> uploadLoadedMs);

// A finished run: a direction counts as measured when a probe under load timed a connect.
Responsiveness AssessRun(const modulos::medicao::MeasurementRecord& record,
                         const modulos::medicao::RunDiagnostics& diagnostics);

// A stored run that finished, from its idle and loaded latencies.
std::optional<std::string> StoredGrade(const modulos::medicao::HistoryEntry& entry);

// "Responsividade: B (download +45 ms, upload +120 ms)".
std::string ResponsivenessLine(const Responsiveness& responsiveness);

// Decimal megabytes below a gigabyte, gigabytes from there: "412.3 MB", "1.24 GB".
std::string FormatDataSize(std::uint64_t bytes);

// "IPv4" / "IPv6"; empty when unknown.
std::string AddressFamilyName(int family);

// "Jitter: 1.8 ms (download 12.4 ms, upload 20.0 ms)"; a figure that was not measured reads "-".
std::string JitterLine(const modulos::medicao::RunDiagnostics& diagnostics);

// The notes that apply to the run, in pt-BR, most serious first.
std::vector<std::string> TrustNotes(const modulos::medicao::RunDiagnostics& diagnostics);

// When a phase's note applies.
inline constexpr double kCpuShortShare = 0.8;            // of the cores' time
inline constexpr double kWideLiveVariation = 0.25;       // standard deviation over mean
inline constexpr double kHighRetransmittedShare = 0.02;  // of the bytes sent

}  // namespace velmora::cli
