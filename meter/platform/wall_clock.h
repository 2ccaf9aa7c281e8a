#pragma once

#include <bit>
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

// Windows' rule for UsableCores, from GetProcessAffinityMask's two masks (0 when the call
// fails) and the active processors of all groups. The masks cover a single processor group:
// both are 0 when the process's threads span several groups, and on Windows 11 a process nobody
// restricted runs on every group while the masks show its first. In both cases, and whenever
// the process may use all of its group, every active processor counts.
inline unsigned CoresFromAffinity(std::uint64_t processMask, std::uint64_t systemMask,
                                  unsigned allGroups) {
    const unsigned own = static_cast<unsigned>(std::popcount(processMask));
    const unsigned cores = own == 0 || processMask == systemMask ? allGroups : own;
    return cores > 0 ? cores : 1;
}

}  // namespace velmora
