#pragma once

// The folders and files the installer makes and removes: each made with its final descriptor,
// an existing one trusted only after it is checked, and nothing followed through a link.

#include <windows.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/win32_handles.h"
#include "installer_flow.h"

namespace velmora::setup {

// The install folder and its parent, each made ours (installer_flow.h): a trusted parent is kept
// with whatever else it holds, a trusted install folder with the installed names and an older
// version's history; anything else there is moved into a folder only administrators can read.
bool MakeInstallFolders(const std::wstring& installDir);

// Creates `path` and any missing parents; an existing folder is fine.
bool CreateFolderTree(const std::wstring& path);

// The folder itself, never what a link or mount point there leads to, held so that it cannot be
// renamed or removed meanwhile.
win32::UniqueFile OpenFolder(const std::wstring& path);

// Each entry of the folder behind `handle` (opened by OpenFolder), with its attributes.
void ForEachEntryIn(HANDLE folder, const std::function<void(std::wstring_view, DWORD)>& visit);

// Deletes the name itself (a link, never what it leads to) through a handle, read-only or not,
// never changing the attributes of a file that has another name. True when it is gone.
bool RemoveName(const std::wstring& path);
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
// running uninstaller is left to the command that deletes it afterwards. Returns the paths of
// those it could not remove, which it skipped.
std::vector<std::wstring> RemoveOwnFiles(const std::wstring& folder);

// Writes `bytes` as a new file with the descriptor of `sddl` from its first moment, then moves
// it over `path` in one step. False, and nothing changed, when it cannot.
bool WriteOwnFile(const std::wstring& path, const void* bytes, DWORD size, const wchar_t* sddl);

// A whole file, up to `limit` bytes; nullopt when it cannot be read or is larger.
std::optional<std::string> ReadWhole(const std::wstring& path, std::uint64_t limit);

}  // namespace velmora::setup
