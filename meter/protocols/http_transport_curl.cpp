// libcurl behind the HTTP layer. WinHTTP's calls are synchronous and pull-driven (send, receive
// the head, ask what is available, read); libcurl's multi interface is driven here step by step
// to behave the same way: each call runs the transfer only until what it waits for has happened,
// and body bytes go straight into the caller's buffer when a read is waiting for them.
// Proxy: libcurl's own reading of http_proxy / https_proxy / no_proxy from the environment.
// What the socket under a connection tells is in http_transport_curl_socket.cpp.

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

#include "common/text.h"
#include "protocols/http_transport_curl.h"

namespace velmora::modulos::medicao::protocolos {
namespace curl_back_end {
namespace {

// Body bytes held back when no read is waiting; past this the transfer pauses. One receive
// buffer's worth: a reader that takes kDownloadBufferBytes at a time finds it waiting, and eight
// streams at a gigabit held a megabyte each (and twice that reserved) with no gain in speed.
constexpr long kReceiveBufferBytes = 256 * 1024;
constexpr std::size_t kHighWater = kReceiveBufferBytes;
constexpr long kMostRedirects = 10;
// The longest a body write runs before handing back what was taken so far.
constexpr auto kWriteSlice = std::chrono::milliseconds(50);

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
    const HttpTimeouts& limits = request.connection->timeouts;
    if (lookedUp == 0) {
        return elapsed > std::chrono::microseconds(limits.resolve).count();
    }
    return connected == 0 && elapsed - lookedUp > std::chrono::microseconds(limits.connect).count();
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
        } else if (Clock::now() - lastMove > request.connection->timeouts.receive) {
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

struct Session final : HttpSession {
    explicit Session(const HttpTimeouts& limits) : timeouts(limits) {}
    HttpTimeouts timeouts;

    std::unique_ptr<HttpConnection> Connect(const std::wstring& host, std::uint16_t port) override {
        if (host.empty()) {
            return nullptr;
        }
        auto connection = std::make_unique<Connection>();
        connection->host = WideToUtf8(host);
        connection->port = port;
        connection->timeouts = timeouts;
        connection->multi = curl_multi_init();
        connection->easy = curl_easy_init();
        if (connection->multi == nullptr || connection->easy == nullptr) {
            return nullptr;
        }
        return connection;
    }
};

}  // namespace

Connection::~Connection() {
    if (easy != nullptr) {
        curl_easy_cleanup(easy);
    }
    if (multi != nullptr) {
        curl_multi_cleanup(multi);
    }
}

std::unique_ptr<HttpRequest> Connection::OpenRequest(const wchar_t* verbName,
                                                     const std::wstring& path, bool secure) {
    if (active != nullptr) {
        return nullptr;
    }
    auto request = std::make_unique<Request>();
    request->connection = this;
    request->verb = WideToUtf8(verbName);
    // An IPv6 address is named in brackets in a URL (WinHTTP takes it bare, as the layer does).
    const bool v6 = host.find(':') != std::string::npos && !host.starts_with('[');
    request->url = (secure ? "https://" : "http://") + (v6 ? "[" + host + "]" : host) + ":" +
                   std::to_string(port) + WideToUtf8(path);
    active = request.get();
    return request;
}

Request::~Request() {
    if (added) {
        curl_multi_remove_handle(connection->multi, connection->easy);
    }
    if (connection != nullptr && connection->active == this) {
        connection->active = nullptr;
    }
    curl_slist_free_all(headers);
}

void Request::Abort() noexcept {
    aborted.store(true);
    // Ends a poll in progress now rather than at its next 100 ms turn.
    curl_multi_wakeup(connection->multi);
}

bool Request::Send(std::wstring_view extraHeaders, std::uint32_t totalLength) {
    CURL* easy = connection->easy;
    // Options go, live connections stay: the next request reuses the open connection.
    curl_easy_reset(easy);
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_USERAGENT, WideToUtf8(kUserAgent).c_str());
    // The outer bound; each of the two stages is held to its own limit while driving.
    curl_easy_setopt(
        easy, CURLOPT_CONNECTTIMEOUT_MS,
        static_cast<long>((connection->timeouts.resolve + connection->timeouts.connect).count()));
    // WinHTTP's defaults: follow up to 10 redirects, never from HTTPS down to HTTP.
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(easy, CURLOPT_MAXREDIRS, kMostRedirects);
    curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR,
                     url.starts_with("https:") ? "https" : "http,https");
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1);
    curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, kReceiveBufferBytes);
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &OnHeader);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &OnBody);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(easy, CURLOPT_OPENSOCKETFUNCTION, &OnOpenSocket);
    curl_easy_setopt(easy, CURLOPT_OPENSOCKETDATA, connection);
    curl_easy_setopt(easy, CURLOPT_CLOSESOCKETFUNCTION, &OnCloseSocket);
    curl_easy_setopt(easy, CURLOPT_CLOSESOCKETDATA, connection);

    std::size_t start = 0;
    const std::string lines = WideToUtf8(extraHeaders);
    while (start < lines.size()) {
        std::size_t end = lines.find("\r\n", start);
        if (end == std::string::npos) {
            end = lines.size();
        }
        if (end > start) {
            headers = curl_slist_append(headers, lines.substr(start, end - start).c_str());
        }
        start = end + 2;
    }
    if (verb == "GET") {
        curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
    } else {
        curl_easy_setopt(easy, CURLOPT_POST, 1L);
        curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(totalLength));
        curl_easy_setopt(easy, CURLOPT_READFUNCTION, &OnUpload);
        curl_easy_setopt(easy, CURLOPT_READDATA, this);
        if (verb != "POST") {
            curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, verb.c_str());
        }
        // WinHTTP never waits for "100 Continue" before a body; neither do we.
        headers = curl_slist_append(headers, "Expect:");
    }
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);

    if (curl_multi_add_handle(connection->multi, easy) != CURLM_OK) {
        return false;
    }
    added = true;
    // Sent once the connection is up and the request goes out; a dead server fails here.
    sendingSince = Clock::now();
    const bool sent = Drive(*this, [&] {
        curl_off_t pretransfer = 0;
        curl_easy_getinfo(easy, CURLINFO_PRETRANSFER_TIME_T, &pretransfer);
        return pretransfer > 0 || pieceTaken > 0 || readPaused || headDone ||
               (done && result == CURLE_OK);
    });
    sendingSince.reset();
    lastTake = Clock::now();
    return sent;
}

bool Request::Write(const char* data, std::size_t size, std::size_t& written) {
    written = 0;
    piece = data;
    pieceSize = size;
    pieceTaken = 0;
    if (readPaused) {
        readPaused = false;
        curl_easy_pause(connection->easy, CURLPAUSE_CONT);
    }
    const auto started = Clock::now();
    const bool ok = Drive(
        *this, [&] { return pieceTaken == pieceSize || Clock::now() - started >= kWriteSlice; });
    written = pieceTaken;
    piece = nullptr;
    pieceSize = pieceTaken = 0;
    const auto now = Clock::now();
    if (written > 0) {
        lastTake = now;
    } else if (now - lastTake > connection->timeouts.send) {
        return false;
    }
    return ok;
}

bool Request::ReceiveResponse() {
    return Drive(*this, [&] { return headDone; });
}

bool Request::Status(std::uint32_t& status) {
    long code = 0;
    if (!headDone ||
        curl_easy_getinfo(connection->easy, CURLINFO_RESPONSE_CODE, &code) != CURLE_OK) {
        return false;
    }
    status = static_cast<std::uint32_t>(code);
    return true;
}

bool Request::ContentLength(std::uint64_t& length) {
    curl_off_t value = -1;
    curl_easy_getinfo(connection->easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &value);
    if (value < 0) {
        return false;
    }
    length = static_cast<std::uint64_t>(value);
    return true;
}

bool Request::DataAvailable(std::size_t& available) {
    available = 0;
    ResumeBody(*this);
    if (Held() == 0 && !Drive(*this, [&] { return Held() > 0; })) {
        // Nothing more will come: the end of the body, or a failure.
        return done && result == CURLE_OK;
    }
    available = Held();
    return true;
}

bool Request::Read(char* buffer, std::size_t size, std::size_t& read) {
    read = 0;
    if (size == 0) {
        return true;
    }
    if (Held() > 0) {
        read = std::min(size, Held());
        std::memcpy(buffer, held.data() + heldOffset, read);
        heldOffset += read;
        ResumeBody(*this);
        return true;
    }
    target = buffer;
    targetSize = size;
    targetFilled = 0;
    ResumeBody(*this);
    const bool arrived = Drive(*this, [&] { return targetFilled > 0; });
    read = targetFilled;
    target = nullptr;
    targetSize = targetFilled = 0;
    return arrived || (done && result == CURLE_OK);
}

}  // namespace curl_back_end

std::unique_ptr<HttpSession> OpenHttpSession(const char* failureText,
                                             const HttpTimeouts& timeouts) {
    static const CURLcode init = curl_global_init(CURL_GLOBAL_DEFAULT);
    if (init != CURLE_OK) {
        throw std::runtime_error(failureText);
    }
    return std::make_unique<curl_back_end::Session>(timeouts);
}

}  // namespace velmora::modulos::medicao::protocolos
