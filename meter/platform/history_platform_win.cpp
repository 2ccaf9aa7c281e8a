#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include <string>

#include "common/win32_handles.h"
#include "platform/history_platform.h"
#include "product/facts.h"

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
// say whether an existing file may be replaced. The new file never survives a failure.
bool WriteBeside(const fs::path& target, std::string_view bytes, DWORD flags) {
    const fs::path temporary = target.parent_path() / (VELMORA_WIDE(VELMORA_HISTORY_TEMPORARY) +
                                                       std::to_wstring(GetCurrentProcessId()));
    {
        FileHandle file(CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) {
            return false;
        }
        if (!WriteAllTo(file.get(), bytes) || !FlushFileBuffers(file.get())) {
            file.reset();
            DeleteFileW(temporary.c_str());
            return false;
        }
    }
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
        win32::UniqueFile file(
            CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr,
                        OPEN_ALWAYS, FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
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
    FileHandle handle(CreateFileW(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                  CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    return handle && WriteAllTo(handle.get(), bytes);
}

void OpenInBrowser(const fs::path& file) {
    ShellExecuteW(nullptr, L"open", file.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

}  // namespace velmora::modulos::medicao
