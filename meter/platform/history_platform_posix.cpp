#include <fcntl.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <thread>

#include "common/posix_handles.h"
#include "platform/history_platform.h"
#include "product/facts.h"

extern char** environ;

namespace velmora::modulos::medicao {
namespace {

namespace fs = std::filesystem;

bool WriteAllTo(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

// A directory of our own: created 0700 when missing; an existing one must be a real directory
// (not a link) that belongs to this user and that nobody else may write to.
bool PrivateDirectory(const fs::path& dir) {
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        return false;
    }
    struct stat st {};
    return ::lstat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::getuid() &&
           (st.st_mode & 022) == 0;
}

}  // namespace

fs::path ProgramDirectory() {
    std::error_code error;
    const fs::path exe = fs::read_symlink("/proc/self/exe", error);
    if (error || exe.empty()) {
        return fs::current_path();
    }
    return exe.parent_path();
}

bool LocalTimeOf(std::int64_t seconds, std::tm& local) {
    const auto t = static_cast<std::time_t>(seconds);
    return ::localtime_r(&t, &local) != nullptr;
}

namespace {

// Sixteen hex digits from the system's random source: a temporary's name that nobody can plant
// in advance.
std::string RandomSuffix() {
    unsigned char bytes[8] = {};
    std::size_t got = 0;
    while (got < sizeof bytes) {
        const ssize_t n = ::getrandom(bytes + got, sizeof bytes - got, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;  // the name is then less random, but CREATE_NEW below still refuses a plant
        }
        got += static_cast<std::size_t>(n);
    }
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    for (const unsigned char b : bytes) {
        out += kHex[b >> 4];
        out += kHex[b & 15];
    }
    return out;
}

// Writes the bytes to a new file beside `target`, flushed, with `target`'s permissions when it
// is a plain file; then `place` puts it where `target` is. The new file is made new (O_EXCL,
// never through a link) and never survives a failure.
template <typename Place>
bool WriteBeside(const fs::path& target, std::string_view bytes, mode_t fresh, Place place) {
    fs::path temporary;
    posix::UniqueFd fd;
    for (int attempt = 0; attempt < 4 && !fd; ++attempt) {
        temporary = target.parent_path() / (VELMORA_HISTORY_TEMPORARY + RandomSuffix());
        fd = posix::UniqueFd(
            ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
        if (!fd && errno != EEXIST) {
            return false;
        }
    }
    if (!fd) {
        return false;
    }
    struct stat old {};
    const mode_t mode =
        ::lstat(target.c_str(), &old) == 0 && S_ISREG(old.st_mode) ? (old.st_mode & 0777) : fresh;
    const bool written =
        ::fchmod(fd.get(), mode) == 0 && WriteAllTo(fd.get(), bytes) && ::fsync(fd.get()) == 0;
    const bool closed = posix::CloseReporting(fd);
    const bool placed = written && closed && place(temporary);
    ::unlink(temporary.c_str());  // after a link, the name left over; after a failure, the file
    if (!placed) {
        return false;
    }
    // The new name reaches the disk with its folder.
    const posix::UniqueFd folder(
        ::open(target.parent_path().empty() ? "." : target.parent_path().c_str(),
               O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder) {
        ::fsync(folder.get());
    }
    return true;
}

bool RenameOnto(const fs::path& target, std::string_view bytes, mode_t fresh) {
    return WriteBeside(target, bytes, fresh, [&](const fs::path& temporary) {
        return ::rename(temporary.c_str(), target.c_str()) == 0;
    });
}

}  // namespace

bool ReplaceFileContents(const fs::path& target, std::string_view bytes) {
    return RenameOnto(target, bytes, 0644);
}

bool CreateFileContents(const fs::path& target, std::string_view bytes) {
    // link() never replaces: the first program to make the file wins, whole.
    return WriteBeside(target, bytes, 0644, [&](const fs::path& temporary) {
        return ::link(temporary.c_str(), target.c_str()) == 0;
    });
}

struct HistoryLock::Holder {
    posix::UniqueFd folder;
};

// The folder itself carries the lock (flock on its descriptor): no lock file to leave behind.
HistoryLock::HistoryLock(const fs::path& directory, std::chrono::milliseconds wait) {
    posix::UniqueFd folder(
        ::open(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folder) {
        return;
    }
    const auto deadline = std::chrono::steady_clock::now() + wait;
    while (::flock(folder.get(), LOCK_EX | LOCK_NB) != 0) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    holder_ = std::make_unique<Holder>(Holder{std::move(folder)});
}

HistoryLock::~HistoryLock() = default;  // closing the folder releases the lock

fs::path ReportDirectory() {
    // The per-user runtime folder, else the user's cache folder: never a shared /tmp path that
    // another user could prepare in advance.
    fs::path base;
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR");
        runtime != nullptr && *runtime == '/') {
        base = runtime;
    } else if (const char* cache = std::getenv("XDG_CACHE_HOME");
               cache != nullptr && *cache == '/') {
        base = cache;
    } else if (const char* home = std::getenv("HOME"); home != nullptr && *home == '/') {
        base = fs::path(home) / ".cache";
    } else {
        return {};
    }
    std::error_code error;
    fs::create_directories(base, error);
    const fs::path dir = base / "KALDRA";
    return PrivateDirectory(dir) ? dir : fs::path();
}

bool WriteReportFile(const fs::path& file, std::string_view bytes) {
    return RenameOnto(file, bytes, 0600);
}

PlainFileRead ReadPlainFile(const fs::path& path, std::uintmax_t limit) {
    // Non-blocking, so that a FIFO planted at the name cannot hold the program; O_NOFOLLOW
    // refuses a link in the last component.
    posix::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd) {
        return {std::nullopt, errno == ENOENT  ? FileRefusal::Missing
                              : errno == ELOOP ? FileRefusal::Link
                                               : FileRefusal::Unreadable};
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) {
        return {std::nullopt, FileRefusal::Unreadable};
    }
    if (!S_ISREG(st.st_mode)) {
        return {std::nullopt, FileRefusal::NotAFile};
    }
    if (st.st_nlink > 1) {
        return {std::nullopt, FileRefusal::SeveralNames};
    }
    // In pieces up to the limit, whatever size the file claims (it may grow meanwhile).
    std::string bytes;
    char piece[64 * 1024];
    for (;;) {
        const ssize_t n = ::read(fd.get(), piece, sizeof piece);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return {std::nullopt, FileRefusal::Unreadable};
        }
        if (n == 0) {
            return {std::move(bytes), FileRefusal::None};
        }
        if (bytes.size() + static_cast<std::size_t>(n) > limit) {
            return {std::nullopt, FileRefusal::TooLarge};
        }
        bytes.append(piece, static_cast<std::size_t>(n));
    }
}

fs::path UserDataDirectory() {
    if (const char* data = std::getenv("XDG_DATA_HOME"); data != nullptr && *data == '/') {
        return fs::path(data) / "velmora";
    }
    if (const char* home = std::getenv("HOME"); home != nullptr && *home == '/') {
        return fs::path(home) / ".local" / "share" / "velmora";
    }
    return {};
}

bool ProgramFolderTakesHistory(const fs::path&) {
    return false;
}

void OpenInBrowser(const fs::path& file) {
    const std::string path = file.string();
    char opener[] = "xdg-open";
    char* argv[] = {opener, const_cast<char*>(path.c_str()), nullptr};
    pid_t pid = 0;
    if (::posix_spawnp(&pid, opener, nullptr, nullptr, argv, environ) == 0) {
        // xdg-open hands the file to the browser and ends; do not leave it as a zombie.
        ::waitpid(pid, nullptr, 0);
    }
}

}  // namespace velmora::modulos::medicao
