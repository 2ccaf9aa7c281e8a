// A whole measurement on short phases of the built-in shape, against the loopback server paced
// like a 200 / 50 Mbit/s link: what the run publishes must match the pace. (velmora-cli's own
// test makes the one full-length run.)

#include <gtest/gtest.h>

#include "measurement/measurement_run.h"
#include "support/run_recorder.h"
#include "support/speed_server.h"

namespace velmora::modulos::medicao {
namespace {

using namespace std::chrono_literals;
using velmora::test::RunRecorder;
using velmora::test::ServerListener;
using velmora::test::SpeedServer;

constexpr double kDownMbit = 200.0;
constexpr double kUpMbit = 50.0;

TEST(MeasurementRunOnLoopback, FiguresMatchThePacedLink) {
    REQUIRE_SPEED_SERVER();
    const ServerListener server =
        SpeedServer::Listen("addr=auto pace_down=" + std::to_string(kDownMbit * 1e6 / 8) +
                            " pace_up=" + std::to_string(kUpMbit * 1e6 / 8));

    // Only the Cloudflare row: the user's position (São Paulo, from the server's geolocation
    // answer) finds no operator server to probe.
    const ServerCatalog catalog({BuildServerCatalog().Entries().front()});
    SharedRunState state(catalog);
    RunRecorder recorder(state);

    RunSettings settings;
    settings.geolocation = {server.host(), server.port, false};
    settings.selection.edgeHost = server.host();
    settings.selection.edgePort = server.port;
    settings.selection.edgeTrace = {server.host(), server.port, false};
    settings.latencyPorts = {server.port, server.port};
    settings.download = WithLength(kDownloadTiming, 6s);
    // Long enough that each stream's window holds several payloads of half a second.
    settings.upload = WithLength(kUploadTiming, 8s);
    settings.makeProtocol = [&](const SelectedServer&) {
        return std::make_unique<protocolos::CloudflareProtocol>(
            protocolos::SpeedEndpoint{server.port, false, {}});
    };

    const auto start = std::chrono::steady_clock::now();
    StartMeasurement(state, settings);
    ASSERT_TRUE(recorder.WaitForEnd(120s));
    state.worker.join();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    ASSERT_EQ(state.phase.load(), MeasurementPhase::Done);
    const double down = state.downloadMbps.load();
    const double up = state.uploadMbps.load();
    std::printf(
        "paced %.0f / %.0f Mbit/s -> measured %.2f / %.2f Mbit/s, ping %.0f ms, "
        "loaded %.0f / %.0f ms, run %.1f s\n",
        kDownMbit, kUpMbit, down, up, state.pingMs.load(), state.downloadLatencyMs.load(),
        state.uploadLatencyMs.load(), seconds);
    EXPECT_NEAR(down, kDownMbit, kDownMbit * 0.05);
    EXPECT_NEAR(up, kUpMbit, kUpMbit * 0.05);
    EXPECT_GE(seconds, 14.0);  // 6 s + 8 s of transfers

    const MeasurementRecord record = MakeMeasurementRecord(ReadRunSnapshot(state));
    EXPECT_EQ(record.publicIp, L"127.0.0.1");
    EXPECT_EQ(record.userCity, L"São Paulo - São Paulo");
    EXPECT_EQ(record.serverName, L"Cloudflare Speed Test");
    EXPECT_EQ(record.serverIp, server.host());
    // The user and the Cloudflare row share their coordinates: no distance is shown.
    EXPECT_EQ(record.serverLocation, L"GRU / BR");
    EXPECT_EQ(record.downloadSamples.size(), 7u);
    EXPECT_EQ(record.uploadSamples.back(), up);

    // The phases as the window saw them: Latency, Downloading, Uploading, Done, in order.
    std::vector<MeasurementPhase> seen;
    for (const auto& post : recorder.Posts()) {
        if (seen.empty() || seen.back() != post.phase) {
            seen.push_back(post.phase);
        }
    }
    EXPECT_EQ(seen, (std::vector<MeasurementPhase>{
                        MeasurementPhase::Latency, MeasurementPhase::Downloading,
                        MeasurementPhase::Uploading, MeasurementPhase::Done}));
}

}  // namespace
}  // namespace velmora::modulos::medicao
