#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

#include "support/loopback_listener.h"

namespace velmora::test {
namespace {

int OpenListening(const char* address, std::uint16_t port, int backlog, std::uint16_t& bound) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        throw std::runtime_error("socket failed");
    }
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    inet_pton(AF_INET, address, &sa.sin_addr);
    if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || listen(fd, backlog) != 0) {
        ::close(fd);
        throw std::runtime_error("bind/listen failed");
    }
    socklen_t length = sizeof sa;
    getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &length);
    bound = ntohs(sa.sin_port);
    return fd;
}

}  // namespace

LoopbackListener::LoopbackListener(const char* address, Mode mode, int backlog,
                                   std::uint16_t port) {
    socket_ = OpenListening(address, port, backlog, port_);
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
    if (socket_ >= 0) {
        ::close(static_cast<int>(socket_));
        socket_ = -1;
    }
}

void LoopbackListener::AcceptLoop() {
    const int fd = static_cast<int>(socket_);
    while (!stop_) {
        pollfd pfd{fd, POLLIN, 0};
        if (poll(&pfd, 1, 20) <= 0) {
            continue;
        }
        const int client = accept(fd, nullptr, nullptr);
        if (client >= 0) {
            ++accepted_;
            ::close(client);
        }
    }
}

std::uint16_t RefusedLoopbackPort(const char* address) {
    std::uint16_t port = 0;
    ::close(OpenListening(address, 0, 1, port));
    return port;
}

}  // namespace velmora::test

#include "support/speed_server.h"

namespace velmora::test {

std::string LoopbackExchange(std::uint16_t port, const std::string& line) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    inet_pton(AF_INET, "127.0.0.1", &sa.sin_addr);
    std::string answer;
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0) {
        const std::string out = line + "\n";
        if (send(fd, out.data(), out.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(out.size())) {
            char c = 0;
            while (recv(fd, &c, 1, 0) == 1 && c != '\n') {
                answer.push_back(c);
            }
        }
    }
    if (fd >= 0) {
        ::close(fd);
    }
    return answer;
}

}  // namespace velmora::test
