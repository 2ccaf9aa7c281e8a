#pragma once

// What the meter's exchanges are made of, on top of the transport: where a service is reached,
// reading a whole response body, stopping a request from another thread, and the one-shot GET.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <stop_token>
#include <string>

#include "protocols/http_transport.h"

namespace velmora::modulos::medicao::protocolos {

// A one-shot GET ends within this, whatever the server does: the per-call time-outs alone let a
// server that sends one byte every few seconds hold a request for ever.
inline constexpr std::chrono::milliseconds kOneShotDeadline{30000};

// Where a service is reached: the built-in hosts are defaults; tests point them at loopback.
struct HttpEndpoint {
    std::wstring host;
    std::uint16_t port = 80;
    bool secure = false;
    std::chrono::milliseconds deadline = kOneShotDeadline;
};

// Largest body HttpGet accepts: far above any identification answer, far below what could
// exhaust memory if a hostile server streams without end.
inline constexpr std::size_t kMaxOneShotBodyBytes = 4 * 1024 * 1024;

// The whole body of the request, read piece by piece as it becomes available. Throws
// "Falha ao consultar dados HTTP." or "Falha ao ler dados HTTP."; also the latter when the body
// grows past maxBytes.
std::string ReadResponseBody(
    HttpRequest& request, std::size_t maxBytes = SIZE_MAX,
    std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max());

// Makes every pending and later call on `request` fail promptly once `stop` is requested, from
// whichever thread requests it, where the back end can: libcurl's calls end within one poll.
// WinHTTP's are left to end at their time-outs (see the WinHTTP back end). Must not outlive the
// request.
class HttpAbortOnStop {
  public:
    HttpAbortOnStop(HttpRequest& request, const std::stop_token& stop)
        : callback_(stop, Abort{&request}) {}

  private:
    struct Abort {
        HttpRequest* request;
        void operator()() const noexcept { request->Abort(); }
    };
    std::stop_callback<Abort> callback_;
};

// One-shot GET that returns the body of a 2xx answer; throws a runtime error with a Portuguese
// text on any failure, including "Resposta HTTP inválida." for any other status. Gives up at the
// endpoint's deadline or when `stop` is requested.
std::string HttpGet(const HttpEndpoint& endpoint, const std::wstring& path,
                    const std::stop_token& stop = {});
std::string HttpGet(const std::wstring& host, std::uint16_t port, const std::wstring& path,
                    bool secure);

}  // namespace velmora::modulos::medicao::protocolos
