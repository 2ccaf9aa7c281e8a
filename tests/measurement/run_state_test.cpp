#include "measurement/run_state.h"

#include <gtest/gtest.h>

#include <thread>

#include "platform/wall_clock.h"
#include "servers/server_catalog.h"

namespace velmora::modulos::medicao {
namespace {

TEST(AppendChartValue, KeepsTheNewestSeven) {
    std::vector<double> chart;
    for (int v = 1; v <= 7; ++v) {
        AppendChartValue(chart, v);
    }
    EXPECT_EQ(chart, (std::vector<double>{1, 2, 3, 4, 5, 6, 7}));
    AppendChartValue(chart, 8);
    EXPECT_EQ(chart, (std::vector<double>{2, 3, 4, 5, 6, 7, 8}));
    for (int v = 9; v <= 30; ++v) {
        AppendChartValue(chart, v);
    }
    EXPECT_EQ(chart, (std::vector<double>{24, 25, 26, 27, 28, 29, 30}));
}

TEST(ComposeTexts, UserCityJoinsWhatIsPresent) {
    EXPECT_EQ(ComposeUserCity(L"São Paulo", L"São Paulo"), L"São Paulo - São Paulo");
    EXPECT_EQ(ComposeUserCity(L"", L"Minas Gerais"), L"Minas Gerais");
    EXPECT_EQ(ComposeUserCity(L"Curitiba", L""), L"Curitiba");
    EXPECT_EQ(ComposeUserCity(L"", L""), L"");
}

TEST(ComposeTexts, ServerLocationTruncatesTheDistance) {
    EXPECT_EQ(ComposeServerLocation(L"São Paulo - SP", 12.9), L"São Paulo - SP (12 km)");
    EXPECT_EQ(ComposeServerLocation(L"Rio de Janeiro - RJ", 361.0),
              L"Rio de Janeiro - RJ (361 km)");
    EXPECT_EQ(ComposeServerLocation(L"X", 0.4), L"X (0 km)");
    EXPECT_EQ(ComposeServerLocation(L"GRU / BR", 0.0), L"GRU / BR");
    EXPECT_EQ(ComposeServerLocation(L"GRU / BR", -3.0), L"GRU / BR");
    EXPECT_EQ(ComposeServerLocation(L"X", 1e20), L"X (100000000000000000000 km)");
}

class RunStateTest : public ::testing::Test {
  protected:
    ServerCatalog catalog = BuildServerCatalog();
    SharedRunState state{catalog};
};

TEST_F(RunStateTest, StartsWithTheWaitingTexts) {
    const RunSnapshot run = ReadRunSnapshot(state);
    EXPECT_EQ(run.publicIp, L"Aguardando");
    EXPECT_EQ(run.isp, L"Aguardando");
    EXPECT_EQ(run.serverName, L"Seleção inteligente de servidor");
    EXPECT_EQ(run.serverIp, L"Aguardando medição");
    EXPECT_EQ(run.serverLocation, L"Melhor rota disponível");
    EXPECT_TRUE(run.userCity.empty());
    EXPECT_EQ(run.phase, MeasurementPhase::Idle);
    EXPECT_FALSE(run.running);
    EXPECT_EQ(&state.catalog, &catalog);
}

TEST_F(RunStateTest, RecordOfAFinishedRunCopiesEverything) {
    state.phase.exchange(MeasurementPhase::Done);
    state.running.exchange(true);
    state.texts.isp = L"Claro S.A.";
    state.texts.failure = "nenhuma";
    state.downloadMbps.exchange(512.25);
    state.uploadMbps.exchange(98.5);
    state.pingMs.exchange(12.0);
    state.idleLatencyMs.exchange(12.0);
    state.downloadLatencyMs.exchange(40.0);
    state.uploadLatencyMs.exchange(55.0);
    state.texts.publicIp = L"177.10.20.30";
    state.texts.userCity = ComposeUserCity(L"São Paulo", L"São Paulo");
    state.texts.serverIp = L"104.16.1.1";
    state.texts.serverName = L"Claro SP Capital";
    state.texts.serverLocation = ComposeServerLocation(L"São Paulo - SP", 12.9);
    state.texts.downloadChart = {400, 450, 512.25};
    state.texts.uploadChart = {98.5};

    const RunSnapshot run = ReadRunSnapshot(state);
    EXPECT_TRUE(run.running);
    EXPECT_EQ(run.isp, L"Claro S.A.");
    EXPECT_EQ(run.failure, "nenhuma");
    const std::int64_t before = UnixTicksNow();
    const MeasurementRecord record = MakeMeasurementRecord(run);
    const std::int64_t after = UnixTicksNow();

    EXPECT_GE(record.timestamp, before);
    EXPECT_LE(record.timestamp, after);
    EXPECT_DOUBLE_EQ(record.downloadMbps, 512.25);
    EXPECT_DOUBLE_EQ(record.uploadMbps, 98.5);
    EXPECT_DOUBLE_EQ(record.pingMs, 12.0);
    EXPECT_DOUBLE_EQ(record.idleLatencyMs, 12.0);
    EXPECT_DOUBLE_EQ(record.downloadLatencyMs, 40.0);
    EXPECT_DOUBLE_EQ(record.uploadLatencyMs, 55.0);
    EXPECT_EQ(record.publicIp, L"177.10.20.30");
    EXPECT_EQ(record.userCity, L"São Paulo - São Paulo");
    EXPECT_EQ(record.serverIp, L"104.16.1.1");
    EXPECT_EQ(record.serverName, L"Claro SP Capital");
    EXPECT_EQ(record.serverLocation, L"São Paulo - SP (12 km)");
    EXPECT_EQ(record.status, L"MEDIÇÃO CONCLUÍDA");
    EXPECT_EQ(record.downloadVariation, L"Oscilação leve com estabilidade predominante.");
    EXPECT_EQ(record.uploadVariation, L"Oscilação leve e envio consistente.");
    EXPECT_EQ(record.downloadSamples, (std::vector<double>{400, 450, 512.25}));
    EXPECT_EQ(record.uploadSamples, (std::vector<double>{98.5}));
}

TEST(MeasurementRecord, StatusFollowsThePhase) {
    for (const auto phase :
         {MeasurementPhase::Idle, MeasurementPhase::Latency, MeasurementPhase::Downloading,
          MeasurementPhase::Uploading, MeasurementPhase::Error}) {
        RunSnapshot run;
        run.phase = phase;
        const MeasurementRecord record = MakeMeasurementRecord(run);
        EXPECT_EQ(record.status, L"ERRO NA MEDIÇÃO") << static_cast<int>(phase);
        EXPECT_EQ(record.downloadVariation, L"Oscilação leve com estabilidade predominante.");
    }
}

TEST(WallClock, TicksCountFrom1970InHundredNanoseconds) {
    // 2020-01-01 and 2100-01-01 bracket any clock this can run on.
    const std::int64_t now = UnixTicksNow();
    EXPECT_GT(now, 1'577'836'800LL * 10'000'000);
    EXPECT_LT(now, 4'102'444'800LL * 10'000'000);
}

// GetProcessAffinityMask's documented answers: one group's masks, or 0 across several groups.
TEST(WallClock, UsableCoresFollowTheAffinityWithinOneProcessorGroup) {
    constexpr std::uint64_t kAll64 = ~std::uint64_t{0};
    const struct {
        std::uint64_t process, system;
        unsigned allGroups, cores;
    } cases[] = {
        {0x0F, 0x0F, 4, 4},          // a plain machine
        {0x03, 0x0F, 4, 2},          // restricted to two cores
        {0, 0, 128, 128},            // threads in several groups, or the call failed
        {kAll64, kAll64, 128, 128},  // Windows 11: unrestricted spans both groups of 64
        {0x0F, kAll64, 128, 4},      // restricted within the first group
        {0, 0, 0, 1},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(CoresFromAffinity(c.process, c.system, c.allGroups), c.cores)
            << std::hex << c.process << " / " << c.system;
    }
}

TEST_F(RunStateTest, NotifierIsOptionalAndReceivesEvents) {
    PostRunEvent(state, RunEvent::Progress);  // no notifier: nothing happens
    std::vector<RunEvent> posted;
    state.notifier.post = [&](RunEvent event) { posted.push_back(event); };
    PostRunEvent(state, RunEvent::Progress);
    PostRunEvent(state, RunEvent::Done);
    EXPECT_EQ(posted, (std::vector<RunEvent>{RunEvent::Progress, RunEvent::Done}));
}

// A worker publishing charts and values while the window thread reads snapshots: run under
// ThreadSanitizer this proves the locking discipline of the state.
TEST_F(RunStateTest, RecordsCanBeMadeWhileAWorkerPublishes) {
    std::jthread worker([this](std::stop_token stop) {
        double value = 0;
        while (!stop.stop_requested() && value < 20000) {
            value += 1;
            state.downloadMbps.exchange(value);
            {
                std::lock_guard lock(state.mutex);
                AppendChartValue(state.texts.downloadChart, value);
                state.texts.serverName =
                    value > 100 ? L"Claro SP Capital" : L"Cloudflare Speed Test";
            }
        }
        state.phase.exchange(MeasurementPhase::Done);
    });
    for (int i = 0; i < 200; ++i) {
        const MeasurementRecord record = MakeMeasurementRecord(ReadRunSnapshot(state));
        ASSERT_LE(record.downloadSamples.size(), kChartCapacity);
        for (std::size_t k = 1; k < record.downloadSamples.size(); ++k) {
            ASSERT_EQ(record.downloadSamples[k], record.downloadSamples[k - 1] + 1);
        }
    }
}

}  // namespace
}  // namespace velmora::modulos::medicao
