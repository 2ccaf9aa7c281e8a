#pragma once

// The installer's jobs: put the meter on the machine, and take it off again.

#include <windows.h>

#include <optional>
#include <string>

#include "installer_flow.h"

namespace velmora::setup {

// Where a job works. The defaults are the real places; tests point them at their own folders
// and at a key under HKEY_CURRENT_USER.
struct InstallLayout {
    std::wstring installDir{INSTALL_DIR};
    std::optional<std::wstring> desktopDir;   // empty: the all-users desktop
    std::optional<std::wstring> programsDir;  // empty: the all-users Start-menu programs
    HKEY registryRoot = HKEY_LOCAL_MACHINE;
    std::wstring uninstallKey{kUninstallKey};
    ProgressReporter progress;
};

// Writes RT_RCDATA resource `id` of this program to `path`: whole, beside it, then in its place
// in one step (a file in use stays as it was).
bool ExtractResourceToFile(int id, const std::wstring& path);

// The name beside a program file under which its replacement is written before the swap.
inline constexpr wchar_t kNewFileSuffix[] = L".new";

// A shell link at `link` to `target`, started in the target's folder.
bool CreateShortcut(const std::wstring& link, const std::wstring& target, const std::wstring& icon,
                    const std::wstring& description);

// Starts `program` with the rights of the user at the desktop, as the desktop's own shell
// does: an elevated installer must not hand its administrator token to the meter. When the
// shell cannot be asked, an installer that is not elevated starts it itself; an elevated one
// starts nothing. True when it was started.
bool StartAsDesktopUser(const std::wstring& program);

// Every step reports through layout.progress; true after the last one.
bool Install(const InstallLayout& layout, bool createDesktopShortcut, bool createStartMenuShortcut);
bool Uninstall(const InstallLayout& layout);

}  // namespace velmora::setup
