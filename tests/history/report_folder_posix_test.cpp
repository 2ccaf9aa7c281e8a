#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <optional>
#include <vector>

#include "history/history_report.h"
#include "platform/history_platform.h"
#include "support/temp_dir.h"

namespace velmora::modulos::medicao {
namespace {

namespace fs = std::filesystem;
using velmora::test::TempDir;

// Points the per-user folders at a folder of the test's own for the life of the object.
class UserFolders {
  public:
    explicit UserFolders(const fs::path& runtime) { Save("XDG_RUNTIME_DIR", runtime.string()); }
    ~UserFolders() {
        for (const auto& [name, value] : saved_) {
            if (value) {
                setenv(name.c_str(), value->c_str(), 1);
            } else {
                unsetenv(name.c_str());
            }
        }
    }

  private:
    void Save(const std::string& name, const std::string& value) {
        const char* old = std::getenv(name.c_str());
        saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
        setenv(name.c_str(), value.c_str(), 1);
    }
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

TEST(ReportFolder, IsMadePrivate) {
    TempDir dir;
    UserFolders folders(dir.path());
    const fs::path report = ReportDirectory();
    ASSERT_EQ(report, dir.path() / "KALDRA");
    struct stat st {};
    ASSERT_EQ(lstat(report.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
}

TEST(ReportFolder, RefusesAFolderOthersCanWriteOrALinkInItsPlace) {
    TempDir dir;
    UserFolders folders(dir.path());
    fs::create_directories(dir.path() / "elsewhere");
    fs::create_directory_symlink(dir.path() / "elsewhere", dir.path() / "KALDRA");
    EXPECT_TRUE(ReportDirectory().empty());
    EXPECT_TRUE(BuildHistoryReport(dir.path() / "history.xml").empty());

    fs::remove(dir.path() / "KALDRA");
    fs::create_directory(dir.path() / "KALDRA");
    chmod((dir.path() / "KALDRA").c_str(), 0777);
    EXPECT_TRUE(ReportDirectory().empty());
}

TEST(ReportFolder, NeverWritesThroughALinkPlantedAtThePage) {
    TempDir dir;
    fs::create_directory(dir.path() / "KALDRA");
    std::ofstream(dir.path() / "victim") << "precious";
    fs::create_symlink(dir.path() / "victim", dir.path() / "KALDRA" / "index.html");
    // The page replaces the link (the folder is the user's own), never writes through it.
    EXPECT_FALSE(BuildHistoryReport(dir.path() / "history.xml", dir.path() / "KALDRA").empty());
    EXPECT_FALSE(fs::is_symlink(dir.path() / "KALDRA" / "index.html"));
    std::ifstream in(dir.path() / "victim");
    std::string content;
    in >> content;
    EXPECT_EQ(content, "precious");
}

TEST(HistoryFilePermissions, AReplacedFileKeepsItsMode) {
    velmora::test::TempDir dir;
    const fs::path file = dir.path() / "history.xml";
    for (const mode_t mode : {mode_t{0600}, mode_t{0640}}) {
        std::ofstream(file) << "old";
        ASSERT_EQ(::chmod(file.c_str(), mode), 0);
        ASSERT_TRUE(ReplaceFileContents(file, "new"));
        struct stat st {};
        ASSERT_EQ(::stat(file.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, mode);
    }
}

}  // namespace
}  // namespace velmora::modulos::medicao
