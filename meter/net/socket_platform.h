#pragma once

// The thin layer between the portable socket code and Winsock / POSIX sockets. Everything here
// reports failure by return value; the portable callers decide what is raised.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/unique_handle.h"

namespace velmora::modulos::medicao::net {

struct SocketTraits {
    // SOCKET on Windows (INVALID_SOCKET is all ones, -1 here), a file descriptor elsewhere.
    using Type = std::intptr_t;
    static constexpr Type Invalid() noexcept { return -1; }
    static void Close(Type socket) noexcept;
};
using Socket = UniqueHandle<SocketTraits>;

struct Ipv4Address {
    std::array<std::uint8_t, 4> octets{};
};

// WSAStartup(2.2) on Windows; POSIX has nothing to start and returns 0.
int StartSocketLibrary() noexcept;

// All IPv4 stream/TCP addresses of `host` in resolver order. nullopt when the resolver reports
// an error.
std::optional<std::vector<Ipv4Address>> ResolveIpv4(const std::wstring& host);

// Dotted text of the address; nullopt if the conversion fails.
std::optional<std::wstring> AddressText(const Ipv4Address& address);

// A new IPv4 TCP socket with the probe options set (their results are not looked at).
Socket OpenTcpSocket() noexcept;

// Blocking connect.
bool Connect(const Socket& socket, const Ipv4Address& address, std::uint16_t port) noexcept;

// Non-blocking connect with a readiness wait of `timeoutMs`; on success the socket is put back
// into blocking mode.
bool ConnectWithin(const Socket& socket, const Ipv4Address& address, std::uint16_t port,
                   std::uint32_t timeoutMs) noexcept;

}  // namespace velmora::modulos::medicao::net
