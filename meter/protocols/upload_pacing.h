#pragma once

// Two pure rules of the upload, kept apart from the transports so that recorded series can
// drive them: how large the next body piece is, and how much of a body the server has
// received by the connection's TCP statistics.

#include <cstddef>
#include <cstdint>
#include <optional>

namespace velmora::modulos::medicao::protocolos {

// The next piece of an upload body: about kPieceTime of what this flow has been taking lately,
// between kSmallestPiece and kUploadPieceBytes. Credit moves a piece at a time, so on a slow
// uplink a 128 KiB piece (three seconds of a 2 Mbit/s link over six flows) is a lump that
// large against a 10-second window; fast links keep their large writes.
class PieceSizer {
  public:
    static constexpr std::size_t kSmallestPiece = 8 * 1024;
    static constexpr double kPieceTime = 0.075;  // s
    static constexpr double kMemory = 1.0;       // s: how far back "lately" reaches

    std::size_t Next() const;
    // One write: `bytes` taken in `seconds`.
    void Wrote(std::size_t bytes, double seconds);

  private:
    double bytes_ = 0.0;  // decayed sums over the recent writes
    double seconds_ = 0.0;
};

// A connection's send counters, as Windows reports them (TCP_INFO_v0).
struct TcpSendStats {
    std::uint64_t bytesOut = 0;       // every byte sent, retransmissions included
    std::uint64_t bytesRetrans = 0;   // of those, sent again
    std::uint64_t bytesInFlight = 0;  // sent and not yet acknowledged
};

// How much of one request's body the server has acknowledged, from its connection's counters
// at the request's start (connections carry one request after another) and now. Without
// counters, at the start or now, the answer is what the transport took.
class AcknowledgedBody {
  public:
    explicit AcknowledgedBody(std::optional<TcpSendStats> atStart);
    std::uint64_t Received(std::uint64_t taken, std::optional<TcpSendStats> now) const;

  private:
    std::optional<std::uint64_t> baseline_;
};

}  // namespace velmora::modulos::medicao::protocolos
