#include "cli_options.h"

#include <gtest/gtest.h>

#include <sstream>

#include "record_formats.h"

namespace velmora::cli {
namespace {

using modulos::medicao::MeasurementRecord;
using modulos::medicao::ProtocolKind;

std::optional<CliOptions> Parse(std::vector<std::string> args, std::string* error = nullptr) {
    std::string message;
    auto options = ParseCliOptions(args, message);
    if (error != nullptr) {
        *error = message;
    }
    return options;
}

// Where the run's protocol of `kind` connects, as "port" or "port" + "s" for TLS.
std::string Ports(const modulos::medicao::RunSettings& run, ProtocolKind kind) {
    std::ostringstream text;
    for (const auto& endpoint : run.protocolEndpoints.at(kind)) {
        text << (text.tellp() > 0 ? " " : "") << endpoint.port << (endpoint.secure ? "s" : "");
    }
    return text.str();
}

TEST(CliOptions, DefaultsAreTheBuiltInServers) {
    const auto options = Parse({});
    ASSERT_TRUE(options);
    EXPECT_EQ(options->format, OutputFormat::Text);
    EXPECT_EQ(options->action, CliAction::Measure);
    EXPECT_TRUE(options->operators);
    EXPECT_EQ(options->run.geolocation.host, L"ip-api.com");
    EXPECT_EQ(options->run.selection.edgeHost, L"speed.cloudflare.com");
    EXPECT_EQ(options->run.selection.edgePort, 443);
    EXPECT_EQ(options->run.selection.candidatePorts, (std::vector<std::uint16_t>{8080, 80, 443}));
    EXPECT_EQ(options->run.latencyPorts.first, 80);
    EXPECT_EQ(options->run.latencyPorts.fallback, 443);
    EXPECT_EQ(Ports(options->run, ProtocolKind::OoklaHttp), "8080 80 443s");
    EXPECT_EQ(Ports(options->run, ProtocolKind::Cloudflare), "443s");
}

TEST(CliOptions, EndpointsForTestsAndSelfHostedServers) {
    const auto options =
        Parse({"--json", "--geo", "127.0.0.5:8000", "--cloudflare", "localhost:9443",
               "--no-operators", "--latency-ports", "9443,9444", "--ookla-ports", "81,443"});
    ASSERT_TRUE(options);
    EXPECT_EQ(options->format, OutputFormat::Json);
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
    EXPECT_EQ(Ports(options->run, ProtocolKind::OoklaHttp), "81 443s");
    EXPECT_EQ(Ports(options->run, ProtocolKind::Cloudflare), "9443s");

    // A shorter run keeps each phase's shape: its warm-up and stream steps scale with it.
    const auto shorter = Parse({"--phase-seconds", "34,3"});
    ASSERT_TRUE(shorter);
    EXPECT_EQ(shorter->run.download.length, std::chrono::seconds(34));
    EXPECT_EQ(shorter->run.download.warmUp, std::chrono::seconds(10));
    EXPECT_EQ(shorter->run.upload.length, std::chrono::seconds(3));
    EXPECT_EQ(shorter->run.upload.warmUp, std::chrono::seconds(1));
    EXPECT_EQ(shorter->run.upload.mostStreams, 6);

    const auto plain = Parse({"--cloudflare", "127.0.0.1:8080:plain"});
    ASSERT_TRUE(plain);
    EXPECT_FALSE(plain->run.selection.edgeTrace.secure);
    EXPECT_EQ(plain->run.selection.edgeTrace.port, 8080);
}

TEST(CliOptions, ActionsAndFormats) {
    const struct {
        std::vector<std::string> args;
        CliAction action;
        OutputFormat format;
        std::size_t historyCount;
        std::string server;
    } cases[] = {
        {{"--help"}, CliAction::Help, OutputFormat::Text, 10, ""},
        {{"--list"}, CliAction::List, OutputFormat::Text, 10, ""},
        {{"--report"}, CliAction::Report, OutputFormat::Text, 10, ""},
        {{"--csv-header"}, CliAction::CsvHeader, OutputFormat::Text, 10, ""},
        {{"--csv"}, CliAction::Measure, OutputFormat::Csv, 10, ""},
        {{"--json", "--json"}, CliAction::Measure, OutputFormat::Json, 10, ""},
        {{"--history"}, CliAction::History, OutputFormat::Text, 10, ""},
        {{"--history", "3"}, CliAction::History, OutputFormat::Text, 3, ""},
        {{"--history", "--history-dir", "x"}, CliAction::History, OutputFormat::Text, 10, ""},
        {{"--plano", "300/150"}, CliAction::Plan, OutputFormat::Text, 10, ""},
        {{"--conformidade"}, CliAction::Compliance, OutputFormat::Text, 10, ""},
        {{"--conformidade", "2026-11", "--json"},
         CliAction::Compliance,
         OutputFormat::Json,
         10,
         ""},
        {{"--dossie", "d.html", "--conformidade"}, CliAction::Dossier, OutputFormat::Text, 10, ""},
        {{"--conformidade", "--dossie", "d.html"}, CliAction::Dossier, OutputFormat::Text, 10, ""},
        {{"--server", "Claro SP Capital"},
         CliAction::Measure,
         OutputFormat::Text,
         10,
         "Claro SP Capital"},
    };
    for (const auto& c : cases) {
        std::string error;
        const auto options = Parse(c.args, &error);
        ASSERT_TRUE(options) << c.args.front() << ": " << error;
        EXPECT_EQ(options->action, c.action) << c.args.front();
        EXPECT_EQ(options->format, c.format) << c.args.front();
        EXPECT_EQ(options->historyCount, c.historyCount) << c.args.front();
        EXPECT_EQ(options->server, c.server) << c.args.front();
    }
}

TEST(CliOptions, RejectsWhatItCannotUnderstand) {
    const struct {
        std::vector<std::string> args;
        const char* error;
    } cases[] = {
        {{"--json", "--csv"}, "--json e --csv não podem ser usados juntos"},
        {{"--history", "0"}, "número inválido em --history"},
        {{"--server"}, "falta o valor de --server"},
        {{"--server", ""}, "servidor vazio em --server"},
        {{"--bogus"}, "opção desconhecida: --bogus"},
        {{"--geo"}, "falta o valor de --geo"},
        {{"--geo", "host"}, "endereço inválido em --geo"},
        {{"--geo", ":80"}, "endereço inválido em --geo"},
        {{"--geo", "host:0"}, "endereço inválido em --geo"},
        {{"--geo", "host:65536"}, "endereço inválido em --geo"},
        {{"--geo", "host:8x"}, "endereço inválido em --geo"},
        {{"--latency-ports", "80"}, "lista de portas inválida em --latency-ports"},
        {{"--ookla-ports", "80,,443"}, "lista de portas inválida em --ookla-ports"},
        {{"--phase-seconds", "8"}, "durações inválidas em --phase-seconds (3 a 60 s)"},
        {{"--phase-seconds", "2,7"}, "durações inválidas em --phase-seconds (3 a 60 s)"},
        {{"--phase-seconds", "8,61"}, "durações inválidas em --phase-seconds (3 a 60 s)"},
        {{"--openmetrics", ""}, "arquivo vazio em --openmetrics"},
        {{"--instancia", ""}, "nome vazio em --instancia"},
        {{"--pushgateway"}, "falta o valor de --pushgateway"},
        {{"--pushgateway", "ftp://gw:9091"},
         "URL inválida em --pushgateway: use http://HOST[:PORTA] ou https://HOST[:PORTA]"},
        {{"--plano", "300"}, "plano inválido em --plano (ex.: 300/150, em Mbps)"},
        {{"--plano", "300/0"}, "plano inválido em --plano (ex.: 300/150, em Mbps)"},
        {{"--plano"}, "falta o valor de --plano"},
        {{"--conformidade", "2026-13"}, "mês inválido em --conformidade (use AAAA-MM)"},
        {{"--conformidade", "11/2026"}, "mês inválido em --conformidade (use AAAA-MM)"},
        {{"--dossie", ""}, "arquivo vazio em --dossie"},
        {{"--orcamento-dados", "20"}, "tamanho inválido em --orcamento-dados (ex.: 20GB)"},
        {{"--orcamento-dados", "1.5.2GB"}, "tamanho inválido em --orcamento-dados (ex.: 20GB)"},
    };
    for (const auto& c : cases) {
        std::string error;
        EXPECT_FALSE(Parse(c.args, &error)) << c.args.back();
        EXPECT_EQ(error, c.error) << c.args.back();
    }
}

TEST(RecordCsv, OneQuotedLineInTheHeadersOrder) {
    MeasurementRecord record;
    record.downloadMbps = 101.5;
    record.publicIp = L"177.10.20.30";
    record.serverName = L"Nome \"com\" aspas, e v\u00edrgula";
    record.downloadSamples = {1.25, 2};
    record.idleLatencyMs = 12;
    record.downloadLatencyMs = 25;
    record.uploadLatencyMs = 30;  // no probe under load timed it: not graded
    modulos::medicao::RunDiagnostics diagnostics;
    diagnostics.download.loadedProbes = 3;
    diagnostics.bytesReceived = 1500;
    diagnostics.bytesSent = 20;
    diagnostics.addressFamily = 4;
    diagnostics.upload.liveVariation = 0.3;
    diagnostics.idleJitterMs = 1.5;
    diagnostics.download.jitterMs = 12.25;
    const RunConnection wifi{"wlan0", ConnectionKind::WiFi, 70, 144.0};
    const std::string line = RecordToCsv(record, diagnostics, wifi);
    const std::string header = CsvHeader();
    EXPECT_EQ(std::count(header.begin(), header.end(), ','), 33);
    // The columns added later follow the old ones, which keep their positions.
    EXPECT_TRUE(
        header.ends_with(",viaProxy,notes,idleJitterMs,downloadJitterMs,uploadJitterMs,"
                         "connection,connectionInterface,wifiSignalPercent,wifiLinkMbps"));
    EXPECT_TRUE(header.starts_with("timestamp,downloadMbps,uploadMbps,pingMs,"));
    EXPECT_NE(line.find(",101.50,0.00,"), std::string::npos);
    EXPECT_NE(line.find(",\"Nome \"\"com\"\" aspas, e v\xC3\xADrgula\","), std::string::npos);
    EXPECT_NE(line.find(",\"1.25,2.00\","), std::string::npos);
    // The connection's note comes first, then the run's own; the notes' commas quote the field.
    EXPECT_NE(line.find(",13.00,,2400,,A,1500,20,IPv4,false,\"O teste passou por Wi-Fi (wlan0)"),
              std::string::npos)
        << line;
    EXPECT_TRUE(
        line.ends_with(" | Os valores ao vivo do upload "
                       "variaram muito (desvio padr\xC3\xA3o de 30 % da m\xC3\xA9"
                       "dia): repita o teste para confirmar. | Transfer\xC3\xAAncias por "
                       "IPv4.\",1.50,12.25,,wifi,wlan0,70,144.00"))
        << line;
    EXPECT_EQ(line.find('\n'), std::string::npos);
}

TEST(RecordJson, AFailureIsStillOneObject) {
    EXPECT_EQ(FailureToJson("Falha ao conectar \"x\"."),
              "{\"status\":\"ERRO NA MEDI\xC3\x87\xC3\x83O\",\"reason\":\"Falha ao conectar "
              "\\\"x\\\".\"}");
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
    EXPECT_EQ(RecordToJson(record, {}),
              "{\"timestamp\":17966341049674801,\"downloadMbps\":101.5,\"uploadMbps\":0.1,"
              "\"pingMs\":12.0,\"idleLatencyMs\":12.0,\"downloadLatencyMs\":25.0,"
              "\"uploadLatencyMs\":30.0,"
              "\"publicIp\":\"177.10.20.30\",\"userCity\":\"S\xC3\xA3o Paulo - SP\","
              "\"serverIp\":\"10.0.0.1\",\"serverName\":\"Nome \\\"com\\\" aspas\\\\\","
              "\"serverLocation\":\"linha\\nnova\","
              "\"status\":\"MEDI\xC3\x87\xC3\x83O CONCLU\xC3\x8D"
              "DA\",\"downloadVariation\":\"\","
              "\"uploadVariation\":\"\",\"downloadSamples\":[1.25,2.0],\"uploadSamples\":[],"
              "\"downloadAddedLatencyMs\":null,\"uploadAddedLatencyMs\":null,\"downloadRpm\":null,"
              "\"uploadRpm\":null,\"responsivenessGrade\":null,\"bytesReceived\":0,"
              "\"bytesSent\":0,\"addressFamily\":null,\"viaProxy\":false,\"notes\":[],"
              "\"idleJitterMs\":null,\"downloadJitterMs\":null,\"uploadJitterMs\":null,"
              "\"connection\":\"unknown\",\"connectionInterface\":null,"
              "\"wifiSignalPercent\":null,\"wifiLinkMbps\":null}");
}

}  // namespace
}  // namespace velmora::cli
