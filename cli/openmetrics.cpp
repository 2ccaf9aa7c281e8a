#include "openmetrics.h"

#include <charconv>
#include <cmath>

#include "common/text.h"
#include "run_assessment.h"

namespace velmora::cli {
namespace {

constexpr double kBytesPerSecondPerMbps = 1e6 / 8;
constexpr double kMsPerSecond = 1000.0;
constexpr std::int64_t kTicksPerSecond = 10'000'000;

// The shortest text that reads back to the same double, "." whatever the locale, which is what
// Prometheus's parser (Go's ParseFloat) takes.
std::string Number(double value) {
    char text[32];
    const auto [end, error] = std::to_chars(text, text + sizeof text, value);
    return error == std::errc() ? std::string(text, end) : std::string("NaN");
}

class Exposition {
  public:
    // One gauge with one sample; nothing when the value is absent or not a number (a figure
    // that went wrong is left out rather than shown as NaN on a graph).
    void Gauge(const char* name, const char* help, std::optional<double> value,
               const std::string& labels = {}) {
        if (!value || !std::isfinite(*value)) {
            return;
        }
        text_ += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " gauge\n" +
                 name + labels + " " + Number(*value) + "\n";
    }
    std::string Take() { return std::move(text_); }

  private:
    std::string text_;
};

template <typename T>
std::optional<double> Scaled(const std::optional<T>& value, double factor) {
    if (!value) {
        return std::nullopt;
    }
    return static_cast<double>(*value) * factor;
}

// Divided rather than multiplied by 0.001, so that 93 ms is written as 0.093, the double
// nearest to it, and not as 0.09300000000000001.
std::optional<double> Ms(const std::optional<double>& value) {
    if (!value) {
        return std::nullopt;
    }
    return *value / kMsPerSecond;
}

// Whole seconds and the rest apart: a count of ticks is beyond what a double holds exactly.
double SecondsOfTicks(std::int64_t ticks) {
    return static_cast<double>(ticks / kTicksPerSecond) +
           static_cast<double>(ticks % kTicksPerSecond) / static_cast<double>(kTicksPerSecond);
}

std::optional<double> Mbps(const std::optional<double>& value) {
    return Scaled(value, kBytesPerSecondPerMbps);
}

void AddLabel(std::string& labels, const char* name, const std::string& value) {
    if (value.empty()) {
        return;
    }
    labels += (labels.empty() ? "{" : ",");
    labels += std::string(name) + "=\"" + EscapeLabelValue(value) + "\"";
}

}  // namespace

std::string EscapeLabelValue(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '"') {
            out += "\\\"";
        } else if (c == '\n') {
            out += "\\n";
        } else if ((static_cast<unsigned char>(c) >= 0x20 && c != 0x7f) ||
                   (static_cast<unsigned char>(c) & 0x80) != 0) {
            out += c;
        }
    }
    return out;
}

RunMetrics MetricsOf(const modulos::medicao::MeasurementRecord& record,
                     const modulos::medicao::RunDiagnostics& diagnostics) {
    const Responsiveness responsiveness = AssessRun(record, diagnostics);
    RunMetrics m;
    m.succeeded = true;
    m.timestampSeconds = SecondsOfTicks(record.timestamp);
    m.downloadMbps = record.downloadMbps;
    m.uploadMbps = record.uploadMbps;
    m.pingMs = record.pingMs;
    m.idleLatencyMs = record.idleLatencyMs;
    // A direction that no probe under load timed has no loaded latency, only the record's 0.
    if (responsiveness.download.addedMs) {
        m.downloadLatencyMs = record.downloadLatencyMs;
    }
    if (responsiveness.upload.addedMs) {
        m.uploadLatencyMs = record.uploadLatencyMs;
    }
    m.downloadAddedLatencyMs = responsiveness.download.addedMs;
    m.uploadAddedLatencyMs = responsiveness.upload.addedMs;
    m.downloadRpm = responsiveness.download.rpm;
    m.uploadRpm = responsiveness.upload.rpm;
    m.bytesReceived = diagnostics.bytesReceived;
    m.bytesSent = diagnostics.bytesSent;
    m.server = WideToUtf8(record.serverName);
    m.serverIp = WideToUtf8(record.serverIp);
    m.addressFamily = AddressFamilyName(diagnostics.addressFamily);
    return m;
}

RunMetrics FailedRunMetrics(std::int64_t unixTicks) {
    RunMetrics m;
    m.timestampSeconds = SecondsOfTicks(unixTicks);
    return m;
}

std::string PrometheusText(const RunMetrics& m) {
    Exposition out;
    out.Gauge("velmora_run_success", "1 when the last run finished, 0 when it failed.",
              m.succeeded ? 1.0 : 0.0);
    out.Gauge("velmora_run_timestamp_seconds",
              "When the last run ended, in seconds since 1970-01-01 UTC.", m.timestampSeconds);
    std::string labels;
    AddLabel(labels, "server", m.server);
    AddLabel(labels, "server_ip", m.serverIp);
    AddLabel(labels, "address_family", m.addressFamily);
    AddLabel(labels, "connection", m.connectionKind);
    if (m.succeeded) {
        out.Gauge("velmora_run_info",
                  "The last finished run's server and route, as labels; always 1.", 1.0,
                  labels.empty() ? labels : labels + "}");
    }
    out.Gauge("velmora_download_bytes_per_second", "Download speed of the last run.",
              Mbps(m.downloadMbps));
    out.Gauge("velmora_upload_bytes_per_second", "Upload speed of the last run.",
              Mbps(m.uploadMbps));
    out.Gauge("velmora_ping_seconds", "Ping to the server of the last run.", Ms(m.pingMs));
    out.Gauge("velmora_idle_latency_seconds", "Latency of the idle line in the last run.",
              Ms(m.idleLatencyMs));
    out.Gauge("velmora_download_latency_seconds", "Latency during the download of the last run.",
              Ms(m.downloadLatencyMs));
    out.Gauge("velmora_upload_latency_seconds", "Latency during the upload of the last run.",
              Ms(m.uploadLatencyMs));
    out.Gauge("velmora_download_added_latency_seconds",
              "Latency the download added to the idle latency in the last run.",
              Ms(m.downloadAddedLatencyMs));
    out.Gauge("velmora_upload_added_latency_seconds",
              "Latency the upload added to the idle latency in the last run.",
              Ms(m.uploadAddedLatencyMs));
    out.Gauge("velmora_download_round_trips_per_minute",
              "Responsiveness during the download of the last run (RPM).",
              Scaled(m.downloadRpm, 1.0));
    out.Gauge("velmora_upload_round_trips_per_minute",
              "Responsiveness during the upload of the last run (RPM).", Scaled(m.uploadRpm, 1.0));
    out.Gauge("velmora_received_bytes", "HTTP body bytes the last run received.",
              Scaled(m.bytesReceived, 1.0));
    out.Gauge("velmora_sent_bytes", "HTTP body bytes the last run sent.", Scaled(m.bytesSent, 1.0));
    out.Gauge("velmora_idle_jitter_seconds", "Jitter of the idle latency in the last run.",
              Ms(m.idleJitterMs));
    out.Gauge("velmora_download_jitter_seconds", "Jitter of the latency during the download.",
              Ms(m.downloadJitterMs));
    out.Gauge("velmora_upload_jitter_seconds", "Jitter of the latency during the upload.",
              Ms(m.uploadJitterMs));
    out.Gauge("velmora_plan_download_bytes_per_second", "Contracted download speed of the plan.",
              Mbps(m.planDownloadMbps));
    out.Gauge("velmora_plan_upload_bytes_per_second", "Contracted upload speed of the plan.",
              Mbps(m.planUploadMbps));
    return out.Take();
}

}  // namespace velmora::cli
