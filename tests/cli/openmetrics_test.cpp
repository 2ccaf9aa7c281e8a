#include "openmetrics.h"

#include <gtest/gtest.h>

#include <regex>
#include <sstream>

#include "cli_options.h"
#include "metrics_export.h"

namespace velmora::cli {
namespace {

using modulos::medicao::MeasurementRecord;
using modulos::medicao::RunDiagnostics;

// Every figure and label set, so that each metric appears.
RunMetrics FullRun() {
    RunMetrics m;
    m.succeeded = true;
    m.timestampSeconds = 1767225600.5;
    m.downloadMbps = 96.4;
    m.uploadMbps = 19.18;
    m.pingMs = 15;
    m.idleLatencyMs = 14;
    m.downloadLatencyMs = 93;
    m.uploadLatencyMs = 105;
    m.downloadAddedLatencyMs = 78;
    m.uploadAddedLatencyMs = 90;
    m.downloadRpm = 645;
    m.uploadRpm = 571;
    m.bytesReceived = 203'000'123;
    m.bytesSent = 35'700'000;
    m.idleJitterMs = 1.5;
    m.downloadJitterMs = 12;
    m.uploadJitterMs = 20;
    m.planDownloadMbps = 100;
    m.planUploadMbps = 20;
    m.server = "Vivo SP Capital";
    m.serverIp = "10.0.0.7";
    m.addressFamily = "IPv4";
    m.connectionKind = "wifi";
    return m;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

// The sample line of `name` (with its labels), or "" when the text has none.
std::string Sample(const std::string& text, const std::string& name) {
    for (const std::string& line : Lines(text)) {
        if (line.starts_with(name + " ") || line.starts_with(name + "{")) {
            return line;
        }
    }
    return "";
}

TEST(PrometheusText, FiguresInBaseUnits) {
    const std::string text = PrometheusText(FullRun());
    const struct {
        const char* name;
        const char* sample;
    } cases[] = {
        {"velmora_run_success", "1"},
        {"velmora_run_timestamp_seconds", "1767225600.5"},
        {"velmora_download_bytes_per_second", "12050000"},
        {"velmora_upload_bytes_per_second", "2397500"},
        {"velmora_ping_seconds", "0.015"},
        {"velmora_idle_latency_seconds", "0.014"},
        {"velmora_download_latency_seconds", "0.093"},
        {"velmora_upload_latency_seconds", "0.105"},
        {"velmora_download_added_latency_seconds", "0.078"},
        {"velmora_upload_added_latency_seconds", "0.09"},
        {"velmora_download_round_trips_per_minute", "645"},
        {"velmora_upload_round_trips_per_minute", "571"},
        {"velmora_received_bytes", "203000123"},
        {"velmora_sent_bytes", "35700000"},
        {"velmora_idle_jitter_seconds", "0.0015"},
        {"velmora_download_jitter_seconds", "0.012"},
        {"velmora_upload_jitter_seconds", "0.02"},
        {"velmora_plan_download_bytes_per_second", "12500000"},
        {"velmora_plan_upload_bytes_per_second", "2500000"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Sample(text, c.name), std::string(c.name) + " " + c.sample);
    }
    EXPECT_EQ(Sample(text, "velmora_run_info"),
              "velmora_run_info{server=\"Vivo SP Capital\",server_ip=\"10.0.0.7\","
              "address_family=\"IPv4\",connection=\"wifi\"} 1");
}

// What the textfile collectors and the Pushgateway insist on: HELP then TYPE gauge right before
// each metric's one sample, valid names, no sample time stamps, a "\n" after every line.
TEST(PrometheusText, EachMetricHasHelpAndTypeBeforeItsOneSample) {
    const std::string text = PrometheusText(FullRun());
    ASSERT_TRUE(text.ends_with("\n"));
    EXPECT_EQ(text.find('\r'), std::string::npos);
    const std::vector<std::string> lines = Lines(text);
    ASSERT_EQ(lines.size() % 3, 0u);
    const std::regex sample(R"(^(velmora_[a-z_]+)(\{[^}]*\})? (-?[0-9.e+]+)$)");
    for (std::size_t i = 0; i < lines.size(); i += 3) {
        std::smatch parts;
        ASSERT_TRUE(std::regex_match(lines[i + 2], parts, sample)) << lines[i + 2];
        const std::string name = parts[1];
        EXPECT_TRUE(lines[i].starts_with("# HELP " + name + " ")) << lines[i];
        EXPECT_EQ(lines[i + 1], "# TYPE " + name + " gauge");
        EXPECT_FALSE(name.ends_with("_total")) << name;
        EXPECT_EQ(text.find("# TYPE " + name + " "), text.rfind("# TYPE " + name + " ")) << name;
    }
    EXPECT_EQ(lines.size() / 3, 20u);
}

TEST(PrometheusText, AFailedRunSaysSoWithoutFigures) {
    RunMetrics failed = FailedRunMetrics(17'672'256'000'000'000);
    failed.planDownloadMbps = 300;  // what the user contracted is known whatever the run did
    const std::string text = PrometheusText(failed);
    std::vector<std::string> samples;
    for (const std::string& line : Lines(text)) {
        if (!line.starts_with("#")) {
            samples.push_back(line);
        }
    }
    EXPECT_EQ(samples, (std::vector<std::string>{
                           "velmora_run_success 0", "velmora_run_timestamp_seconds 1767225600",
                           "velmora_plan_download_bytes_per_second 37500000"}));
}

TEST(PrometheusText, LabelValuesAreEscapedAndEmptyOnesLeftOut) {
    const struct {
        const char* raw;
        const char* quoted;
    } cases[] = {
        {"Vivo \"Fibra\"", R"(Vivo \"Fibra\")"},
        {R"(C:\servidor\)", R"(C:\\servidor\\)"},
        {"linha\nquebrada", R"(linha\nquebrada)"},
        {"fim\r\n", R"(fim\n)"},
        {"tab\tsino\x07"
         "del\x7f",
         "tabsinodel"},
        {"São Paulo – SP", "São Paulo – SP"},
        {R"(\"
)",
         R"(\\\"\n)"},
    };
    for (const auto& c : cases) {
        RunMetrics m;
        m.succeeded = true;
        m.server = c.raw;
        m.addressFamily = "IPv6";
        EXPECT_EQ(
            Sample(PrometheusText(m), "velmora_run_info"),
            std::string("velmora_run_info{server=\"") + c.quoted + "\",address_family=\"IPv6\"} 1")
            << c.raw;
    }
}

TEST(MetricsOf, ADirectionWithoutProbesUnderLoadHasNoLoadedLatency) {
    MeasurementRecord record;
    record.timestamp = 17'672'256'001'234'567;
    record.downloadMbps = 50;
    record.downloadLatencyMs = 40;
    record.uploadLatencyMs = 0;  // the record's value when nothing was timed
    record.idleLatencyMs = 10;
    record.serverName = L"Claro \"SP\"";
    RunDiagnostics diagnostics;
    diagnostics.download.loadedProbes = 3;
    diagnostics.addressFamily = 6;
    diagnostics.bytesReceived = 1 << 20;

    const RunMetrics m = MetricsOf(record, diagnostics);
    EXPECT_TRUE(m.succeeded);
    EXPECT_DOUBLE_EQ(m.timestampSeconds, 1767225600.1234567);
    EXPECT_EQ(m.downloadLatencyMs, 40.0);
    EXPECT_EQ(m.downloadAddedLatencyMs, 30.0);
    EXPECT_EQ(m.downloadRpm, 1500);
    EXPECT_FALSE(m.uploadLatencyMs);
    EXPECT_FALSE(m.uploadAddedLatencyMs);
    EXPECT_FALSE(m.uploadRpm);
    EXPECT_EQ(m.bytesReceived, 1u << 20);
    EXPECT_EQ(m.server, "Claro \"SP\"");
    EXPECT_EQ(m.addressFamily, "IPv6");
    EXPECT_TRUE(m.connectionKind.empty());
}

TEST(Pushgateway, UrlsAndGroupPaths) {
    const struct {
        const char* url;
        const char* instance;
        bool secure;
        const char* host;
        std::uint16_t port;
        const char* path;
    } cases[] = {
        {"http://127.0.0.1:9091", "casa", false, "127.0.0.1", 9091,
         "/metrics/job/velmora/instance/casa"},
        {"HTTPS://gw.example", "sala 2", true, "gw.example", 443,
         "/metrics/job/velmora/instance/sala%202"},
        {"http://gw/", "ç\"", false, "gw", 80, "/metrics/job/velmora/instance/%C3%A7%22"},
        {"http://[::1]:9091/push/", "a/b", false, "::1", 9091,
         "/push/metrics/job/velmora/instance@base64/YS9i"},
        {"http://gw:8080/p", "sala/quarto?", false, "gw", 8080,
         "/p/metrics/job/velmora/instance@base64/c2FsYS9xdWFydG8_"},
    };
    for (const auto& c : cases) {
        std::string error;
        const auto url = ParsePushgatewayUrl(c.url, error);
        ASSERT_TRUE(url) << c.url << ": " << error;
        EXPECT_EQ(url->secure, c.secure) << c.url;
        EXPECT_EQ(url->host, c.host) << c.url;
        EXPECT_EQ(url->port, c.port) << c.url;
        EXPECT_EQ(PushgatewayGroupPath(*url, c.instance), c.path) << c.url;
    }
    for (const char* refused :
         {"gw:9091", "ftp://gw", "file:///tmp/x", "http://", "http://:9091", "http://gw:0",
          "http://gw:65536", "http://gw:9o91", "http://user:pw@gw", "http://gw/p?x=1",
          "http://gw/a b", "http://gw/\r\nX: y", "http://[::1", "http://[::1]x"}) {
        std::string error;
        EXPECT_FALSE(ParsePushgatewayUrl(refused, error)) << refused;
        EXPECT_TRUE(error.starts_with("URL inválida em --pushgateway")) << refused;
        EXPECT_EQ(error.find('\n'), std::string::npos) << refused;
    }
}

TEST(CliOptions, PrometheusExportOptions) {
    std::string error;
    const auto options = ParseCliOptions({"--openmetrics", "/var/lib/x/velmora.prom",
                                          "--pushgateway", "http://gw:9091", "--instancia", "sala"},
                                         error);
    ASSERT_TRUE(options) << error;
    EXPECT_EQ(options->metrics.file, "/var/lib/x/velmora.prom");
    ASSERT_TRUE(options->metrics.pushgateway);
    EXPECT_EQ(options->metrics.pushgateway->host, "gw");
    EXPECT_EQ(options->metrics.instance, "sala");
    EXPECT_FALSE(ParseCliOptions({}, error)->metrics.pushgateway);
}

}  // namespace
}  // namespace velmora::cli
