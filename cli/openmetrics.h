#pragma once

// A run's figures as Prometheus reads them: the text exposition format (0.0.4) that
// node_exporter's and windows_exporter's textfile collectors and the Pushgateway accept.
//
// Units are Prometheus's base units: seconds for latencies, bytes for amounts, and bytes per
// second for speeds (its table of base units maps bits to bytes), so that a run sits beside the
// interface counters (rate(node_network_receive_bytes_total[5m])) without a conversion; a
// dashboard shows Mbit/s as value × 8 / 10^6. Every figure is a gauge: each file or push
// describes one run, so nothing here only grows, and nothing ends in _total.
//
// The labels that name the run's server and route sit on one info series (velmora_run_info,
// value 1) instead of on every figure: a run that picks another server then changes that
// series only, and each figure stays one continuous series across runs, which is what the
// alert rules ("three runs in a row", "no run for two hours") need.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "measurement/run_state.h"

namespace velmora::cli {

// One run, in the record's own units (Mbit/s, ms); the text turns them into base units. An
// empty figure is left out of the text: a failed run has none, a direction without a probe
// under load has no loaded or added latency.
struct RunMetrics {
    bool succeeded = false;
    double timestampSeconds = 0.0;  // when the run ended (or failed), seconds since 1970 UTC

    std::optional<double> downloadMbps;
    std::optional<double> uploadMbps;
    std::optional<double> pingMs;
    std::optional<double> idleLatencyMs;
    std::optional<double> downloadLatencyMs;  // under load
    std::optional<double> uploadLatencyMs;
    std::optional<double> downloadAddedLatencyMs;  // under load - idle
    std::optional<double> uploadAddedLatencyMs;
    std::optional<long long> downloadRpm;  // round trips per minute under load
    std::optional<long long> uploadRpm;
    std::optional<std::uint64_t> bytesReceived;  // HTTP bodies, the whole run
    std::optional<std::uint64_t> bytesSent;

    std::optional<double> idleJitterMs;
    std::optional<double> downloadJitterMs;
    std::optional<double> uploadJitterMs;
    std::optional<double> planDownloadMbps;  // the contracted plan, where the user set it
    std::optional<double> planUploadMbps;

    // velmora_run_info's labels; an empty one is left out.
    std::string server;          // the server's name
    std::string serverIp;        // the address measured against
    std::string addressFamily;   // "IPv4" / "IPv6"
    std::string connectionKind;  // "ethernet", "wifi", "cellular", "vpn" or "unknown"
};

// A finished run: the record's figures and what its diagnostics tell. The extras (jitter, the
// connection kind, the plan) are left for the caller to fill.
RunMetrics MetricsOf(const modulos::medicao::MeasurementRecord& record,
                     const modulos::medicao::RunDiagnostics& diagnostics);

// A run that ended in error at `unixTicks` (100 ns since 1970): a status, a time and no figures.
RunMetrics FailedRunMetrics(std::int64_t unixTicks);

// The exposition text: HELP and TYPE before each metric, one sample each, "\n" line ends, no
// sample time stamps (the textfile collectors refuse them; the run's time is a metric of its own).
std::string PrometheusText(const RunMetrics& metrics);

// A label value as the text format quotes it: \ " and line breaks escaped; other control
// characters, which no dashboard can show, dropped.
std::string EscapeLabelValue(std::string_view text);

}  // namespace velmora::cli
