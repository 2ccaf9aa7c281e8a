#include "install_files_win.h"

// After windows.h, which they need.
#include <aclapi.h>
#include <sddl.h>

#include "install_steps.h"
#include "installer_flow.h"

namespace velmora::setup {
namespace {

using win32::UniqueFile;

// Turns on a privilege that the elevated token holds but keeps disabled (taking ownership).
void EnablePrivilege(const wchar_t* name) {
    HANDLE raw = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &raw)) {
        return;
    }
    const win32::UniqueKernelHandle token(raw);
    TOKEN_PRIVILEGES privileges{};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    if (LookupPrivilegeValueW(nullptr, name, &privileges.Privileges[0].Luid)) {
        AdjustTokenPrivileges(token.get(), FALSE, &privileges, 0, nullptr, nullptr);
    }
}

// A security descriptor made from SDDL; empty when the text is not valid.
win32::UniqueLocal Descriptor(const wchar_t* sddl) {
    PSECURITY_DESCRIPTOR raw = nullptr;
    ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &raw, nullptr);
    return win32::UniqueLocal(raw);
}

// Gives the folder or file behind `handle` the owner and the protected DACL of `sddl`.
bool ApplySecurity(HANDLE handle, const wchar_t* sddl) {
    const win32::UniqueLocal descriptor = Descriptor(sddl);
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    PSID owner = nullptr;
    if (!descriptor || !GetSecurityDescriptorDacl(descriptor.get(), &present, &dacl, &defaulted) ||
        !present || !GetSecurityDescriptorOwner(descriptor.get(), &owner, &defaulted) ||
        owner == nullptr) {
        return false;
    }
    return SetSecurityInfo(handle, SE_FILE_OBJECT,
                           OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
                               PROTECTED_DACL_SECURITY_INFORMATION,
                           owner, nullptr, dacl, nullptr) == ERROR_SUCCESS;
}

bool IsWellKnown(PSID sid, WELL_KNOWN_SID_TYPE type) {
    BYTE buffer[SECURITY_MAX_SID_SIZE] = {};
    DWORD size = sizeof buffer;
    return CreateWellKnownSid(type, nullptr, buffer, &size) && EqualSid(sid, buffer);
}

bool IsTrustedInstaller(PSID sid) {
    PSID trusted = nullptr;
    if (!ConvertStringSidToSidW(L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464",
                                &trusted)) {
        return false;
    }
    const win32::UniqueLocal owned(trusted);
    return EqualSid(sid, trusted);
}

// The user this installer runs as. An administrator's own folders are as trusted as those of
// the Administrators group: the unelevated half of the same account is no security boundary.
bool IsThisUser(PSID sid) {
    HANDLE raw = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) {
        return false;
    }
    const win32::UniqueKernelHandle token(raw);
    BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE] = {};
    DWORD size = 0;
    return GetTokenInformation(token.get(), TokenUser, buffer, sizeof buffer, &size) &&
           EqualSid(sid, reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid);
}

bool HasTrustedOwner(HANDLE handle) {
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR raw = nullptr;
    if (GetSecurityInfo(handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                        nullptr, nullptr, &raw) != ERROR_SUCCESS) {
        return false;
    }
    const win32::UniqueLocal descriptor(raw);
    return owner != nullptr && (IsWellKnown(owner, WinBuiltinAdministratorsSid) ||
                                IsWellKnown(owner, WinLocalSystemSid) ||
                                IsTrustedInstaller(owner) || IsThisUser(owner));
}

template <typename Expected>
bool HoldsOnly(const std::wstring& folder, Expected expected) {
    bool only = true;
    ForEachEntry(folder, [&](std::wstring_view name, DWORD) { only = only && expected(name); });
    return only;
}

// What a folder set aside is called: its name, this, and "-N" when that is taken.
constexpr std::wstring_view kAside = L".antigo";

// A free name beside `path` for a folder that is set aside: "path.antigo", "path.antigo-2", ...
std::wstring AsideName(const std::wstring& path) {
    std::wstring candidate = path + std::wstring(kAside);
    for (int n = 2; GetFileAttributesW(candidate.c_str()) != INVALID_FILE_ATTRIBUTES; ++n) {
        candidate = path + std::wstring(kAside) + L"-" + std::to_wstring(n);
    }
    return candidate;
}

// Makes `path` a folder with `sddl`, made with it when missing. One that exists is kept only
// when it is a plain folder (no link or mount point), owned by Administrators, SYSTEM,
// TrustedInstaller or this installer's user, and holds only `expected` names; it then gets the
// descriptor through a handle to itself. Any other is first renamed aside, with what it holds.
template <typename Expected>
bool MakeOwnFolder(const std::wstring& path, const wchar_t* sddl, Expected expected) {
    if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) {
        {
            const win32::UniqueFile folder = OpenFolder(path);
            if (folder && IsPlainFolder(folder.get()) && HasTrustedOwner(folder.get()) &&
                HoldsOnly(path, expected)) {
                return ApplySecurity(folder.get(), sddl);
            }
        }
        if (!MoveFileExW(path.c_str(), AsideName(path).c_str(), 0)) {
            return false;
        }
    }
    const win32::UniqueLocal descriptor = Descriptor(sddl);
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor.get(), FALSE};
    return descriptor && CreateDirectoryW(path.c_str(), &attributes);
}

std::wstring NameOf(const std::wstring& path) {
    const std::wstring folder = FolderOf(path);
    std::wstring name = path.substr(folder.size());
    while (!name.empty() && (name.front() == L'\\' || name.front() == L'/')) {
        name.erase(0, 1);
    }
    return name;
}

bool IsMissing(DWORD error) {
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

}  // namespace

// The folder itself, never what a link or mount point there leads to.
win32::UniqueFile OpenFolder(const std::wstring& path) {
    return win32::UniqueFile(
        CreateFileW(path.c_str(), READ_CONTROL | WRITE_DAC | WRITE_OWNER | FILE_READ_ATTRIBUTES,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
}

bool IsPlainFolder(HANDLE handle) {
    BY_HANDLE_FILE_INFORMATION info{};
    return GetFileInformationByHandle(handle, &info) &&
           (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
           !(info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// The install folder, its parent and the data folder, each made ours: see installer_flow.h.
bool MakeInstallFolders(const std::wstring& installDir) {
    EnablePrivilege(SE_TAKE_OWNERSHIP_NAME);
    EnablePrivilege(SE_RESTORE_NAME);
    const std::wstring parent = FolderOf(installDir);
    const std::wstring ownName = NameOf(installDir);
    const bool parentOk =
        parent.empty() || parent.back() == L':' ||
        parent.size() <= 3 ||  // a drive's root is the system's
        MakeOwnFolder(parent, kParentFolderSddl, [&](std::wstring_view name) {
            return name == ownName || name.starts_with(ownName + std::wstring(kAside));
        });
    return parentOk && MakeOwnFolder(installDir, kInstallFolderSddl, IsInstalledName) &&
           MakeOwnFolder(JoinPath(installDir, kDataFolder), kDataFolderSddl,
                         [](std::wstring_view) { return true; });
}

namespace {

bool IsFolder(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

}  // namespace

bool CreateFolderTree(const std::wstring& path) {
    if (path.empty()) {
        return false;
    }
    for (std::size_t i = 1; i <= path.size(); ++i) {
        if (i < path.size() && path[i] != L'\\' && path[i] != L'/') {
            continue;
        }
        const std::wstring prefix = path.substr(0, i);
        if (prefix.back() == L':' || IsFolder(prefix)) {
            continue;  // a drive, or there already
        }
        if (!CreateDirectoryW(prefix.c_str(), nullptr) && !IsFolder(prefix)) {
            return false;
        }
    }
    return true;
}

// True when the file is gone afterwards, also when it never existed.
bool RemoveFile(const std::wstring& path) {
    return DeleteFileW(path.c_str()) || IsMissing(GetLastError());
}

// Removes a folder with everything in it; a missing folder is fine. A link or mount point is
// removed itself, never what it leads to. The emptied folder is tried ten times: Explorer or an
// indexer may still hold it for a moment.
bool RemoveTree(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        return attributes == INVALID_FILE_ATTRIBUTES;
    }
    bool ok = true;
    if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        ForEachEntry(path, [&](std::wstring_view name, DWORD entry) {
            const std::wstring child = JoinPath(path, name);
            if (entry & FILE_ATTRIBUTE_DIRECTORY) {
                ok = RemoveTree(child) && ok;
            } else {
                SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
                ok = RemoveFile(child) && ok;
            }
        });
    }
    for (int attempt = 0; attempt < 10; ++attempt) {
        if (RemoveDirectoryW(path.c_str()) || IsMissing(GetLastError())) {
            return ok;
        }
        const DWORD error = GetLastError();
        if (error != ERROR_DIR_NOT_EMPTY && error != ERROR_ACCESS_DENIED) {
            break;
        }
        Sleep(50);
    }
    return false;
}

// Removes the files of `folder` that the programs made (IsInstalledName), and nothing else: a
// user's file stays, and keeps the folder. The uninstaller, running, is left to the command
// that deletes it afterwards. True when none of the others is left.
bool RemoveOwnFiles(const std::wstring& folder) {
    bool ok = true;
    ForEachEntry(folder, [&](std::wstring_view name, DWORD attributes) {
        if (!(attributes & FILE_ATTRIBUTE_DIRECTORY) && IsInstalledName(name) &&
            CompareStringOrdinal(name.data(), static_cast<int>(name.size()),
                                 kUninstallerFile.data(), static_cast<int>(kUninstallerFile.size()),
                                 TRUE) != CSTR_EQUAL) {
            const std::wstring child = JoinPath(folder, name);
            SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
            ok = RemoveFile(child) && ok;
        }
    });
    return ok;
}

// Writes `bytes` as a new file with the descriptor of `sddl` from its first moment, then moves
// it over `path` in one step. A stale file of the new name (an interrupted repair) is removed
// first; if it cannot be, because someone holds it open, nothing is written.
bool WriteOwnFile(const std::wstring& path, const void* bytes, DWORD size, const wchar_t* sddl) {
    const std::wstring fresh = path + kNewFileSuffix;
    if (!RemoveFile(fresh)) {
        return false;
    }
    const win32::UniqueLocal descriptor = Descriptor(sddl);
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor.get(), FALSE};
    {
        const UniqueFile file(CreateFileW(fresh.c_str(), GENERIC_WRITE, 0,
                                          descriptor ? &attributes : nullptr, CREATE_NEW,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!descriptor || !file) {
            return false;
        }
        DWORD written = 0;
        if (!WriteFile(file.get(), bytes, size, &written, nullptr) || written != size ||
            !FlushFileBuffers(file.get())) {
            DeleteFileW(fresh.c_str());
            return false;
        }
    }
    if (!MoveFileExW(fresh.c_str(), path.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        DeleteFileW(fresh.c_str());
        return false;
    }
    return true;
}

// A whole file, up to `limit` bytes; nullopt when it cannot be read or is larger.
std::optional<std::string> ReadWhole(const std::wstring& path, std::uint64_t limit) {
    const UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size{};
    if (!file || !GetFileSizeEx(file.get(), &size) ||
        static_cast<std::uint64_t>(size.QuadPart) > limit) {
        return std::nullopt;
    }
    std::string bytes(static_cast<std::size_t>(size.QuadPart), '\0');
    DWORD read = 0;
    if (!bytes.empty() &&
        (!ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr) ||
         read != bytes.size())) {
        return std::nullopt;
    }
    return bytes;
}

}  // namespace velmora::setup
