#include "protocols/upload_pacing.h"

#include <algorithm>
#include <cmath>

#include "protocols/speed_protocol.h"

namespace velmora::modulos::medicao::protocolos {
namespace {

std::uint64_t Acknowledged(const TcpSendStats& stats) {
    const std::uint64_t unacknowledged = stats.bytesRetrans + stats.bytesInFlight;
    return stats.bytesOut > unacknowledged ? stats.bytesOut - unacknowledged : 0;
}

}  // namespace

std::size_t PieceSizer::Next() const {
    if (seconds_ <= 0.0) {
        return bytes_ > 0.0 ? kUploadPieceBytes : kSmallestPiece;
    }
    const double piece = bytes_ / seconds_ * kPieceTime;
    return static_cast<std::size_t>(std::clamp(piece, static_cast<double>(kSmallestPiece),
                                               static_cast<double>(kUploadPieceBytes)));
}

void PieceSizer::Wrote(std::size_t bytes, double seconds) {
    const double keep = std::exp(-std::max(seconds, 0.0) / kMemory);
    bytes_ = bytes_ * keep + static_cast<double>(bytes);
    seconds_ = seconds_ * keep + std::max(seconds, 0.0);
}

AcknowledgedBody::AcknowledgedBody(std::optional<TcpSendStats> atStart) {
    if (atStart) {
        baseline_ = Acknowledged(*atStart);
    }
}

std::uint64_t AcknowledgedBody::Received(std::uint64_t taken,
                                         std::optional<TcpSendStats> now) const {
    if (!baseline_ || !now) {
        return taken;
    }
    const std::uint64_t acknowledged = Acknowledged(*now);
    const std::uint64_t since = acknowledged > *baseline_ ? acknowledged - *baseline_ : 0;
    return std::min(taken, since);
}

}  // namespace velmora::modulos::medicao::protocolos
