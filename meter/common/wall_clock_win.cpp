#include "common/wall_clock.h"

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
