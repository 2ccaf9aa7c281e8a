#include "history/history_reader.h"

#include <charconv>
#include <cmath>

namespace velmora::modulos::medicao {
namespace {

// Every occurrence of `entity` becomes `c`; the scan resumes after each replacement, so what a
// replacement produces is never matched again.
std::string ReplaceAll(std::string_view text, std::string_view entity, char c) {
    std::string out;
    out.reserve(text.size());
    std::size_t pos = 0;
    for (std::size_t at = text.find(entity); at != std::string_view::npos;
         at = text.find(entity, pos)) {
        out.append(text.substr(pos, at - pos));
        out += c;
        pos = at + entity.size();
    }
    out.append(text.substr(pos));
    return out;
}

}  // namespace

std::string ExtractAttribute(std::string_view block, std::string_view name) {
    std::string key(name);
    key += "=\"";
    const std::size_t at = block.find(key);
    if (at == std::string_view::npos) {
        return {};
    }
    const std::size_t start = at + key.size();
    if (start >= block.size()) {
        return {};
    }
    const std::size_t end = block.find('"', start);
    if (end == std::string_view::npos) {
        return {};
    }
    return std::string(block.substr(start, end - start));
}

std::string ExtractElementText(std::string_view block, std::string_view name) {
    std::string open = "<";
    open.append(name).append(">");
    std::string close = "</";
    close.append(name).append(">");
    const std::size_t at = block.find(open);
    if (at == std::string_view::npos) {
        return {};
    }
    const std::size_t start = at + open.size();
    const std::size_t end = block.find(close, start);
    if (end == std::string_view::npos) {
        return {};
    }
    return std::string(block.substr(start, end - start));
}

std::string XmlUnescape(std::string_view text) {
    std::string out = ReplaceAll(text, "&lt;", '<');
    out = ReplaceAll(out, "&gt;", '>');
    out = ReplaceAll(out, "&quot;", '"');
    out = ReplaceAll(out, "&apos;", '\'');
    return ReplaceAll(out, "&amp;", '&');
}

std::vector<HistoryEntry> ReadHistory(std::string_view content) {
    constexpr std::string_view kStart = "<measurement ";
    constexpr std::string_view kEnd = "</measurement>";
    std::vector<HistoryEntry> entries;
    std::size_t pos = 0;
    for (;;) {
        const std::size_t start = content.find(kStart, pos);
        if (start == std::string_view::npos) {
            break;
        }
        const std::size_t end = content.find(kEnd, start);
        if (end == std::string_view::npos) {
            break;
        }
        const std::string_view block = content.substr(start, end + kEnd.size() - start);
        const auto field = [&block](std::string_view name) {
            return XmlUnescape(ExtractElementText(block, name));
        };
        HistoryEntry e;
        e.timestamp = XmlUnescape(ExtractAttribute(block, "timestamp"));
        e.downloadMbps = field("downloadMbps");
        e.uploadMbps = field("uploadMbps");
        e.pingMs = field("pingMs");
        e.idleLatencyMs = field("idleLatencyMs");
        e.downloadLatencyMs = field("downloadLatencyMs");
        e.uploadLatencyMs = field("uploadLatencyMs");
        e.publicIp = field("publicIp");
        e.userCity = field("userCity");
        e.serverIp = field("serverIp");
        e.serverName = field("serverName");
        e.serverLocation = field("serverLocation");
        e.status = field("status");
        e.downloadVariation = field("downloadVariation");
        e.uploadVariation = field("uploadVariation");
        e.downloadSamples = field("downloadSamples");
        e.uploadSamples = field("uploadSamples");
        entries.push_back(std::move(e));
        pos = end + kEnd.size();
    }
    return entries;
}

std::optional<double> ParseStoredNumber(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) {
        ++i;
    }
    const std::string rest(text.substr(i));
    const char* begin = rest.c_str();
    const char* digits = begin + ((*begin == '+' || *begin == '-') ? 1 : 0);
    if (!((*digits >= '0' && *digits <= '9') ||
          (*digits == '.' && digits[1] >= '0' && digits[1] <= '9'))) {
        return std::nullopt;  // no decimal number (this also keeps out "inf", "nan" and hex forms)
    }
    double value = 0.0;
    const std::from_chars_result result = std::from_chars(digits, begin + rest.size(), value);
    if (result.ec != std::errc() || result.ptr == digits) {
        return std::nullopt;
    }
    if (*begin == '-') {
        value = -value;
    }
    return std::isfinite(value) ? std::optional(value) : std::nullopt;
}

}  // namespace velmora::modulos::medicao
