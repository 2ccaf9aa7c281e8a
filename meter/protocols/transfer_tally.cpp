#include "protocols/transfer_tally.h"

namespace velmora::modulos::medicao::protocolos {
namespace {

thread_local TransferTally* current = nullptr;

}  // namespace

CountTransfersInto::CountTransfersInto(TransferTally* tally) noexcept : previous_(current) {
    current = tally;
}

CountTransfersInto::~CountTransfersInto() {
    current = previous_;
}

void CountReceived(std::uint64_t bytes) noexcept {
    if (current != nullptr) {
        current->received.fetch_add(bytes);
    }
}

void CountSent(std::uint64_t bytes) noexcept {
    if (current != nullptr) {
        current->sent.fetch_add(bytes);
    }
}

void CountRoute(HttpRequest& request) noexcept {
    HttpRoute route;
    if (current != nullptr && request.Route(route)) {
        current->family.store(route.family);
        current->viaProxy.store(route.viaProxy);
    }
}

void CountWire(const TcpSendStats& before, const TcpSendStats& now) noexcept {
    // A connection's counters only grow; a drop means another connection's.
    if (current != nullptr && now.bytesOut >= before.bytesOut &&
        now.bytesRetrans >= before.bytesRetrans) {
        current->wireSent.fetch_add(now.bytesOut - before.bytesOut);
        current->wireRetransmitted.fetch_add(now.bytesRetrans - before.bytesRetrans);
    }
}

}  // namespace velmora::modulos::medicao::protocolos
