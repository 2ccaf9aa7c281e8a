#pragma once

// What a run's HTTP exchanges moved, for the run to tell how much data it spent and over what
// route. The counts are the bodies' bytes where the exchanges read and write them (the link
// carries a few per cent more in TCP/IP and TLS framing). A run sets its tally for each of its
// threads; code on a thread without one counts nothing.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "protocols/http_transport.h"

namespace velmora::modulos::medicao::protocolos {

// One upload request of a stream: from its sending to its answer or its failure, and the bytes
// its answer vouched for (none without an answer).
struct UploadExchange {
    std::chrono::steady_clock::time_point sent;  // its connection's set-up included
    std::chrono::steady_clock::time_point ended;
    std::uint64_t answeredBytes = 0;
    std::thread::id stream;
    // When its request went out on an open connection (nothing: as sent). A new connection's
    // handshakes cross the uplink's queue once each, seconds on a slow uplink in which none of
    // the request's bytes move.
    std::optional<std::chrono::steady_clock::time_point> requestOut;
};

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

    // The upload requests, timed on `clock` (the run's; empty: the steady clock). A tick asks
    // of them while the streams note theirs, so the answers stay here and are read in place.
    std::function<std::chrono::steady_clock::time_point()> clock;
    // AnsweredBytesPerSecond over the requests that ended.
    std::optional<double> AnsweredPace(std::chrono::steady_clock::time_point from,
                                       std::chrono::steady_clock::time_point to) const;
    // When the first upload request was sent; nothing before one is.
    std::optional<std::chrono::steady_clock::time_point> FirstUploadSent() const;
    // How long the slowest answered request took, from its sending to its answer.
    std::chrono::steady_clock::duration LongestAnswer() const;
    // When the oldest upload request still under way was sent; nothing when none is.
    std::optional<std::chrono::steady_clock::time_point> OldestUploadUnderWay() const;
    void BeginUpload(std::chrono::steady_clock::time_point at);
    void EndUpload(const UploadExchange& exchange);

  private:
    mutable std::mutex uploadsMutex_;
    std::vector<UploadExchange> uploads_;
    std::vector<std::pair<std::thread::id, std::chrono::steady_clock::time_point>> underWay_;
    std::optional<std::chrono::steady_clock::time_point> firstSent_;
    std::chrono::steady_clock::duration longestAnswer_{};
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

// The calling thread's tally's clock; an upload request of the calling thread, noted in its
// tally from its sending (the mark's making) to its end (its destruction), answered or not.
std::chrono::steady_clock::time_point TallyNow();
class UploadExchangeMark {
  public:
    UploadExchangeMark();
    ~UploadExchangeMark();
    UploadExchangeMark(const UploadExchangeMark&) = delete;
    UploadExchangeMark& operator=(const UploadExchangeMark&) = delete;

    void Answered(std::uint64_t bytes) { answeredBytes_ = bytes; }
    void RequestOut() { requestOut_ = TallyNow(); }
    double Seconds() const;
    void BodyHandedOver();
    double SecondsSinceBody() const;  // from BodyHandedOver to now

  private:
    TransferTally* tally_;
    std::chrono::steady_clock::time_point sent_;
    std::chrono::steady_clock::time_point bodyEnd_ = sent_;
    std::optional<std::chrono::steady_clock::time_point> requestOut_;
    std::uint64_t answeredBytes_ = 0;
};

// The upload's pace over [from, to] by what the server answered, in bytes a second: each
// answered request's bytes spread evenly over the time from its going out to its answer, and what
// of that time lies inside the window counted; a request that failed brings nothing. Its
// callers wait for the requests under way at `to` to end, so that the window's two edges weigh
// alike. Nothing when no answer falls inside.
std::optional<double> AnsweredBytesPerSecond(const std::vector<UploadExchange>& exchanges,
                                             std::chrono::steady_clock::time_point from,
                                             std::chrono::steady_clock::time_point to);

// Adds what a connection's send counters grew by, from `before` to `now`.
void CountWire(const TcpSendStats& before, const TcpSendStats& now) noexcept;

}  // namespace velmora::modulos::medicao::protocolos
