#pragma once

namespace velmora::cli {

// Makes the console show UTF-8 text (Windows consoles need to be told).
void PrepareConsole();

// True when standard output is a terminal, so that a live line can be redrawn in place.
bool StdoutIsTerminal();

}  // namespace velmora::cli
