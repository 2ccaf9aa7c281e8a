#include "protocols/transfer_tally.h"

#include <algorithm>

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

std::optional<double> TransferTally::AnsweredPace(std::chrono::steady_clock::time_point from,
                                                  std::chrono::steady_clock::time_point to) const {
    std::lock_guard lock(uploadsMutex_);
    return AnsweredBytesPerSecond(uploads_, from, to);
}

std::optional<std::chrono::steady_clock::time_point> TransferTally::FirstUploadSent() const {
    std::lock_guard lock(uploadsMutex_);
    return firstSent_;
}

std::chrono::steady_clock::duration TransferTally::LongestAnswer() const {
    std::lock_guard lock(uploadsMutex_);
    return longestAnswer_;
}

std::optional<std::chrono::steady_clock::time_point> TransferTally::OldestUploadUnderWay() const {
    std::lock_guard lock(uploadsMutex_);
    if (underWay_.empty()) {
        return std::nullopt;
    }
    return std::min_element(underWay_.begin(), underWay_.end(),
                            [](const auto& a, const auto& b) { return a.second < b.second; })
        ->second;
}

void TransferTally::BeginUpload(std::chrono::steady_clock::time_point at) {
    std::lock_guard lock(uploadsMutex_);
    underWay_.emplace_back(std::this_thread::get_id(), at);
    firstSent_ = std::min(firstSent_.value_or(at), at);
}

void TransferTally::EndUpload(const UploadExchange& exchange) {
    std::lock_guard lock(uploadsMutex_);
    std::erase_if(underWay_, [&](const auto& u) { return u.first == exchange.stream; });
    uploads_.push_back(exchange);
    if (exchange.answeredBytes > 0) {
        longestAnswer_ = std::max(longestAnswer_, exchange.ended - exchange.sent);
    }
}

std::chrono::steady_clock::time_point TallyNow() {
    return current != nullptr && current->clock ? current->clock()
                                                : std::chrono::steady_clock::now();
}

UploadExchangeMark::UploadExchangeMark() : tally_(current), sent_(TallyNow()) {
    if (tally_ != nullptr) {
        tally_->BeginUpload(sent_);
    }
}

UploadExchangeMark::~UploadExchangeMark() {
    if (tally_ != nullptr) {
        tally_->EndUpload(
            {sent_, TallyNow(), answeredBytes_, std::this_thread::get_id(), requestOut_});
    }
}

void UploadExchangeMark::BodyHandedOver() {
    bodyEnd_ = TallyNow();
}

double UploadExchangeMark::SecondsSinceBody() const {
    return std::chrono::duration<double>(TallyNow() - bodyEnd_).count();
}

double UploadExchangeMark::Seconds() const {
    return std::chrono::duration<double>(TallyNow() - sent_).count();
}

std::optional<double> AnsweredBytesPerSecond(const std::vector<UploadExchange>& exchanges,
                                             std::chrono::steady_clock::time_point from,
                                             std::chrono::steady_clock::time_point to) {
    const double window = std::chrono::duration<double>(to - from).count();
    double bytes = 0.0;
    bool answered = false;
    for (const UploadExchange& e : exchanges) {
        const auto out = std::min(e.requestOut.value_or(e.sent), e.ended);
        if (e.answeredBytes == 0 || e.ended < from || out > to) {
            continue;
        }
        const double took = std::chrono::duration<double>(e.ended - out).count();
        const double inside =
            std::chrono::duration<double>(std::min(e.ended, to) - std::max(out, from)).count();
        bytes += took > 0.0 ? static_cast<double>(e.answeredBytes) * inside / took
                            : static_cast<double>(e.answeredBytes);
        answered = true;
    }
    return answered && window > 0.0 ? std::optional(bytes / window) : std::nullopt;
}

}  // namespace velmora::modulos::medicao::protocolos
