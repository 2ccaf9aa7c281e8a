#pragma once

// How a front end ends a run that reported RunEvent::Done: the engine builds the record, keeps it
// in the history and frees the run for the next start. The front end shows what it gets back.

#include <filesystem>

#include "history/history_file.h"
#include "measurement/run_state.h"

namespace velmora::modulos::medicao {

struct FinishedRun {
    RunSnapshot run;           // everything the run published, as it ended
    MeasurementRecord record;  // the run's record, stamped now
    bool stored = false;       // false: the history could not be read or written
};

// On RunEvent::Done: the record, appended to the history in `directory`; then the run is no
// longer running. A record that cannot be stored is not stored (the result still says so).
FinishedRun FinishMeasurement(SharedRunState& state);
FinishedRun FinishMeasurement(SharedRunState& state, const std::filesystem::path& directory);

}  // namespace velmora::modulos::medicao
