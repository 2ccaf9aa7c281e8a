#include <cstdlib>
#include <cstring>

#include "support/loopback_listener.h"

namespace velmora::test {

bool InIsolatedNetwork() {
    const char* flag = std::getenv("VELMORA_ISOLATED_NET");
    return flag != nullptr && std::strcmp(flag, "1") == 0;
}

}  // namespace velmora::test
