#pragma once

// The installer's portable half: its fixed layout, the command-line rule, the state the window
// shows, how a job's progress changes that state, where clicks land, and the painting.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include <vector>

#include "product/facts.h"
#include "ui/accessible.h"
#include "ui/canvas.h"
#include "ui/palette.h"

namespace velmora::setup {

inline constexpr std::wstring_view INSTALL_DIR = L"C:\\GRUPOORVANE\\IP-KALDRA";
inline constexpr std::wstring_view kMeterFile = L"VELMORA.exe";
inline constexpr std::wstring_view kIconFile = L"KALDRA-NEW.ico";
inline constexpr std::wstring_view kUninstallerFile = L"uninstall.exe";
inline constexpr std::wstring_view kHistoryFile = VELMORA_WIDE(VELMORA_HISTORY_FILE);
// Where older versions kept one history shared by every user, inside the install folder, and
// the note they left there. No longer made: the uninstaller removes what they left, and each
// user's meter copies the old history from there once.
inline constexpr std::wstring_view kDataFolder = VELMORA_WIDE(VELMORA_DATA_FOLDER);
inline constexpr std::wstring_view kDataFolderNote = L"LEIA-ME.txt";
inline constexpr std::wstring_view kShortcutFile = L"VELMORA.lnk";
inline constexpr std::wstring_view kStartMenuFolder = L"VELMORA";
inline constexpr std::wstring_view kShortcutDescription = L"VELMORA - Medidor de velocidade";
inline constexpr std::wstring_view kUninstallKey =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\VELMORA";
inline constexpr std::wstring_view kDisplayVersion = VELMORA_WIDE(VELMORA_VERSION);
inline constexpr std::wstring_view kPublisher = VELMORA_WIDE(VELMORA_PUBLISHER);

// Who may do what, as SDDL. Every folder and file the installer makes has Administrators as
// owner and a protected list (nothing inherited from C:\ or from a parent someone else made),
// given when it is created. SYSTEM and Administrators may do everything.
//  - The install folder and its parent: users may read and run what is there, nothing more, so
//    no user can add a file where the programs load code from, nor rename the folder away.
//  - The programs: the same for users, whatever the folder passes on.
// Nothing the installer makes may be written by a user: each user's history is in that user's
// own profile, made by the user's meter.
inline constexpr wchar_t kInstallFolderSddl[] =
    L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";
inline constexpr wchar_t kParentFolderSddl[] =
    L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";
inline constexpr wchar_t kProgramFileSddl[] = L"O:BAD:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x1200a9;;;BU)";

// How a folder that exists already gets its descriptor. SetSecurityInfo and
// SetNamedSecurityInfo also rewrite what every child inherits, hard links to files elsewhere
// included; the installer sets the folder's own descriptor and nothing below it.
enum class DescriptorScope { ThisFolderOnly, FolderAndChildren };
inline constexpr DescriptorScope kFolderDescriptorScope = DescriptorScope::ThisFolderOnly;

// Every folder the installer makes or takes over, outermost first, with its descriptor: none
// that a user may write to. Each user's history is the meter's, in that user's profile.
inline constexpr const wchar_t* kOwnFolderSddls[] = {kParentFolderSddl, kInstallFolderSddl};

inline constexpr int kWindowWidth = 520;
inline constexpr int kWindowHeight = 420;
inline constexpr int kHeaderHeight = 90;  // the band that drags the window

// How a job reports a step: a status text and a percentage (-1 failure, 100 success).
using ProgressReporter = std::function<void(std::wstring_view text, int percent)>;

// `folder` + "\" + `name`, without doubling a separator the folder already ends with.
std::wstring JoinPath(std::wstring_view folder, std::wstring_view name);

// The folder of a file path: its last component and the separators before it removed, the
// root kept ("C:\a\b.exe" -> "C:\a", "C:\b.exe" -> "C:\").
std::wstring FolderOf(std::wstring_view path);

// The arguments (without the program path) ask for uninstall mode: "/uninstall" anywhere,
// case-sensitively; fewer than 10 characters never match.
bool IsUninstallCommandLine(std::wstring_view arguments);

// What the hidden command processor gets after a successful uninstall: wait about two
// seconds, delete the uninstaller, remove the install folder if it is empty. The pause is the
// system's PING.EXE by its full path: started by name, cmd.exe would take a ping.bat or
// ping.exe from its current folder first, and it runs as administrator.
std::wstring SelfDeleteParameters(std::wstring_view installDir, std::wstring_view systemDir);

// True for a name that the installer or the meter makes in the install folder or the data
// folder: the programs and the icon, their replacements written beside them, the data folder,
// the history, its lock, the temporaries of its writes and its numbered backups. Anything
// else there is a user's: the uninstaller leaves it, and the installer moves it out of the
// install folder.
bool IsInstalledName(std::wstring_view name);

// The uninstall entry's "EstimatedSize": whole KiB, truncated.
std::uint32_t EstimatedSizeKiB(std::uint64_t bytes);

// What the window shows; the job thread changes it only through ApplyProgress.
struct InstallerView {
    bool uninstallMode = false;
    bool createDesktopShortcut = true;
    bool createStartMenuShortcut = true;
    bool busy = false;
    bool finished = false;
    bool succeeded = false;
    std::int32_t progress = 0;
    std::wstring statusText;
};

InstallerView InitialView(bool uninstallMode);

// One step's report. Returns true when the window should arm its close timer (a successful
// uninstall).
bool ApplyProgress(InstallerView& view, std::wstring_view text, int percent);

// Marks the view busy and runs `start`, which launches the job. When it throws (no thread could
// be made) the job ends at once as a failure and the window stays usable.
void BeginJob(InstallerView& view, const std::function<void()>& start);

enum class Screen { ReadyOrWorking, Installed, UninstallEnded };
Screen ScreenOf(const InstallerView& view);

// Rectangles the painting drew; an empty one was not drawn.
struct InstallerRects {
    ui::Rect primaryRect;
    ui::Rect secondaryRect;
    ui::Rect desktopBoxRect;
    ui::Rect startMenuBoxRect;
};

// Half-open: the right and bottom edges are outside.
inline bool Contains(const ui::Rect& r, int x, int y) {
    return r.left <= x && x < r.right && r.top <= y && y < r.bottom;
}

enum class ClickAction { None, ToggleDesktop, ToggleStartMenu, Close, OpenApp, StartJob };

// What a click at (x, y) does, by the window's click rules. Changes nothing.
ClickAction ClassifyClick(const InstallerView& view, const InstallerRects& rects, int x, int y);

// ClassifyClick, and the option box it lands on toggled.
ClickAction ApplyClick(InstallerView& view, const InstallerRects& rects, int x, int y);

// What the window says to the keyboard and to screen readers, in reading order: the
// destination, the option boxes, the progress (its text announced), the buttons left to right.
std::vector<ui::AccessibleItem> InstallerAccessibleItems(const InstallerView& view, int width,
                                                         int height);

// Paints the whole window, in a contrast theme's colours when there is one, and returns where
// the controls went.
InstallerRects PaintInstaller(ui::ICanvas& canvas, const InstallerView& view, int width, int height,
                              const ui::ContrastColours* contrast = nullptr);

}  // namespace velmora::setup
