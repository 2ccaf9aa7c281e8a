#include "platform/socket_platform.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>

#include "common/text.h"

namespace velmora::modulos::medicao::net {
namespace {

constexpr int kBufferBytes = 1'048'576;
constexpr timeval kIoTimeout{1, 0};

int Fd(const Socket& socket) {
    return static_cast<int>(socket.get());
}

sockaddr_in ToSockaddr(const Ipv4Address& address, std::uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    std::memcpy(&sa.sin_addr, address.octets.data(), 4);
    return sa;
}

bool SetNonBlocking(int fd, bool on) {
    const int flags = fcntl(fd, F_GETFL, 0);
    if (flags < 0) {
        return false;
    }
    return fcntl(fd, F_SETFL, on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK)) == 0;
}

// Waits until the connect in progress completes, the time runs out or a stop is requested;
// true when it succeeded. A blocking connect would do for timeoutMs = 0, but Linux cuts it at
// the socket's 1 s send time-out, which Windows does not.
bool AwaitConnect(int fd, std::uint32_t timeoutMs, const std::stop_token& stop) {
    const ConnectWait wait(timeoutMs, stop);
    for (int slice = wait.NextSliceMs(); slice > 0; slice = wait.NextSliceMs()) {
        pollfd pfd{fd, POLLOUT, 0};
        const int ready = poll(&pfd, 1, slice);
        if (ready < 0 && errno != EINTR) {
            return false;
        }
        if (ready <= 0) {
            continue;
        }
        // Writable also means "failed" on POSIX: the outcome is in SO_ERROR.
        int error = 0;
        socklen_t length = sizeof error;
        return getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
    }
    return false;
}

}  // namespace

void SocketTraits::Close(Type socket) noexcept {
    ::close(static_cast<int>(socket));
}

int StartSocketLibrary() noexcept {
    return 0;
}

std::optional<std::vector<Ipv4Address>> ResolveIpv4(const std::wstring& host) {
    addrinfo hints{};
    hints.ai_flags = 0;
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* raw = nullptr;
    if (getaddrinfo(WideToUtf8(host).c_str(), nullptr, &hints, &raw) != 0) {
        return std::nullopt;
    }
    const std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> list(raw, &freeaddrinfo);
    std::vector<Ipv4Address> addresses;
    for (const addrinfo* ai = list.get(); ai != nullptr; ai = ai->ai_next) {
        if (ai->ai_family != AF_INET || ai->ai_addr == nullptr) {
            continue;
        }
        Ipv4Address address;
        std::memcpy(address.octets.data(),
                    &reinterpret_cast<const sockaddr_in*>(ai->ai_addr)->sin_addr, 4);
        addresses.push_back(address);
    }
    return addresses;
}

std::optional<std::wstring> AddressText(const Ipv4Address& address) {
    char text[INET_ADDRSTRLEN] = {};
    if (inet_ntop(AF_INET, address.octets.data(), text, sizeof text) == nullptr) {
        return std::nullopt;
    }
    return Utf8ToWide(text);
}

Socket OpenTcpSocket() noexcept {
    Socket socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP));
    if (!socket) {
        return socket;
    }
    const int fd = Fd(socket);
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &kBufferBytes, sizeof kBufferBytes);
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &kBufferBytes, sizeof kBufferBytes);
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &kIoTimeout, sizeof kIoTimeout);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &kIoTimeout, sizeof kIoTimeout);
    return socket;
}

bool ConnectWithin(const Socket& socket, const Ipv4Address& address, std::uint16_t port,
                   std::uint32_t timeoutMs, const std::stop_token& stop) noexcept {
    const int fd = Fd(socket);
    if (!SetNonBlocking(fd, true)) {
        return false;
    }
    const sockaddr_in sa = ToSockaddr(address, port);
    bool connected = ::connect(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0;
    if (!connected && errno == EINPROGRESS) {
        connected = AwaitConnect(fd, timeoutMs, stop);
    }
    return connected && SetNonBlocking(fd, false);
}

}  // namespace velmora::modulos::medicao::net
