#pragma once

#include <cstdint>

namespace velmora {

// Wall-clock time in UTC as 100-nanosecond ticks since 1970-01-01 00:00:00 UTC.
std::int64_t UnixTicksNow();

// The ticks from 1601-01-01 (the Windows file-time epoch) to 1970-01-01.
inline constexpr std::int64_t kFileTimeToUnixTicks = 0x019DB1DED53E8000;

}  // namespace velmora

namespace velmora {

// Milliseconds of a monotonic clock (since system start on Windows); only its changes matter.
std::uint64_t TickCountMs();

}  // namespace velmora

namespace velmora {

// The CPU time this process has used so far, on all its threads, in seconds.
double ProcessCpuSeconds();

// The processors this process may run on (its affinity), at least 1.
unsigned UsableCores();

}  // namespace velmora
