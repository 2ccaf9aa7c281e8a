#include <windows.h>

#include <io.h>
#include <cstdio>

#include "common/dll_search_win.h"
#include "platform/console.h"

namespace velmora::cli {

void PrepareProcess() {
    win32::LoadDllsOnlyFromSystem();
    SetConsoleOutputCP(CP_UTF8);
}

bool StdoutIsTerminal() {
    return _isatty(_fileno(stdout)) != 0;
}

bool CanOpenBrowser() {
    // The shell can always open it; a script that reads the output wants the path instead.
    return StdoutIsTerminal();
}

}  // namespace velmora::cli
