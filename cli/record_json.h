#pragma once

#include <string>

#include "measurement/run_state.h"

namespace velmora::cli {

// The record as one JSON object, members named and ordered as the record's fields. Numbers use
// "." and the shortest form that reads back to the same value, whatever the locale.
std::string RecordToJson(const modulos::medicao::MeasurementRecord& record);

}  // namespace velmora::cli
