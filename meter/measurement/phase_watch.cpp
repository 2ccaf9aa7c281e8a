#include "measurement/phase_watch.h"

#include <chrono>
#include <cmath>
#include <numeric>

#include "platform/wall_clock.h"

namespace velmora::modulos::medicao {

double CoefficientOfVariation(const std::vector<double>& values) {
    if (values.size() < 2) {
        return -1.0;
    }
    const double n = static_cast<double>(values.size());
    const double mean = std::accumulate(values.begin(), values.end(), 0.0) / n;
    if (!(mean > 0.0)) {
        return -1.0;
    }
    double squares = 0.0;
    for (const double value : values) {
        squares += (value - mean) * (value - mean);
    }
    return std::sqrt(squares / n) / mean;
}

void PhaseWatch::Start(const protocolos::TransferTally& tally) {
    started_ = true;
    cpuSeconds_ = ProcessCpuSeconds();
    wallStart_ = std::chrono::steady_clock::now();
    wireSent_ = tally.wireSent.load();
    wireRetransmitted_ = tally.wireRetransmitted.load();
}

PhaseDiagnostics PhaseWatch::Finish(const protocolos::TransferTally& tally,
                                    const std::vector<double>& liveValues, int loadedProbes) const {
    PhaseDiagnostics phase;
    phase.loadedProbes = loadedProbes;
    phase.liveVariation = CoefficientOfVariation(liveValues);
    if (!started_) {
        return phase;
    }
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart_).count();
    if (wall > 0.0) {
        phase.cpuShare = (ProcessCpuSeconds() - cpuSeconds_) / (wall * UsableCores());
    }
    const std::uint64_t sent = tally.wireSent.load() - wireSent_;
    if (sent > 0) {
        phase.retransmittedShare =
            static_cast<double>(tally.wireRetransmitted.load() - wireRetransmitted_) /
            static_cast<double>(sent);
    }
    return phase;
}

}  // namespace velmora::modulos::medicao
