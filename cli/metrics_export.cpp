#include "metrics_export.h"

#include <charconv>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <stdexcept>

#include "common/text.h"
#include "host_name.h"
#include "platform/history_platform.h"
#include "protocols/http_session.h"

namespace velmora::cli {
namespace {

using Clock = std::chrono::steady_clock;
namespace protocolos = modulos::medicao::protocolos;

constexpr char kJob[] = "velmora";
// What the gateway says when it refuses a push is worth a line; more is not.
constexpr std::size_t kMostAnswerBytes = 4096;
constexpr std::size_t kMostAnswerShown = 160;

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) {
        return false;
    }
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        const char c = text[i];
        if ((c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c) != prefix[i]) {
            return false;
        }
    }
    return true;
}

// No spaces or control characters: they have no place in a URL, and a line break would end up
// in the request head.
bool PlainUrlText(std::string_view text) {
    for (const char c : text) {
        if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7f) {
            return false;
        }
    }
    return true;
}

std::string PercentEncoded(std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
            c == '-' || c == '.' || c == '_' || c == '~') {
            out += c;
        } else {
            out += '%';
            out += kHex[byte >> 4];
            out += kHex[byte & 0xF];
        }
    }
    return out;
}

// RFC 4648's URL-safe alphabet, with padding, as the Pushgateway decodes it.
std::string Base64Url(std::string_view text) {
    static constexpr char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    std::string out;
    for (std::size_t i = 0; i < text.size(); i += 3) {
        std::uint32_t group = static_cast<unsigned char>(text[i]) << 16;
        if (i + 1 < text.size()) {
            group |= static_cast<unsigned char>(text[i + 1]) << 8;
        }
        if (i + 2 < text.size()) {
            group |= static_cast<unsigned char>(text[i + 2]);
        }
        out += kAlphabet[(group >> 18) & 63];
        out += kAlphabet[(group >> 12) & 63];
        out += i + 1 < text.size() ? kAlphabet[(group >> 6) & 63] : '=';
        out += i + 2 < text.size() ? kAlphabet[group & 63] : '=';
    }
    return out;
}

// Before a blocking call: what is left of the push's time becomes the call's limit.
bool WithinDeadline(protocolos::HttpRequest& request, Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) {
        return false;
    }
    request.LimitCalls(left);
    return true;
}

// The start of what a refusing gateway said, as one clean line.
std::string FirstLine(const std::string& body) {
    std::string line = WideToUtf8(CleanServerText(Utf8ToWide(body.substr(0, body.find('\n')))));
    if (line.size() > kMostAnswerShown) {
        std::size_t cut = kMostAnswerShown;
        while (cut > 0 && (static_cast<unsigned char>(line[cut]) & 0xC0) == 0x80) {
            --cut;  // not in the middle of a character
        }
        line.resize(cut);
        line += "…";
    }
    return line;
}

}  // namespace

std::optional<PushgatewayUrl> ParsePushgatewayUrl(std::string_view text, std::string& error) {
    PushgatewayUrl url;
    std::string_view rest;
    if (StartsWithNoCase(text, "https://")) {
        url.secure = true;
        url.port = 443;
        rest = text.substr(8);
    } else if (StartsWithNoCase(text, "http://")) {
        rest = text.substr(7);
    } else {
        error = "URL inválida em --pushgateway: use http://HOST[:PORTA] ou https://HOST[:PORTA]";
        return std::nullopt;
    }
    const std::size_t slash = rest.find('/');
    const std::string_view authority = rest.substr(0, slash);
    const std::string_view path = slash == std::string_view::npos ? "" : rest.substr(slash);
    std::string_view portText;
    if (authority.starts_with('[')) {
        const std::size_t close = authority.find(']');
        if (close != std::string_view::npos) {
            url.host = authority.substr(1, close - 1);
            const std::string_view after = authority.substr(close + 1);
            if (!after.empty() && !after.starts_with(':')) {
                url.host.clear();
            }
            portText = after.empty() ? after : after.substr(1);
        }
    } else {
        const std::size_t colon = authority.find(':');
        url.host = authority.substr(0, colon);
        portText = colon == std::string_view::npos ? "" : authority.substr(colon + 1);
    }
    unsigned port = url.port;
    const bool portRead =
        portText.empty() ||
        (std::from_chars(portText.data(), portText.data() + portText.size(), port).ptr ==
             portText.data() + portText.size() &&
         port >= 1 && port <= 65535);
    // Credentials, a query or a fragment would be a different request than the one made here.
    if (url.host.empty() || !portRead || !PlainUrlText(text) ||
        authority.find('@') != std::string_view::npos ||
        path.find_first_of("?#") != std::string_view::npos ||
        url.host.find_first_of("/?#") != std::string::npos) {
        error = "URL inválida em --pushgateway (esperado http(s)://HOST[:PORTA][/CAMINHO])";
        return std::nullopt;
    }
    url.port = static_cast<std::uint16_t>(port);
    url.basePath = path;
    while (url.basePath.ends_with('/')) {
        url.basePath.pop_back();
    }
    return url;
}

std::string PushgatewayGroupPath(const PushgatewayUrl& url, std::string_view instance) {
    const std::string segment = instance.find('/') != std::string_view::npos || instance.empty()
                                    ? "instance@base64/" + Base64Url(instance)
                                    : "instance/" + PercentEncoded(instance);
    return url.basePath + "/metrics/job/" + kJob + "/" + segment;
}

std::optional<std::string> PushMetrics(const PushgatewayUrl& url, const std::string& path,
                                       std::string_view text,
                                       const protocolos::HttpTimeouts& timeouts,
                                       std::chrono::milliseconds deadlineAfter) {
    const Clock::time_point deadline = Clock::now() + deadlineAfter;
    const char* const kNoAnswer = "sem resposta a tempo";
    try {
        // Declared in this order so that leaving the scope closes request, connection, session.
        const std::unique_ptr<protocolos::HttpSession> session =
            protocolos::OpenHttpSession("não foi possível abrir uma sessão HTTP", timeouts);
        const std::unique_ptr<protocolos::HttpConnection> connection =
            session->Connect(Utf8ToWide(url.host), url.port);
        const std::unique_ptr<protocolos::HttpRequest> request =
            connection ? connection->OpenRequest(L"PUT", Utf8ToWide(path), url.secure) : nullptr;
        if (!request) {
            return "não foi possível abrir a requisição";
        }
        if (!WithinDeadline(*request, deadline) ||
            !request->Send(L"Content-Type: text/plain; version=0.0.4\r\n",
                           static_cast<std::uint32_t>(text.size()))) {
            return "não foi possível conectar";
        }
        while (!text.empty()) {
            std::size_t written = 0;
            if (!WithinDeadline(*request, deadline) ||
                !request->Write(text.data(), text.size(), written)) {
                return "o envio não terminou";
            }
            text.remove_prefix(written);
        }
        std::uint32_t status = 0;
        if (!WithinDeadline(*request, deadline) || !request->ReceiveResponse() ||
            !request->Status(status)) {
            return kNoAnswer;
        }
        if (status >= 200 && status <= 299) {
            return std::nullopt;
        }
        std::string answer;
        try {
            answer = protocolos::ReadResponseBody(*request, kMostAnswerBytes, deadline);
        } catch (const std::exception&) {
            // The status says enough.
        }
        const std::string said = FirstLine(answer);
        return "resposta HTTP " + std::to_string(status) + (said.empty() ? "" : ": " + said);
    } catch (const std::exception& failure) {
        return failure.what();
    }
}

bool ExportRun(const MetricsExport& options, const RunMetrics& metrics) {
    if (options.file.empty() && !options.pushgateway) {
        return true;
    }
    const std::string text = PrometheusText(metrics);
    bool exported = true;
    if (!options.file.empty() && !modulos::medicao::ReplaceFileContents(
                                     std::filesystem::path(Utf8ToWide(options.file)), text)) {
        std::fprintf(stderr, "velmora-cli: não foi possível escrever o arquivo de métricas %s\n",
                     options.file.c_str());
        exported = false;
    }
    if (options.pushgateway) {
        const std::string host = HostName();
        const std::string instance =
            !options.instance.empty() ? options.instance : (host.empty() ? kJob : host);
        const std::optional<std::string> failure = PushMetrics(
            *options.pushgateway, PushgatewayGroupPath(*options.pushgateway, instance), text);
        if (failure) {
            const PushgatewayUrl& url = *options.pushgateway;
            const bool v6 = url.host.find(':') != std::string::npos;
            const std::string where = std::string(url.secure ? "https://" : "http://") +
                                      (v6 ? "[" + url.host + "]" : url.host) + ":" +
                                      std::to_string(url.port) + url.basePath;
            std::fprintf(stderr, "velmora-cli: as métricas não chegaram ao Pushgateway %s (%s)\n",
                         where.c_str(), failure->c_str());
            exported = false;
        }
    }
    return exported;
}

}  // namespace velmora::cli
