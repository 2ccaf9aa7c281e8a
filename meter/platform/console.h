#pragma once

namespace velmora::cli {

// First thing in the program: the console shows UTF-8 text (Windows consoles need to be told),
// and on Windows DLLs are loaded from the system folder only.
void PrepareProcess();

// True when standard output is a terminal, so that a live line can be redrawn in place.
bool StdoutIsTerminal();

// True when a page can be shown in the user's browser: on Linux a display and xdg-open.
bool CanOpenBrowser();

}  // namespace velmora::cli
