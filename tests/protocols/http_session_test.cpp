#include "protocols/http_session.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "support/failure_of.h"
#include "support/loopback_listener.h"
#include "support/speed_server.h"

namespace velmora::modulos::medicao::protocolos {
namespace {

using velmora::test::FailureOf;

using velmora::test::ServerListener;
using velmora::test::SpeedServer;

TEST(HttpGet, SuccessStatusesReturnTheBody) {
    REQUIRE_SPEED_SERVER();
    const ServerListener ok299 = SpeedServer::Listen("addr=auto mode=status status=299");
    EXPECT_EQ(HttpGet(ok299.host(), ok299.port, L"/anything", false), "status 299\n");
    const ServerListener ok204 = SpeedServer::Listen("addr=auto mode=status status=204");
    EXPECT_EQ(HttpGet(ok204.host(), ok204.port, L"/anything", false), "");
    EXPECT_EQ(SpeedServer::Stats(ok204).userAgent, "VELMORA/2.0");
}

TEST(HttpGet, OtherStatusesRaise) {
    REQUIRE_SPEED_SERVER();
    for (const int status : {300, 404, 500}) {
        const ServerListener s =
            SpeedServer::Listen("addr=auto mode=status status=" + std::to_string(status));
        EXPECT_EQ(FailureOf([&] { HttpGet(s.host(), s.port, L"/json/", false); }),
                  "Resposta HTTP inválida.")
            << status;
    }
    // The transport may act on these before the status is read (follow a redirect that has no
    // target, reject an interim status): whichever failure results, none passes for success.
    for (const int status : {199, 301}) {
        const ServerListener s =
            SpeedServer::Listen("addr=auto mode=status status=" + std::to_string(status));
        EXPECT_THROW(HttpGet(s.host(), s.port, L"/json/", false), std::runtime_error) << status;
    }
}

TEST(HttpGet, ReadsBodiesToTheirEnd) {
    REQUIRE_SPEED_SERVER();
    const ServerListener normal = SpeedServer::Listen("addr=auto");
    EXPECT_EQ(HttpGet(normal.host(), normal.port, L"/__down?bytes=0", false), "");
    EXPECT_EQ(HttpGet(normal.host(), normal.port, L"/__down?bytes=3000000", false).size(),
              3'000'000u);
    // Without Content-Length the body ends when the server closes the connection.
    const ServerListener unannounced = SpeedServer::Listen("addr=auto mode=nolength");
    const std::string trace =
        HttpGet(unannounced.host(), unannounced.port, L"/cdn-cgi/trace", false);
    EXPECT_NE(trace.find("colo=GRU\n"), std::string::npos);
    EXPECT_EQ(trace.back(), '\n');
    EXPECT_EQ(
        HttpGet(unannounced.host(), unannounced.port, L"/download?size=1234567", false).size(),
        1'234'567u);
}

TEST(HttpGet, BodiesAreCappedSoAHostileAnswerCannotExhaustMemory) {
    REQUIRE_SPEED_SERVER();
    const ServerListener normal = SpeedServer::Listen("addr=auto");
    const std::wstring atCap = L"/__down?bytes=" + std::to_wstring(kMaxOneShotBodyBytes);
    EXPECT_EQ(HttpGet(normal.host(), normal.port, atCap, false).size(), kMaxOneShotBodyBytes);
    const std::wstring overCap = L"/__down?bytes=" + std::to_wstring(kMaxOneShotBodyBytes + 1);
    EXPECT_EQ(FailureOf([&] { HttpGet(normal.host(), normal.port, overCap, false); }),
              "Falha ao ler dados HTTP.");
    const ServerListener endless = SpeedServer::Listen("addr=auto mode=nolength");
    EXPECT_EQ(FailureOf([&] {
                  HttpGet(endless.host(), endless.port, L"/__down?bytes=100000000", false);
              }),
              "Falha ao ler dados HTTP.");
}

TEST(HttpGet, TransportFailuresRaise) {
    REQUIRE_SPEED_SERVER();
    const std::uint16_t refused = velmora::test::RefusedLoopbackPort();
    EXPECT_EQ(FailureOf([&] { HttpGet(L"127.0.0.1", refused, L"/json/", false); }),
              "Falha ao enviar requisição HTTP.");
    // A reset in the middle of a body never returns a partial body.
    const ServerListener reset = SpeedServer::Listen("addr=auto mode=reset");
    EXPECT_THROW(HttpGet(reset.host(), reset.port, L"/__down?bytes=2000000", false),
                 std::runtime_error);
    // Nor does a body that ends early with a clean close.
    const ServerListener shortBody = SpeedServer::Listen("addr=auto mode=short");
    EXPECT_THROW(HttpGet(shortBody.host(), shortBody.port, L"/__down?bytes=5000", false),
                 std::runtime_error);
    // Closed before any answer.
    const ServerListener drop = SpeedServer::Listen("addr=auto mode=drop");
    EXPECT_THROW(HttpGet(drop.host(), drop.port, L"/json/", false), std::runtime_error);
}

TEST(HttpGet, FollowsRedirectsButNeverFromHttpsToHttp) {
    REQUIRE_SPEED_SERVER();
    const ServerListener good = SpeedServer::Listen("addr=127.0.0.1");
    const std::string to = " mode=status status=302 redirect_port=" + std::to_string(good.port);
    const ServerListener plain = SpeedServer::Listen("addr=127.0.0.1" + to);
    EXPECT_NE(HttpGet(L"127.0.0.1", plain.port, L"/cdn-cgi/trace", false).find("colo=GRU"),
              std::string::npos);
    const ServerListener tls = SpeedServer::Listen("addr=127.0.0.1 tls=1" + to);
    EXPECT_THROW(HttpGet(L"localhost", tls.port, L"/cdn-cgi/trace", true), std::runtime_error);
    EXPECT_EQ(SpeedServer::Stats(good).requests, 1);
}

TEST(HttpGet, SpeaksTlsOnlyWhenAsked) {
    REQUIRE_SPEED_SERVER();
    const ServerListener tls = SpeedServer::Listen("addr=127.0.0.1 tls=1");
    const std::string trace = HttpGet(L"localhost", tls.port, L"/cdn-cgi/trace", true);
    EXPECT_NE(trace.find("visit_scheme=https"), std::string::npos);
    EXPECT_EQ(SpeedServer::Stats(tls).tls, 1);

    const ServerListener plain = SpeedServer::Listen("addr=127.0.0.1");
    EXPECT_THROW(HttpGet(L"localhost", plain.port, L"/cdn-cgi/trace", true), std::runtime_error);
    EXPECT_GE(SpeedServer::Stats(plain).tlsRefused, 1);
    EXPECT_NE(
        HttpGet(L"localhost", plain.port, L"/cdn-cgi/trace", false).find("visit_scheme=http\n"),
        std::string::npos);
}

}  // namespace
}  // namespace velmora::modulos::medicao::protocolos
