#include "servers/server_selection.h"

#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "support/loopback_listener.h"
#include "support/speed_server.h"

namespace velmora::modulos::medicao {
namespace {

using namespace std::chrono_literals;
using velmora::test::LoopbackListener;
using velmora::test::RefusedLoopbackPort;

struct Call {
    std::wstring host;
    std::uint16_t port;
    int attempts;
    bool discardFirst;
    std::uint32_t timeoutMs;
};

// Latencies chosen by the test, keyed by host and port: loopback timing cannot make a stable
// "12 ms beats 15 ms". A missing entry fails like an unreachable server.
class ScriptedLatencies {
  public:
    struct Answer {
        double ms;
        std::chrono::milliseconds delay{0};
    };
    void Set(const std::wstring& host, std::uint16_t port, double ms,
             std::chrono::milliseconds delay = 0ms) {
        answers_[{host, port}] = {ms, delay};
    }
    LatencyMeasure Measure() {
        return [this](const std::wstring& host, std::uint16_t port, int attempts, bool discard,
                      std::uint32_t timeoutMs) {
            {
                std::lock_guard lock(mutex_);
                calls_.push_back({host, port, attempts, discard, timeoutMs});
            }
            const auto it = answers_.find({host, port});
            if (it == answers_.end()) {
                throw std::runtime_error("Não foi possível medir a latência TCP.");
            }
            std::this_thread::sleep_for(it->second.delay);
            return it->second.ms;
        };
    }
    std::vector<Call> Calls() {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    std::set<std::wstring> ProbedHosts() {
        std::set<std::wstring> hosts;
        for (const Call& c : Calls()) {
            hosts.insert(c.host);
        }
        return hosts;
    }

  private:
    std::map<std::pair<std::wstring, std::uint16_t>, Answer> answers_;
    std::mutex mutex_;
    std::vector<Call> calls_;
};

// The built-in servers with loopback addresses for hosts (row i at 127.0.0.(10 + i)), so that
// resolving them never leaves the machine.
ServerCatalog LoopbackCatalog() {
    std::vector<ServerEntry> rows = BuildServerCatalog().Entries();
    for (std::size_t i = 0; i < rows.size(); ++i) {
        rows[i].host = L"127.0.0." + std::to_wstring(10 + i);
    }
    return ServerCatalog(std::move(rows));
}

const std::wstring kClaroSp = L"127.0.0.11";
const std::wstring kVivoSp = L"127.0.0.18";
constexpr double kSaoPauloLat = -23.5505;
constexpr double kSaoPauloLon = -46.6333;

class Selection : public ::testing::Test {
  protected:
    Selection() {
        settings.edgeHost = L"127.0.0.1";
        settings.edgeTrace = {L"127.0.0.1", RefusedLoopbackPort(), false};
        settings.probeWait = 2000ms;
        settings.measure = latencies.Measure();
    }
    ServerCatalog catalog = LoopbackCatalog();
    ScriptedLatencies latencies;
    SelectionSettings settings;
};

TEST_F(Selection, MissingPositionProbesOnlyTheEdge) {
    latencies.Set(L"127.0.0.1", 443, 15);
    latencies.Set(kClaroSp, 8080, 1);
    const SelectedServer server = SelectBestServer(catalog, 0.0, 0.0, settings);
    EXPECT_EQ(server.name, L"Cloudflare Speed Test");
    EXPECT_EQ(server.host, L"127.0.0.1");
    EXPECT_EQ(server.ip, L"127.0.0.1");
    EXPECT_EQ(server.location, L"Cloudflare CDN");
    EXPECT_EQ(server.latencyMs, 15.0);
    EXPECT_EQ(server.distanceKm, 0.0);
    EXPECT_EQ(server.protocol, ProtocolKind::Cloudflare);
    const auto calls = latencies.Calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].port, 443);
    EXPECT_EQ(calls[0].attempts, 3);
    EXPECT_TRUE(calls[0].discardFirst);
    EXPECT_EQ(calls[0].timeoutMs, 0u);
}

TEST_F(Selection, AFasterCandidateWins) {
    latencies.Set(L"127.0.0.1", 443, 15);
    latencies.Set(kClaroSp, 8080, 12);
    const SelectedServer server = SelectBestServer(catalog, kSaoPauloLat, kSaoPauloLon, settings);
    EXPECT_EQ(server.name, L"Claro SP Capital");
    EXPECT_EQ(server.host, kClaroSp);
    EXPECT_EQ(server.ip, kClaroSp);
    EXPECT_EQ(server.location, L"São Paulo / SP");
    EXPECT_LT(server.distanceKm, 1.0);
    EXPECT_EQ(server.latencyMs, 12.0);
    EXPECT_EQ(server.protocol, ProtocolKind::OoklaHttp);
}

TEST_F(Selection, TiesKeepTheEdgeThenTheFirstStarted) {
    latencies.Set(L"127.0.0.1", 443, 15);
    latencies.Set(kClaroSp, 8080, 15);
    EXPECT_EQ(SelectBestServer(catalog, kSaoPauloLat, kSaoPauloLon, settings).name,
              L"Cloudflare Speed Test");
    latencies.Set(kClaroSp, 8080, 9);
    latencies.Set(kVivoSp, 8080, 9);
    EXPECT_EQ(SelectBestServer(catalog, kSaoPauloLat, kSaoPauloLon, settings).name,
              L"Claro SP Capital");
}

TEST_F(Selection, EdgeDistanceIsFromTheCloudflareRow) {
    latencies.Set(L"127.0.0.1", 443, 15);
    const SelectedServer server = SelectBestServer(catalog, -22.9068, -43.1729, settings);
    EXPECT_EQ(server.name, L"Cloudflare Speed Test");
    EXPECT_NEAR(server.distanceKm, 361.0, 1.0);
}

TEST_F(Selection, CandidatesTryTheirPortsInOrder) {
    latencies.Set(L"127.0.0.1", 443, 15);
    latencies.Set(kClaroSp, 443, 10);
    const SelectedServer server = SelectBestServer(catalog, kSaoPauloLat, kSaoPauloLon, settings);
    EXPECT_EQ(server.name, L"Claro SP Capital");
    std::vector<std::uint16_t> ports;
    for (const Call& call : latencies.Calls()) {
        if (call.host == kClaroSp) {
            ports.push_back(call.port);
            EXPECT_EQ(call.attempts, 2);
            EXPECT_FALSE(call.discardFirst);
            EXPECT_EQ(call.timeoutMs, 2500u);
        }
    }
    EXPECT_EQ(ports, (std::vector<std::uint16_t>{8080, 80, 443}));
}

TEST_F(Selection, OnlyTheFirstFiveOperatorServersAreProbed) {
    const SelectedServer server = SelectBestServer(catalog, kSaoPauloLat, kSaoPauloLon, settings);
    // Nearby order from São Paulo: Claro SP, Vivo SP, Ookla SP, Claro RJ, Vivo RJ, then more.
    const std::set<std::wstring> expected{L"127.0.0.1",  kClaroSp,      kVivoSp,
                                          L"127.0.0.22", L"127.0.0.12", L"127.0.0.19"};
    EXPECT_EQ(latencies.ProbedHosts(), expected);
    EXPECT_EQ(latencies.Calls().size(), 1u + 5u * 3u);
    // Nothing answered: the edge record, with its failed latency.
    EXPECT_EQ(server.name, L"Cloudflare Speed Test");
    EXPECT_EQ(server.ip, L"127.0.0.1");
    EXPECT_EQ(server.latencyMs, NO_LATENCY_MS);
    EXPECT_EQ(server.protocol, ProtocolKind::Cloudflare);
}

TEST_F(Selection, ALateCandidateIsNotChosenButIsWaitedFor) {
    settings.probeWait = 300ms;
    latencies.Set(L"127.0.0.1", 443, 15);
    latencies.Set(kClaroSp, 8080, 1, 900ms);
    latencies.Set(kVivoSp, 8080, 10);
    const auto start = std::chrono::steady_clock::now();
    const SelectedServer server = SelectBestServer(catalog, kSaoPauloLat, kSaoPauloLon, settings);
    EXPECT_EQ(server.name, L"Vivo SP Capital");
    EXPECT_GE(std::chrono::steady_clock::now() - start, 900ms);
}

TEST_F(Selection, UnresolvableEdgeLetsAnyAnsweringCandidateWin) {
    REQUIRE_ISOLATED_NETWORK();
    settings.edgeHost = L"nx.velmora.test";
    const SelectedServer none = SelectBestServer(catalog, kSaoPauloLat, kSaoPauloLon, settings);
    EXPECT_EQ(none.name, L"Cloudflare Speed Test");
    EXPECT_EQ(none.ip, L"nx.velmora.test");
    EXPECT_EQ(none.latencyMs, 0.0);

    latencies.Set(L"127.0.0.19", 80, 250);
    const SelectedServer server = SelectBestServer(catalog, kSaoPauloLat, kSaoPauloLon, settings);
    EXPECT_EQ(server.name, L"Vivo RJ Capital");
    EXPECT_EQ(server.location, L"Rio de Janeiro / RJ");
}

TEST_F(Selection, EdgeKeepsItsFastestAddressAndLocation) {
    REQUIRE_ISOLATED_NETWORK();
    REQUIRE_SPEED_SERVER();
    const auto trace = velmora::test::SpeedServer::Listen("addr=auto");
    settings.edgeTrace = {trace.host(), trace.port, false};
    settings.edgeHost = L"multi.velmora.test";  // 127.0.0.2, then 127.0.0.3
    latencies.Set(L"127.0.0.2", 443, 20);
    latencies.Set(L"127.0.0.3", 443, 14);
    const SelectedServer edge = ProbeCloudflareEdge(settings.edgeHost, settings);
    EXPECT_EQ(edge.host, L"multi.velmora.test");
    EXPECT_EQ(edge.ip, L"127.0.0.3");
    EXPECT_EQ(edge.latencyMs, 14.0);
    EXPECT_EQ(edge.location, L"GRU / BR");
    EXPECT_EQ(edge.name, L"Cloudflare");
}

TEST(SelectionOnLoopback, RealProbesChooseTheServerThatAnswers) {
    // No scripted latencies: real connects. Only Claro SP (127.0.0.11) listens, and the edge
    // refuses, so Claro SP is the only server with a latency.
    LoopbackListener claroSp("127.0.0.11");
    SelectionSettings settings;
    settings.edgeHost = L"127.0.0.1";
    settings.edgePort = RefusedLoopbackPort();
    settings.edgeTrace = {L"127.0.0.1", RefusedLoopbackPort(), false};
    settings.candidatePorts = {RefusedLoopbackPort("127.0.0.11"), claroSp.port()};
    const SelectedServer server =
        SelectBestServer(LoopbackCatalog(), kSaoPauloLat, kSaoPauloLon, settings);
    EXPECT_EQ(server.name, L"Claro SP Capital");
    EXPECT_GT(server.latencyMs, 0.0);
    EXPECT_LT(server.latencyMs, NO_LATENCY_MS);
    EXPECT_EQ(claroSp.accepted() >= 1, true);
}

}  // namespace
}  // namespace velmora::modulos::medicao
