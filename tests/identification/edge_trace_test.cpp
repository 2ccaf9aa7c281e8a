#include "identification/edge_trace.h"

#include <gtest/gtest.h>

#include "support/speed_server.h"

namespace velmora::modulos::medicao {
namespace {

using velmora::test::ServerListener;
using velmora::test::SpeedServer;

std::wstring LocationFromTrace(const std::string& trace) {
    const ServerListener edge = SpeedServer::ListenAnswering(trace);
    return FetchEdgeLocation({edge.host(), edge.port, false});
}

class EdgeTrace : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!SpeedServer::Available()) {
            GTEST_SKIP() << "needs the loopback speed server (ctest fixture)";
        }
    }
};

TEST_F(EdgeTrace, ColoAndLoc) {
    EXPECT_EQ(LocationFromTrace("fl=1\nh=x\ncolo=GRU\nhttp=http/1.1\nloc=BR\n"), L"GRU / BR");
    EXPECT_EQ(LocationFromTrace("loc=BR\n"), L"BR");
    EXPECT_EQ(LocationFromTrace("colo=GIG\n"), L"GIG");
    EXPECT_EQ(LocationFromTrace("fl=1\nh=x\n"), L"Cloudflare CDN");
    EXPECT_EQ(LocationFromTrace(""), L"Cloudflare CDN");
}

TEST_F(EdgeTrace, LinesAreTrimmedAndKeysExact) {
    EXPECT_EQ(LocationFromTrace("  colo=GRU  \r\n\tloc=BR \r\n"), L"GRU / BR");
    EXPECT_EQ(LocationFromTrace("Colo=GRU\nloc=BR\n"), L"BR");
    EXPECT_EQ(LocationFromTrace("colo=\nloc=\n"), L"Cloudflare CDN");
    // A later line wins.
    EXPECT_EQ(LocationFromTrace("colo=GRU\ncolo=GIG\nloc=BR\n"), L"GIG / BR");
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
