#include "history/history_report.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "history/history_file.h"
#include "support/temp_dir.h"

#ifndef VELMORA_TEST_SOURCE_DIR
#error "VELMORA_TEST_SOURCE_DIR must name the tests folder"
#endif

namespace velmora::modulos::medicao {
namespace {

namespace fs = std::filesystem;
using velmora::test::TempDir;
std::string Read(const std::filesystem::path& path) {
    return ReadFileBytes(path).value_or("");
}

std::size_t Count(const std::string& text, const std::string& piece) {
    std::size_t n = 0;
    for (std::size_t at = text.find(piece); at != std::string::npos;
         at = text.find(piece, at + 1)) {
        ++n;
    }
    return n;
}

HistoryEntry Entry(const std::string& timestamp, const std::string& download) {
    HistoryEntry e;
    e.timestamp = timestamp;
    e.downloadMbps = download;
    e.uploadMbps = "12.50";
    e.pingMs = "12.00";
    e.status =
        "MEDI\xC3\x87\xC3\x83O CONCLU\xC3\x8D"
        "DA";
    return e;
}

TEST(HtmlEscape, FourCharactersOnly) {
    EXPECT_EQ(HtmlEscape("\"&<>'"), "&quot;&amp;&lt;&gt;'");
    EXPECT_EQ(HtmlEscape("S\xC3\xA3o"), "S\xC3\xA3o");
}

TEST(BuildSampleChart, BarsScaleToTheLargest) {
    EXPECT_EQ(
        BuildSampleChart("80.00,100.00", "cdl"),
        "<div class=\"chart cdl\"><div class=\"bar\" style=\"height:38px\" title=\"80.0 "
        "Mbps\"></div><div class=\"bar\" style=\"height:48px\" title=\"100.0 Mbps\"></div></div>");
    EXPECT_NE(BuildSampleChart("1.00,100.00", "cul").find("height:2px\" title=\"1.0 Mbps\""),
              std::string::npos);
    EXPECT_EQ(BuildSampleChart("0.00,0.00", "cdl"), "");
    EXPECT_EQ(BuildSampleChart("", "cdl"), "");
    EXPECT_EQ(BuildSampleChart("abc,,-5", "cdl"), "");
    // Pieces that are not numbers are left out; blanks before a number and junk after it are not.
    const std::string chart = BuildSampleChart(" 50.00x,abc,,100,1e999,", "cdl");
    EXPECT_EQ(Count(chart, "class=\"bar\""), 2u);
    EXPECT_NE(chart.find("height:24px\" title=\"50.0 Mbps\""), std::string::npos);
}

TEST(BuildHistoryPage, TheWholePageMatchesTheHandWrittenOne) {
    HistoryEntry e = Entry("2025-03-07 09:05:02", "93.46");
    e.idleLatencyMs = "12.00";
    e.downloadLatencyMs = "25.00";
    e.uploadLatencyMs = "30.00";
    e.publicIp = "177.10.20.30";
    e.serverIp = "104.16.1.1";
    e.serverName = "Claro & <SP> \"1\" 'a'";
    e.serverLocation = "S\xC3\xA3o Paulo / SP (12 km)";
    e.uploadVariation = "Oscila\xC3\xA7\xC3\xA3o leve e envio consistente.";
    e.downloadSamples = "80.00,100.00";
    e.uploadSamples = "1.00,100.00";
    const std::string golden =
        Read(fs::path(VELMORA_TEST_SOURCE_DIR) / "history" / "golden" / "one_measurement.html");
    ASSERT_FALSE(golden.empty());
    EXPECT_EQ(BuildHistoryPage({e}), golden);
}

TEST(BuildHistoryPage, EmptyHistoryHasTheNoticeOnly) {
    const std::string page = BuildHistoryPage({});
    EXPECT_NE(page.find("<div class=\"wrap\">\n<div class=\"nodata\">Nenhuma medi&#231;&#227;o "
                        "registrada ainda.</div>\n</div>\n<footer>"),
              std::string::npos);
    EXPECT_EQ(page.find("summary\">"), std::string::npos);
    EXPECT_EQ(Count(page, "\n"), 63u + 1u + 5u);
}

TEST(BuildHistoryPage, NewestFirstAndTheSummaryFromTheNewest) {
    const std::string page = BuildHistoryPage({Entry("2025-01-01 00:00:01", "10.00"),
                                               Entry("2025-01-02 00:00:02", "20.00"),
                                               Entry("2025-01-03 00:00:03", "30.00")});
    EXPECT_NE(page.find("<div class=\"sv\">3</div>"), std::string::npos);
    EXPECT_NE(page.find("&#218;lt. Download</div><div class=\"sv\">30.00<"), std::string::npos);
    const std::size_t first = page.find("#1</span><span class=\"ct\">2025-01-03 00:00:03");
    const std::size_t second = page.find("#2</span><span class=\"ct\">2025-01-02 00:00:02");
    const std::size_t third = page.find("#3</span><span class=\"ct\">2025-01-01 00:00:01");
    ASSERT_NE(first, std::string::npos);
    ASSERT_NE(second, std::string::npos);
    ASSERT_NE(third, std::string::npos);
    EXPECT_LT(first, second);
    EXPECT_LT(second, third);
    // No variation texts and no samples: neither block is written.
    EXPECT_EQ(page.find("class=\"vblk\""), std::string::npos);
    EXPECT_EQ(page.find("class=\"chts\""), std::string::npos);
}

TEST(BuildHistoryPage, VariationBlockVariants) {
    HistoryEntry both = Entry("t", "1");
    both.downloadVariation = "d";
    both.uploadVariation = "u";
    EXPECT_NE(
        BuildHistoryPage({both}).find(
            "<div class=\"vblk\">\n<div class=\"vl\">Varia&#231;&#227;o Download</div><div "
            "class=\"vt\">d</div>\n<div class=\"vl\" style=\"margin-top:10px\">Varia&#231;&#227;o "
            "Upload</div><div class=\"vt\">u</div>\n</div>\n"),
        std::string::npos);
    HistoryEntry downOnly = Entry("t", "1");
    downOnly.downloadVariation = "d";
    const std::string page = BuildHistoryPage({downOnly});
    EXPECT_NE(page.find("class=\"vt\">d</div>\n</div>\n"), std::string::npos);
    EXPECT_EQ(page.find("Upload</div><div class=\"vt\">"), std::string::npos);
    // Samples that give no chart keep their label.
    HistoryEntry zeros = Entry("t", "1");
    zeros.downloadSamples = "0.00,0.00";
    EXPECT_NE(BuildHistoryPage({zeros}).find(
                  "<div class=\"chts\">\n<div class=\"csec\"><div class=\"cl\">Amostras "
                  "Download</div></div>\n</div>\n"),
              std::string::npos);
}

TEST(BuildHistoryReport, WritesThePageFromTheFile) {
    TempDir dir;
    MeasurementRecord record;
    record.downloadMbps = 77.7;
    record.status = kStatusDone;
    ASSERT_TRUE(AppendToHistory(record, dir.path()));
    const fs::path report = BuildHistoryReport(dir.path() / "history.xml", dir.path() / "KALDRA");
    ASSERT_EQ(report, dir.path() / "KALDRA" / "index.html");
    const std::string page = Read(report);
    EXPECT_NE(page.find(">77.70<span"), std::string::npos);
    // Again: the same page replaces the first.
    EXPECT_EQ(BuildHistoryReport(dir.path() / "history.xml", dir.path() / "KALDRA"), report);
    EXPECT_EQ(Read(report), page);
    // A missing history gives the empty page.
    const fs::path empty = BuildHistoryReport(dir.path() / "none.xml", dir.path() / "KALDRA");
    EXPECT_NE(Read(empty).find("Nenhuma medi&#231;&#227;o"), std::string::npos);
}

TEST(BuildHistoryReport, FailuresGiveNoPage) {
    TempDir dir;
    std::ofstream(dir.path() / "KALDRA") << "a file where the folder should be";
    EXPECT_TRUE(BuildHistoryReport(dir.path() / "history.xml", dir.path() / "KALDRA").empty());
}

TEST(BuildHistoryReport, DefaultFolderIsPerUser) {
    TempDir dir;
    const fs::path report = BuildHistoryReport(dir.path() / "history.xml");
    ASSERT_FALSE(report.empty());
    EXPECT_EQ(report.filename(), "index.html");
    EXPECT_EQ(report.parent_path().filename(), "KALDRA");
    EXPECT_NE(Read(report).find("<!DOCTYPE html>"), std::string::npos);
}

}  // namespace
}  // namespace velmora::modulos::medicao
