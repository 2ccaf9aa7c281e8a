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

// Gives the folder or file behind `handle` the owner and the protected DACL of `sddl`, on it
// alone: SetSecurityInfo would also rewrite what every child inherits, hard links to files
// elsewhere included, so the descriptor goes through the kernel object's own call.
bool ApplySecurity(HANDLE handle, const wchar_t* sddl) {
    static_assert(kFolderDescriptorScope == DescriptorScope::ThisFolderOnly);
    const win32::UniqueLocal descriptor = Descriptor(sddl);
    return descriptor &&
           SetKernelObjectSecurity(handle, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                   descriptor.get()) != FALSE;
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

// What is set aside is called by its name, this, and "-N" when that is taken.
constexpr std::wstring_view kAside = L".antigo";

// A free name beside `path` for what is set aside: "path.antigo", "path.antigo-2", ...
std::wstring AsideName(const std::wstring& path) {
    std::wstring candidate = path + std::wstring(kAside);
    for (int n = 2; GetFileAttributesW(candidate.c_str()) != INVALID_FILE_ATTRIBUTES; ++n) {
        candidate = path + std::wstring(kAside) + L"-" + std::to_wstring(n);
    }
    return candidate;
}

// Only administrators and SYSTEM may even read what is moved out of an install folder: it may
// be anything a user once put there.
constexpr wchar_t kAsideFolderSddl[] = L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

bool CreateOwnFolder(const std::wstring& path, const wchar_t* sddl) {
    const win32::UniqueLocal descriptor = Descriptor(sddl);
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor.get(), FALSE};
    return descriptor && CreateDirectoryW(path.c_str(), &attributes);
}

// Makes `path` a folder with `sddl`, made with it when missing, and returns it held open:
// nobody can rename or replace it while the installer works in it. One that exists is kept
// when it is a plain folder (no link or mount point) owned by Administrators, SYSTEM,
// TrustedInstaller or this installer's user, whatever it holds; it then gets the descriptor on
// itself alone, and `tidy` works in it. Any other is first renamed aside, with what it holds.
template <typename Tidy>
UniqueFile MakeOwnFolder(const std::wstring& path, const wchar_t* sddl, Tidy tidy) {
    if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) {
        win32::UniqueFile folder = OpenFolder(path);
        if (folder && IsPlainFolder(folder.get()) && HasTrustedOwner(folder.get())) {
            if (!ApplySecurity(folder.get(), sddl) || !tidy(folder.get())) {
                return {};
            }
            return folder;
        }
        folder.reset();  // held, it could not be renamed
        if (!MoveFileExW(path.c_str(), AsideName(path).c_str(), 0)) {
            return {};
        }
    }
    if (!CreateOwnFolder(path, sddl)) {
        return {};  // also when someone made it again in between
    }
    win32::UniqueFile made = OpenFolder(path);
    if (!made || !IsPlainFolder(made.get()) || !HasTrustedOwner(made.get())) {
        return {};
    }
    return made;
}

// Moves what an install folder holds besides the installed names (and an older version's
// history, which each user's meter copies from there) into a folder beside it that only
// administrators can read. The folder is held open, so the names stay where they were checked.
bool MoveOutUnknownNames(HANDLE folder, const std::wstring& path) {
    std::vector<std::wstring> unknown;
    ForEachEntryIn(folder, [&](std::wstring_view name, DWORD) {
        if (!IsInstalledName(name)) {
            unknown.emplace_back(name);
        }
    });
    if (unknown.empty()) {
        return true;
    }
    const std::wstring aside = AsideName(path);
    if (!CreateOwnFolder(aside, kAsideFolderSddl)) {
        return false;
    }
    bool ok = true;
    for (const std::wstring& name : unknown) {
        // A link is moved itself; MoveFileExW never follows the name it moves.
        ok = MoveFileExW(JoinPath(path, name).c_str(), JoinPath(aside, name).c_str(), 0) && ok;
    }
    return ok;
}

bool IsMissing(DWORD error) {
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

}  // namespace

// The folder itself, never what a link or mount point there leads to; without delete sharing,
// so that it cannot be renamed or removed while it is held.
win32::UniqueFile OpenFolder(const std::wstring& path) {
    return win32::UniqueFile(
        CreateFileW(path.c_str(),
                    READ_CONTROL | WRITE_DAC | WRITE_OWNER | FILE_READ_ATTRIBUTES |
                        FILE_LIST_DIRECTORY | SYNCHRONIZE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
}

bool IsPlainFolder(HANDLE handle) {
    BY_HANDLE_FILE_INFORMATION info{};
    return GetFileInformationByHandle(handle, &info) &&
           (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
           !(info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// The install folder and its parent, each made ours: see installer_flow.h. The parent is held
// while the install folder is made, and the install folder while it is tidied.
bool MakeInstallFolders(const std::wstring& installDir) {
    EnablePrivilege(SE_TAKE_OWNERSHIP_NAME);
    EnablePrivilege(SE_RESTORE_NAME);
    const std::wstring parent = FolderOf(installDir);
    const auto keepAll = [](HANDLE) { return true; };
    win32::UniqueFile heldParent;
    if (!(parent.empty() || parent.back() == L':' || parent.size() <= 3)) {  // a drive's root
        heldParent = MakeOwnFolder(parent, kParentFolderSddl, keepAll);
        if (!heldParent) {
            return false;
        }
    }
    return static_cast<bool>(MakeOwnFolder(installDir, kInstallFolderSddl, [&](HANDLE folder) {
        return MoveOutUnknownNames(folder, installDir);
    }));
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

void ForEachEntryIn(HANDLE folder, const std::function<void(std::wstring_view, DWORD)>& visit) {
    alignas(LONGLONG) static thread_local unsigned char buffer[64 * 1024];
    FILE_INFO_BY_HANDLE_CLASS kind = FileIdBothDirectoryRestartInfo;
    while (GetFileInformationByHandleEx(folder, kind, buffer, sizeof buffer)) {
        kind = FileIdBothDirectoryInfo;
        for (std::size_t at = 0;;) {
            const auto* entry = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(buffer + at);
            const std::wstring_view name(entry->FileName, entry->FileNameLength / sizeof(wchar_t));
            if (name != L"." && name != L"..") {
                visit(name, entry->FileAttributes);
            }
            if (entry->NextEntryOffset == 0) {
                break;
            }
            at += entry->NextEntryOffset;
        }
    }
}

// Deletes the name itself, through a handle to it: a link or mount point goes, never what it
// leads to. Windows 10 1809 and later ignore a read-only attribute on request; elsewhere the
// attribute is cleared first, through the same handle, and only when this is the file's one
// name (with a second name elsewhere, the attribute is that file's too).
bool RemoveName(const std::wstring& path) {
    constexpr DWORD kShare = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    constexpr DWORD kFlags = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;
    UniqueFile name(CreateFileW(path.c_str(), DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                                kShare, nullptr, OPEN_EXISTING, kFlags, nullptr));
    if (!name && !IsMissing(GetLastError())) {
        name.reset(CreateFileW(path.c_str(), DELETE | FILE_READ_ATTRIBUTES, kShare, nullptr,
                               OPEN_EXISTING, kFlags, nullptr));
    }
    if (!name) {
        return IsMissing(GetLastError());
    }
    FILE_DISPOSITION_INFO_EX ignoringReadOnly{FILE_DISPOSITION_FLAG_DELETE |
                                              FILE_DISPOSITION_FLAG_POSIX_SEMANTICS |
                                              FILE_DISPOSITION_FLAG_IGNORE_READONLY_ATTRIBUTE};
    // FileDispositionInfoEx, which this SDK's list of classes leaves out.
    constexpr auto kDispositionInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
    if (SetFileInformationByHandle(name.get(), kDispositionInfoEx, &ignoringReadOnly,
                                   sizeof ignoringReadOnly)) {
        return true;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileInformationByHandle(name.get(), &info) &&
        (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) && info.nNumberOfLinks == 1) {
        FILE_BASIC_INFO basic{};  // zero times: left as they are
        basic.FileAttributes = info.dwFileAttributes & ~DWORD{FILE_ATTRIBUTE_READONLY};
        if (basic.FileAttributes == 0) {
            basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
        }
        SetFileInformationByHandle(name.get(), FileBasicInfo, &basic, sizeof basic);
    }
    FILE_DISPOSITION_INFO plain{TRUE};
    return SetFileInformationByHandle(name.get(), FileDispositionInfo, &plain, sizeof plain) !=
           FALSE;
}

// Removes the entries of `folder` that the programs made (IsInstalledName), and nothing else: a
// user's file stays, and keeps the folder. The folder is listed through a handle that holds it
// in place. The uninstaller, running, is left to the command that deletes it afterwards. What
// cannot be removed is skipped; the names of those are returned.
std::vector<std::wstring> RemoveOwnFiles(const std::wstring& folder) {
    std::vector<std::wstring> names;
    const UniqueFile held = OpenFolder(folder);
    if (!held || !IsPlainFolder(held.get())) {
        return {};
    }
    ForEachEntryIn(held.get(), [&](std::wstring_view name, DWORD attributes) {
        if (!(attributes & FILE_ATTRIBUTE_DIRECTORY) && IsInstalledName(name) &&
            CompareStringOrdinal(name.data(), static_cast<int>(name.size()),
                                 kUninstallerFile.data(), static_cast<int>(kUninstallerFile.size()),
                                 TRUE) != CSTR_EQUAL) {
            names.emplace_back(name);
        }
    });
    std::vector<std::wstring> kept;
    for (const std::wstring& name : names) {
        if (!RemoveName(JoinPath(folder, name))) {
            kept.push_back(JoinPath(folder, name));
        }
    }
    return kept;
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
