#include <windows.h>

#include <io.h>
#include <cstdio>

#include "console.h"

namespace velmora::cli {

void PrepareConsole() {
    SetConsoleOutputCP(CP_UTF8);
}

bool StdoutIsTerminal() {
    return _isatty(_fileno(stdout)) != 0;
}

}  // namespace velmora::cli
