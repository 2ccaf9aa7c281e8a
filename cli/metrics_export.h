#pragma once

// Where velmora-cli hands a run to Prometheus: a textfile collector's file, replaced in one step
// after each run, and a Pushgateway group, replaced by an HTTP PUT.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "openmetrics.h"
#include "protocols/http_transport.h"

namespace velmora::cli {

// --pushgateway http(s)://HOST[:PORT][/PATH]: the PATH is kept as a prefix for a gateway behind
// a reverse proxy.
struct PushgatewayUrl {
    bool secure = false;
    std::string host;  // an IPv6 address without its brackets
    std::uint16_t port = 80;
    std::string basePath;  // "" or "/prefix", without a trailing "/"
};

struct MetricsExport {
    std::string file;  // --openmetrics; empty: no file
    std::optional<PushgatewayUrl> pushgateway;
    std::string instance;  // --instancia; empty: the host name
};

// nullopt and a pt-BR message in `error` for anything but an http or https URL with a host.
std::optional<PushgatewayUrl> ParsePushgatewayUrl(std::string_view text, std::string& error);

// The group's path: BASE/metrics/job/velmora/instance/NAME, the name percent-encoded, or in the
// Pushgateway's @base64 form when it holds a "/" (which no encoding gets through its router).
std::string PushgatewayGroupPath(const PushgatewayUrl& url, std::string_view instance);

// A push is over within seconds whatever the gateway does: the run is already stored, and a
// timer's next run should not queue behind a gateway that hangs.
inline constexpr modulos::medicao::protocolos::HttpTimeouts kPushTimeouts{
    std::chrono::seconds(3), std::chrono::seconds(3), std::chrono::seconds(5),
    std::chrono::seconds(5)};
inline constexpr std::chrono::milliseconds kPushDeadline{10000};

// PUTs the text as the group at `path`; nullopt when the gateway took it (2xx), else why not, in
// pt-BR.
std::optional<std::string> PushMetrics(
    const PushgatewayUrl& url, const std::string& path, std::string_view text,
    const modulos::medicao::protocolos::HttpTimeouts& timeouts = kPushTimeouts,
    std::chrono::milliseconds deadline = kPushDeadline);

// The exit status of a run that was measured and stored but did not reach Prometheus.
inline constexpr int kExportFailedStatus = 3;

// Writes the file and pushes the group that `options` name, each failure told in one pt-BR line
// on stderr. False when either failed.
bool ExportRun(const MetricsExport& options, const RunMetrics& metrics);

}  // namespace velmora::cli
