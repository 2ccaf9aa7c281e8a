#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "platform/console.h"

namespace velmora::cli {

void PrepareProcess() {}

bool StdoutIsTerminal() {
    return isatty(STDOUT_FILENO) != 0;
}

bool CanOpenBrowser() {
    const auto set = [](const char* name) {
        const char* value = std::getenv(name);
        return value != nullptr && *value != '\0';
    };
    if (!set("DISPLAY") && !set("WAYLAND_DISPLAY")) {
        return false;
    }
    const char* path = std::getenv("PATH");
    std::string folders = path == nullptr ? "" : path;
    std::size_t start = 0;
    while (start <= folders.size()) {
        const std::size_t end = std::min(folders.find(':', start), folders.size());
        const std::string candidate = folders.substr(start, end - start) + "/xdg-open";
        if (end > start && access(candidate.c_str(), X_OK) == 0) {
            return true;
        }
        start = end + 1;
    }
    return false;
}

}  // namespace velmora::cli
