#pragma once

// The installer's portable half: its fixed layout, the command-line rule, the state the window
// shows, how a job's progress changes that state, where clicks land, and the painting.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "ui/canvas.h"

namespace velmora::setup {

inline constexpr std::wstring_view INSTALL_DIR = L"C:\\GRUPOORVANE\\IP-KALDRA";
inline constexpr std::wstring_view kMeterFile = L"VELMORA.exe";
inline constexpr std::wstring_view kIconFile = L"KALDRA-NEW.ico";
inline constexpr std::wstring_view kUninstallerFile = L"uninstall.exe";
inline constexpr std::wstring_view kHistoryFile = L"history.xml";
inline constexpr std::wstring_view kShortcutFile = L"VELMORA.lnk";
inline constexpr std::wstring_view kStartMenuFolder = L"VELMORA";
inline constexpr std::wstring_view kShortcutDescription = L"VELMORA - Medidor de velocidade";
inline constexpr std::wstring_view kUninstallKey =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\VELMORA";
inline constexpr std::wstring_view kDisplayVersion = L"2.0.3.7";
inline constexpr std::wstring_view kPublisher = L"KALDRA NETWORK SECURITY LTDA";

// Who may do what in the install folder, as SDDL. Owner: Administrators. The list is protected
// (nothing inherited from C:\ or from a parent that someone else made):
//  - SYSTEM and Administrators: everything, inherited by all that the folder holds;
//  - Users: read and run what is there, and create new files (the meter's history writes, made
//    atomic by a new file that replaces the old, run without elevation by every user);
//  - files created later: nobody may run them (a planted DLL cannot be loaded), Users may read,
//    change and replace them (the shared history), and their creator gets no more than that
//    (OWNER RIGHTS), so cannot lift the deny from a file of their own.
// The programs themselves get kProgramFileSddl: only Administrators and SYSTEM may change them.
inline constexpr wchar_t kInstallFolderSddl[] =
    L"O:BAD:P(D;OIIO;FX;;;WD)(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;;0x1200ab;;;BU)"
    L"(A;OICIIO;0x1200a9;;;BU)(A;OIIO;0x13019f;;;BU)(A;OIIO;0x13019f;;;OW)";
// Its parent: a user who made it first could otherwise rename the install folder away.
inline constexpr wchar_t kParentFolderSddl[] =
    L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";
inline constexpr wchar_t kProgramFileSddl[] = L"O:BAD:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x1200a9;;;BU)";

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
// seconds, delete the uninstaller, remove the install folder if it is empty.
std::wstring SelfDeleteParameters(std::wstring_view installDir);

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

// Paints the whole window and returns where the controls went.
InstallerRects PaintInstaller(ui::ICanvas& canvas, const InstallerView& view, int width,
                              int height);

}  // namespace velmora::setup
