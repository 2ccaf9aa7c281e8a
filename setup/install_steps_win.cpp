// The install and uninstall jobs. They run on the installer's job thread and never throw:
// every outcome reaches the window as a status text and a percentage.

#include <windows.h>
// After windows.h, which it needs.
#include <shlobj.h>

#include "common/win32_handles.h"
#include "install_files_win.h"
#include "install_steps.h"

namespace velmora::setup {
namespace {

using win32::UniqueFile;

void Report(const InstallLayout& layout, std::wstring_view text, int percent) {
    if (layout.progress) {
        layout.progress(text, percent);
    }
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

    Report(layout, L"Extraindo VELMORA...", 20);
    if (!ExtractResourceToFile(VELMORA_PAYLOAD_METER, meter)) {
        return fail(L"Erro ao extrair o executável.");
    }

    Report(layout, L"Extraindo ícone...", 40);
    if (!ExtractResourceToFile(VELMORA_PAYLOAD_ICON, icon)) {
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
    // What older versions left beside the programs and in their shared data folder (the
    // history, its backups, an interrupted write, the lock, the note) and an interrupted repair's
    // new files: only those names, so that a user's file stays and keeps its folder. The data
    // folder was every user's to write, so nothing there is trusted: each name is removed
    // through a handle to itself, a link there is removed, never followed, and what cannot be
    // removed is skipped and named at the end rather than stopping half-way.
    std::vector<std::wstring> kept = RemoveOwnFiles(layout.installDir);
    const std::wstring data = JoinPath(layout.installDir, kDataFolder);
    if (win32::UniqueFile dataFolder = OpenFolder(data)) {
        const bool plain = IsPlainFolder(dataFolder.get());
        dataFolder.reset();
        if (plain) {
            for (std::wstring& path : RemoveOwnFiles(data)) {
                kept.push_back(std::move(path));
            }
        }
        RemoveName(data);  // a link itself, or the folder once it is empty
    }

    Report(layout, L"Removendo registro...", 75);
    RegDeleteTreeW(layout.registryRoot, layout.uninstallKey.c_str());

    std::wstring done = L"Desinstalação concluída.";
    if (!kept.empty()) {
        done += kept.size() == 1
                    ? L" Não foi possível remover: "
                    : L" Não foi possível remover " + std::to_wstring(kept.size()) + L" arquivos: ";
        for (std::size_t i = 0; i < kept.size() && i < 3; ++i) {
            done += (i > 0 ? L", " : L"") + kept[i];
        }
        done += kept.size() > 3 ? L"..." : L".";
    }
    Report(layout, done, 100);
    return true;
}

}  // namespace velmora::setup
