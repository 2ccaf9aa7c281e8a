#include "plan_compliance.h"

#include <gtest/gtest.h>

#include <array>

namespace velmora::cli {
namespace {

TEST(Plan, ReadsPlansAndMonthsAndRejectsEverythingElse) {
    const struct {
        std::string text;
        std::optional<double> down, up;
    } plans[] = {
        {"300/150", 300, 150},   {" 300 / 150 ", 300, 150}, {"87,5/12.25", 87.5, 12.25},
        {"0.5/0,25", 0.5, 0.25}, {"300", {}, {}},           {"300/", {}, {}},
        {"/150", {}, {}},        {"0/150", {}, {}},         {"300/-1", {}, {}},
        {"300/150/10", {}, {}},  {"300/150 Mbps", {}, {}},  {"3 00/150", {}, {}},
        {"300./150", {}, {}},    {".5/150", {}, {}},        {"1,5,0/150", {}, {}},
        {"inf/150", {}, {}},     {"1e3/150", {}, {}},       {std::string(400, '9') + "/1", {}, {}},
    };
    for (const auto& c : plans) {
        const std::optional<ContractedPlan> plan = ParsePlan(c.text);
        ASSERT_EQ(plan.has_value(), c.down.has_value()) << c.text;
        if (plan) {
            EXPECT_EQ(plan->downloadMbps, *c.down) << c.text;
            EXPECT_EQ(plan->uploadMbps, *c.up) << c.text;
        }
    }
    const struct {
        const char* text;
        bool good;
    } months[] = {{"2026-11", true},   {"2026-01", true},  {"1999-12", true},  {"2026-00", false},
                  {"2026-13", false},  {"2026-1", false},  {"2026/11", false}, {" 2026-11", false},
                  {"2026-11-", false}, {"20a6-11", false}, {"", false}};
    for (const auto& c : months) {
        EXPECT_EQ(ParseMonth(c.text), c.good ? std::optional<std::string>(c.text) : std::nullopt)
            << c.text;
    }
}

ComplianceRun StoredRun(const char* time, double down, double up, double ping,
                        std::optional<double> jitter, const char* connection,
                        bool finished = true) {
    ComplianceRun run;
    run.localTime = time;
    run.downloadMbps = down;
    run.uploadMbps = up;
    run.latencyMs = ping;
    run.jitterMs = jitter;
    run.connection = connection;
    run.wifiOrVpn = std::string(connection) == "Wi-Fi" || std::string(connection) == "VPN/túnel";
    run.serverName = "Vivo SP Capital";
    run.serverLocation = "São Paulo / SP";
    run.finished = finished;
    return run;
}

// Plan 100/20: 40 % is 40 and 8 Mbit/s.
const std::vector<ComplianceRun> kRecorded = {
    StoredRun("2026-10-03 09:30:00", 95, 19, 12, 2, "cabo"),        // before 10h
    StoredRun("2026-10-03 10:00:00", 40, 7.99, 80, 50.01, "cabo"),  // at the bounds
    StoredRun("2026-10-03 21:59:59", 39.99, 8, 80.01, {}, ""),      // a run of the window
    StoredRun("2026-10-03 22:00:00", 70, 15, 30, 5, "Wi-Fi"),       // from 22h
    StoredRun("2026-10-04 12:00:00", 0, 0, 0, {}, "cabo", false),   // stopped
    StoredRun("2026-11-01 08:00:00", 20, 4, 100, 60, "VPN/túnel"),
    StoredRun("2026-11-02 20:00:00", 100.1, 20, 9, 1, "cabo"),
};

TEST(Compliance, JudgesEachMonthOfTheRecordedRuns) {
    struct Month {
        const char* name;
        std::array<std::size_t, 5> counts;  // runs, 10h-22h, Wi-Fi/VPN, uncounted, used
        std::array<std::size_t, 8> shares;  // meeting and judged: download, upload, ping, jitter
        std::optional<double> meanDown, meanUp;  // share of the plan
        std::array<std::optional<bool>, 6> met;  // download, upload, the means, ping, jitter
    };
    constexpr std::array<std::optional<bool>, 6> kFails = {false, false, false,
                                                           false, false, false};
    constexpr std::array<std::optional<bool>, 6> kMeets = {true, true, true, true, true, true};
    const struct {
        bool includeWifi;
        std::optional<std::string> month;
        std::vector<Month> months;
    } queries[] = {
        {false,
         {},
         {{"2026-10", {4, 2, 1, 1, 3}, {2, 3, 2, 3, 2, 3, 1, 2}, 174.99 / 300, 34.99 / 60, kFails},
          {"2026-11", {2, 1, 1, 0, 1}, {1, 1, 1, 1, 1, 1, 1, 1}, 1.001, 1.0, kMeets}}},
        {true,
         {},
         {{"2026-10", {4, 2, 1, 1, 4}, {3, 4, 3, 4, 3, 4, 2, 3}, 244.99 / 400, 49.99 / 80, kFails},
          {"2026-11", {2, 1, 1, 0, 2}, {1, 2, 1, 2, 1, 2, 1, 2}, 120.1 / 200, 0.6, kFails}}},
        {false,
         "2026-11",
         {{"2026-11", {2, 1, 1, 0, 1}, {1, 1, 1, 1, 1, 1, 1, 1}, 1.001, 1.0, kMeets}}},
        {false, "2026-12", {{"2026-12", {0, 0, 0, 0, 0}, {}, {}, {}, {}}}},
    };
    for (const auto& q : queries) {
        const std::vector<MonthCompliance> months =
            MonthlyCompliance(kRecorded, {100, 20}, q.includeWifi, q.month);
        ASSERT_EQ(months.size(), q.months.size()) << q.month.value_or("todos");
        for (std::size_t i = 0; i < months.size(); ++i) {
            const MonthCompliance& m = months[i];
            const Month& want = q.months[i];
            const std::string at = want.name + std::string(q.includeWifi ? " com Wi-Fi" : "");
            EXPECT_EQ(m.month, want.name) << at;
            EXPECT_EQ(m.wifiOrVpnIncluded, q.includeWifi) << at;
            EXPECT_EQ(
                (std::array{m.runs, m.peakRuns, m.wifiOrVpnRuns, m.uncountedRuns, m.usedRuns}),
                want.counts)
                << at;
            EXPECT_EQ((std::array{m.download.meeting, m.download.judged, m.upload.meeting,
                                  m.upload.judged, m.latency.meeting, m.latency.judged,
                                  m.jitter.meeting, m.jitter.judged}),
                      want.shares)
                << at;
            ASSERT_EQ(m.downloadMean.shareOfPlan.has_value(), want.meanDown.has_value()) << at;
            ASSERT_EQ(m.uploadMean.shareOfPlan.has_value(), want.meanUp.has_value()) << at;
            if (want.meanDown) {
                EXPECT_NEAR(*m.downloadMean.shareOfPlan, *want.meanDown, 1e-12) << at;
                EXPECT_NEAR(*m.uploadMean.shareOfPlan, *want.meanUp, 1e-12) << at;
            }
            EXPECT_EQ((std::array{m.download.met, m.upload.met, m.downloadMean.met,
                                  m.uploadMean.met, m.latency.met, m.jitter.met}),
                      want.met)
                << at;
        }
    }
}

TEST(Compliance, TargetsHoldExactlyAtTheirBounds) {
    // At 55.5 Mbit/s, 22.20 is exactly 40 % and 44.40 exactly 80 %, though not in doubles.
    std::vector<ComplianceRun> runs;
    for (int i = 0; i < 20; ++i) {
        runs.push_back(StoredRun("2026-11-05 11:00:00", i == 0 ? 1 : 22.20, 44.40, 80, 50, "cabo"));
    }
    const std::vector<MonthCompliance> months =
        MonthlyCompliance(runs, *ParsePlan("55,5/55,5"), false, std::nullopt);
    ASSERT_EQ(months.size(), 1u);
    EXPECT_EQ(months[0].download.meeting, 19u);
    EXPECT_EQ(months[0].download.met, true);  // 19 of 20: the 95 %
    EXPECT_EQ(months[0].uploadMean.met, true);
    EXPECT_EQ(months[0].latency.met, true);
    EXPECT_EQ(months[0].jitter.met, true);
    const std::string text = ComplianceText({55.5, 55.5}, months, false);
    EXPECT_NE(text.find("95.0 % (19 de 20)"), std::string::npos) << text;
    EXPECT_NE(text.find("80.0 % do plano (44.40 Mbps)"), std::string::npos) << text;
    runs[1].downloadMbps = 22.19;  // 18 of 20 now
    const std::string fails =
        ComplianceText({55.5, 55.5}, MonthlyCompliance(runs, {55.5, 55.5}, false, {}), false);
    EXPECT_NE(fails.find("90.0 % (18 de 20)"), std::string::npos) << fails;
    EXPECT_NE(fails.find("NÃO ATENDE"), std::string::npos) << fails;
}

TEST(Compliance, AMonthWithoutUsableRunsShowsNoFigures) {
    const std::vector<ComplianceRun> stopped = {
        StoredRun("2026-11-05 11:00:00", 0, 0, 0, {}, "", false)};
    const std::vector<MonthCompliance> months =
        MonthlyCompliance(stopped, {300, 150}, false, std::string("2026-11"));
    ASSERT_EQ(months.size(), 1u);
    EXPECT_EQ(months[0].uncountedRuns, 1u);
    const std::string json = ComplianceJson({300, 150}, months, false);
    EXPECT_EQ(json.front(), '{');
    EXPECT_EQ(json.find("nan"), std::string::npos) << json;
    EXPECT_NE(json.find("\"download\":{\"meeting\":0,\"judged\":0,\"share\":null"),
              std::string::npos)
        << json;
    EXPECT_NE(ComplianceText({300, 150}, months, false).find("sem dados"), std::string::npos);
    EXPECT_EQ(DossierPage({300, 150}, months, stopped, false, "hoje").find("nan"),
              std::string::npos);
}

TEST(Sha256, MatchesTheFipsTestVectors) {
    const struct {
        std::string message;
        const char* digest;
    } vectors[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1'000'000, 'a'),
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto& v : vectors) {
        EXPECT_EQ(Sha256Hex(v.message), v.digest) << v.message.size() << " bytes";
    }
}

TEST(Dossier, EscapesStoredTextsAndStatesTheCountAndDigest) {
    std::vector<ComplianceRun> runs = {kRecorded[0], kRecorded[2], kRecorded[4]};
    runs[0].serverName = "<script>&\"'";
    runs[1].serverLocation = "<b>x</b>";
    runs[2].connection = "<u>cabo</u>";
    const std::vector<MonthCompliance> months = MonthlyCompliance(runs, {100, 20}, false, {});
    const std::string page = DossierPage({100, 20}, months, runs, false, "<2026-12-01>");
    for (const char* raw : {"<script", "&\"", "<b>x", "<u>cabo", "<2026"}) {
        EXPECT_EQ(page.find(raw), std::string::npos) << raw;
    }
    EXPECT_NE(page.find("&lt;script&gt;&amp;&quot;&#39;"), std::string::npos);
    EXPECT_NE(page.find("lista <strong>3 medições</strong>"), std::string::npos);
    const std::string digestText = DossierDigestText(runs);
    EXPECT_EQ(digestText.substr(0, digestText.find('\n')),
              "2026-10-03 09:30:00\t<script>&\"'\tSão Paulo / SP\t95.00\t19.00\t12.00\t2.00\t"
              "cabo\tconcluída");
    EXPECT_NE(page.find(Sha256Hex(digestText)), std::string::npos);
    runs[0].downloadMbps = 95.01;  // another copy of the history reads differently
    EXPECT_NE(Sha256Hex(DossierDigestText(runs)), Sha256Hex(digestText));
}

}  // namespace
}  // namespace velmora::cli
