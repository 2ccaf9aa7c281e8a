#pragma once

// The HTTP layer under every exchange of the meter: a session with the program's user agent and
// time-outs, connections to host:port that are reused across requests, and synchronous requests
// that send a body in pieces and read a response body in pieces. WinHTTP stands behind it on
// Windows and libcurl elsewhere; everything above this header is written once.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/text.h"
#include "common/unique_handle.h"

namespace velmora::modulos::medicao::protocolos {

inline constexpr wchar_t kUserAgent[] = L"VELMORA/2.0";
inline constexpr int kResolveTimeoutMs = 7000;
inline constexpr int kConnectTimeoutMs = 7000;
inline constexpr int kSendTimeoutMs = 20000;
inline constexpr int kReceiveTimeoutMs = 20000;

// Where a service is reached: the built-in hosts are defaults; tests point them at loopback.
struct HttpEndpoint {
    std::wstring host;
    std::uint16_t port = 80;
    bool secure = false;
};

// Largest body HttpGet accepts: far above any identification answer, far below what could
// exhaust memory if a hostile server streams without end.
inline constexpr std::size_t kMaxOneShotBodyBytes = 4 * 1024 * 1024;

struct HttpHandleTraits {
    using Type = void*;
    static constexpr Type Invalid() noexcept { return nullptr; }
    static void Close(Type handle) noexcept;
};
// Owns a session, connection or request handle; closes it exactly once.
using HttpHandle = UniqueHandle<HttpHandleTraits>;

// Session with the user agent, the system's proxy setting and the four time-outs. Throws
// std::runtime_error(failureText) when it cannot be opened.
HttpHandle OpenHttpSession(const char* failureText);

// Connection object for host:port. Touches no network: an unreachable server shows up when a
// request is sent. Empty on failure.
HttpHandle HttpConnect(const HttpHandle& session, const std::wstring& host, std::uint16_t port);

// Request for verb and path (with query); TLS when secure. Empty on failure.
HttpHandle HttpOpenRequest(const HttpHandle& connection, const wchar_t* verb,
                           const std::wstring& path, bool secure);

// Sends the request line and headers (plus `extraHeaders`, CRLF-terminated lines, may be empty),
// declaring `totalLength` body bytes to follow through HttpWriteData.
bool HttpSendRequest(const HttpHandle& request, std::wstring_view extraHeaders,
                     std::uint32_t totalLength);

// Writes body bytes; `written` is how many the transport accepted.
bool HttpWriteData(const HttpHandle& request, const char* data, std::size_t size,
                   std::size_t& written);

// Waits for the response head.
bool HttpReceiveResponse(const HttpHandle& request);

bool HttpQueryStatus(const HttpHandle& request, std::uint32_t& status);

// The length the response announced; false when it announced none.
bool HttpQueryContentLength(const HttpHandle& request, std::uint64_t& length);

// Body bytes that can be read now without waiting past the next arrival; 0 at the end.
bool HttpQueryDataAvailable(const HttpHandle& request, std::size_t& available);

// Reads up to `size` body bytes; `read` is 0 at the end of the body.
bool HttpReadData(const HttpHandle& request, char* buffer, std::size_t size, std::size_t& read);

// The whole body of the request, read piece by piece as it becomes available. Throws
// "Falha ao consultar dados HTTP." or "Falha ao ler dados HTTP."; also the latter when the body
// grows past maxBytes.
std::string ReadResponseBody(const HttpHandle& request, std::size_t maxBytes = SIZE_MAX);

// One-shot GET that returns the body of a 2xx answer; throws a runtime error with a Portuguese
// text on any failure, including "Resposta HTTP inválida." for any other status.
std::string HttpGet(const std::wstring& host, std::uint16_t port, const std::wstring& path,
                    bool secure);

using velmora::Utf8ToWide;

// Removes CR, LF, space and tab from both ends.
std::wstring TrimWhitespace(const std::wstring& text);

// Lines split at CR or LF, each trimmed; empty lines are dropped.
std::vector<std::wstring> SplitTrimmedLines(const std::wstring& text);

}  // namespace velmora::modulos::medicao::protocolos
