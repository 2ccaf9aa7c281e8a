#include "history/run_finish.h"

namespace velmora::modulos::medicao {

FinishedRun FinishMeasurement(SharedRunState& state) {
    return FinishMeasurement(state, HistoryDirectory());
}

FinishedRun FinishMeasurement(SharedRunState& state, const std::filesystem::path& directory) {
    FinishedRun finished;
    finished.run = ReadRunSnapshot(state);
    finished.record = MakeMeasurementRecord(finished.run);
    finished.stored = AppendToHistory(finished.record, directory);  // never throws
    state.running.exchange(false);
    finished.run.running = false;
    return finished;
}

}  // namespace velmora::modulos::medicao
