// libcurl behind the HTTP layer. WinHTTP's calls are synchronous and pull-driven (send, receive
// the head, ask what is available, read); libcurl's multi interface is driven here step by step
// to behave the same way: each call runs the transfer only until what it waits for has happened,
// and body bytes go straight into the caller's buffer when a read is waiting for them.
// Proxy: libcurl's own reading of http_proxy / https_proxy / no_proxy from the environment.

#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <stdexcept>
#include <vector>

#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/sockios.h>
#include <linux/tcp.h>  // the whole tcp_info: the send and retransmission byte counts
#include <netinet/in.h>
#include <sys/ioctl.h>
#endif

#include "common/text.h"
#include "protocols/http_transport.h"
#include "protocols/proxy_environment.h"

namespace velmora::modulos::medicao::protocolos {
namespace {

using Clock = std::chrono::steady_clock;

// Body bytes held back when no read is waiting; past this the transfer pauses.
constexpr std::size_t kHighWater = 1 << 20;
constexpr long kReceiveBufferBytes = 256 * 1024;
constexpr long kMostRedirects = 10;
// The longest a body write runs before handing back what was taken so far.
constexpr auto kWriteSlice = std::chrono::milliseconds(50);

struct CurlObject {
    virtual ~CurlObject() = default;
};

struct Session final : CurlObject {};

struct Request;

struct Connection final : CurlObject {
    std::string host;
    std::uint16_t port = 0;
    CURLM* multi = nullptr;
    CURL* easy = nullptr;
    Request* active = nullptr;
    // The sockets libcurl has open for this connection, seen as it opens and closes them:
    // libcurl names its socket only once a transfer has ended, and the upload asks while its
    // body is being sent. Two are open only while a connect races over two addresses.
    std::vector<curl_socket_t> sockets;

    ~Connection() override {
        if (easy != nullptr) {
            curl_easy_cleanup(easy);
        }
        if (multi != nullptr) {
            curl_multi_cleanup(multi);
        }
    }
};

struct Request final : CurlObject {
    Connection* connection = nullptr;
    std::string url;
    std::string verb;
    curl_slist* headers = nullptr;
    bool added = false;

    // Upload: the piece handed over by HttpWriteData and how much of it curl has taken.
    const char* piece = nullptr;
    std::size_t pieceSize = 0;
    std::size_t pieceTaken = 0;
    bool readPaused = false;
    Clock::time_point lastTake;  // a body that takes nothing for the send time-out has failed

    // Download: the waiting reader's buffer, and what arrived while no reader was waiting.
    char* target = nullptr;
    std::size_t targetSize = 0;
    std::size_t targetFilled = 0;
    std::string held;
    std::size_t heldOffset = 0;
    bool writePaused = false;

    bool headDone = false;
    bool sawLocation = false;  // in the head being read
    bool done = false;
    std::atomic<bool> aborted{false};          // set from another thread by HttpAbortRequest
    std::optional<Clock::duration> callLimit;  // HttpLimitCalls: the longest one call may run
    // While the request is being sent: since when, to bound the name lookup and the connect
    // separately, as WinHTTP does.
    std::optional<Clock::time_point> sendingSince;
    CURLcode result = CURLE_OK;
    std::uint64_t progress = 0;  // grows with every byte moved in either direction

    ~Request() override {
        if (added) {
            curl_multi_remove_handle(connection->multi, connection->easy);
        }
        if (connection != nullptr && connection->active == this) {
            connection->active = nullptr;
        }
        curl_slist_free_all(headers);
    }

    std::size_t Held() const { return held.size() - heldOffset; }
};

Request* AsRequest(const HttpHandle& handle) {
    return static_cast<Request*>(handle.get());
}

std::size_t OnHeader(char* data, std::size_t size, std::size_t count, void* user) {
    auto* request = static_cast<Request*>(user);
    const std::size_t n = size * count;
    ++request->progress;
    if (n <= 2 && (n == 0 || data[0] == '\r' || data[0] == '\n')) {
        // End of a head. An interim 1xx head is followed by the real one, and so is a 3xx with
        // a target, which libcurl follows (or fails on, past the hops or down to HTTP).
        long code = 0;
        curl_easy_getinfo(request->connection->easy, CURLINFO_RESPONSE_CODE, &code);
        const bool followed = code >= 300 && code <= 399 && request->sawLocation;
        request->headDone = code >= 200 && !followed;
        request->sawLocation = false;
    } else if (n > 9 && strncasecmp(data, "location:", 9) == 0) {
        request->sawLocation = true;
    }
    return n;
}

std::size_t OnBody(char* data, std::size_t size, std::size_t count, void* user) {
    auto* request = static_cast<Request*>(user);
    std::size_t n = size * count;
    if (request->Held() >= kHighWater) {
        request->writePaused = true;
        return CURL_WRITEFUNC_PAUSE;
    }
    request->progress += n;
    if (request->target != nullptr && request->targetFilled < request->targetSize) {
        const std::size_t direct = std::min(n, request->targetSize - request->targetFilled);
        std::memcpy(request->target + request->targetFilled, data, direct);
        request->targetFilled += direct;
        data += direct;
        n -= direct;
    }
    if (n > 0) {
        if (request->heldOffset == request->held.size()) {
            request->held.clear();
            request->heldOffset = 0;
        }
        request->held.append(data, n);
    }
    return size * count;
}

std::size_t OnUpload(char* buffer, std::size_t size, std::size_t count, void* user) {
    auto* request = static_cast<Request*>(user);
    const std::size_t left = request->pieceSize - request->pieceTaken;
    if (left == 0) {
        request->readPaused = true;
        return CURL_READFUNC_PAUSE;
    }
    const std::size_t n = std::min(left, size * count);
    std::memcpy(buffer, request->piece + request->pieceTaken, n);
    request->pieceTaken += n;
    request->progress += n;
    return n;
}

curl_socket_t OnOpenSocket(void* user, curlsocktype, curl_sockaddr* address) {
    const curl_socket_t socket = ::socket(address->family, address->socktype, address->protocol);
    if (socket != CURL_SOCKET_BAD) {
        static_cast<Connection*>(user)->sockets.push_back(socket);
    }
    return socket;
}

int OnCloseSocket(void* user, curl_socket_t socket) {
    std::erase(static_cast<Connection*>(user)->sockets, socket);
    return ::close(socket);
}

// libcurl has one limit for name lookup and connect together; WinHTTP gives each its own. True
// once either has run past its own limit.
bool LookupOrConnectTooLong(const Request& request) {
    if (!request.sendingSince) {
        return false;
    }
    CURL* easy = request.connection->easy;
    curl_off_t lookedUp = 0;
    curl_off_t connected = 0;
    curl_easy_getinfo(easy, CURLINFO_NAMELOOKUP_TIME_T, &lookedUp);
    curl_easy_getinfo(easy, CURLINFO_CONNECT_TIME_T, &connected);
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - *request.sendingSince)
            .count();
    if (lookedUp == 0) {
        return elapsed > kResolveTimeoutMs * 1000LL;
    }
    return connected == 0 && elapsed - lookedUp > kConnectTimeoutMs * 1000LL;
}

// Runs the transfer until `reached` holds, the transfer ends, the request is aborted, the call
// has run past its limit, or nothing moved for the send/receive time-out. True when `reached`
// holds.
template <typename Predicate>
bool Drive(Request& request, Predicate reached) {
    CURLM* multi = request.connection->multi;
    auto lastProgress = request.progress;
    const auto started = Clock::now();
    auto lastMove = started;
    for (;;) {
        if (request.aborted.load() || LookupOrConnectTooLong(request) ||
            (request.callLimit && Clock::now() - started > *request.callLimit)) {
            return false;
        }
        int running = 0;
        if (curl_multi_perform(multi, &running) != CURLM_OK) {
            return false;
        }
        int queued = 0;
        while (CURLMsg* message = curl_multi_info_read(multi, &queued)) {
            if (message->msg == CURLMSG_DONE) {
                request.done = true;
                request.result = message->data.result;
            }
        }
        if (reached()) {
            return true;
        }
        if (request.done) {
            return false;
        }
        if (request.progress != lastProgress) {
            lastProgress = request.progress;
            lastMove = Clock::now();
        } else if (Clock::now() - lastMove > std::chrono::milliseconds(kReceiveTimeoutMs)) {
            return false;
        }
        curl_multi_poll(multi, nullptr, 0, 100, nullptr);
    }
}

void ResumeBody(Request& request) {
    if (request.writePaused && request.Held() < kHighWater) {
        request.writePaused = false;
        curl_easy_pause(request.connection->easy, CURLPAUSE_CONT);
    }
}

}  // namespace

void HttpHandleTraits::Close(Type handle) noexcept {
    delete static_cast<CurlObject*>(handle);
}

void HttpAbortRequest(HttpHandleTraits::Type handle) noexcept {
    auto* request = static_cast<Request*>(handle);
    request->aborted.store(true);
    // Ends a poll in progress now rather than at its next 100 ms turn.
    curl_multi_wakeup(request->connection->multi);
}

void HttpLimitCalls(const HttpHandle& request, std::chrono::milliseconds limit) noexcept {
    AsRequest(request)->callLimit = limit;
}

HttpHandle OpenHttpSession(const char* failureText) {
    static const CURLcode init = curl_global_init(CURL_GLOBAL_DEFAULT);
    if (init != CURLE_OK) {
        throw std::runtime_error(failureText);
    }
    return HttpHandle(new Session);
}

HttpHandle HttpConnect(const HttpHandle& session, const std::wstring& host, std::uint16_t port) {
    if (!session || host.empty()) {
        return HttpHandle();
    }
    auto connection = std::make_unique<Connection>();
    connection->host = WideToUtf8(host);
    connection->port = port;
    connection->multi = curl_multi_init();
    connection->easy = curl_easy_init();
    if (connection->multi == nullptr || connection->easy == nullptr) {
        return HttpHandle();
    }
    return HttpHandle(connection.release());
}

HttpHandle HttpOpenRequest(const HttpHandle& connectionHandle, const wchar_t* verb,
                           const std::wstring& path, bool secure) {
    auto* connection = static_cast<Connection*>(connectionHandle.get());
    if (connection == nullptr || connection->active != nullptr) {
        return HttpHandle();
    }
    auto request = std::make_unique<Request>();
    request->connection = connection;
    request->verb = WideToUtf8(verb);
    request->url = (secure ? "https://" : "http://") + connection->host + ":" +
                   std::to_string(connection->port) + WideToUtf8(path);
    connection->active = request.get();
    return HttpHandle(request.release());
}

bool HttpSendRequest(const HttpHandle& handle, std::wstring_view extraHeaders,
                     std::uint32_t totalLength) {
    Request* request = AsRequest(handle);
    CURL* easy = request->connection->easy;
    // Options go, live connections stay: the next request reuses the open connection.
    curl_easy_reset(easy);
    curl_easy_setopt(easy, CURLOPT_URL, request->url.c_str());
    curl_easy_setopt(easy, CURLOPT_USERAGENT, WideToUtf8(kUserAgent).c_str());
    // The outer bound; each of the two stages is held to its own limit while driving.
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS,
                     static_cast<long>(kResolveTimeoutMs + kConnectTimeoutMs));
    // WinHTTP's defaults: follow up to 10 redirects, never from HTTPS down to HTTP.
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(easy, CURLOPT_MAXREDIRS, kMostRedirects);
    curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR,
                     request->url.starts_with("https:") ? "https" : "http,https");
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1);
    curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, kReceiveBufferBytes);
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &OnHeader);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, request);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &OnBody);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, request);
    curl_easy_setopt(easy, CURLOPT_OPENSOCKETFUNCTION, &OnOpenSocket);
    curl_easy_setopt(easy, CURLOPT_OPENSOCKETDATA, request->connection);
    curl_easy_setopt(easy, CURLOPT_CLOSESOCKETFUNCTION, &OnCloseSocket);
    curl_easy_setopt(easy, CURLOPT_CLOSESOCKETDATA, request->connection);

    std::size_t start = 0;
    const std::string headers = WideToUtf8(extraHeaders);
    while (start < headers.size()) {
        std::size_t end = headers.find("\r\n", start);
        if (end == std::string::npos) {
            end = headers.size();
        }
        if (end > start) {
            request->headers =
                curl_slist_append(request->headers, headers.substr(start, end - start).c_str());
        }
        start = end + 2;
    }
    if (request->verb == "GET") {
        curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
    } else {
        curl_easy_setopt(easy, CURLOPT_POST, 1L);
        curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(totalLength));
        curl_easy_setopt(easy, CURLOPT_READFUNCTION, &OnUpload);
        curl_easy_setopt(easy, CURLOPT_READDATA, request);
        if (request->verb != "POST") {
            curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, request->verb.c_str());
        }
        // WinHTTP never waits for "100 Continue" before a body; neither do we.
        request->headers = curl_slist_append(request->headers, "Expect:");
    }
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, request->headers);

    if (curl_multi_add_handle(request->connection->multi, easy) != CURLM_OK) {
        return false;
    }
    request->added = true;
    // Sent once the connection is up and the request goes out; a dead server fails here.
    request->sendingSince = Clock::now();
    const bool sent = Drive(*request, [&] {
        curl_off_t pretransfer = 0;
        curl_easy_getinfo(easy, CURLINFO_PRETRANSFER_TIME_T, &pretransfer);
        return pretransfer > 0 || request->pieceTaken > 0 || request->readPaused ||
               request->headDone || (request->done && request->result == CURLE_OK);
    });
    request->sendingSince.reset();
    request->lastTake = Clock::now();
    return sent;
}

bool HttpWriteData(const HttpHandle& handle, const char* data, std::size_t size,
                   std::size_t& written) {
    Request* request = AsRequest(handle);
    written = 0;
    request->piece = data;
    request->pieceSize = size;
    request->pieceTaken = 0;
    if (request->readPaused) {
        request->readPaused = false;
        curl_easy_pause(request->connection->easy, CURLPAUSE_CONT);
    }
    const auto started = Clock::now();
    const bool ok = Drive(*request, [&] {
        return request->pieceTaken == request->pieceSize || Clock::now() - started >= kWriteSlice;
    });
    written = request->pieceTaken;
    request->piece = nullptr;
    request->pieceSize = request->pieceTaken = 0;
    const auto now = Clock::now();
    if (written > 0) {
        request->lastTake = now;
    } else if (now - request->lastTake > std::chrono::milliseconds(kSendTimeoutMs)) {
        return false;
    }
    return ok;
}

bool HttpBytesNotReceived(const HttpHandle& handle, std::size_t& bytes) {
#ifdef __linux__
    const std::vector<curl_socket_t>& sockets = AsRequest(handle)->connection->sockets;
    int queued = 0;
    if (sockets.size() != 1 || ioctl(sockets.front(), SIOCOUTQ, &queued) != 0 || queued < 0) {
        return false;
    }
    // After a loss the peer holds the segments past the gap but acknowledges none of them until
    // the retransmission fills it; its selective acknowledgements say what it holds. Without
    // them a slow link's count stalls for a second or more and then jumps.
    tcp_info info{};
    socklen_t size = sizeof info;
    std::size_t held = 0;
    if (getsockopt(sockets.front(), IPPROTO_TCP, TCP_INFO, &info, &size) == 0) {
        held = static_cast<std::size_t>(info.tcpi_sacked) * info.tcpi_snd_mss;
    }
    bytes = static_cast<std::size_t>(queued) - std::min(held, static_cast<std::size_t>(queued));
    return true;
#else
    (void)handle;
    bytes = 0;
    return false;
#endif
}

bool HttpSendStatistics(const HttpHandle& handle, TcpSendStats& stats) {
#ifdef __linux__
    const std::vector<curl_socket_t>& sockets = AsRequest(handle)->connection->sockets;
    tcp_info info{};
    socklen_t size = sizeof info;
    if (sockets.size() != 1 ||
        getsockopt(sockets.front(), IPPROTO_TCP, TCP_INFO, &info, &size) != 0 ||
        size < offsetof(tcp_info, tcpi_bytes_retrans) + sizeof info.tcpi_bytes_retrans) {
        return false;
    }
    stats.bytesOut = info.tcpi_bytes_sent;
    stats.bytesRetrans = info.tcpi_bytes_retrans;
    stats.bytesInFlight = static_cast<std::uint64_t>(info.tcpi_unacked) * info.tcpi_snd_mss;
    return true;
#else
    (void)handle;
    (void)stats;
    return false;
#endif
}

// The peer libcurl connected to; whether that is a proxy, by libcurl's own reading of the
// environment (this libcurl does not report the proxy it used).
bool HttpRouteOf(const HttpHandle& handle, HttpRoute& route) noexcept {
    const Request* request = AsRequest(handle);
    char* peer = nullptr;
    if (curl_easy_getinfo(request->connection->easy, CURLINFO_PRIMARY_IP, &peer) != CURLE_OK ||
        peer == nullptr || *peer == '\0') {
        return false;
    }
    route.family = std::strchr(peer, ':') != nullptr ? 6 : 4;
    try {
        const std::string_view url = request->url;
        route.viaProxy =
            ProxyFromEnvironment(url.substr(0, url.find(':')), request->connection->host,
                                 [](const char* name) { return std::getenv(name); });
    } catch (...) {
        route.viaProxy = false;
    }
    return true;
}

bool HttpReceiveResponse(const HttpHandle& handle) {
    Request* request = AsRequest(handle);
    return Drive(*request, [&] { return request->headDone; });
}

bool HttpQueryStatus(const HttpHandle& handle, std::uint32_t& status) {
    Request* request = AsRequest(handle);
    long code = 0;
    if (!request->headDone ||
        curl_easy_getinfo(request->connection->easy, CURLINFO_RESPONSE_CODE, &code) != CURLE_OK) {
        return false;
    }
    status = static_cast<std::uint32_t>(code);
    return true;
}

bool HttpQueryContentLength(const HttpHandle& handle, std::uint64_t& length) {
    curl_off_t value = -1;
    curl_easy_getinfo(AsRequest(handle)->connection->easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T,
                      &value);
    if (value < 0) {
        return false;
    }
    length = static_cast<std::uint64_t>(value);
    return true;
}

bool HttpQueryDataAvailable(const HttpHandle& handle, std::size_t& available) {
    Request* request = AsRequest(handle);
    available = 0;
    ResumeBody(*request);
    if (request->Held() == 0 && !Drive(*request, [&] { return request->Held() > 0; })) {
        // Nothing more will come: the end of the body, or a failure.
        return request->done && request->result == CURLE_OK;
    }
    available = request->Held();
    return true;
}

bool HttpReadData(const HttpHandle& handle, char* buffer, std::size_t size, std::size_t& read) {
    Request* request = AsRequest(handle);
    read = 0;
    if (size == 0) {
        return true;
    }
    if (request->Held() > 0) {
        read = std::min(size, request->Held());
        std::memcpy(buffer, request->held.data() + request->heldOffset, read);
        request->heldOffset += read;
        ResumeBody(*request);
        return true;
    }
    request->target = buffer;
    request->targetSize = size;
    request->targetFilled = 0;
    ResumeBody(*request);
    const bool arrived = Drive(*request, [&] { return request->targetFilled > 0; });
    read = request->targetFilled;
    request->target = nullptr;
    request->targetSize = request->targetFilled = 0;
    return arrived || (request->done && request->result == CURLE_OK);
}

}  // namespace velmora::modulos::medicao::protocolos
