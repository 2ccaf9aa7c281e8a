#include <memory>
#include <stdexcept>

#include "protocols/ookla_protocol.h"
#include "protocols/transfer_loops.h"

namespace velmora::modulos::medicao::protocolos {
namespace {

constexpr wchar_t kDownloadPath[] = L"/download?size=25000000&r=";
constexpr wchar_t kUploadPath[] = L"/upload";

// Walks the port list until a port answers, then keeps that port for the rest of the call.
// Before the first answer, a connection that cannot be made or a first exchange that fails
// moves on to the next port at once; past the last port, the last one is retried after the
// retry pause. After the first answer, request-level failures reconnect on the same port at
// once and caught failures pause first.
template <typename Requests>
void RunWithPortFallback(const std::wstring& host, const std::vector<SpeedEndpoint>& ports,
                         const char* failure, const std::stop_token& stop, Requests requests) {
    const std::size_t count = ports.size();
    if (count == 0) {
        return;
    }
    std::size_t index = 0;
    std::size_t resume = 0;
    bool answered = false;
    // Moves to the next port, or throws when the list is exhausted.
    const auto nextPort = [&] {
        if (++index >= count) {
            throw std::runtime_error(failure);
        }
        resume = index;
    };
    while (!stop.stop_requested()) {
        try {
            const SpeedEndpoint endpoint = ports[index];
            const std::unique_ptr<HttpSession> session =
                OpenHttpSession(kSpeedSessionFailure, endpoint.timeouts);
            const std::unique_ptr<HttpConnection> connection =
                session->Connect(host, endpoint.port);
            if (!connection) {
                if (answered) {
                    throw std::runtime_error(failure);
                }
                nextPort();
                continue;
            }
            requests(*connection, endpoint.secure, answered);
            if (!answered && !stop.stop_requested()) {
                nextPort();
            }
        } catch (...) {
            if (!answered && resume + 1 < count) {
                ++resume;
            } else {
                PauseBeforeRetry();
            }
            index = resume;
        }
    }
}

}  // namespace

void OoklaHttpProtocol::Download(const std::wstring& host, ByteCounter& bytes,
                                 std::stop_token stop) const {
    if (stop.stop_requested()) {
        return;
    }
    const auto buffer = std::make_unique<char[]>(kDownloadBufferBytes);
    RunWithPortFallback(host, ports_, "Falha ao conectar para download Ookla.", stop,
                        [&](HttpConnection& connection, bool secure, bool& answered) {
                            RunDownloadRequests(connection, kDownloadPath, secure, buffer.get(),
                                                bytes, stop, answered);
                        });
}

void OoklaHttpProtocol::Upload(const std::wstring& host, std::size_t payloadBytes,
                               ByteCounter& bytes, std::stop_token stop) const {
    RunWithPortFallback(host, ports_, "Falha ao conectar para upload Ookla.", stop,
                        [&](HttpConnection& connection, bool secure, bool& answered) {
                            RunUploadRequests(connection, kUploadPath, secure, payloadBytes, bytes,
                                              stop, answered);
                        });
}

}  // namespace velmora::modulos::medicao::protocolos
