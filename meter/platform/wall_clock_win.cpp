#include "platform/wall_clock.h"

#include <windows.h>

namespace velmora {

std::int64_t UnixTicksNow() {
    FILETIME fileTime{};
    GetSystemTimePreciseAsFileTime(&fileTime);
    const auto ticks =
        (static_cast<std::uint64_t>(fileTime.dwHighDateTime) << 32) | fileTime.dwLowDateTime;
    return static_cast<std::int64_t>(ticks) - kFileTimeToUnixTicks;
}

}  // namespace velmora

namespace velmora {

std::uint64_t TickCountMs() {
    return GetTickCount64();
}

}  // namespace velmora

namespace velmora {

double ProcessCpuSeconds() {
    FILETIME created{};
    FILETIME ended{};
    FILETIME kernel{};
    FILETIME user{};
    if (!GetProcessTimes(GetCurrentProcess(), &created, &ended, &kernel, &user)) {
        return 0.0;
    }
    const auto seconds = [](const FILETIME& time) {
        return static_cast<double>(static_cast<std::uint64_t>(time.dwHighDateTime) << 32 |
                                   time.dwLowDateTime) /
               1e7;
    };
    return seconds(kernel) + seconds(user);
}

}  // namespace velmora

namespace velmora {

unsigned UsableCores() {
    DWORD_PTR process = 0;
    DWORD_PTR system = 0;
    if (!GetProcessAffinityMask(GetCurrentProcess(), &process, &system)) {
        process = system = 0;
    }
    return CoresFromAffinity(process, system, GetActiveProcessorCount(ALL_PROCESSOR_GROUPS));
}

}  // namespace velmora
