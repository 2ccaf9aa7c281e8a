#include "net/tcp_connect.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <optional>
#include <thread>

#include "support/failure_of.h"
#include "support/loopback_listener.h"

namespace velmora::modulos::medicao {
namespace {

using velmora::test::FailureOf;

using namespace std::chrono_literals;
using velmora::test::LoopbackListener;
using velmora::test::RefusedLoopbackPort;
using Clock = std::chrono::steady_clock;

// Connects until a listener that never accepts has a full backlog and a connect stalls;
// returns how long the stalled connect took before it was given up.
std::optional<Clock::duration> StallOnFullBacklog(const wchar_t* host, std::uint16_t port,
                                                  std::uint32_t timeoutMs,
                                                  std::string* failure = nullptr) {
    std::vector<TcpSocket> held;
    for (int i = 0; i < 32; ++i) {
        const auto start = Clock::now();
        try {
            held.push_back(ConnectTcp(host, port, timeoutMs));
        } catch (const std::runtime_error& e) {
            if (failure != nullptr) {
                *failure = e.what();
            }
            return Clock::now() - start;
        }
    }
    return std::nullopt;
}

TEST(ConnectTcp, OpensAConnectionWithAndWithoutTimeOut) {
    LoopbackListener listener;
    TcpSocket blocking = ConnectTcp(L"127.0.0.1", listener.port(), 0);
    TcpSocket timed = ConnectTcp(L"127.0.0.1", listener.port(), 2500);
    EXPECT_TRUE(blocking.valid());
    EXPECT_TRUE(timed.valid());
    EXPECT_NE(blocking.get(), timed.get());
}

TEST(ConnectTcp, RefusedPortRaisesTheConnectFailure) {
    const std::uint16_t port = RefusedLoopbackPort();
    EXPECT_EQ(FailureOf([&] { ConnectTcp(L"127.0.0.1", port, 0); }),
              "Falha ao abrir conexão TCP de download.");
    EXPECT_EQ(FailureOf([&] { ConnectTcp(L"127.0.0.1", port, 500); }),
              "Falha ao abrir conexão TCP de download.");
}

TEST(ConnectTcp, GivesUpAStalledConnectAfterTheTimeOut) {
    LoopbackListener full("127.0.0.1", LoopbackListener::Mode::NeverAccept, 0);
    std::string failure;
    const auto stalled = StallOnFullBacklog(L"127.0.0.1", full.port(), 300, &failure);
    ASSERT_TRUE(stalled.has_value()) << "the backlog never filled";
    EXPECT_EQ(failure, "Falha ao abrir conexão TCP de download.");
    EXPECT_GE(*stalled, 290ms);
    EXPECT_LT(*stalled, 5s);
}

TEST(ConnectTcp, WithoutTimeOutAStalledConnectWaitsForTheSystemOrAStop) {
    // A full backlog drops the SYN, which the system resends after 1 s, 3 s, 7 s...: a slow but
    // honest handshake. It is not given up early; only the stop ends the wait.
    LoopbackListener full("127.0.0.1", LoopbackListener::Mode::NeverAccept, 0);
    ASSERT_TRUE(StallOnFullBacklog(L"127.0.0.1", full.port(), 200).has_value());
    std::stop_source stop;
    auto connect = std::async(std::launch::async, [&] {
        return FailureOf([&] { ConnectTcp(L"127.0.0.1", full.port(), 0, stop.get_token()); });
    });
    EXPECT_EQ(connect.wait_for(3500ms), std::future_status::timeout);
    stop.request_stop();
    ASSERT_EQ(connect.wait_for(2s), std::future_status::ready);
    EXPECT_EQ(connect.get(), "Falha ao abrir conexão TCP de download.");
}

TEST(ConnectTcp, NeverUsesAnIpv6Address) {
    REQUIRE_ISOLATED_NETWORK();
    EXPECT_EQ(FailureOf([] { ConnectTcp(L"::1", 80, 0); }),
              "Falha ao resolver endereço do servidor.");
    EXPECT_EQ(FailureOf([] { ConnectTcp(L"v6only.velmora.test", 80, 0); }),
              "Falha ao resolver endereço do servidor.");
}

TEST(ConnectTcp, UnknownHostRaisesTheResolveFailure) {
    REQUIRE_ISOLATED_NETWORK();
    EXPECT_EQ(FailureOf([] { ConnectTcp(L"nx.velmora.test", 80, 2500); }),
              "Falha ao resolver endereço do servidor.");
}

TEST(ConnectTcp, MovesOnToTheNextAddress) {
    REQUIRE_ISOLATED_NETWORK();
    // multi.velmora.test is 127.0.0.2, then 127.0.0.3; only the second listens.
    LoopbackListener second("127.0.0.3");
    TcpSocket socket = ConnectTcp(L"multi.velmora.test", second.port(), 0);
    EXPECT_TRUE(socket.valid());
}

TEST(ConnectTcp, MovesOnAfterAnAddressTimesOut) {
    REQUIRE_ISOLATED_NETWORK();
    LoopbackListener second("127.0.0.3");
    LoopbackListener stalled("127.0.0.2", LoopbackListener::Mode::NeverAccept, 0, second.port());
    // Fill the first address's backlog directly so that it no longer answers.
    ASSERT_TRUE(StallOnFullBacklog(L"127.0.0.2", second.port(), 200).has_value());

    const auto start = Clock::now();
    TcpSocket socket = ConnectTcp(L"multi.velmora.test", second.port(), 300);
    EXPECT_TRUE(socket.valid());
    EXPECT_GE(Clock::now() - start, 290ms);
}

TEST(ResolveHost, NumericAddressesNeedNoResolver) {
    EXPECT_EQ(ResolveHostAddress(L"127.0.0.1"), L"127.0.0.1");
    EXPECT_EQ(ResolveHostAddresses(L"127.0.0.1"), std::vector<std::wstring>{L"127.0.0.1"});
}

TEST(ResolveHost, UnknownAndIpv6OnlyHostsFallBack) {
    REQUIRE_ISOLATED_NETWORK();
    for (const wchar_t* host : {L"nx.velmora.test", L"v6only.velmora.test", L"::1"}) {
        EXPECT_EQ(ResolveHostAddress(host), host);
        EXPECT_TRUE(ResolveHostAddresses(host).empty());
    }
}

TEST(ResolveHost, AddressesKeepResolverOrderWithoutDuplicates) {
    REQUIRE_ISOLATED_NETWORK();
    EXPECT_EQ(ResolveHostAddresses(L"dup.velmora.test"), std::vector<std::wstring>{L"127.0.0.1"});
    EXPECT_EQ(ResolveHostAddresses(L"multi.velmora.test"),
              (std::vector<std::wstring>{L"127.0.0.2", L"127.0.0.3"}));
    EXPECT_EQ(ResolveHostAddress(L"multi.velmora.test"), L"127.0.0.2");
}

TEST(EnsureSockets, ConcurrentFirstCallsStartOnce) {
    std::vector<std::jthread> threads;
    std::atomic<int> ok{0};
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back([&] {
            EnsureSockets();
            if (ResolveHostAddress(L"127.0.0.1") == L"127.0.0.1") {
                ++ok;
            }
        });
    }
    threads.clear();
    EXPECT_EQ(ok.load(), 8);
}

}  // namespace
}  // namespace velmora::modulos::medicao
