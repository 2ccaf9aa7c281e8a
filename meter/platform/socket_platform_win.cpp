#include "platform/socket_platform.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstring>
#include <memory>

namespace velmora::modulos::medicao::net {
namespace {

constexpr int kBufferBytes = 1'048'576;
constexpr DWORD kIoTimeoutMs = 1000;

SOCKET Native(const Socket& socket) {
    return static_cast<SOCKET>(socket.get());
}

sockaddr_in ToSockaddr(const Ipv4Address& address, std::uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    std::memcpy(&sa.sin_addr, address.octets.data(), 4);
    return sa;
}

bool SetNonBlocking(SOCKET s, bool on) {
    u_long mode = on ? 1 : 0;
    return ioctlsocket(s, FIONBIO, &mode) == 0;
}

}  // namespace

void SocketTraits::Close(Type socket) noexcept {
    closesocket(static_cast<SOCKET>(socket));
}

int StartSocketLibrary() noexcept {
    WSADATA data{};
    return WSAStartup(MAKEWORD(2, 2), &data);
}

std::optional<std::vector<Ipv4Address>> ResolveIpv4(const std::wstring& host) {
    ADDRINFOW hints{};
    hints.ai_flags = 0;
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    ADDRINFOW* raw = nullptr;
    if (GetAddrInfoW(host.c_str(), nullptr, &hints, &raw) != 0) {
        return std::nullopt;
    }
    const std::unique_ptr<ADDRINFOW, decltype(&FreeAddrInfoW)> list(raw, &FreeAddrInfoW);
    std::vector<Ipv4Address> addresses;
    for (const ADDRINFOW* ai = list.get(); ai != nullptr; ai = ai->ai_next) {
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
    wchar_t text[46] = {};
    in_addr in{};
    std::memcpy(&in, address.octets.data(), 4);
    if (InetNtopW(AF_INET, &in, text, 46) == nullptr) {
        return std::nullopt;
    }
    return std::wstring(text);
}

Socket OpenTcpSocket() noexcept {
    const SOCKET raw = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    Socket socket(raw == INVALID_SOCKET ? SocketTraits::Invalid()
                                        : static_cast<SocketTraits::Type>(raw));
    if (!socket) {
        return socket;
    }
    const SOCKET s = Native(socket);
    const int one = 1;
    setsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&kBufferBytes),
               sizeof kBufferBytes);
    setsockopt(s, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&kBufferBytes),
               sizeof kBufferBytes);
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&kIoTimeoutMs),
               sizeof kIoTimeoutMs);
    setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&kIoTimeoutMs),
               sizeof kIoTimeoutMs);
    return socket;
}

bool ConnectWithin(const Socket& socket, const Ipv4Address& address, std::uint16_t port,
                   std::uint32_t timeoutMs, const std::stop_token& stop) noexcept {
    const SOCKET s = Native(socket);
    if (!SetNonBlocking(s, true)) {
        return false;
    }
    const sockaddr_in sa = ToSockaddr(address, port);
    if (::connect(s, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0) {
        return SetNonBlocking(s, false);
    }
    if (WSAGetLastError() != WSAEWOULDBLOCK) {
        return false;
    }
    const ConnectWait wait(timeoutMs, stop);
    for (int slice = wait.NextSliceMs(); slice > 0; slice = wait.NextSliceMs()) {
        fd_set writable;
        fd_set failed;
        FD_ZERO(&writable);
        FD_ZERO(&failed);
        FD_SET(s, &writable);
        FD_SET(s, &failed);
        timeval span{};
        span.tv_sec = slice / 1000;
        span.tv_usec = (slice % 1000) * 1000;
        const int ready = select(0, nullptr, &writable, &failed, &span);
        if (ready < 0) {
            return false;
        }
        if (ready > 0) {
            return !FD_ISSET(s, &failed) && SetNonBlocking(s, false);
        }
    }
    return false;
}

}  // namespace velmora::modulos::medicao::net
