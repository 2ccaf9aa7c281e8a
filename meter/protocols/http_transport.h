#pragma once

// The HTTP transport: a session with the program's user agent and time-outs, connections to
// host:port that are reused across requests, and synchronous requests that send a body in
// pieces and read a response body in pieces. http_transport_winhttp.cpp implements it on
// Windows and http_transport_curl.cpp elsewhere; everything above this header is written once.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/unique_handle.h"
#include "protocols/upload_pacing.h"

namespace velmora::modulos::medicao::protocolos {

inline constexpr wchar_t kUserAgent[] = L"VELMORA/2.0";
inline constexpr int kResolveTimeoutMs = 7000;
inline constexpr int kConnectTimeoutMs = 7000;
inline constexpr int kSendTimeoutMs = 20000;
inline constexpr int kReceiveTimeoutMs = 20000;

struct HttpHandleTraits {
    using Type = void*;
    static constexpr Type Invalid() noexcept { return nullptr; }
    static void Close(Type handle) noexcept;
};
// Owns a session, connection or request handle; closes it exactly once.
using HttpHandle = UniqueHandle<HttpHandleTraits>;

// Session with the user agent, the system's proxy setting and the four time-outs. Redirects are
// WinHTTP's default on both back ends: followed, at most 10 hops, never from HTTPS to HTTP.
// Throws std::runtime_error(failureText) when it cannot be opened.
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

// Writes body bytes; `written` is how many the transport accepted. May return early with part
// of them taken (even none, while the link is busy), so that the caller gets to count what was
// acknowledged at least every few tens of milliseconds.
bool HttpWriteData(const HttpHandle& request, const char* data, std::size_t size,
                   std::size_t& written);

// Bytes the transport has taken on the request's connection that the peer has not received yet
// (still queued on this machine or in flight); false when the back end cannot tell.
bool HttpBytesNotReceived(const HttpHandle& request, std::size_t& bytes);

// The TCP send counters of the request's connection, where the back end reports them (WinHTTP
// on Windows 10 1809 and later); false otherwise.
bool HttpSendStatistics(const HttpHandle& request, TcpSendStats& stats);

// The route a request's connection took: the peer's address family (4 or 6) and whether the
// peer is a proxy rather than the server.
struct HttpRoute {
    int family = 0;
    bool viaProxy = false;
};

// The route of a request whose head has arrived; false when the back end cannot tell.
bool HttpRouteOf(const HttpHandle& request, HttpRoute& route) noexcept;

// Waits for the response head.
bool HttpReceiveResponse(const HttpHandle& request);

bool HttpQueryStatus(const HttpHandle& request, std::uint32_t& status);

// The length the response announced; false when it announced none.
bool HttpQueryContentLength(const HttpHandle& request, std::uint64_t& length);

// Body bytes that can be read now without waiting past the next arrival; 0 at the end.
bool HttpQueryDataAvailable(const HttpHandle& request, std::size_t& available);

// Reads up to `size` body bytes; `read` is 0 at the end of the body.
bool HttpReadData(const HttpHandle& request, char* buffer, std::size_t size, std::size_t& read);

// Holds each later call on `request` to at most `limit` (never more than the session's own
// time-outs): how a one-shot GET keeps its deadline on both back ends.
void HttpLimitCalls(const HttpHandle& request, std::chrono::milliseconds limit) noexcept;

// What each back end does for HttpAbortOnStop: end the request's calls from another thread.
void HttpAbortRequest(HttpHandleTraits::Type request) noexcept;

}  // namespace velmora::modulos::medicao::protocolos
