#include "protocols/cloudflare_protocol.h"
#include "protocols/ookla_protocol.h"
#include "protocols/protocol_registry.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "support/loopback_listener.h"
#include "support/speed_server.h"
#include "support/transfer_run.h"

namespace velmora::modulos::medicao::protocolos {
namespace {

using namespace std::chrono_literals;
using velmora::test::ListenerStats;
using velmora::test::RunStreams;
using velmora::test::RunStreamsUntil;
using velmora::test::ServerListener;
using velmora::test::SpeedServer;

// The fixed Ookla ports can only be opened in the tests' own network namespace.
#define REQUIRE_OWN_PORTS() \
    REQUIRE_SPEED_SERVER(); \
    REQUIRE_ISOLATED_NETWORK()

SpeedEndpoint Plain(const ServerListener& l) {
    return {l.port, false, {}};
}

// A listener on `port` of `address` ("auto" picks a fresh loopback address).
ServerListener ListenOn(const std::string& address, int port, const std::string& mode) {
    return SpeedServer::Listen("addr=" + address + " port=" + std::to_string(port) + " " + mode);
}

std::chrono::milliseconds Since(const ListenerStats& stats, std::size_t i, std::size_t j) {
    return std::chrono::milliseconds(
        static_cast<long long>((stats.accepts[j] - stats.accepts[i]) * 1000.0));
}

TEST(SpeedProtocol, EachKindIsMadeFromItsOwnRow) {
    const struct {
        ProtocolKind kind;
        const wchar_t* name;
        bool edge;
    } cases[] = {{ProtocolKind::Cloudflare, L"Cloudflare HTTPS", true},
                 {ProtocolKind::OoklaHttp, L"Ookla HTTP", false}};
    EXPECT_EQ(Protocols().size(), std::size(cases));
    for (const auto& c : cases) {
        const ProtocolEntry& entry = ProtocolFor(c.kind);
        EXPECT_EQ(entry.kind, c.kind);
        EXPECT_EQ(entry.edge, c.edge);
        EXPECT_STREQ(entry.name, c.name);
        EXPECT_EQ(MakeProtocol(c.kind)->Name(), c.name);
        EXPECT_EQ(MakeProtocol(c.kind, {{8081, false, {}}})->Name(), c.name);
    }
}

TEST(SpeedProtocol, StopBeforeTheCallReturnsAtOnce) {
    REQUIRE_SPEED_SERVER();
    const ServerListener server = SpeedServer::Listen("addr=auto");
    std::stop_source stopped;
    stopped.request_stop();
    ByteCounter bytes{0};
    const std::size_t payload = 1000;
    const CloudflareProtocol cloudflare(Plain(server));
    const OoklaHttpProtocol ookla({Plain(server)});
    cloudflare.Download(server.host(), bytes, stopped.get_token());
    cloudflare.Upload(server.host(), payload, bytes, stopped.get_token());
    ookla.Download(server.host(), bytes, stopped.get_token());
    ookla.Upload(server.host(), payload, bytes, stopped.get_token());
    EXPECT_EQ(bytes.load(), 0u);
    EXPECT_EQ(SpeedServer::Stats(server).connections, 0);
}

TEST(SpeedProtocol, DownloadCountsExactlyWhatArrived) {
    REQUIRE_SPEED_SERVER();
    // Bodies of 200 kB: after the stop, at most one partly read body per stream is uncounted.
    const ServerListener server = SpeedServer::Listen("addr=auto size=200000");
    const CloudflareProtocol protocol(Plain(server));
    ByteCounter bytes{0};
    RunStreams(4, 600ms,
               [&](std::stop_token stop) { protocol.Download(server.host(), bytes, stop); });
    const ListenerStats stats = SpeedServer::SettledStats(server);
    EXPECT_GT(stats.requests, 4);
    EXPECT_LE(static_cast<long long>(bytes.load()), stats.down);
    EXPECT_GE(static_cast<long long>(bytes.load()), stats.down - 4 * 200'000);
    // Keep-alive: far fewer connections than requests.
    EXPECT_LT(stats.connections * 2, stats.requests);
}

TEST(SpeedProtocol, DownloadErrorStatusReconnectsAtOnceAndCountsNothing) {
    REQUIRE_SPEED_SERVER();
    const ServerListener server = SpeedServer::Listen("addr=auto mode=status status=404");
    const CloudflareProtocol protocol(Plain(server));
    ByteCounter bytes{0};
    RunStreamsUntil(
        1, [&] { return SpeedServer::Stats(server).connections >= 15; },
        [&](std::stop_token stop) { protocol.Download(server.host(), bytes, stop); });
    const ListenerStats stats = SpeedServer::Stats(server);
    EXPECT_EQ(bytes.load(), 0u);
    ASSERT_GE(stats.connections, 15);
    EXPECT_GE(stats.connections, stats.requests - 1);  // a new connection for every request
    // A 100 ms pause would put every gap between connections at 100 ms or more; the median
    // shrugs off a busy moment of the machine.
    std::vector<double> gaps;
    for (std::size_t i = 1; i < stats.accepts.size(); ++i) {
        gaps.push_back(stats.accepts[i] - stats.accepts[i - 1]);
    }
    std::nth_element(gaps.begin(), gaps.begin() + gaps.size() / 2, gaps.end());
    EXPECT_LT(gaps[gaps.size() / 2], 0.05);
}

TEST(SpeedProtocol, DownloadResetMidBodyReconnects) {
    REQUIRE_SPEED_SERVER();
    const ServerListener server = SpeedServer::Listen("addr=auto mode=reset size=1000000");
    const CloudflareProtocol protocol(Plain(server));
    ByteCounter bytes{0};
    RunStreamsUntil(
        1, [&] { return SpeedServer::Stats(server).connections >= 2; },
        [&](std::stop_token stop) { protocol.Download(server.host(), bytes, stop); });
    const ListenerStats stats = SpeedServer::SettledStats(server);
    EXPECT_GE(stats.connections, 2);
    EXPECT_GT(bytes.load(), 0u);
    EXPECT_LE(static_cast<long long>(bytes.load()), stats.down);
}

TEST(SpeedProtocol, UploadCountsWhatTheServerReceived) {
    REQUIRE_SPEED_SERVER();
    const ServerListener server = SpeedServer::Listen("addr=auto");
    const CloudflareProtocol protocol(Plain(server));
    const std::size_t payload = 1 << 20;
    ByteCounter bytes{0};
    RunStreams(2, 600ms,
               [&](std::stop_token stop) { protocol.Upload(server.host(), payload, bytes, stop); });
    const ListenerStats stats = SpeedServer::SettledStats(server);
    EXPECT_GT(stats.requests, 2);
    // Each stream keeps its connection from one POST to the next: a new one per POST pays its
    // handshakes and slow start again, round trips that a slow or distant uplink reads as less.
    EXPECT_EQ(stats.connections, 2);
    const auto counted = static_cast<long long>(bytes.load());
    EXPECT_GE(counted, static_cast<long long>(payload));
    // Credited as the server acknowledges it (where the transport can tell): never ahead of what
    // the server received by more than the transport's own buffer (libcurl takes up to 64 KiB
    // before it sends), and never behind by more than an abandoned request had in flight.
    EXPECT_GE(stats.up, counted - 2 * 64 * 1024);
    EXPECT_LE(stats.up, counted + 2 * static_cast<long long>(payload));
}

TEST(SpeedProtocol, UploadAnsweredWithAnErrorStillCounts) {
    REQUIRE_SPEED_SERVER();
    const ServerListener server = SpeedServer::Listen("addr=auto mode=status status=500");
    const CloudflareProtocol protocol(Plain(server));
    const std::size_t payload = 256 * 1024;
    ByteCounter bytes{0};
    RunStreams(1, 400ms,
               [&](std::stop_token stop) { protocol.Upload(server.host(), payload, bytes, stop); });
    EXPECT_GE(bytes.load(), 2 * payload);
    EXPECT_GE(SpeedServer::Stats(server).requests, 2);
}

TEST(SpeedProtocol, EmptyPayloadPostsButCountsNothing) {
    REQUIRE_SPEED_SERVER();
    const ServerListener server = SpeedServer::Listen("addr=auto");
    const CloudflareProtocol protocol(Plain(server));
    ByteCounter bytes{0};
    RunStreams(1, 300ms,
               [&](std::stop_token stop) { protocol.Upload(server.host(), 0, bytes, stop); });
    EXPECT_EQ(bytes.load(), 0u);
    EXPECT_GE(SpeedServer::Stats(server).requests, 2);
}

TEST(SpeedProtocol, SlowUploadIsCreditedAtEachAnswerAndStopsPromptly) {
    REQUIRE_SPEED_SERVER();
    // The server reads 2 MB/s: payloads sized to the stream's pace, at most 1 MiB here, are
    // answered every half second or so, and each counts only then.
    const ServerListener server = SpeedServer::Listen("addr=auto mode=slowread rate=2000000");
    const CloudflareProtocol protocol(Plain(server));
    const std::size_t payload = 1 << 20;
    ByteCounter bytes{0};
    std::jthread stream(
        [&](std::stop_token stop) { protocol.Upload(server.host(), payload, bytes, stop); });
    std::this_thread::sleep_for(1500ms);
    const std::uint64_t seenMidway = bytes.load();
    std::this_thread::sleep_for(2000ms);
    const std::uint64_t seenLater = bytes.load();
    const long long received = SpeedServer::Stats(server).up;
    stream.request_stop();
    const auto stopAt = std::chrono::steady_clock::now();
    stream.join();
    const auto stopTook = std::chrono::steady_clock::now() - stopAt;

    EXPECT_GT(seenMidway, 0u);
    EXPECT_GT(seenLater, seenMidway);
    // Nothing counts before the server has it.
    EXPECT_LE(seenLater, static_cast<std::uint64_t>(received));
    EXPECT_LT(stopTook, 1s);
}

TEST(SpeedProtocol, CloudflareOverTls) {
    REQUIRE_SPEED_SERVER();
    const ServerListener server = SpeedServer::Listen("addr=127.0.0.1 tls=1");
    const CloudflareProtocol protocol({server.port, true, {}});
    ByteCounter down{0};
    ByteCounter up{0};
    const std::size_t payload = 512 * 1024;
    RunStreamsUntil(
        2, [&] { return down.load() > 0; },
        [&](std::stop_token stop) { protocol.Download(L"localhost", down, stop); });
    RunStreamsUntil(
        1, [&] { return up.load() >= payload; },
        [&](std::stop_token stop) { protocol.Upload(L"localhost", payload, up, stop); });
    EXPECT_GT(down.load(), 0u);
    EXPECT_GE(up.load(), payload);
    EXPECT_GE(SpeedServer::Stats(server).tls, 2);
}

TEST(SpeedProtocol, CloudflareDefaultsToHttpsOn443) {
    REQUIRE_OWN_PORTS();
    const ServerListener server = ListenOn("127.0.0.1", 443, "tls=1 size=100000");
    ByteCounter bytes{0};
    RunStreamsUntil(
        1, [&] { return bytes.load() > 0; },
        [&](std::stop_token stop) { CloudflareProtocol().Download(L"localhost", bytes, stop); });
    EXPECT_GT(bytes.load(), 0u);
    EXPECT_GE(SpeedServer::Stats(server).tls, 1);
    SpeedServer::Close(server);
}

TEST(SpeedProtocol, NoConnectionObjectLoopsUntilStopWithoutCounting) {
    ByteCounter bytes{0};
    const auto stopTook = RunStreams(1, 350ms, [&](std::stop_token stop) {
        CloudflareProtocol({1, false, {}}).Download(L"", bytes, stop);
    });
    EXPECT_EQ(bytes.load(), 0u);
    EXPECT_LT(stopTook, 1s);
}

TEST(OoklaProtocol, ReachesAServerThatListensOnlyOn80) {
    REQUIRE_OWN_PORTS();
    const ServerListener only80 = ListenOn("auto", 80, "size=300000");
    ByteCounter down{0};
    ByteCounter up{0};
    const std::size_t payload = 256 * 1024;
    RunStreamsUntil(
        2, [&] { return down.load() > 0; },
        [&](std::stop_token stop) { OoklaHttpProtocol().Download(only80.host(), down, stop); });
    RunStreamsUntil(
        1, [&] { return up.load() >= payload; },
        [&](std::stop_token stop) {
            OoklaHttpProtocol().Upload(only80.host(), payload, up, stop);
        });
    EXPECT_GT(down.load(), 0u);
    EXPECT_GE(up.load(), payload);
    EXPECT_EQ(SpeedServer::Stats(only80).tlsRefused, 0);
}

TEST(OoklaProtocol, TlsOnlyOn443) {
    REQUIRE_OWN_PORTS();
    // 8080 answers: the call stays there, in plain HTTP.
    const ServerListener on8080 = ListenOn("auto", 8080, "size=100000");
    ByteCounter bytes{0};
    RunStreamsUntil(
        1, [&] { return bytes.load() > 0; },
        [&](std::stop_token stop) { OoklaHttpProtocol().Download(on8080.host(), bytes, stop); });
    EXPECT_GT(bytes.load(), 0u);
    EXPECT_EQ(SpeedServer::Stats(on8080).tlsRefused, 0);

    // Only 443 listens (in plain, so it can tell a TLS hello): it is reached with TLS.
    const ServerListener on443 = ListenOn("auto", 443, "");
    RunStreamsUntil(
        1, [&] { return SpeedServer::Stats(on443).tlsRefused > 0; },
        [&](std::stop_token stop) { OoklaHttpProtocol().Download(on443.host(), bytes, stop); });
    const ListenerStats stats = SpeedServer::Stats(on443);
    EXPECT_GE(stats.tlsRefused, 1);
    EXPECT_EQ(stats.requests, 0);
}

TEST(OoklaProtocol, WalksThePortsInOrderThenRetries443Every100ms) {
    REQUIRE_OWN_PORTS();
    // Every port accepts and hangs up: no answer ever arrives.
    const ServerListener p8080 = ListenOn("auto", 8080, "mode=drop");
    const ServerListener p80 = ListenOn(p8080.address, 80, "mode=drop");
    const ServerListener p443 = ListenOn(p8080.address, 443, "mode=drop");
    ByteCounter bytes{0};
    const auto start = std::chrono::steady_clock::now();
    RunStreamsUntil(
        1, [&] { return SpeedServer::Stats(p443).connections >= 4; },
        [&](std::stop_token stop) { OoklaHttpProtocol().Download(p8080.host(), bytes, stop); });
    const auto took = std::chrono::steady_clock::now() - start;
    const ListenerStats s8080 = SpeedServer::Stats(p8080);
    const ListenerStats s80 = SpeedServer::Stats(p80);
    const ListenerStats s443 = SpeedServer::Stats(p443);
    EXPECT_EQ(bytes.load(), 0u);
    ASSERT_GE(s8080.connections, 1);
    ASSERT_GE(s80.connections, 1);
    ASSERT_GE(s443.connections, 4);
    EXPECT_LE(s8080.connections, 2);
    EXPECT_LE(s80.connections, 2);
    EXPECT_LT(s8080.accepts.front(), s80.accepts.front());
    EXPECT_LT(s80.accepts.front(), s443.accepts.front());
    EXPECT_LT(s80.accepts.back(), s443.accepts.front());
    // After the list is exhausted, attempts on 443 are spaced by the retry pause. (The transport
    // may retry a dropped request once by itself, so look at every other attempt.)
    for (std::size_t i = 2; i < s443.accepts.size(); ++i) {
        EXPECT_GE(Since(s443, i - 2, i), 90ms) << i;
    }
    // Four attempts on 443 need at least three pauses.
    EXPECT_GE(took, 300ms);
}

TEST(OoklaProtocol, AnErrorStatusKeepsThePort) {
    REQUIRE_OWN_PORTS();
    const ServerListener p8080 = ListenOn("auto", 8080, "mode=status status=404");
    const ServerListener p80 = ListenOn(p8080.address, 80, "");
    const ServerListener p443 = ListenOn(p8080.address, 443, "");
    ByteCounter bytes{0};
    RunStreams(1, 500ms, [&](std::stop_token stop) {
        OoklaHttpProtocol().Download(p8080.host(), bytes, stop);
    });
    EXPECT_EQ(bytes.load(), 0u);
    EXPECT_GE(SpeedServer::Stats(p8080).requests, 10);
    EXPECT_EQ(SpeedServer::Stats(p80).connections, 0);
    EXPECT_EQ(SpeedServer::Stats(p443).connections, 0);
}

TEST(OoklaProtocol, StopWhileWalkingPortsEndsTheCall) {
    REQUIRE_OWN_PORTS();
    const ServerListener p8080 = ListenOn("auto", 8080, "mode=drop");
    ByteCounter bytes{0};
    const std::size_t payload = 1000;
    const auto stopTook = RunStreams(2, 120ms, [&](std::stop_token stop) {
        OoklaHttpProtocol().Upload(p8080.host(), payload, bytes, stop);
    });
    EXPECT_LT(stopTook, 1s);
    EXPECT_GE(SpeedServer::Stats(p8080).connections, 2);
}

}  // namespace
}  // namespace velmora::modulos::medicao::protocolos
