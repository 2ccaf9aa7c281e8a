#include "protocols/payload_sizer.h"

#include <algorithm>
#include <cmath>

namespace velmora::modulos::medicao::protocolos {

std::size_t PayloadSizer::Next() const {
    if (seconds_ <= 0.0) {
        return kFirstPayload;
    }
    const double time = std::min(std::max(kPayloadTime + kRoundTrips * shortest_, kDrains * drain_),
                                 kLongestPayloadTime);
    const double payload = std::min(bytes_ / seconds_ * time, last_ * kMostGrowth);
    return static_cast<std::size_t>(std::clamp(payload, static_cast<double>(kSmallestPayload),
                                               static_cast<double>(kLargestPayload)));
}

void PayloadSizer::Answered(std::size_t bytes, double seconds, double drain) {
    drain_ = drain_ < 0.0 ? drain : 0.5 * (drain_ + drain);
    seconds = std::max(seconds, 1e-6);
    const double keep = std::exp(-seconds / kMemory);
    bytes_ = bytes_ * keep + static_cast<double>(bytes);
    seconds_ = seconds_ * keep + seconds;
    shortest_ = shortest_ < 0.0 ? seconds : std::min(shortest_, seconds);
    last_ = static_cast<double>(bytes);
}

}  // namespace velmora::modulos::medicao::protocolos
