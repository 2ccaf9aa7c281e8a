#include "identification/edge_trace.h"

namespace velmora::modulos::medicao {

std::wstring FetchEdgeLocation(const protocolos::HttpEndpoint& trace, const std::stop_token& stop) {
    try {
        const std::string body = protocolos::HttpGet(trace, L"/cdn-cgi/trace", stop);
        std::wstring colo;
        std::wstring loc;
        for (const std::wstring& line :
             protocolos::SplitTrimmedLines(protocolos::Utf8ToWide(body))) {
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
    } catch (...) {
        // Any failure: the generic text below.
    }
    return L"Cloudflare CDN";
}

}  // namespace velmora::modulos::medicao
