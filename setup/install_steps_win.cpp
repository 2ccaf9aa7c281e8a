// The install and uninstall jobs. They run on the installer's job thread and never throw:
// every outcome reaches the window as a status text and a percentage.

#include <windows.h>
// After windows.h, which they need.
#include <exdisp.h>
#include <objidl.h>
#include <servprov.h>
#include <shellapi.h>
#include <shldisp.h>
#include <shlobj.h>
#include <shobjidl.h>
// After windows.h, which they need.
#include <aclapi.h>
#include <sddl.h>

#include "common/win32_handles.h"
#include "install_steps.h"

namespace velmora::setup {
namespace {

using win32::ComPtr;
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

template <typename Expected>
bool HoldsOnly(const std::wstring& folder, Expected expected) {
    bool only = true;
    ForEachEntry(folder, [&](std::wstring_view name, DWORD) { only = only && expected(name); });
    return only;
}

// A free name beside `path` for a folder that is set aside: "path.antigo", "path.antigo-2", ...
std::wstring AsideName(const std::wstring& path) {
    std::wstring candidate = path + L".antigo";
    for (int n = 2; GetFileAttributesW(candidate.c_str()) != INVALID_FILE_ATTRIBUTES; ++n) {
        candidate = path + L".antigo-" + std::to_wstring(n);
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

// The install folder, its parent and the data folder, each made ours: see installer_flow.h.
bool MakeInstallFolders(const std::wstring& installDir) {
    EnablePrivilege(SE_TAKE_OWNERSHIP_NAME);
    EnablePrivilege(SE_RESTORE_NAME);
    const std::wstring parent = FolderOf(installDir);
    const std::wstring ownName = NameOf(installDir);
    const bool parentOk = parent.empty() || parent.back() == L':' ||
                          parent.size() <= 3 ||  // a drive's root is the system's
                          MakeOwnFolder(parent, kParentFolderSddl, [&](std::wstring_view name) {
                              return name == ownName || name.starts_with(ownName + L".antigo");
                          });
    return parentOk && MakeOwnFolder(installDir, kInstallFolderSddl, IsInstalledName) &&
           MakeOwnFolder(JoinPath(installDir, kDataFolder), kDataFolderSddl,
                         [](std::wstring_view) { return true; });
}

void Report(const InstallLayout& layout, std::wstring_view text, int percent) {
    if (layout.progress) {
        layout.progress(text, percent);
    }
}

bool IsFolder(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// Creates `path` and any missing parents; an existing folder is fine.
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

std::optional<std::wstring> ShellFolder(const std::optional<std::wstring>& given, int csidl) {
    if (given) {
        return given;
    }
    wchar_t buffer[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, buffer))) {
        return std::nullopt;
    }
    return std::wstring(buffer);
}

std::optional<std::uint64_t> FileSize(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) ||
        (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        return std::nullopt;
    }
    return (std::uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
}

bool SetText(HKEY key, const wchar_t* name, std::wstring_view text) {
    const std::wstring data(text);
    const auto bytes = static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t));
    return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                          bytes) == ERROR_SUCCESS;
}

bool SetNumber(HKEY key, const wchar_t* name, DWORD value) {
    return RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                          sizeof value) == ERROR_SUCCESS;
}

bool IsMissing(DWORD error) {
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
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

// The largest history moved, as the meter reads at most.
constexpr std::uint64_t kMostHistoryBytes = std::uint64_t{64} << 20;

// An older version kept the history beside the programs: its runs move into the data folder
// once, as a new file there that takes the data folder's rights.
void MoveOldHistory(const std::wstring& installDir) {
    const std::wstring old = JoinPath(installDir, kHistoryFile);
    const std::wstring moved = JoinPath(JoinPath(installDir, kDataFolder), kHistoryFile);
    if (GetFileAttributesW(moved.c_str()) != INVALID_FILE_ATTRIBUTES) {
        return;
    }
    const std::optional<std::string> bytes = ReadWhole(old, kMostHistoryBytes);
    if (!bytes) {
        return;
    }
    const UniqueFile file(CreateFileW(moved.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    if (file &&
        WriteFile(file.get(), bytes->data(), static_cast<DWORD>(bytes->size()), &written,
                  nullptr) &&
        written == bytes->size() && FlushFileBuffers(file.get())) {
        DeleteFileW(old.c_str());
    }
}

}  // namespace

bool ExtractResourceToFile(int id, const std::wstring& path) {
    const HMODULE self = GetModuleHandleW(nullptr);
    const HRSRC found = FindResourceW(self, MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(10));
    if (!found) {
        return false;
    }
    const HGLOBAL loaded = LoadResource(self, found);
    const void* data = loaded ? LockResource(loaded) : nullptr;
    const DWORD size = SizeofResource(self, found);
    if (!data || size == 0) {
        return false;
    }
    // Written whole beside the old file, then swapped in one step: a repair that fails half-way
    // (a full disk) leaves the old program as it was, and a running one is never touched.
    return WriteOwnFile(path, data, size, kProgramFileSddl);
}

namespace {

template <typename Interface>
ComPtr<Interface> Query(IUnknown* from, REFIID id) {
    Interface* raw = nullptr;
    if (from == nullptr || FAILED(from->QueryInterface(id, reinterpret_cast<void**>(&raw)))) {
        return ComPtr<Interface>(nullptr);
    }
    return ComPtr<Interface>(raw);
}

// The desktop's shell, which runs with the rights of the user who is logged on.
ComPtr<IShellDispatch2> DesktopShell() {
    IShellWindows* rawWindows = nullptr;
    if (FAILED(CoCreateInstance(CLSID_ShellWindows, nullptr, CLSCTX_LOCAL_SERVER, IID_IShellWindows,
                                reinterpret_cast<void**>(&rawWindows)))) {
        return ComPtr<IShellDispatch2>(nullptr);
    }
    const ComPtr<IShellWindows> windows(rawWindows);
    VARIANT desktop{};
    desktop.vt = VT_I4;
    desktop.lVal = CSIDL_DESKTOP;
    VARIANT none{};
    long window = 0;
    IDispatch* rawFound = nullptr;
    if (windows.get()->FindWindowSW(&desktop, &none, SWC_DESKTOP, &window, SWFO_NEEDDISPATCH,
                                    &rawFound) != S_OK) {
        return ComPtr<IShellDispatch2>(nullptr);
    }
    const ComPtr<IDispatch> found(rawFound);
    const auto services = Query<IServiceProvider>(found.get(), IID_IServiceProvider);
    IShellBrowser* rawBrowser = nullptr;
    if (!services || FAILED(services.get()->QueryService(SID_STopLevelBrowser, IID_IShellBrowser,
                                                         reinterpret_cast<void**>(&rawBrowser)))) {
        return ComPtr<IShellDispatch2>(nullptr);
    }
    const ComPtr<IShellBrowser> browser(rawBrowser);
    IShellView* rawView = nullptr;
    if (FAILED(browser.get()->QueryActiveShellView(&rawView))) {
        return ComPtr<IShellDispatch2>(nullptr);
    }
    const ComPtr<IShellView> view(rawView);
    IDispatch* rawBackground = nullptr;
    if (FAILED(view.get()->GetItemObject(SVGIO_BACKGROUND, IID_IDispatch,
                                         reinterpret_cast<void**>(&rawBackground)))) {
        return ComPtr<IShellDispatch2>(nullptr);
    }
    const ComPtr<IDispatch> background(rawBackground);
    const auto folderView = Query<IShellFolderViewDual>(background.get(), IID_IShellFolderViewDual);
    IDispatch* rawApplication = nullptr;
    if (!folderView || FAILED(folderView.get()->get_Application(&rawApplication))) {
        return ComPtr<IShellDispatch2>(nullptr);
    }
    const ComPtr<IDispatch> application(rawApplication);
    return Query<IShellDispatch2>(application.get(), IID_IShellDispatch2);
}

bool IsElevated() {
    HANDLE raw = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) {
        return true;  // not known: the careful answer
    }
    const win32::UniqueKernelHandle token(raw);
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    return !GetTokenInformation(token.get(), TokenElevation, &elevation, sizeof elevation, &size) ||
           elevation.TokenIsElevated != 0;
}

}  // namespace

bool StartAsDesktopUser(const std::wstring& program) {
    bool started = false;
    const win32::ComScope com;
    if (const ComPtr<IShellDispatch2> shell = DesktopShell()) {
        BSTR file = SysAllocString(program.c_str());
        VARIANT folder{};
        folder.vt = VT_BSTR;
        folder.bstrVal = SysAllocString(FolderOf(program).c_str());
        VARIANT none{};
        started = file != nullptr && folder.bstrVal != nullptr &&
                  SUCCEEDED(shell.get()->ShellExecute(file, none, folder, none, none));
        SysFreeString(file);
        VariantClear(&folder);
    }
    if (!started && !IsElevated()) {
        started = reinterpret_cast<INT_PTR>(ShellExecuteW(nullptr, L"open", program.c_str(),
                                                          nullptr, nullptr, SW_SHOWNORMAL)) > 32;
    }
    return started;
}

bool CreateShortcut(const std::wstring& link, const std::wstring& target, const std::wstring& icon,
                    const std::wstring& description) {
    const win32::ComScope com;
    IShellLinkW* raw = nullptr;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                reinterpret_cast<void**>(&raw)))) {
        return false;
    }
    const ComPtr<IShellLinkW> shellLink(raw);
    shellLink.get()->SetPath(target.c_str());
    shellLink.get()->SetWorkingDirectory(FolderOf(target).c_str());
    shellLink.get()->SetDescription(description.c_str());
    if (!icon.empty()) {
        shellLink.get()->SetIconLocation(icon.c_str(), 0);
    }
    IPersistFile* rawFile = nullptr;
    if (FAILED(shellLink.get()->QueryInterface(IID_IPersistFile,
                                               reinterpret_cast<void**>(&rawFile)))) {
        return false;
    }
    const ComPtr<IPersistFile> file(rawFile);
    return SUCCEEDED(file.get()->Save(link.c_str(), TRUE));
}

namespace {

// The uninstall entry Windows lists under "Apps", with the meter's size already read so that
// nothing is written when it cannot be; false when nothing could be written.
bool WriteUninstallEntry(const InstallLayout& layout, std::uint64_t meterBytes) {
    HKEY raw = nullptr;
    if (RegCreateKeyExW(layout.registryRoot, layout.uninstallKey.c_str(), 0, nullptr,
                        REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr, &raw,
                        nullptr) != ERROR_SUCCESS) {
        return false;
    }
    const win32::UniqueRegKey owned(raw);
    const HKEY key = owned.get();
    SetText(key, L"DisplayName", L"VELMORA");
    SetText(key, L"DisplayVersion", kDisplayVersion);
    SetText(key, L"Publisher", kPublisher);
    SetText(key, L"InstallLocation", layout.installDir);
    SetText(key, L"UninstallString",
            JoinPath(layout.installDir, kUninstallerFile) + L" /uninstall");
    SetText(key, L"DisplayIcon", JoinPath(layout.installDir, kIconFile));
    SetNumber(key, L"NoModify", 1);
    SetNumber(key, L"NoRepair", 1);
    SetNumber(key, L"EstimatedSize", EstimatedSizeKiB(meterBytes));
    return true;
}

}  // namespace

bool Install(const InstallLayout& layout, bool createDesktopShortcut,
             bool createStartMenuShortcut) {
    const std::wstring meter = JoinPath(layout.installDir, kMeterFile);
    const std::wstring icon = JoinPath(layout.installDir, kIconFile);
    const auto fail = [&layout](std::wstring_view text) {
        Report(layout, text, -1);
        return false;
    };

    Report(layout, L"Criando diretório de instalação...", 5);
    if (!MakeInstallFolders(layout.installDir)) {
        return fail(L"Erro ao criar o diretório de instalação.");
    }
    MoveOldHistory(layout.installDir);
    // The data folder is never left empty, so no user can make it a mount point.
    constexpr char kNote[] = "Esta pasta guarda o histórico de medições do VELMORA.\r\n";
    WriteOwnFile(JoinPath(JoinPath(layout.installDir, kDataFolder), kDataFolderNote), kNote,
                 sizeof kNote - 1, kProgramFileSddl);

    Report(layout, L"Extraindo VELMORA...", 20);
    if (!ExtractResourceToFile(201, meter)) {
        return fail(L"Erro ao extrair o executável.");
    }

    Report(layout, L"Extraindo ícone...", 40);
    if (!ExtractResourceToFile(202, icon)) {
        return fail(L"Erro ao extrair o ícone.");
    }

    Report(layout, L"Criando desinstalador...", 55);
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    // Like the Part's copy, a failure here does not end the job; the copy is whole, with its
    // rights, or not there.
    if (const auto program = ReadWhole(self, std::uint64_t{1} << 30)) {
        WriteOwnFile(JoinPath(layout.installDir, kUninstallerFile), program->data(),
                     static_cast<DWORD>(program->size()), kProgramFileSddl);
    }

    if (createDesktopShortcut) {
        Report(layout, L"Criando atalho na Área de Trabalho...", 65);
        if (const auto desktop = ShellFolder(layout.desktopDir, CSIDL_COMMON_DESKTOPDIRECTORY)) {
            CreateShortcut(JoinPath(*desktop, kShortcutFile), meter, icon,
                           std::wstring(kShortcutDescription));
        }
    }

    if (createStartMenuShortcut) {
        Report(layout, L"Criando atalho no Menu Iniciar...", 75);
        if (const auto programs = ShellFolder(layout.programsDir, CSIDL_COMMON_PROGRAMS)) {
            const std::wstring folder = JoinPath(*programs, kStartMenuFolder);
            if (!CreateFolderTree(folder)) {
                return fail(L"Erro ao criar a pasta do Menu Iniciar.");
            }
            CreateShortcut(JoinPath(folder, kShortcutFile), meter, icon,
                           std::wstring(kShortcutDescription));
        }
    }

    Report(layout, L"Registrando no sistema...", 90);
    const std::optional<std::uint64_t> size = FileSize(meter);
    if (!size) {
        return fail(L"Erro ao ler o tamanho do executável.");
    }
    WriteUninstallEntry(layout, *size);

    Report(layout, L"Instalação concluída com sucesso!", 100);
    return true;
}

bool Uninstall(const InstallLayout& layout) {
    const auto cannotRemove = [&layout](std::wstring_view what) {
        std::wstring text = L"Não foi possível remover ";
        text += what;
        text += L". Feche o VELMORA e tente novamente.";
        Report(layout, text, -1);
        return false;
    };

    Report(layout, L"Removendo atalho da Área de Trabalho...", 10);
    if (const auto desktop = ShellFolder(layout.desktopDir, CSIDL_COMMON_DESKTOPDIRECTORY)) {
        if (!RemoveFile(JoinPath(*desktop, kShortcutFile))) {
            return cannotRemove(L"o atalho da Área de Trabalho");
        }
    }

    Report(layout, L"Removendo atalho do Menu Iniciar...", 25);
    if (const auto programs = ShellFolder(layout.programsDir, CSIDL_COMMON_PROGRAMS)) {
        if (!RemoveTree(JoinPath(*programs, kStartMenuFolder))) {
            return cannotRemove(L"a pasta do Menu Iniciar");
        }
    }

    Report(layout, L"Removendo arquivos...", 50);
    for (const std::wstring_view name : {kMeterFile, kIconFile}) {
        if (!RemoveFile(JoinPath(layout.installDir, name))) {
            return cannotRemove(name);
        }
    }
    // The history and what the meter leaves beside it (backups of older or damaged histories, a
    // write that a crash interrupted, the lock of an append), here and in the data folder, and
    // an interrupted repair's new files: only those names, so that a user's file stays and
    // keeps its folder. The data folder itself goes when it is empty and is ours; a link there
    // is removed, never followed.
    const std::wstring data = JoinPath(layout.installDir, kDataFolder);
    const win32::UniqueFile dataFolder = OpenFolder(data);
    const bool plainData = dataFolder && IsPlainFolder(dataFolder.get());
    if (!RemoveOwnFiles(layout.installDir) || (plainData && !RemoveOwnFiles(data))) {
        return cannotRemove(kHistoryFile);
    }
    RemoveDirectoryW(data.c_str());

    Report(layout, L"Removendo registro...", 75);
    RegDeleteTreeW(layout.registryRoot, layout.uninstallKey.c_str());

    Report(layout, L"Desinstalação concluída.", 100);
    return true;
}

}  // namespace velmora::setup
