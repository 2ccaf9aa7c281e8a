#include "run_log.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>

#include "common/text.h"
#include "history/history_file.h"
#include "platform/history_platform.h"
#include "platform/wall_clock.h"
#include "support/temp_dir.h"

namespace velmora::cli {
namespace {

constexpr std::int64_t kTicksPerDay = 864'000'000'000;

TEST(RunLog, BadLinesAndOtherVersionsAreSkippedAndCounted) {
    const RunLog log = ParseRunLog(
        "{\"logFormat\":1,\"timestamp\":100,\"status\":\"MEDI\xC3\x87\xC3\x83O CONCLU\xC3\x8D"
        "DA\",\"downloadMbps\":95.5,\"idleJitterMs\":1.25,\"connection\":\"wifi\","
        "\"bytesReceived\":1000,\"bytesSent\":200}\n"
        "\n"
        "not json\n"
        "{\"logFormat\":2,\"timestamp\":200,\"status\":\"x\"}\n"
        "{\"timestamp\":300,\"status\":\"x\"}\n"
        "{\"logFormat\":1,\"status\":\"x\"}\n"
        "[1,2]\n"
        "{\"logFormat\":1,\"timestamp\":400,\"status\":\"ERRO NA MEDI\xC3\x87\xC3\x83O\"}\n"
        "{\"logFormat\":1,\"timestamp\":500,\"sta");
    ASSERT_EQ(log.runs.size(), 2u);
    EXPECT_EQ(log.runs[0].timestamp, 100);
    EXPECT_EQ(log.runs[0].downloadMbps, 95.5);
    EXPECT_EQ(log.runs[0].idleJitterMs, 1.25);
    EXPECT_EQ(log.runs[0].connection, "wifi");
    EXPECT_EQ(log.runs[0].bytesUsed, 1200u);
    EXPECT_FALSE(log.runs[1].downloadMbps);
    EXPECT_EQ(log.badLines, 4);           // not JSON, no time stamp, not an object, cut short
    EXPECT_EQ(log.otherVersionLines, 2);  // another format, and none
}

TEST(RunLog, AppendingKeepsEveryLineAndNeverReplacesWhatItCannotRead) {
    const test::TempDir dir;
    const auto file = dir.path() / kRunLogFile;
    ASSERT_TRUE(modulos::medicao::ReplaceFileContents(file, "{\"a\":1}\n{\"cut"));
    ASSERT_TRUE(AppendRunLog(dir.path(), "{\"b\":2}"));
    ASSERT_TRUE(AppendRunLog(dir.path(), "{\"c\":3}"));
    EXPECT_EQ(modulos::medicao::ReadFileBytes(file), "{\"a\":1}\n{\"cut\n{\"b\":2}\n{\"c\":3}\n");

    const test::TempDir unreadable;
    std::filesystem::create_directory(unreadable.path() / kRunLogFile);
    EXPECT_FALSE(AppendRunLog(unreadable.path(), "{\"b\":2}"));
    EXPECT_TRUE(std::filesystem::is_directory(unreadable.path() / kRunLogFile));
    EXPECT_FALSE(ReadRunLog(unreadable.path()).readable);
}

TEST(RunLog, DataSizesInDecimalUnits) {
    const struct {
        const char* text;
        std::optional<std::uint64_t> bytes;
    } cases[] = {
        {"20GB", 20'000'000'000},   {"500 MB", 500'000'000},   {"1,5TB", 1'500'000'000'000},
        {" 2.5gb ", 2'500'000'000}, {"20", std::nullopt},      {"GB", std::nullopt},
        {"-1GB", std::nullopt},     {"1.5.2GB", std::nullopt}, {"0MB", std::nullopt},
        {"20 GiB", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ParseDataSize(c.text), c.bytes) << c.text;
    }
}

TEST(RunLog, TheBudgetCountsThisMonthsRunsAndOneMoreOfTheirMeanSize) {
    const std::int64_t now = UnixTicksNow();
    RunLog log;
    log.runs = {{now - 40 * kTicksPerDay, "x", "", "", {}, {}, {}, {}, "", 900},  // another month
                {now, "x", "", "", {}, {}, {}, {}, "", 300},
                {now, "x", "", "", {}, {}, {}, {}, "", 100}};
    const struct {
        std::uint64_t budget;
        bool passes;
    } cases[] = {{600, false}, {599, true}, {100, true}};
    for (const auto& c : cases) {
        const DataBudgetCheck check = CheckDataBudget(log, now, c.budget);
        EXPECT_EQ(check.usedBytes, 400u);
        EXPECT_EQ(check.expectedRunBytes, 200u);
        EXPECT_EQ(check.wouldPass, c.passes) << c.budget;
    }
    EXPECT_FALSE(CheckDataBudget({}, now, 1).wouldPass);
}

TEST(RunLog, TheChecksSeeEveryStoredRunWithWhatItsLogLineAdds) {
    const std::int64_t day = 17'600'000'000'000'000 / kTicksPerDay * kTicksPerDay;
    const auto local = [](std::int64_t ticks) {
        return WideToUtf8(modulos::medicao::FormatHistoryTimestamp(ticks));
    };
    modulos::medicao::HistoryEntry window;  // a run of the window: no log line
    window.timestamp = local(day);
    window.downloadMbps = "250.00";
    window.uploadMbps = "x";
    window.pingMs = "12.00";
    window.status =
        "MEDI\xC3\x87\xC3\x83O CONCLU\xC3\x8D"
        "DA";
    modulos::medicao::HistoryEntry cli = window;
    cli.timestamp = local(day + 3 * kTicksPerDay);
    cli.uploadMbps = "80.00";
    RunLog log;
    log.runs = {{day + 3 * kTicksPerDay, "x", "", "", {}, {}, {}, 2.5, "wifi", 0},
                {day + kTicksPerDay, cli.status, "S", "L", 90.0, 40.0, 20.0, 3.0, "ethernet", 0}};

    const std::vector<ComplianceRun> runs = ComplianceRuns({cli, window}, log);
    ASSERT_EQ(runs.size(), 3u);
    EXPECT_EQ(runs[0].localTime, window.timestamp);
    EXPECT_EQ(runs[0].downloadMbps, 250.0);
    EXPECT_TRUE(std::isnan(runs[0].uploadMbps));
    EXPECT_FALSE(runs[0].jitterMs);
    EXPECT_EQ(runs[0].connection, "");
    EXPECT_TRUE(runs[0].finished);
    // Only in the log (the history could not take it).
    EXPECT_EQ(runs[1].localTime, local(day + kTicksPerDay));
    EXPECT_EQ(runs[1].downloadMbps, 90.0);
    EXPECT_EQ(runs[1].connection, "cabo");
    EXPECT_FALSE(runs[1].wifiOrVpn);
    // In both: the history's figures, the log's jitter and connection.
    EXPECT_EQ(runs[2].uploadMbps, 80.0);
    EXPECT_EQ(runs[2].jitterMs, 2.5);
    EXPECT_EQ(runs[2].connection, "Wi-Fi");
    EXPECT_TRUE(runs[2].wifiOrVpn);
}

}  // namespace
}  // namespace velmora::cli
