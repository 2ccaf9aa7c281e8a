#pragma once

// What a run notes about each phase beside its speed, to tell when a figure says more about the
// machine or the path than about the line.

#include <chrono>
#include <vector>

#include "measurement/run_state.h"
#include "protocols/transfer_tally.h"

namespace velmora::modulos::medicao {

// The standard deviation of `values` over their mean; -1 for fewer than two or a mean of 0.
double CoefficientOfVariation(const std::vector<double>& values);

// Watches one phase from the end of its warm-up: the process's CPU time against the cores'
// time, and the uploads' TCP send counters.
class PhaseWatch {
  public:
    void Start(const protocolos::TransferTally& tally);
    PhaseDiagnostics Finish(const protocolos::TransferTally& tally,
                            const std::vector<double>& liveValues, int loadedProbes) const;

  private:
    bool started_ = false;
    double cpuSeconds_ = 0.0;
    std::chrono::steady_clock::time_point wallStart_;
    std::uint64_t wireSent_ = 0;
    std::uint64_t wireRetransmitted_ = 0;
};

}  // namespace velmora::modulos::medicao
