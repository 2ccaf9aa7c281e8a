#include "history/history_file.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

#include <clocale>
#include <cstdlib>
#include <fstream>
#include <future>
#include <iterator>

#include "common/text.h"
#include "history/history_reader.h"
#include "platform/history_platform.h"
#include "support/temp_dir.h"

namespace velmora::modulos::medicao {
namespace {

namespace fs = std::filesystem;
using velmora::test::TempDir;
std::string Read(const std::filesystem::path& path) {
    return ReadFileBytes(path).value_or("");
}

void Write(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

MeasurementRecord SampleRecord() {
    MeasurementRecord r;
    r.timestamp = 0;
    r.downloadMbps = 93.456;
    r.uploadMbps = 2.5;
    r.pingMs = 12;
    r.idleLatencyMs = 12;
    r.downloadLatencyMs = 0;
    r.uploadLatencyMs = 1500.5;
    r.publicIp = L"177.10.20.30";
    r.userCity = L"São Paulo - SP";
    r.serverIp = L"104.16.1.1";
    r.serverName = L"A&B <teste> \"x\" 'y'";
    r.serverLocation = L"GRU / BR";
    r.status = kStatusDone;
    r.downloadVariation = kDownloadVariation;
    r.uploadVariation = kUploadVariation;
    r.downloadSamples = {80.5, 91.25, 90};
    r.uploadSamples = {87.3};
    return r;
}

// The block as it must stand in the file, written out by hand.
std::string ExpectedBlock(const std::string& timestamp) {
    return "  <measurement timestamp=\"" + timestamp +
           "\">\n"
           "    <downloadMbps>93.46</downloadMbps>\n"
           "    <uploadMbps>2.50</uploadMbps>\n"
           "    <pingMs>12.00</pingMs>\n"
           "    <idleLatencyMs>12.00</idleLatencyMs>\n"
           "    <downloadLatencyMs>0.00</downloadLatencyMs>\n"
           "    <uploadLatencyMs>1500.50</uploadLatencyMs>\n"
           "    <publicIp>177.10.20.30</publicIp>\n"
           "    <userCity>S\xC3\xA3o Paulo - SP</userCity>\n"
           "    <serverIp>104.16.1.1</serverIp>\n"
           "    <serverName>A&amp;B &lt;teste&gt; &quot;x&quot; &apos;y&apos;</serverName>\n"
           "    <serverLocation>GRU / BR</serverLocation>\n"
           "    <status>MEDI\xC3\x87\xC3\x83O CONCLU\xC3\x8D"
           "DA</status>\n"
           "    <downloadVariation>Oscila\xC3\xA7\xC3\xA3o leve com estabilidade "
           "predominante.</downloadVariation>\n"
           "    <uploadVariation>Oscila\xC3\xA7\xC3\xA3o leve e envio "
           "consistente.</uploadVariation>\n"
           "    <downloadSamples>80.50,91.25,90.00</downloadSamples>\n"
           "    <uploadSamples>87.30</uploadSamples>\n"
           "  </measurement>\n";
}

const std::string kSkeleton =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
    "<history product=\"OBRIX KALDRA\" company=\"KALDRA NETWORK SECURITY LTDA\" "
    "version=\"2.0.3.7\">\n"
    "</history>\n";

std::string Stamp(const MeasurementRecord& r) {
    return WideToUtf8(FormatHistoryTimestamp(r.timestamp));
}

TEST(HistoryFormats, Numbers) {
    EXPECT_EQ(FormatHistoryNumber(0), L"0.00");
    EXPECT_EQ(FormatHistoryNumber(2.5), L"2.50");
    EXPECT_EQ(FormatHistoryNumber(93.456), L"93.46");
    EXPECT_EQ(FormatHistoryNumber(1500.5), L"1500.50");
    EXPECT_EQ(FormatHistoryNumber(-3.14159), L"-3.14");
    EXPECT_EQ(FormatHistoryNumber(1234567.891), L"1234567.89");
    EXPECT_EQ(FormatSampleList({80.5, 91.25, 90}), L"80.50,91.25,90.00");
    EXPECT_EQ(FormatSampleList({87.3}), L"87.30");
    EXPECT_EQ(FormatSampleList({}), L"");
}

TEST(HistoryFormats, NumbersIgnoreACommaDecimalLocale) {
    // Whatever locale the C library is in, the file keeps ".".
    const char* chosen = nullptr;
    for (const char* name :
         {"pt_BR.UTF-8", "de_DE.UTF-8", "fr_FR.UTF-8", "Portuguese_Brazil.1252"}) {
        if ((chosen = std::setlocale(LC_ALL, name)) != nullptr) {
            break;
        }
    }
    EXPECT_EQ(FormatHistoryNumber(2.5), L"2.50");
    EXPECT_EQ(FormatSampleList({1.5, 2}), L"1.50,2.00");
    std::setlocale(LC_ALL, "C");
    if (chosen == nullptr) {
        GTEST_SKIP() << "no comma-decimal locale is installed here; checked in the C locale only";
    }
}

TEST(HistoryFormats, XmlEscapeReplacesEachOfTheFive) {
    EXPECT_EQ(XmlEscape(L"&<>\"'"), L"&amp;&lt;&gt;&quot;&apos;");
    EXPECT_EQ(XmlEscape(L"&amp;"), L"&amp;amp;");
    EXPECT_EQ(XmlEscape(L"São"), L"São");
}

TEST(HistoryFormats, TimestampIsLocalCalendarTime) {
    const std::wstring text =
        FormatHistoryTimestamp(1'741'338'302LL * 10'000'000);  // 2025-03-07 09:05:02 UTC
    ASSERT_EQ(text.size(), 19u);
    EXPECT_EQ(text.substr(0, 8), L"2025-03-");
    EXPECT_EQ(text[4], L'-');
    EXPECT_EQ(text[10], L' ');
    EXPECT_EQ(text.substr(13), L":05:02");  // every zone here is a whole or half hour off
}

class HistoryFileTest : public ::testing::Test {
  protected:
    TempDir dir;
    fs::path history() const { return dir.path() / "history.xml"; }
};

TEST_F(HistoryFileTest, AFreshFolderGetsTheSkeleton) {
    EXPECT_EQ(EnsureHistoryFile(dir.path() / "sub"), dir.path() / "sub" / "history.xml");
    EXPECT_EQ(Read(dir.path() / "sub" / "history.xml"), kSkeleton);
}

TEST_F(HistoryFileTest, OneRunThenTwo) {
    const MeasurementRecord r = SampleRecord();
    ASSERT_TRUE(AppendToHistory(r, dir.path()));
    const std::string block = ExpectedBlock(Stamp(r));
    const std::string head = kSkeleton.substr(0, kSkeleton.size() - 11);
    EXPECT_EQ(Read(history()), head + block + "</history>\n");
    ASSERT_TRUE(AppendToHistory(r, dir.path()));
    EXPECT_EQ(Read(history()), head + block + block + "</history>\n");
    // Nothing is left beside it.
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
}

TEST_F(HistoryFileTest, InsertsBeforeTheLastEndTagAndKeepsWhatFollows) {
    const MeasurementRecord r = SampleRecord();
    Write(history(), "<history>\n</history>");  // no final line feed
    ASSERT_TRUE(AppendToHistory(r, dir.path()));
    EXPECT_EQ(Read(history()), "<history>\n" + ExpectedBlock(Stamp(r)) + "</history>");

    Write(history(), "<a></history>\n<b></history>\n<!-- tail -->");
    ASSERT_TRUE(AppendToHistory(r, dir.path()));
    EXPECT_EQ(Read(history()),
              "<a></history>\n<b>" + ExpectedBlock(Stamp(r)) + "</history>\n<!-- tail -->");
}

TEST_F(HistoryFileTest, AHistoryThatCannotTakeAnAppendIsKeptAsideAndStartedAgain) {
    const MeasurementRecord r = SampleRecord();
    const std::string fresh =
        kSkeleton.substr(0, kSkeleton.size() - 11) + ExpectedBlock(Stamp(r)) + "</history>\n";
    int backups = 0;
    for (const std::string& bytes : {std::string(""), std::string(4096, '\0'), std::string("<his>"),
                                     std::string("<history>\n<x/>\n</histor")}) {
        Write(history(), bytes);
        ASSERT_TRUE(AppendToHistory(r, dir.path()));
        EXPECT_EQ(Read(history()), fresh);
        if (!bytes.empty()) {  // an empty file holds nothing worth keeping
            const fs::path backup =
                dir.path() / (backups == 0 ? std::string("history.damaged.bak")
                                           : "history.damaged." + std::to_string(backups) + ".bak");
            EXPECT_EQ(Read(backup), bytes);
            ++backups;
        }
    }
}

TEST_F(HistoryFileTest, AUtf16HistoryIsKeptAsABackup) {
    const std::string utf16 = std::string("\xFF\xFE<\0h\0", 6);
    Write(history(), utf16);
    Write(dir.path() / "history.utf16.bak", "an earlier backup");
    EXPECT_EQ(EnsureHistoryFile(dir.path()), history());
    EXPECT_EQ(Read(history()), kSkeleton);
    EXPECT_EQ(Read(dir.path() / "history.utf16.bak"), "an earlier backup");
    EXPECT_EQ(Read(dir.path() / "history.utf16.1.bak"), utf16);

    Write(history(), utf16);
    EXPECT_TRUE(AppendToHistory(SampleRecord(), dir.path()));
    EXPECT_EQ(Read(dir.path() / "history.utf16.2.bak"), utf16);
    EXPECT_EQ(ReadHistory(Read(history())).size(), 1u);
}

bool FailHalfway(const fs::path& target, std::string_view bytes) {
    // What a crash or a full disk leaves: part of the new content written somewhere, then
    // nothing more.
    std::ofstream(target.parent_path() / "partial.tmp", std::ios::binary)
        << bytes.substr(0, bytes.size() / 2);
    return false;
}

TEST_F(HistoryFileTest, AFailedWriteLeavesTheOldFileIntact) {
    ASSERT_TRUE(AppendToHistory(SampleRecord(), dir.path()));
    const std::string before = Read(history());
    EXPECT_FALSE(AppendToHistory(SampleRecord(), dir.path(), &FailHalfway));
    EXPECT_EQ(Read(history()), before);
}

TEST_F(HistoryFileTest, AHistoryThatCannotBeReadIsNeverReplaced) {
    // Larger than any read may be (its runs must not be traded for a fresh history), and a
    // name that cannot be read as a file at all.
    std::string oversized = std::string(kHistorySkeleton);
    oversized.insert(oversized.rfind("</history>"),
                     std::string(static_cast<std::size_t>(kMostHistoryBytes), ' '));
    Write(history(), oversized);
    EXPECT_FALSE(ReadFileBytes(history()).has_value());
    EXPECT_FALSE(AppendToHistory(SampleRecord(), dir.path()));
    EXPECT_EQ(fs::file_size(history()), oversized.size());
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);

    fs::remove(history());
    fs::create_directory(history());
    EXPECT_FALSE(AppendToHistory(SampleRecord(), dir.path()));
    EXPECT_TRUE(fs::is_directory(history()));
}

TEST_F(HistoryFileTest, ReplaceFileContentsSwapsInOneStep) {
    Write(history(), "old");
    ASSERT_TRUE(ReplaceFileContents(history(), "new content"));
    EXPECT_EQ(Read(history()), "new content");
    ASSERT_TRUE(ReplaceFileContents(dir.path() / "fresh.xml", ""));
    EXPECT_EQ(Read(dir.path() / "fresh.xml"), "");
    EXPECT_FALSE(ReplaceFileContents(dir.path() / "missing" / "x.xml", "y"));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 2);
}

TEST_F(HistoryFileTest, ABlockedFolderStoresNothingAndDoesNotThrow) {
    Write(dir.path() / "file", "not a folder");
    EXPECT_FALSE(AppendToHistory(SampleRecord(), dir.path() / "file"));
    EXPECT_THROW(EnsureHistoryFile(dir.path() / "file"), fs::filesystem_error);
}

int ThisProcessId() {
#ifdef _WIN32
    return static_cast<int>(GetCurrentProcessId());
#else
    return static_cast<int>(::getpid());
#endif
}

// Names someone else planted beside the history, as second names of a file of theirs (the
// victim): a temporary under the name a write would have guessed, and the history itself.
// Nothing is written through them; a history with two names is not this user's to replace.
TEST_F(HistoryFileTest, NothingIsWrittenThroughAPlantedName) {
    const fs::path victim = dir.path() / "victim";
    const fs::path folder = dir.path() / "h";
    fs::create_directory(folder);
    Write(victim, "precious");
    fs::create_hard_link(victim,
                         folder / (VELMORA_HISTORY_TEMPORARY + std::to_string(ThisProcessId())));
    EXPECT_TRUE(AppendToHistory(SampleRecord(), folder));
    EXPECT_EQ(ReadHistory(Read(folder / "history.xml")).size(), 1u);
    EXPECT_TRUE(ReplaceFileContents(folder / "other.txt", "x"));
    EXPECT_TRUE(WriteReportFile(folder / "index.html", "<html>"));
    EXPECT_EQ(ReadPlainFile(victim, 100).refusal, FileRefusal::SeveralNames);

    fs::remove(folder / "history.xml");
    fs::create_hard_link(victim, folder / "history.xml");
    EXPECT_FALSE(AppendToHistory(SampleRecord(), folder));
    fs::remove(folder / "history.xml");
    fs::remove(folder / (VELMORA_HISTORY_TEMPORARY + std::to_string(ThisProcessId())));
    EXPECT_EQ(ReadPlainFile(victim, 100).bytes, std::optional<std::string>("precious"));
#ifndef _WIN32
    fs::create_symlink(victim, folder / "history.xml");
    EXPECT_EQ(ReadPlainFile(folder / "history.xml", 100).refusal, FileRefusal::Link);
    EXPECT_FALSE(AppendToHistory(SampleRecord(), folder));
    EXPECT_EQ(Read(victim), "precious");
#endif
}

// A user's first run copies an earlier install's history once: the first source that is a
// plain file with one name, whole; the others are left alone, and said so.
TEST_F(HistoryFileTest, AnOldHistoryIsCopiedOnceAndOnlyWhenItIsPlain) {
    const std::string old = std::string(kHistorySkeleton)
                                .insert(std::string(kHistorySkeleton).rfind("</history>"),
                                        BuildHistoryBlock(SampleRecord()));
    const fs::path mine = dir.path() / "mine";
    Write(dir.path() / "damaged.xml", "<history><measurement");
    Write(dir.path() / "linked.xml", old);
    fs::create_hard_link(dir.path() / "linked.xml", dir.path() / "second-name.xml");
    Write(dir.path() / "good.xml", old);
    const std::vector<fs::path> sources = {dir.path() / "missing.xml", dir.path() / "damaged.xml",
                                           dir.path() / "linked.xml", dir.path() / "good.xml"};

    const std::vector<OldHistory> found = MigrateOldHistory(mine, sources);
    ASSERT_EQ(found.size(), 3u);
    EXPECT_EQ(found[0].refusal, FileRefusal::Damaged);
    EXPECT_EQ(found[1].refusal, FileRefusal::SeveralNames);
    EXPECT_TRUE(found[2].copied);
    EXPECT_EQ(Read(mine / "history.xml"), old);
    EXPECT_EQ(Read(dir.path() / "good.xml"), old);  // the source stays

    ASSERT_TRUE(AppendToHistory(SampleRecord(), mine));
    EXPECT_TRUE(MigrateOldHistory(mine, sources).empty());  // once
    EXPECT_EQ(ReadHistory(Read(mine / "history.xml")).size(), 2u);
}

#ifdef _WIN32
// A folder that refuses new files is no passing conflict: the lock gives up at once rather than
// retry for its whole wait. (Under Wine, Linux's /sys refuses them even to root, as "access
// denied"; an existing name refused so is one held or being deleted, which does pass.)
TEST(HistoryLockWin, AFolderThatRefusesNewFilesIsGivenUpAtOnce) {
    const auto start = std::chrono::steady_clock::now();
    const HistoryLock lock(L"Z:\\sys", std::chrono::seconds(20));
    EXPECT_FALSE(lock.held());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}
#endif

// Two programs (the window and the console) finishing at the same moment: run as two child
// processes of this test, each appending kAppendsPerChild records to one folder.
constexpr int kAppendsPerChild = 50;
constexpr char kChildFolderVariable[] = "VELMORA_APPEND_CHILD_DIR";

TEST(HistoryFromTwoPrograms, Child) {
    const char* folder = std::getenv(kChildFolderVariable);
    if (folder == nullptr) {
        GTEST_SKIP() << "run by HistoryFromTwoPrograms.NothingIsLost";
    }
    for (int i = 0; i < kAppendsPerChild; ++i) {
        ASSERT_TRUE(AppendToHistory(SampleRecord(), fs::path(folder)));
    }
}

TEST(HistoryFromTwoPrograms, NothingIsLost) {
    TempDir dir;
    const std::string folder = dir.path().string();
#ifdef _WIN32
    _putenv_s(kChildFolderVariable, folder.c_str());
    const fs::path self = ProgramDirectory() / "velmora_tests.exe";
#else
    setenv(kChildFolderVariable, folder.c_str(), 1);
    const fs::path self = fs::read_symlink("/proc/self/exe");
#endif
    const std::string command =
        "\"" + self.string() + "\" --gtest_filter=HistoryFromTwoPrograms.Child";
    auto first = std::async(std::launch::async, [&] { return std::system(command.c_str()); });
    auto second = std::async(std::launch::async, [&] { return std::system(command.c_str()); });
    EXPECT_EQ(first.get(), 0);
    EXPECT_EQ(second.get(), 0);
    const std::string stored = Read(dir.path() / "history.xml");
    EXPECT_EQ(ReadHistory(stored).size(), 2u * kAppendsPerChild);
    // Only the history is left: no temporary, no lock, no backup.
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
}

TEST(HistoryRoundTrip, AwkwardTextsComeBackAsTheyWere) {
    TempDir dir;
    MeasurementRecord r = SampleRecord();
    const std::vector<std::wstring> texts = {L"",
                                             L"&amp;",
                                             L"<measurement timestamp=\"x\">",
                                             L"</serverName>",
                                             L"a\"b'c",
                                             L"Brasília – São João d'Aliança",
                                             L"\U0001F680 emoji",
                                             L"tab\tand\nnew line",
                                             L"&#231;"};
    for (const std::wstring& text : texts) {
        r.publicIp = text;
        r.serverName = text;
        r.userCity = text;
        ASSERT_TRUE(AppendToHistory(r, dir.path()));
    }
    const std::vector<HistoryEntry> entries = ReadHistory(Read(dir.path() / "history.xml"));
    ASSERT_EQ(entries.size(), texts.size());
    for (std::size_t i = 0; i < texts.size(); ++i) {
        const std::string utf8 = WideToUtf8(texts[i]);
        EXPECT_EQ(entries[i].publicIp, utf8) << i;
        EXPECT_EQ(entries[i].serverName, utf8) << i;
        EXPECT_EQ(entries[i].userCity, utf8) << i;
        EXPECT_EQ(entries[i].downloadMbps, "93.46");
        EXPECT_EQ(entries[i].uploadSamples, "87.30");
        EXPECT_EQ(entries[i].timestamp, Stamp(r));
    }
}

}  // namespace
}  // namespace velmora::modulos::medicao
