// The install and uninstall jobs. They run on the installer's job thread and never throw:
// every outcome reaches the window as a status text and a percentage.

#include <windows.h>
// After windows.h, which they need.
#include <objidl.h>
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

// Gives `path` the owner and the protected DACL written in `sddl`, whoever owned it before.
bool ApplySecurity(const std::wstring& path, const wchar_t* sddl) {
    PSECURITY_DESCRIPTOR raw = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &raw,
                                                              nullptr)) {
        return false;
    }
    const win32::UniqueLocal descriptor(raw);
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    PSID owner = nullptr;
    if (!GetSecurityDescriptorDacl(raw, &present, &dacl, &defaulted) || !present ||
        !GetSecurityDescriptorOwner(raw, &owner, &defaulted) || owner == nullptr) {
        return false;
    }
    return SetNamedSecurityInfoW(const_cast<wchar_t*>(path.c_str()), SE_FILE_OBJECT,
                                 OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
                                     PROTECTED_DACL_SECURITY_INFORMATION,
                                 owner, nullptr, dacl, nullptr) == ERROR_SUCCESS;
}

// The install folder and its parent made ours: see kInstallFolderSddl.
bool SecureInstallFolder(const std::wstring& installDir) {
    EnablePrivilege(SE_TAKE_OWNERSHIP_NAME);
    EnablePrivilege(SE_RESTORE_NAME);
    const std::wstring parent = FolderOf(installDir);
    const bool parentOk = parent.empty() || parent.back() == L':' ||
                          parent.size() <= 3 ||  // a drive's root is the system's
                          ApplySecurity(parent, kParentFolderSddl);
    return parentOk && ApplySecurity(installDir, kInstallFolderSddl);
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

bool RemoveTree(const std::wstring& path);

// Removes every file and folder (with all it holds) in `folder` whose name matches `pattern`
// (wildcards as FindFirstFileW takes them). True when none of them is left.
bool RemoveMatching(const std::wstring& folder, const std::wstring& pattern) {
    bool ok = true;
    WIN32_FIND_DATAW found{};
    const win32::UniqueFind search(FindFirstFileW(JoinPath(folder, pattern).c_str(), &found));
    if (!search) {
        return true;
    }
    do {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") {
            continue;
        }
        const std::wstring child = JoinPath(folder, name);
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            ok = RemoveTree(child) && ok;
        } else {
            SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
            ok = RemoveFile(child) && ok;
        }
    } while (FindNextFileW(search.get(), &found));
    return ok;
}

// Removes a folder with everything in it; a missing folder is fine. The emptied folder is
// tried ten times: Explorer or an indexer may still hold it for a moment.
bool RemoveTree(const std::wstring& path) {
    if (!IsFolder(path)) {
        return GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES;
    }
    const bool ok = RemoveMatching(path, L"*");
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
    const std::wstring fresh = path + kNewFileSuffix;
    {
        const UniqueFile file(CreateFileW(fresh.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) {
            return false;
        }
        DWORD written = 0;
        if (!WriteFile(file.get(), data, size, &written, nullptr) || written != size ||
            !FlushFileBuffers(file.get())) {
            DeleteFileW(fresh.c_str());
            return false;
        }
    }
    // A program's own rights, not the folder's (which let nobody run a file made there).
    if (!ApplySecurity(fresh, kProgramFileSddl) ||
        !MoveFileExW(fresh.c_str(), path.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        DeleteFileW(fresh.c_str());
        return false;
    }
    return true;
}

bool CreateShortcut(const std::wstring& link, const std::wstring& target, const std::wstring& icon,
                    const std::wstring& description) {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
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
    if (!CreateFolderTree(layout.installDir) || !SecureInstallFolder(layout.installDir)) {
        return fail(L"Erro ao criar o diretório de instalação.");
    }

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
    const std::wstring uninstaller = JoinPath(layout.installDir, kUninstallerFile);
    if (CopyFileW(self, uninstaller.c_str(), FALSE)) {
        ApplySecurity(uninstaller, kProgramFileSddl);
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
    for (const std::wstring_view name : {kMeterFile, kIconFile, kHistoryFile}) {
        if (!RemoveFile(JoinPath(layout.installDir, name))) {
            return cannotRemove(name);
        }
    }
    // What the meter leaves beside its history: backups of older or damaged histories, a write
    // that a crash interrupted, the lock of an append; and an interrupted repair's new file. No
    // copy of the history may survive, and the folder can only go once it is empty.
    for (const wchar_t* pattern :
         {L"history*.bak", L".history.xml.new-*", L"history.lock", L"*.new"}) {
        if (!RemoveMatching(layout.installDir, pattern)) {
            return cannotRemove(kHistoryFile);
        }
    }

    Report(layout, L"Removendo registro...", 75);
    RegDeleteTreeW(layout.registryRoot, layout.uninstallKey.c_str());

    Report(layout, L"Desinstalação concluída.", 100);
    return true;
}

}  // namespace velmora::setup
