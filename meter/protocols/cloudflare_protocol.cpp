#include <memory>
#include <stdexcept>

#include "protocols/cloudflare_protocol.h"
#include "protocols/transfer_loops.h"

namespace velmora::modulos::medicao::protocolos {
namespace {

constexpr wchar_t kDownloadPath[] = L"/__down?bytes=25000000&seed=";
constexpr wchar_t kUploadPath[] = L"/__up";

// Connects, runs `requests` on the connection until it fails, then reconnects at once; a caught
// failure waits the retry pause first. Returns when a stop is requested.
template <typename Requests>
void RunUntilStopped(const std::wstring& host, SpeedEndpoint endpoint, const char* connectFailure,
                     const std::stop_token& stop, Requests requests) {
    while (!stop.stop_requested()) {
        try {
            const std::unique_ptr<HttpSession> session =
                OpenHttpSession(kSpeedSessionFailure, endpoint.timeouts);
            const std::unique_ptr<HttpConnection> connection =
                session->Connect(host, endpoint.port);
            if (!connection) {
                throw std::runtime_error(connectFailure);
            }
            bool answered = false;
            requests(*connection, answered);
        } catch (...) {
            PauseBeforeRetry();
        }
    }
}

}  // namespace

void CloudflareProtocol::Download(const std::wstring& host, ByteCounter& bytes,
                                  std::stop_token stop) const {
    if (stop.stop_requested()) {
        return;
    }
    const auto buffer = std::make_unique<char[]>(kDownloadBufferBytes);
    RunUntilStopped(host, endpoint_, "Falha ao conectar HTTPS para download.", stop,
                    [&](HttpConnection& connection, bool& answered) {
                        RunDownloadRequests(connection, kDownloadPath, endpoint_.secure,
                                            buffer.get(), bytes, stop, answered);
                    });
}

void CloudflareProtocol::Upload(const std::wstring& host, std::size_t payloadBytes,
                                ByteCounter& bytes, std::stop_token stop) const {
    RunUntilStopped(host, endpoint_, "Falha ao conectar para upload.", stop,
                    [&](HttpConnection& connection, bool& answered) {
                        RunUploadRequests(connection, kUploadPath, endpoint_.secure, payloadBytes,
                                          bytes, stop, answered);
                    });
}

}  // namespace velmora::modulos::medicao::protocolos
