#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstring>
#include <stdexcept>

#include "net/tcp_connect.h"
#include "support/loopback_listener.h"

namespace velmora::test {
namespace {

SOCKET OpenListening(const char* address, std::uint16_t port, int backlog, std::uint16_t& bound) {
    velmora::modulos::medicao::EnsureSockets();
    const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) {
        throw std::runtime_error("socket failed");
    }
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    inet_pton(AF_INET, address, &sa.sin_addr);
    if (bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || listen(s, backlog) != 0) {
        closesocket(s);
        throw std::runtime_error("bind/listen failed");
    }
    int length = sizeof sa;
    getsockname(s, reinterpret_cast<sockaddr*>(&sa), &length);
    bound = ntohs(sa.sin_port);
    return s;
}

}  // namespace

LoopbackListener::LoopbackListener(const char* address, Mode mode, int backlog,
                                   std::uint16_t port) {
    socket_ = static_cast<std::intptr_t>(OpenListening(address, port, backlog, port_));
    if (mode == Mode::Accept) {
        thread_ = std::thread([this] { AcceptLoop(); });
    }
}

LoopbackListener::~LoopbackListener() {
    Close();
}

void LoopbackListener::Close() {
    stop_ = true;
    if (thread_.joinable()) {
        thread_.join();
    }
    if (socket_ != -1) {
        closesocket(static_cast<SOCKET>(socket_));
        socket_ = -1;
    }
}

void LoopbackListener::AcceptLoop() {
    const auto s = static_cast<SOCKET>(socket_);
    while (!stop_) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(s, &readable);
        timeval wait{0, 20'000};
        if (select(0, &readable, nullptr, nullptr, &wait) <= 0) {
            continue;
        }
        const SOCKET client = accept(s, nullptr, nullptr);
        if (client != INVALID_SOCKET) {
            ++accepted_;
            closesocket(client);
        }
    }
}

std::uint16_t RefusedLoopbackPort(const char* address) {
    std::uint16_t port = 0;
    closesocket(OpenListening(address, 0, 1, port));
    return port;
}

}  // namespace velmora::test

#include "support/speed_server.h"

namespace velmora::test {

std::string LoopbackExchange(std::uint16_t port, const std::string& line) {
    velmora::modulos::medicao::EnsureSockets();
    const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    inet_pton(AF_INET, "127.0.0.1", &sa.sin_addr);
    std::string answer;
    if (s != INVALID_SOCKET && connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0) {
        const std::string out = line + "\n";
        if (send(s, out.data(), static_cast<int>(out.size()), 0) == static_cast<int>(out.size())) {
            char c = 0;
            while (recv(s, &c, 1, 0) == 1 && c != '\n') {
                answer.push_back(c);
            }
        }
    }
    if (s != INVALID_SOCKET) {
        closesocket(s);
    }
    return answer;
}

}  // namespace velmora::test
