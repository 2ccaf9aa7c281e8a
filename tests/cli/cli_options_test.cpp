#include "cli_options.h"

#include <gtest/gtest.h>

#include "record_json.h"

namespace velmora::cli {
namespace {

using modulos::medicao::MeasurementRecord;
using modulos::medicao::ProtocolKind;
using modulos::medicao::SelectedServer;

std::optional<CliOptions> Parse(std::vector<std::string> args, std::string* error = nullptr) {
    std::string message;
    auto options = ParseCliOptions(args, message);
    if (error != nullptr) {
        *error = message;
    }
    return options;
}

TEST(CliOptions, DefaultsAreTheBuiltInServers) {
    const auto options = Parse({});
    ASSERT_TRUE(options);
    EXPECT_FALSE(options->json);
    EXPECT_TRUE(options->operators);
    EXPECT_EQ(options->run.geolocation.host, L"ip-api.com");
    EXPECT_EQ(options->run.selection.edgeHost, L"speed.cloudflare.com");
    EXPECT_EQ(options->run.selection.edgePort, 443);
    EXPECT_EQ(options->run.selection.candidatePorts, (std::vector<std::uint16_t>{8080, 80, 443}));
    EXPECT_EQ(options->run.latencyPorts.first, 80);
    EXPECT_EQ(options->run.latencyPorts.fallback, 443);
    SelectedServer server;
    server.protocol = ProtocolKind::OoklaHttp;
    EXPECT_EQ(options->run.makeProtocol(server)->Name(), L"Ookla HTTP");
    server.protocol = ProtocolKind::Cloudflare;
    EXPECT_EQ(options->run.makeProtocol(server)->Name(), L"Cloudflare HTTPS");
}

TEST(CliOptions, EndpointsForTestsAndSelfHostedServers) {
    const auto options =
        Parse({"--json", "--geo", "127.0.0.5:8000", "--cloudflare", "localhost:9443",
               "--no-operators", "--latency-ports", "9443,9444", "--ookla-ports", "81,443"});
    ASSERT_TRUE(options);
    EXPECT_TRUE(options->json);
    EXPECT_FALSE(options->operators);
    EXPECT_EQ(options->run.geolocation.host, L"127.0.0.5");
    EXPECT_EQ(options->run.geolocation.port, 8000);
    EXPECT_FALSE(options->run.geolocation.secure);
    EXPECT_EQ(options->run.selection.edgeHost, L"localhost");
    EXPECT_EQ(options->run.selection.edgePort, 9443);
    EXPECT_TRUE(options->run.selection.edgeTrace.secure);
    EXPECT_EQ(options->run.latencyPorts.first, 9443);
    EXPECT_EQ(options->run.latencyPorts.fallback, 9444);
    EXPECT_EQ(options->run.selection.candidatePorts, (std::vector<std::uint16_t>{81, 443}));

    const auto plain = Parse({"--cloudflare", "127.0.0.1:8080:plain"});
    ASSERT_TRUE(plain);
    EXPECT_FALSE(plain->run.selection.edgeTrace.secure);
    EXPECT_EQ(plain->run.selection.edgeTrace.port, 8080);
}

TEST(CliOptions, RejectsWhatItCannotUnderstand) {
    std::string error;
    EXPECT_FALSE(Parse({"--bogus"}, &error));
    EXPECT_EQ(error, "opção desconhecida: --bogus");
    EXPECT_FALSE(Parse({"--geo"}, &error));
    EXPECT_EQ(error, "falta o valor de --geo");
    for (const char* bad : {"host", "host:", ":80", "host:0", "host:65536", "host:8x"}) {
        EXPECT_FALSE(Parse({"--geo", bad})) << bad;
    }
    EXPECT_FALSE(Parse({"--latency-ports", "80"}));
    EXPECT_FALSE(Parse({"--ookla-ports", "80,,443"}));
    EXPECT_TRUE(Parse({"--help"})->help);
}

TEST(RecordToJson, FieldsInOrderWithPortableNumbersAndEscapes) {
    MeasurementRecord record;
    record.timestamp = 17966341049674801;
    record.downloadMbps = 101.5;
    record.uploadMbps = 0.1;
    record.pingMs = 12;
    record.idleLatencyMs = 12;
    record.downloadLatencyMs = 25;
    record.uploadLatencyMs = 30;
    record.publicIp = L"177.10.20.30";
    record.userCity = L"São Paulo - SP";
    record.serverIp = L"10.0.0.1";
    record.serverName = L"Nome \"com\" aspas\\";
    record.serverLocation = L"linha\nnova";
    record.status = L"MEDIÇÃO CONCLUÍDA";
    record.downloadSamples = {1.25, 2};
    record.uploadSamples = {};
    EXPECT_EQ(RecordToJson(record),
              "{\"timestamp\":17966341049674801,\"downloadMbps\":101.5,\"uploadMbps\":0.1,"
              "\"pingMs\":12,\"idleLatencyMs\":12,\"downloadLatencyMs\":25,\"uploadLatencyMs\":30,"
              "\"publicIp\":\"177.10.20.30\",\"userCity\":\"S\xC3\xA3o Paulo - SP\","
              "\"serverIp\":\"10.0.0.1\",\"serverName\":\"Nome \\\"com\\\" aspas\\\\\","
              "\"serverLocation\":\"linha\\u000anova\","
              "\"status\":\"MEDI\xC3\x87\xC3\x83O CONCLU\xC3\x8D"
              "DA\",\"downloadVariation\":\"\","
              "\"uploadVariation\":\"\",\"downloadSamples\":[1.25,2],\"uploadSamples\":[]}");
}

}  // namespace
}  // namespace velmora::cli
