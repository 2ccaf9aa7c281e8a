#include "net/tcp_connect.h"

#include <algorithm>
#include <stdexcept>

namespace velmora::modulos::medicao {

void EnsureSockets() {
    static const int startup = net::StartSocketLibrary();
    if (startup != 0) {
        throw std::runtime_error("Falha ao inicializar Winsock.");
    }
}

TcpSocket ConnectTcp(const std::wstring& host, std::uint16_t port, std::uint32_t timeoutMs,
                     const std::stop_token& stop) {
    EnsureSockets();
    const auto addresses = net::ResolveIpv4(host);
    if (!addresses || addresses->empty()) {
        throw std::runtime_error("Falha ao resolver endereço do servidor.");
    }
    for (const net::Ipv4Address& address : *addresses) {
        TcpSocket socket = net::OpenTcpSocket();
        if (!socket) {
            continue;
        }
        if (net::ConnectWithin(socket, address, port, timeoutMs, stop)) {
            return socket;
        }
    }
    throw std::runtime_error("Falha ao abrir conexão TCP de download.");
}

std::wstring ResolveHostAddress(const std::wstring& host) {
    try {
        EnsureSockets();
        const auto addresses = net::ResolveIpv4(host);
        if (!addresses || addresses->empty()) {
            return host;
        }
        return net::AddressText(addresses->front()).value_or(host);
    } catch (...) {
        return host;
    }
}

std::vector<std::wstring> ResolveHostAddresses(const std::wstring& host) {
    std::vector<std::wstring> texts;
    try {
        EnsureSockets();
        const auto addresses = net::ResolveIpv4(host);
        if (!addresses) {
            return texts;
        }
        for (const net::Ipv4Address& address : *addresses) {
            auto text = net::AddressText(address);
            if (text && std::find(texts.begin(), texts.end(), *text) == texts.end()) {
                texts.push_back(std::move(*text));
            }
        }
    } catch (...) {
        // Whatever was resolved before the failure is still worth returning.
    }
    return texts;
}

}  // namespace velmora::modulos::medicao
