// libFuzzer target for the scanners that read untrusted text: the history reader (and the page
// made from what it reads), the geolocation reply and the edge trace readers.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "history/history_reader.h"
#include "history/history_report.h"
#include "identification/connection_info.h"
#include "identification/edge_trace.h"

using namespace velmora::modulos::medicao;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);

    const auto entries = ReadHistory(bytes);
    for (const HistoryEntry& entry : entries) {
        BuildSampleChart(entry.downloadSamples, "cdl");
    }
    if (entries.size() < 50) {
        BuildHistoryPage(entries);
    }

    const std::wstring text = velmora::Utf8ToWide(bytes);
    JsonStringField(text, L"query");
    if (!std::isfinite(JsonNumberField(text, L"lat"))) {
        __builtin_trap();
    }
    for (const std::wstring& line : velmora::SplitTrimmedLines(text)) {
        if (line.empty()) {
            __builtin_trap();
        }
    }
    const ConnectionInfo info = ConnectionInfoFromReply(bytes);
    if (!(std::fabs(info.lat) <= 90.0 && std::fabs(info.lon) <= 180.0) || info.publicIp.empty()) {
        __builtin_trap();
    }
    if (EdgeLocationFromTrace(bytes).empty()) {
        __builtin_trap();
    }
    return 0;
}
