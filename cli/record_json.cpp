#include "record_json.h"

#include <charconv>
#include <cmath>

#include "common/text.h"

namespace velmora::cli {
namespace {

void AppendNumber(std::string& out, double value) {
    if (!std::isfinite(value)) {
        out += "null";  // JSON has no NaN or infinity
        return;
    }
    char buffer[64];
    const auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value);
    out.append(buffer, error == std::errc() ? end : buffer);
}

void AppendString(std::string& out, const std::wstring& text) {
    out += '"';
    for (const char c : WideToUtf8(text)) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20) {
            static const char digits[] = "0123456789abcdef";
            out += "\\u00";
            out += digits[byte >> 4];
            out += digits[byte & 15];
        } else {
            out += c;
        }
    }
    out += '"';
}

void AppendList(std::string& out, const std::vector<double>& values) {
    out += '[';
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i > 0) {
            out += ',';
        }
        AppendNumber(out, values[i]);
    }
    out += ']';
}

}  // namespace

std::string RecordToJson(const modulos::medicao::MeasurementRecord& r) {
    std::string out = "{\"timestamp\":" + std::to_string(r.timestamp);
    const auto number = [&](const char* name, double value) {
        out += ",\"";
        out += name;
        out += "\":";
        AppendNumber(out, value);
    };
    const auto text = [&](const char* name, const std::wstring& value) {
        out += ",\"";
        out += name;
        out += "\":";
        AppendString(out, value);
    };
    number("downloadMbps", r.downloadMbps);
    number("uploadMbps", r.uploadMbps);
    number("pingMs", r.pingMs);
    number("idleLatencyMs", r.idleLatencyMs);
    number("downloadLatencyMs", r.downloadLatencyMs);
    number("uploadLatencyMs", r.uploadLatencyMs);
    text("publicIp", r.publicIp);
    text("userCity", r.userCity);
    text("serverIp", r.serverIp);
    text("serverName", r.serverName);
    text("serverLocation", r.serverLocation);
    text("status", r.status);
    text("downloadVariation", r.downloadVariation);
    text("uploadVariation", r.uploadVariation);
    out += ",\"downloadSamples\":";
    AppendList(out, r.downloadSamples);
    out += ",\"uploadSamples\":";
    AppendList(out, r.uploadSamples);
    out += '}';
    return out;
}

}  // namespace velmora::cli
