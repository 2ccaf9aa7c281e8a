#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>
#include <shlobj.h>

#include <cstring>
#include <string>

#include "common/win32_handles.h"
#include "platform/history_platform.h"
#include "product/facts.h"

// RtlGenRandom, which advapi32 exports under this name.
extern "C" BOOLEAN NTAPI SystemFunction036(PVOID buffer, ULONG length);

namespace velmora::modulos::medicao {
namespace {

namespace fs = std::filesystem;

using FileHandle = win32::UniqueFile;

bool WriteAllTo(HANDLE file, std::string_view bytes) {
    while (!bytes.empty()) {
        const DWORD chunk =
            bytes.size() > 0x40000000 ? 0x40000000 : static_cast<DWORD>(bytes.size());
        DWORD written = 0;
        if (!WriteFile(file, bytes.data(), chunk, &written, nullptr) || written == 0) {
            return false;
        }
        bytes.remove_prefix(written);
    }
    return true;
}

// Sixteen hex digits from the system's random source (RtlGenRandom, in advapi32): a
// temporary's name that nobody can plant in advance.
std::wstring RandomSuffix() {
    unsigned char bytes[8] = {};
    if (!SystemFunction036(bytes, sizeof bytes)) {
        const ULONGLONG mixed = GetTickCount64() ^ (ULONGLONG{GetCurrentProcessId()} << 32);
        std::memcpy(bytes, &mixed, sizeof bytes);  // CREATE_NEW still refuses a plant
    }
    static constexpr wchar_t kHex[] = L"0123456789abcdef";
    std::wstring out;
    for (const unsigned char b : bytes) {
        out += kHex[b >> 4];
        out += kHex[b & 15];
    }
    return out;
}

static_assert(kHistoryLockFileFlags ==
              (FILE_FLAG_DELETE_ON_CLOSE | FILE_FLAG_OPEN_REPARSE_POINT | FILE_ATTRIBUTE_HIDDEN));

}  // namespace

fs::path ProgramDirectory() {
    std::wstring buffer(260, L'\0');
    for (;;) {
        const DWORD length =
            GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0) {
            return fs::current_path();
        }
        if (length < buffer.size()) {
            buffer.resize(length);
            return fs::path(buffer).parent_path();
        }
        buffer.resize(buffer.size() * 2);
    }
}

bool LocalTimeOf(std::int64_t seconds, std::tm& local) {
    const __time64_t t = seconds;
    return _localtime64_s(&local, &t) == 0;
}

namespace {

// Another program that has the file open without delete sharing (a second meter reading it, an
// antivirus, an indexer) makes the swap fail for a moment: worth a few more tries. Windows says
// "access denied" for a name that is held or being deleted, but also for a folder that refuses
// a new file; only the first passes, so it counts only where `name` exists.
bool IsPassingConflict(DWORD error, const fs::path& name) {
    if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION) {
        return true;
    }
    if (error != ERROR_ACCESS_DENIED) {
        return false;
    }
    if (GetFileAttributesW(name.c_str()) != INVALID_FILE_ATTRIBUTES) {
        return true;
    }
    const DWORD why = GetLastError();
    return why != ERROR_FILE_NOT_FOUND && why != ERROR_PATH_NOT_FOUND;  // delete pending
}

constexpr DWORD kRetryPauseMs = 20;
constexpr int kSwapAttempts = 100;  // about two seconds

// Tries `attempt` on `name` until it succeeds, fails for another reason than a passing
// conflict, or has been tried `tries` times.
template <typename Attempt>
bool RetryWhileInUse(int tries, const fs::path& name, Attempt attempt) {
    for (int tried = 1;; ++tried) {
        if (attempt()) {
            return true;
        }
        if (tried >= tries || !IsPassingConflict(GetLastError(), name)) {
            return false;
        }
        Sleep(kRetryPauseMs);
    }
}

// Writes the bytes to a new file beside `target`, flushed, then moves it into place; `flags`
// say whether an existing file may be replaced. The new file is made new under a name nobody
// can guess (never written through anything planted there), and never survives a failure. The
// move replaces a link at `target` itself, never what it leads to.
bool WriteBeside(const fs::path& target, std::string_view bytes, DWORD flags) {
    fs::path temporary;
    FileHandle file;
    for (int attempt = 0; attempt < 4 && !file; ++attempt) {
        temporary =
            target.parent_path() / (VELMORA_WIDE(VELMORA_HISTORY_TEMPORARY) + RandomSuffix());
        file.reset(CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        if (!file && GetLastError() != ERROR_FILE_EXISTS) {
            return false;
        }
    }
    if (!file) {
        return false;
    }
    if (!WriteAllTo(file.get(), bytes) || !FlushFileBuffers(file.get())) {
        file.reset();
        DeleteFileW(temporary.c_str());
        return false;
    }
    file.reset();
    if (RetryWhileInUse(kSwapAttempts, target, [&] {
            return MoveFileExW(temporary.c_str(), target.c_str(), flags | MOVEFILE_WRITE_THROUGH) !=
                   FALSE;
        })) {
        return true;
    }
    DeleteFileW(temporary.c_str());
    return false;
}

}  // namespace

bool ReplaceFileContents(const fs::path& target, std::string_view bytes) {
    return WriteBeside(target, bytes, MOVEFILE_REPLACE_EXISTING);
}

bool CreateFileContents(const fs::path& target, std::string_view bytes) {
    return WriteBeside(target, bytes, 0);
}

struct HistoryLock::Holder {
    win32::UniqueFile file;
};

// A lock file opened without sharing, deleted by the system when its holder closes it (or
// dies): a second holder waits for the sharing violation to pass.
HistoryLock::HistoryLock(const fs::path& directory, std::chrono::milliseconds wait) {
    const fs::path path = directory / VELMORA_HISTORY_LOCK;
    RetryWhileInUse(static_cast<int>(wait.count() / kRetryPauseMs) + 1, path, [&] {
        // Opened as the name itself: closing deletes that name, never what a link there leads to.
        win32::UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, 0,
                                           nullptr, OPEN_ALWAYS, kHistoryLockFileFlags, nullptr));
        if (!file) {
            return false;
        }
        holder_ = std::make_unique<Holder>(Holder{std::move(file)});
        return true;
    });
}

HistoryLock::~HistoryLock() = default;  // closing the file releases the lock and deletes it

fs::path ReportDirectory() {
    // The per-user temporary folder is private to the user already.
    wchar_t buffer[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH + 1, buffer);
    const fs::path dir = fs::path(buffer) / L"KALDRA";
    fs::create_directories(dir);
    return dir;
}

bool WriteReportFile(const fs::path& file, std::string_view bytes) {
    return WriteBeside(file, bytes, MOVEFILE_REPLACE_EXISTING);
}

PlainFileRead ReadPlainFile(const fs::path& path, std::uintmax_t limit) {
    // The name itself, never what a link there leads to; shared so that another program's
    // swap of the file is not held up.
    const FileHandle file(CreateFileW(
        path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file) {
        const DWORD error = GetLastError();
        return {std::nullopt, error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
                                  ? FileRefusal::Missing
                                  : FileRefusal::Unreadable};
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(file.get(), &info)) {
        return {std::nullopt, FileRefusal::Unreadable};
    }
    if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        return {std::nullopt, FileRefusal::Link};
    }
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
        GetFileType(file.get()) != FILE_TYPE_DISK) {
        return {std::nullopt, FileRefusal::NotAFile};
    }
    if (info.nNumberOfLinks > 1) {
        return {std::nullopt, FileRefusal::SeveralNames};
    }
    // In pieces up to the limit, whatever size the file claims (it may grow meanwhile).
    std::string bytes;
    char piece[64 * 1024];
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(file.get(), piece, sizeof piece, &read, nullptr)) {
            return {std::nullopt, FileRefusal::Unreadable};
        }
        if (read == 0) {
            return {std::move(bytes), FileRefusal::None};
        }
        if (bytes.size() + read > limit) {
            return {std::nullopt, FileRefusal::TooLarge};
        }
        bytes.append(piece, read);
    }
}

fs::path UserDataDirectory() {
    wchar_t buffer[MAX_PATH] = {};
    if (FAILED(
            SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, buffer))) {
        return {};
    }
    return fs::path(buffer) / L"IP-KALDRA";
}

namespace {

bool IsElevated() {
    HANDLE raw = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) {
        return false;
    }
    const win32::UniqueKernelHandle token(raw);
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    return GetTokenInformation(token.get(), TokenElevation, &elevation, sizeof elevation, &size) &&
           elevation.TokenIsElevated != 0;
}

}  // namespace

// An installed program's folder takes files from administrators only; a portable copy's from
// its user. Asked by making a file there (deleted when closed) rather than by reading the
// folder's list: what counts is what the system grants this user. An elevated program asks
// nothing: its folder is writable, but it is not the users'.
bool ProgramFolderTakesHistory(const fs::path& folder) {
    if (IsElevated()) {
        return false;
    }
    const fs::path probe = folder / (VELMORA_WIDE(VELMORA_HISTORY_TEMPORARY) + RandomSuffix());
    const FileHandle file(CreateFileW(
        probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
        FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    return static_cast<bool>(file);
}

void OpenInBrowser(const fs::path& file) {
    ShellExecuteW(nullptr, L"open", file.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

}  // namespace velmora::modulos::medicao
