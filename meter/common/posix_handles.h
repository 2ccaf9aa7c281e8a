#pragma once

// The owner of a POSIX file descriptor, so that no path out of a function (an early return, an
// exception) leaves one open.

#include <unistd.h>

#include "common/unique_handle.h"

namespace velmora::posix {

struct FileDescriptorTraits {
    using Type = int;
    static constexpr Type Invalid() noexcept { return -1; }
    static void Close(Type fd) noexcept { ::close(fd); }
};
using UniqueFd = UniqueHandle<FileDescriptorTraits>;

// Closes `fd` now, for callers that must know whether the close succeeded (a write's last
// error may show only there).
inline bool CloseReporting(UniqueFd& fd) noexcept {
    return !fd || ::close(fd.release()) == 0;
}

}  // namespace velmora::posix
