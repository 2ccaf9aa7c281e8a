#include "identification/connection_info.h"

#include <gtest/gtest.h>

#include "support/loopback_listener.h"
#include "support/speed_server.h"

namespace velmora::modulos::medicao {
namespace {

using protocolos::HttpEndpoint;
using velmora::test::ServerListener;
using velmora::test::SpeedServer;

TEST(JsonStringField, ExtractionRules) {
    const std::wstring text =
        L"{\"status\":\"success\",\"city\":\"São Paulo\",\"isp\" : \"Claro S.A.\","
        L"\"note\":\"a\\\"b\",\"empty\":\"\",\"bare\":12}";
    EXPECT_EQ(JsonStringField(text, L"status"), L"success");
    EXPECT_EQ(JsonStringField(text, L"city"), L"São Paulo");
    EXPECT_EQ(JsonStringField(text, L"isp"), L"Claro S.A.");
    // Escapes are not interpreted: the backslash stays and the escaped quote ends the value.
    EXPECT_EQ(JsonStringField(text, L"note"), L"a\\");
    EXPECT_EQ(JsonStringField(text, L"empty"), L"");
    EXPECT_EQ(JsonStringField(text, L"missing"), L"");
    // A non-string value: whatever lies up to the next quote is skipped.
    EXPECT_EQ(JsonStringField(L"{\"n\":1,\"s\":\"x\"}", L"n"), L"s");
    EXPECT_EQ(JsonStringField(L"{\"k\"", L"k"), L"");
    EXPECT_EQ(JsonStringField(L"{\"k\":\"open", L"k"), L"");
}

TEST(JsonNumberField, ExtractionRules) {
    const std::wstring text =
        L"{\"lat\":-23.5505,\"lon\": \t-46.6333,\"q\":\"-1\",\"e\":1e2,\"n\":null,"
        L"\"p\":+5.5,\"d\":1.2.3,\"big\":1" +
        std::wstring(400, L'0') + L"}";
    EXPECT_EQ(JsonNumberField(text, L"lat"), -23.5505);
    EXPECT_EQ(JsonNumberField(text, L"lon"), -46.6333);
    EXPECT_EQ(JsonNumberField(text, L"q"), 0.0);  // quoted: the run is empty
    EXPECT_EQ(JsonNumberField(text, L"e"), 1.0);  // the exponent is not part of the run
    EXPECT_EQ(JsonNumberField(text, L"n"), 0.0);
    EXPECT_EQ(JsonNumberField(text, L"p"), 5.5);
    EXPECT_EQ(JsonNumberField(text, L"d"), 1.2);    // longest valid prefix
    EXPECT_EQ(JsonNumberField(text, L"big"), 0.0);  // out of range
    EXPECT_EQ(JsonNumberField(text, L"missing"), 0.0);
    EXPECT_EQ(JsonNumberField(L"{\"lat\":", L"lat"), 0.0);
    EXPECT_EQ(JsonNumberField(L"{\"lat\":-", L"lat"), 0.0);
}

TEST(ConnectionInfoFromReply, ReadsMembersAndFallsBackToTheDefaults) {
    const ConnectionInfo none;
    struct Case {
        const char* reply;
        ConnectionInfo expected;
    };
    // clang-format off
    const Case cases[] = {
        {"{\"status\":\"success\",\"regionName\":\"S\xC3\xA3o Paulo\",\"city\":\"S\xC3\xA3o Paulo\","
         "\"lat\":-23.5505,\"lon\":-46.6333,\"isp\":\"Claro S.A.\",\"query\":\"177.10.20.30\"}",
         {L"177.10.20.30", L"Claro S.A.", L"São Paulo", L"São Paulo", -23.5505, -46.6333}},
        // "fail" wins over any member it carries.
        {"{\"status\":\"fail\",\"query\":\"1.2.3.4\",\"isp\":\"X\",\"city\":\"Y\",\"lat\":10}", none},
        // Empty texts, a latitude off the globe, a longitude given as a string.
        {"{\"status\":\"success\",\"isp\":\"\",\"lat\":95,\"lon\":\"-46.6\"}", none},
        // Each coordinate is judged on its own.
        {"{\"lat\":-23.5,\"lon\":-181}", {none.publicIp, none.isp, L"", L"", -23.5, 0.0}},
        // Bytes that are not UTF-8 become U+FFFD.
        {"{\"city\":\"S\xE3o Paulo\",\"query\":\"\xFF\xFE\",\"lat\":1}",
         {L"\uFFFD\uFFFD", none.isp, L"S\uFFFDo Paulo", L"", 1.0, 0.0}},
        // Control characters are cleaned where they enter.
        {"{\"isp\":\"Claro\tS.A.\x01\"}", {none.publicIp, L"Claro S.A.", L"", L"", 0.0, 0.0}},
        {"<html>not json</html>", none},
        {"", none},
    };
    // clang-format on
    for (const Case& c : cases) {
        const ConnectionInfo info = ConnectionInfoFromReply(c.reply);
        EXPECT_EQ(info.publicIp, c.expected.publicIp) << c.reply;
        EXPECT_EQ(info.isp, c.expected.isp) << c.reply;
        EXPECT_EQ(info.city, c.expected.city) << c.reply;
        EXPECT_EQ(info.regionName, c.expected.regionName) << c.reply;
        EXPECT_EQ(info.lat, c.expected.lat) << c.reply;
        EXPECT_EQ(info.lon, c.expected.lon) << c.reply;
    }
}

TEST(LookupConnectionInfo, AsksTheServicePath) {
    REQUIRE_SPEED_SERVER();
    // The loopback server's own geolocation answer only comes back on the /json/ path.
    const ServerListener service = SpeedServer::Listen("addr=auto");
    const ConnectionInfo info = LookupConnectionInfo({service.host(), service.port, false});
    EXPECT_EQ(info.isp, L"Claro S.A.");
    EXPECT_EQ(SpeedServer::Stats(service).userAgent, "VELMORA/2.0");
}

TEST(LookupConnectionInfo, FailuresGiveTheDefaults) {
    REQUIRE_SPEED_SERVER();
    const ServerListener error = SpeedServer::Listen("addr=auto mode=status status=500");
    for (const HttpEndpoint& service :
         {HttpEndpoint{error.host(), error.port, false},
          HttpEndpoint{L"127.0.0.1", velmora::test::RefusedLoopbackPort(), false}}) {
        const ConnectionInfo info = LookupConnectionInfo(service);
        EXPECT_EQ(info.publicIp, L"Não identificado");
        EXPECT_EQ(info.isp, L"Não identificada");
        EXPECT_EQ(info.city, L"");
        EXPECT_EQ(info.regionName, L"");
        EXPECT_EQ(info.lat, 0.0);
        EXPECT_EQ(info.lon, 0.0);
    }
}

TEST(LookupConnectionInfo, DefaultServiceIsPlainHttpOnPort80) {
    const HttpEndpoint service = DefaultGeolocationService();
    EXPECT_EQ(service.host, L"ip-api.com");
    EXPECT_EQ(service.port, 80);
    EXPECT_FALSE(service.secure);
}

}  // namespace
}  // namespace velmora::modulos::medicao
