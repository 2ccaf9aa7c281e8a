#include "identification/edge_trace.h"

#include <gtest/gtest.h>

#include "support/speed_server.h"

namespace velmora::modulos::medicao {
namespace {

using velmora::test::ServerListener;
using velmora::test::SpeedServer;

class EdgeTrace : public ::testing::Test {
  protected:
    void SetUp() override { REQUIRE_SPEED_SERVER(); }
};

TEST(EdgeLocationFromTrace, ColoAndLocOrTheGenericText) {
    const std::pair<const char*, const wchar_t*> cases[] = {
        {"fl=1\nh=x\ncolo=GRU\nhttp=http/1.1\nloc=BR\n", L"GRU / BR"},
        {"loc=BR\n", L"BR"},
        {"colo=GIG\n", L"GIG"},
        {"fl=1\nh=x\n", L"Cloudflare CDN"},
        {"", L"Cloudflare CDN"},
        // Lines are trimmed, keys exact, empty values absent, a later line wins.
        {"  colo=GRU  \r\n\tloc=BR \r\n", L"GRU / BR"},
        {"Colo=GRU\nloc=BR\n", L"BR"},
        {"colo=\nloc=\n", L"Cloudflare CDN"},
        {"colo=GRU\ncolo=GIG\nloc=BR\n", L"GIG / BR"},
        // Cleaned as every server text.
        {"colo=G\x01RU\nloc=B\xFFR\n", L"GRU / B\uFFFDR"},
    };
    for (const auto& [trace, location] : cases) {
        EXPECT_EQ(EdgeLocationFromTrace(trace), location) << trace;
    }
}

TEST_F(EdgeTrace, ServedTrace) {
    const ServerListener edge = SpeedServer::Listen("addr=auto");
    EXPECT_EQ(FetchEdgeLocation({edge.host(), edge.port, false}), L"GRU / BR");
}

TEST_F(EdgeTrace, FailuresGiveTheGenericText) {
    const ServerListener error = SpeedServer::Listen("addr=auto mode=status status=503");
    EXPECT_EQ(FetchEdgeLocation({error.host(), error.port, false}), L"Cloudflare CDN");
    const ServerListener drop = SpeedServer::Listen("addr=auto mode=drop");
    EXPECT_EQ(FetchEdgeLocation({drop.host(), drop.port, false}), L"Cloudflare CDN");
}

TEST(EdgeTraceDefaults, HttpsOnTheSpeedTestHost) {
    const auto trace = DefaultEdgeTrace();
    EXPECT_EQ(trace.host, L"speed.cloudflare.com");
    EXPECT_EQ(trace.port, 443);
    EXPECT_TRUE(trace.secure);
}

}  // namespace
}  // namespace velmora::modulos::medicao
