#pragma once

// The libcurl back end's objects, shared by its two files: the transfer itself
// (http_transport_curl.cpp) and what the socket under it tells (http_transport_curl_socket.cpp).

#include <curl/curl.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "protocols/http_transport.h"

namespace velmora::modulos::medicao::protocolos::curl_back_end {

using Clock = std::chrono::steady_clock;

struct Request;

struct Connection final : HttpConnection {
    std::string host;
    std::uint16_t port = 0;
    HttpTimeouts timeouts;
    CURLM* multi = nullptr;
    CURL* easy = nullptr;
    Request* active = nullptr;
    // The sockets libcurl has open for this connection, seen as it opens and closes them:
    // libcurl names its socket only once a transfer has ended, and the upload asks while its
    // body is being sent. Two are open only while a connect races over two addresses.
    std::vector<curl_socket_t> sockets;

    ~Connection() override;
    std::unique_ptr<HttpRequest> OpenRequest(const wchar_t* verb, const std::wstring& path,
                                             bool secure) override;
};

struct Request final : HttpRequest {
    Connection* connection = nullptr;
    std::string url;
    std::string verb;
    curl_slist* headers = nullptr;
    bool added = false;

    // Upload: the piece handed over by Write and how much of it curl has taken.
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
    std::atomic<bool> aborted{false};          // set from another thread by Abort
    std::optional<Clock::duration> callLimit;  // LimitCalls: the longest one call may run
    // While the request is being sent: since when, to bound the name lookup and the connect
    // separately, as WinHTTP does.
    std::optional<Clock::time_point> sendingSince;
    CURLcode result = CURLE_OK;
    std::uint64_t progress = 0;  // grows with every byte moved in either direction

    ~Request() override;
    std::size_t Held() const { return held.size() - heldOffset; }

    bool Send(std::wstring_view extraHeaders, std::uint32_t totalLength) override;
    bool Write(const char* data, std::size_t size, std::size_t& written) override;
    bool SendStatistics(TcpSendStats& stats) override;
    bool Route(HttpRoute& route) noexcept override;
    bool ReceiveResponse() override;
    bool Status(std::uint32_t& status) override;
    bool ContentLength(std::uint64_t& length) override;
    bool DataAvailable(std::size_t& available) override;
    bool Read(char* buffer, std::size_t size, std::size_t& read) override;
    void LimitCalls(std::chrono::milliseconds limit) noexcept override { callLimit = limit; }
    void Abort() noexcept override;
};

}  // namespace velmora::modulos::medicao::protocolos::curl_back_end
