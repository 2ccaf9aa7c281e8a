#pragma once

// How large an upload stream's next POST is. A payload counts when its answer arrives, so one
// that cannot finish within the phase reads as nothing; and between a body's last byte and its
// answer the stream sends nothing, a round trip per payload that small payloads make a large
// share of the stream's time (at 300 ms, payloads of a quarter second read the uplink 8 % low,
// of half a second 3-8 % in five runs). Payloads of a second read 2-5 % low there, but a short
// phase then holds too few of them: a 5-second phase on loopback read 5.7 % high.

#include <cstddef>

namespace velmora::modulos::medicao::protocolos {

// Payloads carry about kPayloadTime of what the stream has been carrying lately, plus
// kRoundTrips of its quickest answer, between kSmallestPayload and kLargestPayload. "Lately" is
// the stream's answered POSTs, each timed from its request to its answer, so the pace includes
// the waits every POST makes. Two of them: the answer's round trip, and one more where the
// sender holds a body's end back until what went before is acknowledged (under Wine every body
// reaches the server a round trip after its head, most likely Nagle's rule). Without
// them a path slower to answer than kPayloadTime would shrink every payload towards the floor,
// each stream waiting more than it sends (at 300 ms, under Wine, the uplink read 18 % low).
class PayloadSizer {
  public:
    static constexpr std::size_t kFirstPayload = 8 * 1024;
    static constexpr std::size_t kSmallestPayload = 8 * 1024;
    static constexpr std::size_t kLargestPayload = 16 * 1024 * 1024;
    static constexpr double kPayloadTime = 0.5;  // s
    static constexpr double kRoundTrips = 2.0;   // quickest answers added to the payload's time
    static constexpr double kMemory = 2.0;       // s: how far back "lately" reaches
    // A payload is at most this many times the last one answered: the first answers on a fast
    // path only crossed this machine's buffers, and their pace would make the next payload
    // seconds long, a large share of a short window in one lump.
    static constexpr double kMostGrowth = 4.0;

    std::size_t Next() const;
    // One answered POST: `bytes` of payload, `seconds` from its request to its answer.
    void Answered(std::size_t bytes, double seconds);

  private:
    double bytes_ = 0.0;  // decayed sums over the recent POSTs
    double seconds_ = 0.0;
    double shortest_ = -1.0;  // s: the quickest answer so far, or none yet
    double last_ = 0.0;       // bytes of the last payload answered
};

}  // namespace velmora::modulos::medicao::protocolos
