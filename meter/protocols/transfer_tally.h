#pragma once

// What a run's HTTP exchanges moved, for the run to tell how much data it spent and over what
// route. The counts are the bodies' bytes where the exchanges read and write them (the link
// carries a few per cent more in TCP/IP and TLS framing). A run sets its tally for each of its
// threads; code on a thread without one counts nothing.

#include <atomic>
#include <cstdint>

#include "protocols/http_transport.h"

namespace velmora::modulos::medicao::protocolos {

struct TransferTally {
    std::atomic<std::uint64_t> received{0};
    std::atomic<std::uint64_t> sent{0};
    // The TCP counters of the connections that carried upload bodies, where the back end
    // reports them: every byte sent, retransmissions included, and of those the ones sent again.
    std::atomic<std::uint64_t> wireSent{0};
    std::atomic<std::uint64_t> wireRetransmitted{0};
    // The route of the last answered transfer: 4 or 6 (0 before any), and whether it ran
    // through a proxy.
    std::atomic<int> family{0};
    std::atomic<bool> viaProxy{false};
};

// Sets `tally` as the calling thread's for the scope's life (nullptr: none).
class CountTransfersInto {
  public:
    explicit CountTransfersInto(TransferTally* tally) noexcept;
    ~CountTransfersInto();
    CountTransfersInto(const CountTransfersInto&) = delete;
    CountTransfersInto& operator=(const CountTransfersInto&) = delete;

  private:
    TransferTally* previous_;
};

void CountReceived(std::uint64_t bytes) noexcept;
void CountSent(std::uint64_t bytes) noexcept;

// Notes the route of an answered request (its address family, and whether through a proxy).
void CountRoute(HttpRequest& request) noexcept;

// Adds what a connection's send counters grew by, from `before` to `now`.
void CountWire(const TcpSendStats& before, const TcpSendStats& now) noexcept;

}  // namespace velmora::modulos::medicao::protocolos
