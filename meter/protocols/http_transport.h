#pragma once

// The HTTP transport: a session with the program's user agent and time-outs, connections to
// host:port that are reused across requests, and synchronous requests that send a body in
// pieces and read a response body in pieces. Each back end is one file with one factory,
// OpenHttpSession (http_transport_winhttp.cpp on Windows, http_transport_curl.cpp elsewhere);
// everything above this header is written once. A request must not outlive its connection, nor
// a connection its session.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace velmora::modulos::medicao::protocolos {

inline constexpr wchar_t kUserAgent[] = L"VELMORA/2.0";
inline constexpr int kResolveTimeoutMs = 7000;
inline constexpr int kConnectTimeoutMs = 7000;
inline constexpr int kSendTimeoutMs = 20000;
inline constexpr int kReceiveTimeoutMs = 20000;

// A session's four time-outs, the built-in ones unless a test shortens them (so that a server
// that stalls costs a test seconds, not the 20 s a user's run allows it).
struct HttpTimeouts {
    std::chrono::milliseconds resolve{kResolveTimeoutMs};
    std::chrono::milliseconds connect{kConnectTimeoutMs};
    std::chrono::milliseconds send{kSendTimeoutMs};
    std::chrono::milliseconds receive{kReceiveTimeoutMs};
};

// A connection's TCP send counters.
struct TcpSendStats {
    std::uint64_t bytesOut = 0;      // every byte sent, retransmissions included
    std::uint64_t bytesRetrans = 0;  // of those, sent again
};

// The route a request's connection took: the peer's address family (4 or 6) and whether the
// peer is a proxy rather than the server.
struct HttpRoute {
    int family = 0;
    bool viaProxy = false;
};

class HttpRequest {
  public:
    virtual ~HttpRequest() = default;

    // Sends the request line and headers (plus `extraHeaders`, CRLF-terminated lines, may be
    // empty), declaring `totalLength` body bytes to follow through Write.
    virtual bool Send(std::wstring_view extraHeaders, std::uint32_t totalLength) = 0;

    // Writes body bytes; `written` is how many the transport accepted. May return early with
    // part of them taken (even none, while the link is busy), so that the caller notices a stop
    // within a few tens of milliseconds.
    virtual bool Write(const char* data, std::size_t size, std::size_t& written) = 0;

    // The connection's TCP send counters, where the back end reports them (WinHTTP on Windows
    // 10 1809 and later, TCP_INFO on Linux); false otherwise.
    virtual bool SendStatistics(TcpSendStats& stats) = 0;

    // The route of a request that has been sent; false when the back end cannot tell.
    virtual bool Route(HttpRoute& route) noexcept = 0;

    // Waits for the response head.
    virtual bool ReceiveResponse() = 0;

    virtual bool Status(std::uint32_t& status) = 0;

    // The length the response announced; false when it announced none.
    virtual bool ContentLength(std::uint64_t& length) = 0;

    // Body bytes that can be read now without waiting past the next arrival; 0 at the end.
    virtual bool DataAvailable(std::size_t& available) = 0;

    // Reads up to `size` body bytes; `read` is 0 at the end of the body.
    virtual bool Read(char* buffer, std::size_t size, std::size_t& read) = 0;

    // Holds each later call to at most `limit` (never more than the session's own time-outs):
    // how a one-shot GET keeps its deadline on both back ends.
    virtual void LimitCalls(std::chrono::milliseconds limit) noexcept = 0;

    // From another thread: makes pending and later calls fail promptly, where the back end can.
    virtual void Abort() noexcept = 0;
};

class HttpConnection {
  public:
    virtual ~HttpConnection() = default;

    // A request for verb and path (with query); TLS when secure. Empty on failure.
    virtual std::unique_ptr<HttpRequest> OpenRequest(const wchar_t* verb, const std::wstring& path,
                                                     bool secure) = 0;
};

class HttpSession {
  public:
    virtual ~HttpSession() = default;

    // A connection to host:port. Touches no network: an unreachable server shows up when a
    // request is sent. Empty on failure.
    virtual std::unique_ptr<HttpConnection> Connect(const std::wstring& host,
                                                    std::uint16_t port) = 0;
};

// The back end's session, with the user agent, the system's proxy setting and the four
// time-outs. Redirects are WinHTTP's default on both back ends: followed, at most 10 hops, never
// from HTTPS to HTTP. Throws std::runtime_error(failureText) when it cannot be opened.
std::unique_ptr<HttpSession> OpenHttpSession(const char* failureText,
                                             const HttpTimeouts& timeouts = {});

// What the speed-test loops give OpenHttpSession: they catch it and try again after their pause,
// so it never reaches the user (the lookups' "Falha ao abrir sessão HTTP." does).
inline constexpr char kSpeedSessionFailure[] = "WinHttpOpen failed";

}  // namespace velmora::modulos::medicao::protocolos
