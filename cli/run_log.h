#pragma once

// What velmora-cli keeps beside the history for itself: every run's full record as one JSON line
// (the history keeps only what the window shows), and the plan the user pays for.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "history/history_reader.h"
#include "plan_compliance.h"

namespace velmora::cli {

inline constexpr char kRunLogFile[] = "velmora-cli.jsonl";
inline constexpr char kPlanFile[] = "plano.txt";

// The member that opens every line; a line without it, or with another number, was written by
// another version and is skipped rather than misread.
inline constexpr char kLogFormatMember[] = "logFormat";
inline constexpr int kLogFormat = 1;

// The record's JSON object (one line) with the log's format member put first.
std::string RunLogLine(std::string_view recordJson);

// Adds the line to the log in `directory`, replacing the file in one step under the history's
// lock, so a crash or a full disk leaves the old log whole. A log that cannot be read is never
// replaced (it may hold every run): false, and nothing is changed.
bool AppendRunLog(const std::filesystem::path& directory, std::string_view line);

// One line of the log as the checks read it.
struct LoggedRun {
    std::int64_t timestamp = 0;  // 100 ns ticks since 1970, as the record has it
    std::string status;
    std::string serverName;
    std::string serverLocation;
    std::optional<double> downloadMbps;
    std::optional<double> uploadMbps;
    std::optional<double> pingMs;
    std::optional<double> idleJitterMs;
    std::string connection;       // the kind's id; empty when the line has none
    std::uint64_t bytesUsed = 0;  // received and sent
};

struct RunLog {
    std::vector<LoggedRun> runs;  // in the file's order
    int badLines = 0;             // not JSON, or without a time stamp and a status
    int otherVersionLines = 0;    // of a format this version does not read
    bool readable = true;         // false: the file exists and could not be read
};

RunLog ParseRunLog(std::string_view content);
RunLog ReadRunLog(const std::filesystem::path& directory);

// The plan as stored: "DOWNLOAD/UPLOAD" in Mbit/s, one line.
bool SavePlanText(const std::filesystem::path& directory, std::string_view plan);
std::optional<std::string> LoadPlanText(const std::filesystem::path& directory);

// "20GB", "500 MB", "1,5TB" (decimal units, as the data used is shown); nullopt otherwise.
std::optional<std::uint64_t> ParseDataSize(std::string_view text);

// The bytes this month's runs (by the local calendar) used, and whether one run more, of the size
// of their mean, would pass `budget`. A month without runs never passes it.
struct DataBudgetCheck {
    std::uint64_t usedBytes = 0;
    std::uint64_t expectedRunBytes = 0;
    bool wouldPass = false;
};
DataBudgetCheck CheckDataBudget(const RunLog& log, std::int64_t nowTicks, std::uint64_t budget);

// The line kept for a run that failed: its time, the status and why.
std::string FailureLogLine(std::int64_t timestamp, const std::string& reason);

// Every stored run for the monthly checks, oldest first: the history's runs (the window's too),
// each with the jitter and connection its log line adds when velmora-cli made it, and the logged
// runs the history lacks (one it could not store). Figures that cannot be read stay NaN, so the
// checks leave the run out instead of counting it as 0.
std::vector<ComplianceRun> ComplianceRuns(
    const std::vector<modulos::medicao::HistoryEntry>& history, const RunLog& log);

}  // namespace velmora::cli
