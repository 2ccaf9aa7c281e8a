#include "identification/edge_trace.h"

#include "common/text.h"

namespace velmora::modulos::medicao {

std::wstring EdgeLocationFromTrace(std::string_view body) {
    std::wstring colo;
    std::wstring loc;
    for (const std::wstring& line : SplitTrimmedLines(Utf8ToWide(body))) {
        if (line.starts_with(L"colo=")) {
            colo = CleanServerText(line.substr(5));
        } else if (line.starts_with(L"loc=")) {
            loc = CleanServerText(line.substr(4));
        }
    }
    if (!colo.empty() && !loc.empty()) {
        return colo + L" / " + loc;
    }
    if (!colo.empty()) {
        return colo;
    }
    if (!loc.empty()) {
        return loc;
    }
    return kGenericEdgeLocation;
}

std::wstring FetchEdgeLocation(const protocolos::HttpEndpoint& trace, const std::stop_token& stop) {
    try {
        return EdgeLocationFromTrace(protocolos::HttpGet(trace, L"/cdn-cgi/trace", stop));
    } catch (...) {
        return kGenericEdgeLocation;
    }
}

}  // namespace velmora::modulos::medicao
