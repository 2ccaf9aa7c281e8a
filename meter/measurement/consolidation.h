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
// line with a quarter of the readings above it (a regression on the upper quartile). Bytes held
// back behind a loss reach the reader only with the retransmission, so a held count is short of
// the link's line, never ahead of it: a least-squares line follows the held readings, and tilts
// with them where they crowd one part of the window (just after warm-up, while the flows
// recover from slow start). Nothing from fewer than three readings, or all at one time.
std::optional<double> PaceOfReadings(const std::vector<std::pair<double, std::uint64_t>>& readings);

}  // namespace velmora::modulos::medicao
