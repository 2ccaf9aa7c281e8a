#pragma once

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

namespace velmora::modulos::medicao {

// One robust speed from a phase's live values: drops the fifth smallest and largest, takes the
// (upper) middle value, and averages what lies between 0.65 and 1.25 times it.
// Throws std::runtime_error for an empty list.
double ConsolidateSamples(const std::vector<double>& samples);

// The pace of a count that only grows, from its readings (seconds, count): the slope of the
// least-squares line through them. Bytes held back behind a loss reach the reader in a lump;
// one just inside an end of the window raises that end's readings alone and hardly tilts the
// line, where it counts whole in the last reading less the first. Nothing from fewer than
// three readings.
std::optional<double> PaceOfReadings(const std::vector<std::pair<double, std::uint64_t>>& readings);

}  // namespace velmora::modulos::medicao
