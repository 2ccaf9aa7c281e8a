#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "measurement/run_state.h"
#include "platform/history_platform.h"
#include "product/facts.h"

namespace velmora::modulos::medicao {

// The largest history read: thousands of times a real one (a run takes about 1 KB), small
// enough that a file grown or planted without bound cannot exhaust the memory.
inline constexpr std::uintmax_t kMostHistoryBytes = std::uintmax_t{64} << 20;

// The whole file as bytes; nullopt when it cannot be opened or read, or holds more than `limit`.
std::optional<std::string> ReadFileBytes(const std::filesystem::path& path,
                                         std::uintmax_t limit = kMostHistoryBytes);

// Where a program keeps its history: beside the program when this user may add files to the
// program's folder (a portable copy, the tests), else in the user's own data folder (an
// installed program, whose folder only administrators may change).
std::filesystem::path ChooseHistoryDirectory(const std::filesystem::path& program,
                                             bool programFolderWritable,
                                             const std::filesystem::path& userData);

// This program's history folder, by ChooseHistoryDirectory: on Windows
// %LOCALAPPDATA%\IP-KALDRA for an installed copy; on Linux $XDG_DATA_HOME/velmora (default
// ~/.local/share/velmora).
std::filesystem::path HistoryDirectory();

// Where an earlier version kept the history of an installed meter: in the data folder beside
// the program, then beside the program itself.
std::vector<std::filesystem::path> OldHistorySources();

// What a migration found at one source: copied, or left alone for `refusal`.
struct OldHistory {
    std::filesystem::path source;
    FileRefusal refusal = FileRefusal::None;
    bool copied = false;
};

// Once, while `directory` holds no history yet: the first of `sources` that is a plain file
// with one name (never read through a link), whole and no larger than the read limit, becomes
// this user's history, in one step. The sources stay as they are. Says what it found.
std::vector<OldHistory> MigrateOldHistory(const std::filesystem::path& directory,
                                          const std::vector<std::filesystem::path>& sources);

// "history.xml" in `directory` (HistoryDirectory() by default, after MigrateOldHistory), created
// with the empty skeleton, in one step, when missing. A file in UTF-16 (from an older version) is
// moved aside to "history.utf16.bak" (or .1.bak, .2.bak, ... never over an earlier backup) and
// replaced. Throws std::filesystem::filesystem_error when the folder cannot be made or examined.
std::filesystem::path EnsureHistoryFile();
std::filesystem::path EnsureHistoryFile(const std::filesystem::path& directory);

// Inserts the record's block in front of the last "</history>" and replaces the file in one
// step, so that a crash or a full disk never loses what was stored; appends of two programs are
// taken one after the other. A file that cannot take the block (empty, cut short, without
// "</history>") is moved aside to "history.damaged.bak" (.1.bak, ...) and a fresh history is
// started with the record; one that cannot be read is left as it is and the record is not
// stored. Never throws; false when nothing was stored.
bool AppendToHistory(const MeasurementRecord& record);
bool AppendToHistory(const MeasurementRecord& record, const std::filesystem::path& directory);

// The one-step replacement that AppendToHistory uses, for tests that simulate a failed write.
using FileReplacer = bool (*)(const std::filesystem::path&, std::string_view);
bool AppendToHistory(const MeasurementRecord& record, const std::filesystem::path& directory,
                     FileReplacer replace);

inline constexpr char kHistorySkeleton[] =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
    "<history product=\"" VELMORA_PRODUCT_TITLE "\" company=\"" VELMORA_PUBLISHER
    "\" "
    "version=\"" VELMORA_VERSION
    "\">\n"
    "</history>\n";

std::wstring XmlEscape(const std::wstring& text);

// Local time of the record's ticks, "%Y-%m-%d %H:%M:%S".
std::wstring FormatHistoryTimestamp(std::int64_t unixTicks);

// Two decimals, "." whatever the locale.
std::wstring FormatHistoryNumber(double value);

// The values with two decimals each, joined by ",".
std::wstring FormatSampleList(const std::vector<double>& values);

// The record's 18-line block, as UTF-8.
std::string BuildHistoryBlock(const MeasurementRecord& record);

}  // namespace velmora::modulos::medicao
