#pragma once

// What the history and the report need from the operating system.

#include <chrono>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace velmora::modulos::medicao {

// The folder of the running executable; the current directory when its path is unknown.
std::filesystem::path ProgramDirectory();

// Broken-down local time (the machine's zone and daylight-saving rules) of seconds since 1970.
bool LocalTimeOf(std::int64_t seconds, std::tm& local);

// Why a file was not read as this program's own. A link, a file with a second name elsewhere or
// anything but a plain file may lead where its owner did not mean the history to go.
enum class FileRefusal {
    None,
    Missing,
    Link,
    SeveralNames,
    NotAFile,
    TooLarge,
    Unreadable,
    Damaged
};

// The words the console says for a refusal ("é um link", ...); empty for None.
const char* RefusalText(FileRefusal refusal);

struct PlainFileRead {
    std::optional<std::string> bytes;  // set only with FileRefusal::None
    FileRefusal refusal = FileRefusal::None;
};

// The whole of a plain file with one name, opened without following a link, up to `limit`
// bytes; anything else is refused (and read not at all).
PlainFileRead ReadPlainFile(const std::filesystem::path& path, std::uintmax_t limit);

// The user's own folder for this program's data: %LOCALAPPDATA%\IP-KALDRA on Windows,
// $XDG_DATA_HOME/velmora (else ~/.local/share/velmora) on Linux. Empty when it is unknown.
std::filesystem::path UserDataDirectory();

// Whether the program keeps its history beside itself: on Windows when this unelevated user
// may add files to `folder` (a portable copy, the tests), never on Linux.
bool ProgramFolderTakesHistory(const std::filesystem::path& folder);

// Replaces the file's contents in one step: the bytes go to a new file beside it (with the old
// file's permissions, under a name nobody can guess, made new so that nothing planted there is
// written through), are flushed to the disk, and the new file then takes the old one's place;
// while another program holds the old file open, the swap is retried for a couple of seconds.
// A failure at any point leaves the old file as it was. False on failure.
bool ReplaceFileContents(const std::filesystem::path& target, std::string_view bytes);

// The same one-step write for a file that must not exist yet: false, and nothing changed, when
// another program made it first.
bool CreateFileContents(const std::filesystem::path& target, std::string_view bytes);

// The flags of the Windows history lock's CreateFileW, here so that the access model's tests
// read what the program does: delete-on-close of the name itself, never of what a link there
// leads to (FILE_FLAG_DELETE_ON_CLOSE | FILE_FLAG_OPEN_REPARSE_POINT | FILE_ATTRIBUTE_HIDDEN).
inline constexpr std::uint32_t kHistoryLockFileFlags = 0x04000000u | 0x00200000u | 0x2u;

// Held while the history in `directory` is read, changed and replaced, so that two programs
// that finish together (the window and the console) cannot lose each other's record. Waits up to
// `wait` for another holder; without the lock the append still goes ahead (a lost race is rarer
// than a lost record). Leaves nothing behind in the folder.
class HistoryLock {
  public:
    HistoryLock(const std::filesystem::path& directory, std::chrono::milliseconds wait);
    ~HistoryLock();
    HistoryLock(const HistoryLock&) = delete;
    HistoryLock& operator=(const HistoryLock&) = delete;
    bool held() const { return holder_ != nullptr; }

  private:
    struct Holder;  // the platform's owner of what carries the lock; closing it releases it
    std::unique_ptr<Holder> holder_;
};

// The per-user folder of the report ("KALDRA" in the temporary folder), made private where the
// system allows. Empty when it cannot be made safely.
std::filesystem::path ReportDirectory();

// Writes the report page as ReplaceFileContents does: a link planted at its path is replaced,
// never followed. False on failure.
bool WriteReportFile(const std::filesystem::path& file, std::string_view bytes);

// Opens a file in the user's browser (the handler the system associates with it).
void OpenInBrowser(const std::filesystem::path& file);

}  // namespace velmora::modulos::medicao
