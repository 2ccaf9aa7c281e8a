#pragma once

// The thin layer between the portable socket code and Winsock / POSIX sockets. Everything here
// reports failure by return value; the portable callers decide what is raised.

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <stop_token>
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

// Non-blocking connect and a readiness wait that ends after `timeoutMs`, or with timeoutMs = 0
// when the system gives up the handshake (its SYN retries), and in either case at a stop
// request. On success the socket is put back into blocking mode.
bool ConnectWithin(const Socket& socket, const Ipv4Address& address, std::uint16_t port,
                   std::uint32_t timeoutMs, const std::stop_token& stop) noexcept;

// The readiness waits of one connect: slices short enough to notice a stop request, never past
// the deadline (timeoutMs = 0: none).
class ConnectWait {
  public:
    ConnectWait(std::uint32_t timeoutMs, const std::stop_token& stop)
        : bounded_(timeoutMs != 0),
          deadline_(Clock::now() + std::chrono::milliseconds(timeoutMs)),
          stop_(stop) {}

    // The next wait in ms; 0 once the deadline has passed or a stop was requested.
    int NextSliceMs() const {
        if (stop_.stop_requested()) {
            return 0;
        }
        if (!bounded_) {
            return kStopPollMs;
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline_ - Clock::now());
        return static_cast<int>(std::clamp<long long>(left.count(), 0, kStopPollMs));
    }

  private:
    using Clock = std::chrono::steady_clock;
    static constexpr int kStopPollMs = 50;
    bool bounded_;
    Clock::time_point deadline_;
    const std::stop_token& stop_;
};

}  // namespace velmora::modulos::medicao::net
