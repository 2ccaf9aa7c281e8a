#pragma once

// How large an upload stream's next POST is. A payload counts when its answer arrives, so one
// that cannot finish within the phase reads as nothing. But a stream keeps no more bytes on the
// way than what is left of its payload, and none between an answer and its next body: small
// payloads leave the path emptier than one long transfer does. That shows twice: on a long path
// the uplink reads low, and behind a deep queue the latency under load reads short of it.

#include <cstddef>

namespace velmora::modulos::medicao::protocolos {

// Payloads carry about kPayloadTime of what the stream has been carrying lately, plus
// kRoundTrips of its quickest answer, between kSmallestPayload and kLargestPayload. "Lately" is
// the stream's answered POSTs, each timed from its request to its answer, so the pace includes
// the waits every POST makes. With two round trips, the 300 ms uplink read 0.92-0.97 of the
// goodput and 500 ms of queue read as 290-420 ms of latency under load (graded D, not F); with
// four and the bound below, 0.987, and 379-541 ms. A longer kPayloadTime would do the same on long
// paths, but a short phase on a fast path then holds too few payloads: a 5-second phase on loopback
// read 5.7 % high with payloads of a second. Without the round trips a path slower to answer than
// kPayloadTime would shrink every payload towards the floor (at 300 ms, under Wine, where every
// body reaches the server a round trip after its head, the uplink read 18 % low).
class PayloadSizer {
  public:
    static constexpr std::size_t kFirstPayload = 8 * 1024;
    static constexpr std::size_t kSmallestPayload = 8 * 1024;
    static constexpr std::size_t kLargestPayload = 16 * 1024 * 1024;
    static constexpr double kPayloadTime = 0.5;  // s
    static constexpr double kRoundTrips = 4.0;   // quickest answers added to the payload's time
    // A payload also lasts at least kDrains times its stream's recent drain: the time from its
    // body's last byte handed to the system to its answer. That is what the sockets still held,
    // plus the path and its queue, none of which the quickest answer sees once the queue has
    // filled behind it. Twice that keeps a deep queue full: behind 500 ms of queue the latency
    // under load read 455-539 ms in eight runs (379-541 without), while the 1/0.5 and 4/1 uplinks
    // read as before (means 0.98 and 0.97 of the goodput in three runs, against 0.98 and 0.97).
    static constexpr double kDrains = 2.0;
    static constexpr double kMemory = 2.0;  // s: how far back "lately" reaches
    // The most time a payload carries. On a slow uplink the quickest answer is mostly the
    // transfer of a small payload, not a round trip (8 KiB at 10 KB/s: 0.8 s), and four of them
    // made payloads of 7-14 s at 1/0.5 Mbit/s: too few answers inside a 10-second window, and the
    // last ones past the wait for them (0.82 of the goodput; with this bound 0.99). Behind a
    // deep queue payloads must stay long (above), so the bound is not lower.
    static constexpr double kLongestPayloadTime = 4.0;  // s
    // A payload is at most this many times the last one answered: the first answers on a fast
    // path only crossed this machine's buffers, and their pace would make the next payload
    // seconds long, a large share of a short window in one lump.
    static constexpr double kMostGrowth = 4.0;

    std::size_t Next() const;
    // One answered POST: `bytes` of payload, `seconds` from its request to its answer, `drain`
    // from its body's end handed over to the answer.
    void Answered(std::size_t bytes, double seconds, double drain);

  private:
    double bytes_ = 0.0;  // decayed sums over the recent POSTs
    double seconds_ = 0.0;
    double shortest_ = -1.0;  // s: the quickest answer so far, or none yet
    double last_ = 0.0;       // bytes of the last payload answered
    double drain_ = -1.0;     // s: the recent drains, halved at each answer, or none yet
};

}  // namespace velmora::modulos::medicao::protocolos
