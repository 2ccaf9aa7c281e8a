#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "history/history_reader.h"

namespace velmora::modulos::medicao {

// Builds the HTML page of the history at `historyPath` and writes it to "index.html" in the
// per-user report folder (or in `reportDirectory`). Returns the page's path, or an empty path
// when it could not be written; never throws.
std::filesystem::path BuildHistoryReport(const std::filesystem::path& historyPath);
std::filesystem::path BuildHistoryReport(const std::filesystem::path& historyPath,
                                         const std::filesystem::path& reportDirectory);

// The whole page for these entries (oldest first), as UTF-8.
std::string BuildHistoryPage(const std::vector<HistoryEntry>& entries);

// Escapes " & < > byte by byte; every other byte, UTF-8 included, passes unchanged.
std::string HtmlEscape(std::string_view text);

// One bar per sample that reads as a number, 48 px for the largest, at least 2 px; empty when
// there is nothing to draw.
std::string BuildSampleChart(std::string_view samples, std::string_view chartClass);

}  // namespace velmora::modulos::medicao
