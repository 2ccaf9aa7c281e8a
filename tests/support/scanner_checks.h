#pragma once

// What must hold for any bytes the text scanners are handed, whoever hands them: libFuzzer
// (tests/fuzz, coverage-guided, Linux) or the seeded random test in the suite (every build,
// Windows' 16-bit wchar_t included). Nothing may crash, hang or trip a sanitizer, and what a
// scanner returns stays within what it was given.

#include <cmath>
#include <string>
#include <string_view>

#include "common/text.h"
#include "history/history_reader.h"
#include "history/history_report.h"
#include "identification/connection_info.h"
#include "identification/edge_trace.h"

namespace velmora::test {

// The first property the input breaks, or nullptr.
inline const char* ScannerFault(std::string_view bytes) {
    using namespace modulos::medicao;
    const auto entries = ReadHistory(bytes);
    std::size_t starts = 0;
    for (std::size_t at = bytes.find("<measurement "); at != std::string_view::npos;
         at = bytes.find("<measurement ", at + 1)) {
        ++starts;
    }
    if (entries.size() > starts) {
        return "more history entries than <measurement elements";
    }
    for (const HistoryEntry& entry : entries) {
        if (entry.serverName.size() > bytes.size()) {
            return "a history text longer than the file";
        }
        BuildSampleChart(entry.downloadSamples, "cdl");
    }
    if (entries.size() < 50) {
        BuildHistoryPage(entries);
    }

    const std::wstring text = Utf8ToWide(bytes);
    if (text.size() > bytes.size()) {
        return "more characters than bytes";
    }
    if (JsonStringField(text, L"query").size() > text.size()) {
        return "a JSON string longer than the text";
    }
    if (!std::isfinite(JsonNumberField(text, L"lat"))) {
        return "a JSON number that is not finite";
    }
    for (const std::wstring& line : SplitTrimmedLines(text)) {
        if (line.empty() || line.front() == L' ' || line.back() == L' ') {
            return "an empty or untrimmed line";
        }
    }
    const ConnectionInfo info = ConnectionInfoFromReply(bytes);
    if (!(std::fabs(info.lat) <= 90.0 && std::fabs(info.lon) <= 180.0) || info.publicIp.empty() ||
        info.isp.empty()) {
        return "a position off the globe or an empty address or operator";
    }
    if (EdgeLocationFromTrace(bytes).empty()) {
        return "an empty edge location";
    }
    return nullptr;
}

}  // namespace velmora::test
