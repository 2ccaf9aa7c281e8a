#pragma once

// The folders and files the installer makes and removes: each made with its final descriptor,
// an existing one trusted only after it is checked, and nothing followed through a link.

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/win32_handles.h"
#include "installer_flow.h"

namespace velmora::setup {

// The install folder, its parent and the data folder, each made ours (installer_flow.h).
bool MakeInstallFolders(const std::wstring& installDir);

// Creates `path` and any missing parents; an existing folder is fine.
bool CreateFolderTree(const std::wstring& path);

// The folder itself, never what a link or mount point there leads to.
win32::UniqueFile OpenFolder(const std::wstring& path);
bool IsPlainFolder(HANDLE handle);

template <typename Visit>
void ForEachEntry(const std::wstring& folder, Visit visit) {
    WIN32_FIND_DATAW found{};
    const win32::UniqueFind search(FindFirstFileW(JoinPath(folder, L"*").c_str(), &found));
    if (!search) {
        return;
    }
    do {
        const std::wstring_view name = found.cFileName;
        if (name != L"." && name != L"..") {
            visit(name, found.dwFileAttributes);
        }
    } while (FindNextFileW(search.get(), &found));
}

// True when the file is gone afterwards, also when it never existed.
bool RemoveFile(const std::wstring& path);

// Removes a folder with everything in it; a missing folder is fine. A link or mount point is
// removed itself, never what it leads to.
bool RemoveTree(const std::wstring& path);

// Removes the files of `folder` that the programs made (IsInstalledName), and nothing else; the
// running uninstaller is left to the command that deletes it afterwards. True when none of the
// others is left.
bool RemoveOwnFiles(const std::wstring& folder);

// Writes `bytes` as a new file with the descriptor of `sddl` from its first moment, then moves
// it over `path` in one step. False, and nothing changed, when it cannot.
bool WriteOwnFile(const std::wstring& path, const void* bytes, DWORD size, const wchar_t* sddl);

// A whole file, up to `limit` bytes; nullopt when it cannot be read or is larger.
std::optional<std::string> ReadWhole(const std::wstring& path, std::uint64_t limit);

}  // namespace velmora::setup
