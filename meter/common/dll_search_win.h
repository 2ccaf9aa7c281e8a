#pragma once

// Where the programs load DLLs from. Their folder is not a safe place to look: a copy of a
// program in Downloads sits among whatever else was downloaded, and a DLL that is not one of
// the system's KnownDLLs is looked for beside the program first. So every program takes DLLs
// from the system folder only, and imports by name only KnownDLLs (others are loaded here).

#include <windows.h>

namespace velmora::win32 {

// First thing in every program: later loads (and those the system makes for it) search only
// the system folder.
inline void LoadDllsOnlyFromSystem() {
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

// A DLL of the system folder, whatever the process's search path; null when it is not there.
inline HMODULE LoadSystemDll(const wchar_t* name) {
    return LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
}

}  // namespace velmora::win32
