#include <unistd.h>

#include "console.h"

namespace velmora::cli {

void PrepareConsole() {}

bool StdoutIsTerminal() {
    return isatty(STDOUT_FILENO) != 0;
}

}  // namespace velmora::cli
