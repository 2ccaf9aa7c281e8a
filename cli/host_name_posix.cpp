#include <unistd.h>

#include <climits>

#include "host_name.h"

namespace velmora::cli {

std::string HostName() {
    char name[HOST_NAME_MAX + 1] = {};
    if (::gethostname(name, sizeof name - 1) != 0) {
        return {};
    }
    return name;
}

}  // namespace velmora::cli
