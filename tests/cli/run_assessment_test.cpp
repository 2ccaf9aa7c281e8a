#include "run_assessment.h"

#include <gtest/gtest.h>

#include "common/text.h"
#include "record_formats.h"

namespace velmora::cli {
namespace {

using modulos::medicao::HistoryEntry;
using modulos::medicao::RunDiagnostics;

TEST(Responsiveness, GradesTheWorseMeasuredDirectionOnTheBufferbloatScale) {
    const std::optional<double> none;
    const struct {
        double idle;
        std::optional<double> down, up;
        const char* grade;  // nullptr: none
        std::optional<double> downAdded;
        std::optional<long long> upRpm;
    } cases[] = {
        {20, 24.5, 20, "A+", 4.5, 3000},
        {20, 25, 20, "A", 5, 3000},
        {20, 20, 49.9, "A", 0, 1202},
        {20, 50, 30, "B", 30, 2000},
        {20, 80, 79.9, "C", 60, 751},
        {20, 219, 220, "D", 199, 273},
        {20, 420, 419.9, "F", 400, 143},
        {40, 432, 609, "F", 392, 99},   // 20/2 Mbit/s behind a 500 ms queue
        {20, 15, none, "A+", 0, none},  // below idle: no gain, the probes' spread
        {20, none, 100, "C", none, 600},
        {20, none, none, nullptr, none, none},
        {20, -1, -1, nullptr, none, none},
        {0, -1, 0, "A+", none, 120000},  // a loopback server: under half a millisecond
    };
    for (const auto& c : cases) {
        const Responsiveness r = AssessResponsiveness(c.idle, c.down, c.up);
        EXPECT_EQ(r.grade.has_value(), c.grade != nullptr) << c.idle << " " << c.down.value_or(-9);
        if (c.grade != nullptr && r.grade) {
            EXPECT_EQ(*r.grade, c.grade) << c.down.value_or(-9) << " / " << c.up.value_or(-9);
        }
        EXPECT_EQ(r.download.addedMs, c.downAdded);
        EXPECT_EQ(r.upload.rpm, c.upRpm);
    }
    EXPECT_EQ(ResponsivenessLine(AssessResponsiveness(20, 65, 140)),
              "Responsividade: C (download +45 ms, upload +120 ms)");
    EXPECT_EQ(ResponsivenessLine(AssessResponsiveness(20, 65, none)),
              "Responsividade: B (download +45 ms, upload sem lat\xC3\xAA"
              "ncia sob carga)");
}

TEST(Responsiveness, AStoredRunIsGradedFromItsLatencies) {
    const std::string done = WideToUtf8(modulos::medicao::kStatusDone);
    HistoryEntry entry;
    entry.status = done;
    entry.idleLatencyMs = "20.00";
    entry.downloadLatencyMs = "75.00";
    entry.uploadLatencyMs = "40.00";
    EXPECT_EQ(StoredGrade(entry), "B");
    entry.idleLatencyMs = "";  // an older or damaged entry
    EXPECT_EQ(StoredGrade(entry), std::nullopt);
    entry.idleLatencyMs = "20.00";
    entry.downloadLatencyMs = "x";
    entry.uploadLatencyMs = "";
    EXPECT_EQ(StoredGrade(entry), std::nullopt);
    HistoryEntry failed;  // stopped before its latencies: zeros are not an A+
    failed.status = "ERRO NA MEDI\xC3\x87\xC3\x83O";
    failed.idleLatencyMs = failed.downloadLatencyMs = failed.uploadLatencyMs = "0.00";
    EXPECT_EQ(StoredGrade(failed), std::nullopt);
    failed.status = done;
    EXPECT_EQ(StoredGrade(failed), "A+");

    HistoryEntry graded;
    graded.status = done;
    graded.timestamp = "2026-12-08 10:00:00";
    graded.idleLatencyMs = "20.00";
    graded.downloadLatencyMs = "500.00";
    graded.uploadLatencyMs = "30.00";
    const std::string table = HistoryTable({graded, entry}, 10);
    EXPECT_NE(table.find("Nota"), std::string::npos);
    EXPECT_NE(table.find("  F     "), std::string::npos) << table;
    EXPECT_NE(table.find("  -     "), std::string::npos) << table;
}

TEST(TrustNotes, EachNoteOnlyPastItsThreshold) {
    const struct {
        void (*set)(RunDiagnostics&);
        const char* note;  // nullptr: no note
    } cases[] = {
        {[](RunDiagnostics& d) { d.download.cpuShare = 0.79; }, nullptr},
        {[](RunDiagnostics& d) { d.download.cpuShare = 0.8; },
         "Faltou CPU ao programa durante o download (80 % do tempo dos n\xC3\xBA"
         "cleos): o valor pode ser o limite deste computador, n\xC3\xA3o da linha."},
        {[](RunDiagnostics& d) { d.upload.liveVariation = 0.24; }, nullptr},
        {[](RunDiagnostics& d) { d.upload.liveVariation = 0.25; },
         "Os valores ao vivo do upload variaram muito (desvio padr\xC3\xA3o de 25 % da m\xC3\xA9"
         "dia): repita o teste para confirmar."},
        {[](RunDiagnostics& d) { d.upload.retransmittedShare = 0.019; }, nullptr},
        {[](RunDiagnostics& d) { d.upload.retransmittedShare = 0.041; },
         "4 % dos bytes enviados no upload foram retransmitidos: h\xC3\xA1 perda de pacotes no "
         "caminho."},
        {[](RunDiagnostics& d) { d.viaProxy = true; },
         "As transfer\xC3\xAAncias passaram por um proxy: os valores medem o caminho at\xC3\xA9 "
         "ele, n\xC3\xA3o s\xC3\xB3 a linha."},
        {[](RunDiagnostics& d) { d.addressFamily = 6; }, "Transfer\xC3\xAAncias por IPv6."},
    };
    for (const auto& c : cases) {
        RunDiagnostics diagnostics;
        c.set(diagnostics);
        const std::vector<std::string> notes = TrustNotes(diagnostics);
        if (c.note == nullptr) {
            EXPECT_TRUE(notes.empty()) << notes.front();
        } else {
            EXPECT_EQ(notes, std::vector<std::string>{c.note});
        }
    }
    EXPECT_EQ(FormatDataSize(412'345'678), "412.3 MB");
    EXPECT_EQ(FormatDataSize(999'960'000), "1.00 GB");
    EXPECT_EQ(FormatDataSize(1'240'000'000), "1.24 GB");
}

}  // namespace
}  // namespace velmora::cli
