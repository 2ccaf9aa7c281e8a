#include "protocols/http_session.h"

#include <stdexcept>

#include "protocols/transfer_tally.h"

namespace velmora::modulos::medicao::protocolos {

namespace {

using Clock = std::chrono::steady_clock;

// Before a blocking call: what is left until the deadline becomes the call's time-out.
void LimitToDeadline(HttpRequest& request, Clock::time_point deadline) {
    if (deadline == Clock::time_point::max()) {
        return;
    }
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) {
        throw std::runtime_error("Falha ao ler dados HTTP.");
    }
    request.LimitCalls(left);
}

}  // namespace

std::string ReadResponseBody(HttpRequest& request, std::size_t maxBytes,
                             Clock::time_point deadline) {
    std::string body;
    std::string piece;
    for (;;) {
        LimitToDeadline(request, deadline);
        std::size_t available = 0;
        if (!request.DataAvailable(available)) {
            throw std::runtime_error("Falha ao consultar dados HTTP.");
        }
        if (available == 0) {
            return body;
        }
        if (available > maxBytes - body.size()) {
            throw std::runtime_error("Falha ao ler dados HTTP.");
        }
        piece.resize(available);
        LimitToDeadline(request, deadline);
        std::size_t read = 0;
        if (!request.Read(piece.data(), available, read)) {
            throw std::runtime_error("Falha ao ler dados HTTP.");
        }
        body.append(piece.data(), read);
        CountReceived(read);
    }
}

std::string HttpGet(const HttpEndpoint& endpoint, const std::wstring& path,
                    const std::stop_token& stop) {
    const Clock::time_point deadline = Clock::now() + endpoint.deadline;

    // Declared in this order so that leaving the scope closes request, connection, session.
    const std::unique_ptr<HttpSession> session = OpenHttpSession("Falha ao abrir sessão HTTP.");
    const std::unique_ptr<HttpConnection> connection =
        session->Connect(endpoint.host, endpoint.port);
    if (!connection) {
        throw std::runtime_error("Falha ao conectar ao servidor HTTP.");
    }
    const std::unique_ptr<HttpRequest> request =
        connection->OpenRequest(L"GET", path, endpoint.secure);
    if (!request) {
        throw std::runtime_error("Falha ao abrir requisição HTTP.");
    }
    const HttpAbortOnStop abort(*request, stop);
    LimitToDeadline(*request, deadline);
    if (!request->Send(L"", 0)) {
        throw std::runtime_error("Falha ao enviar requisição HTTP.");
    }
    LimitToDeadline(*request, deadline);
    if (!request->ReceiveResponse()) {
        throw std::runtime_error("Falha ao receber resposta HTTP.");
    }
    std::uint32_t status = 0;
    if (!request->Status(status)) {
        throw std::runtime_error("Falha ao consultar status HTTP.");
    }
    if (status < 200 || status > 299) {
        throw std::runtime_error("Resposta HTTP inválida.");
    }
    std::string body = ReadResponseBody(*request, kMaxOneShotBodyBytes, deadline);
    // Some transports end a body cut short by a reset as if it were complete; a truncated
    // answer must not pass for a whole one. An abort may look like such an end too.
    std::uint64_t announced = 0;
    if ((request->ContentLength(announced) && announced != body.size()) || stop.stop_requested()) {
        throw std::runtime_error("Falha ao ler dados HTTP.");
    }
    return body;
}

std::string HttpGet(const std::wstring& host, std::uint16_t port, const std::wstring& path,
                    bool secure) {
    return HttpGet(HttpEndpoint{host, port, secure}, path);
}

}  // namespace velmora::modulos::medicao::protocolos
