#include "identification/connection_info.h"

#include <charconv>
#include <string>

#include "common/text.h"

namespace velmora::modulos::medicao {
namespace {

// Position just past `"key"` and the ':' that follows it, or npos.
std::size_t ValueStart(const std::wstring& text, const std::wstring& key) {
    const std::wstring pattern = L"\"" + key + L"\"";
    const std::size_t at = text.find(pattern);
    if (at == std::wstring::npos) {
        return std::wstring::npos;
    }
    const std::size_t colon = text.find(L':', at + pattern.size());
    return colon == std::wstring::npos ? colon : colon + 1;
}

}  // namespace

protocolos::HttpEndpoint DefaultGeolocationService() {
    return {L"ip-api.com", 80, false};
}

std::wstring JsonStringField(const std::wstring& text, const std::wstring& key) {
    const std::size_t start = ValueStart(text, key);
    if (start == std::wstring::npos) {
        return {};
    }
    const std::size_t open = text.find(L'"', start);
    if (open == std::wstring::npos) {
        return {};
    }
    const std::size_t close = text.find(L'"', open + 1);
    if (close == std::wstring::npos) {
        return {};
    }
    return text.substr(open + 1, close - open - 1);
}

double JsonNumberField(const std::wstring& text, const std::wstring& key) {
    std::size_t pos = ValueStart(text, key);
    if (pos == std::wstring::npos) {
        return 0.0;
    }
    while (pos < text.size() && (text[pos] == L' ' || text[pos] == L'\t')) {
        ++pos;
    }
    std::string run;
    while (pos < text.size() &&
           (std::wstring_view(L"0123456789.-+").find(text[pos]) != std::wstring_view::npos)) {
        run.push_back(static_cast<char>(text[pos++]));
    }
    // from_chars reads the longest valid prefix, always with '.', whatever the locale; it
    // takes no leading '+', which a decimal reader accepts before a digit or point.
    const char* first = run.data();
    const char* last = run.data() + run.size();
    if (run.size() > 1 && run[0] == '+' && run[1] != '+' && run[1] != '-') {
        ++first;
    }
    double value = 0.0;
    const auto [end, error] = std::from_chars(first, last, value, std::chars_format::fixed);
    if (error != std::errc() || end == first) {
        return 0.0;
    }
    return value;
}

ConnectionInfo ConnectionInfoFromReply(std::string_view body) {
    ConnectionInfo info;
    const std::wstring text = Utf8ToWide(body);
    if (JsonStringField(text, L"status") == L"fail") {
        return info;
    }
    info.publicIp = CleanServerText(JsonStringField(text, L"query"));
    info.isp = CleanServerText(JsonStringField(text, L"isp"));
    info.city = CleanServerText(JsonStringField(text, L"city"));
    info.regionName = CleanServerText(JsonStringField(text, L"regionName"));
    info.lat = JsonNumberField(text, L"lat");
    info.lon = JsonNumberField(text, L"lon");
    if (info.lat < -90.0 || info.lat > 90.0) {
        info.lat = 0.0;
    }
    if (info.lon < -180.0 || info.lon > 180.0) {
        info.lon = 0.0;
    }
    if (info.publicIp.empty()) {
        info.publicIp = ConnectionInfo{}.publicIp;
    }
    if (info.isp.empty()) {
        info.isp = ConnectionInfo{}.isp;
    }
    return info;
}

ConnectionInfo LookupConnectionInfo(const protocolos::HttpEndpoint& service,
                                    const std::stop_token& stop) {
    try {
        return ConnectionInfoFromReply(protocolos::HttpGet(service, kGeolocationPath, stop));
    } catch (...) {
        return {};  // the request itself failed
    }
}

}  // namespace velmora::modulos::medicao
