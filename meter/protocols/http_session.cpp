#include "protocols/http_session.h"

#include <stdexcept>

namespace velmora::modulos::medicao::protocolos {

std::string ReadResponseBody(const HttpHandle& request, std::size_t maxBytes) {
    std::string body;
    std::string piece;
    for (;;) {
        std::size_t available = 0;
        if (!HttpQueryDataAvailable(request, available)) {
            throw std::runtime_error("Falha ao consultar dados HTTP.");
        }
        if (available == 0) {
            return body;
        }
        if (available > maxBytes - body.size()) {
            throw std::runtime_error("Falha ao ler dados HTTP.");
        }
        piece.resize(available);
        std::size_t read = 0;
        if (!HttpReadData(request, piece.data(), available, read)) {
            throw std::runtime_error("Falha ao ler dados HTTP.");
        }
        body.append(piece.data(), read);
    }
}

std::string HttpGet(const std::wstring& host, std::uint16_t port, const std::wstring& path,
                    bool secure) {
    // Declared in this order so that leaving the scope closes request, connection, session.
    const HttpHandle session = OpenHttpSession("Falha ao abrir sessão HTTP.");
    const HttpHandle connection = HttpConnect(session, host, port);
    if (!connection) {
        throw std::runtime_error("Falha ao conectar ao servidor HTTP.");
    }
    const HttpHandle request = HttpOpenRequest(connection, L"GET", path, secure);
    if (!request) {
        throw std::runtime_error("Falha ao abrir requisição HTTP.");
    }
    if (!HttpSendRequest(request, L"", 0)) {
        throw std::runtime_error("Falha ao enviar requisição HTTP.");
    }
    if (!HttpReceiveResponse(request)) {
        throw std::runtime_error("Falha ao receber resposta HTTP.");
    }
    std::uint32_t status = 0;
    if (!HttpQueryStatus(request, status)) {
        throw std::runtime_error("Falha ao consultar status HTTP.");
    }
    if (status < 200 || status > 299) {
        throw std::runtime_error("Resposta HTTP inválida.");
    }
    std::string body = ReadResponseBody(request, kMaxOneShotBodyBytes);
    // Some transports end a body cut short by a reset as if it were complete; a truncated
    // answer must not pass for a whole one.
    std::uint64_t announced = 0;
    if (HttpQueryContentLength(request, announced) && announced != body.size()) {
        throw std::runtime_error("Falha ao ler dados HTTP.");
    }
    return body;
}

std::wstring TrimWhitespace(const std::wstring& text) {
    constexpr wchar_t kBlank[] = L"\r\n \t";
    const std::size_t first = text.find_first_not_of(kBlank);
    if (first == std::wstring::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(kBlank) - first + 1);
}

std::vector<std::wstring> SplitTrimmedLines(const std::wstring& text) {
    std::vector<std::wstring> lines;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t end = text.find_first_of(L"\r\n", pos);
        std::wstring line =
            TrimWhitespace(text.substr(pos, end == std::wstring::npos ? end : end - pos));
        if (!line.empty()) {
            lines.push_back(std::move(line));
        }
        if (end == std::wstring::npos) {
            break;
        }
        pos = end + 1;
    }
    return lines;
}

}  // namespace velmora::modulos::medicao::protocolos
