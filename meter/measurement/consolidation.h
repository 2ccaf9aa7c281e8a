#pragma once

#include <vector>

namespace velmora::modulos::medicao {

// One robust speed from a phase's live values: drops the fifth smallest and largest, takes the
// (upper) middle value, and averages what lies between 0.65 and 1.25 times it.
// Throws std::runtime_error for an empty list.
double ConsolidateSamples(const std::vector<double>& samples);

}  // namespace velmora::modulos::medicao
