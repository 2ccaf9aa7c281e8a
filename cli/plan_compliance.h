#pragma once

// The stored runs held month by month against the plan the user pays for, and a printable
// dossier of them to hand to the operator, Anatel or Procon.
//
// The references are the targets of Anatel's former RGQ-SCM (Resolução nº 574/2011), revoked in
// 2022 by the RQual and still quoted by consumer bodies: each run at least 40 % of the contracted
// speed in 95 % of the runs, the monthly mean at least 80 %, latency at most 80 ms and jitter at
// most 50 ms, each in 95 % of the runs. These are the user's own runs, not Anatel's official
// measurement, and every output says so.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velmora::cli {

struct ContractedPlan {
    double downloadMbps = 0;
    double uploadMbps = 0;
};

// "300/150" (Mbit/s; decimals with "." or ","; spaces around allowed). nullopt unless both are
// positive finite numbers and nothing else follows.
std::optional<ContractedPlan> ParsePlan(std::string_view text);

// "AAAA-MM" with a month 01..12; nullopt otherwise.
std::optional<std::string> ParseMonth(std::string_view text);

// One stored run as the checks need it: velmora-cli builds these from the history file (every
// run, also the window's) joined with its own log (which adds jitter and the connection).
struct ComplianceRun {
    std::string localTime;  // "AAAA-MM-DD HH:MM:SS", the machine's local time, as stored
    double downloadMbps = 0, uploadMbps = 0;
    double latencyMs = 0;            // the run's ping (idle latency)
    std::optional<double> jitterMs;  // idle jitter; absent when not known (runs of the window)
    std::string connection;  // shown kind ("cabo", "Wi-Fi", "VPN/túnel", ...); empty: unknown
    bool wifiOrVpn = false;
    std::string serverName, serverLocation;
    bool finished = true;  // status "MEDIÇÃO CONCLUÍDA"
};

inline constexpr double kShareOfRunsTarget = 0.95;  // the per-run references: 95 % of the runs
inline constexpr double kRunFloorOfPlan = 0.40;     // each run at least 40 % of the plan
inline constexpr double kMeanFloorOfPlan = 0.80;    // the month's mean at least 80 % of the plan
inline constexpr double kLatencyLimitMs = 80;
inline constexpr double kJitterLimitMs = 50;
// The busiest hours, where the former regulation measured: 10:00:00 up to 21:59:59.
inline constexpr int kPeakFirstHour = 10;
inline constexpr int kPeakEndHour = 22;

// Runs that meet a per-run reference, over the runs it judges.
struct ShareCheck {
    std::size_t meeting = 0;
    std::size_t judged = 0;
    std::optional<double> share;  // meeting / judged; absent when nothing was judged
    std::optional<bool> met;      // share >= 95 %; absent with the share
};

// The month's mean of one direction against the plan.
struct MeanCheck {
    std::optional<double> meanMbps;
    std::optional<double> shareOfPlan;  // meanMbps / plan
    std::optional<bool> met;            // shareOfPlan >= 80 %
};

struct MonthCompliance {
    std::string month;               // "AAAA-MM"
    std::size_t runs = 0;            // finished runs of the month
    std::size_t peakRuns = 0;        // of them, started between 10h and 22h
    std::size_t wifiOrVpnRuns = 0;   // of them, over Wi-Fi or a VPN
    bool wifiOrVpnIncluded = false;  // whether those are in the figures
    std::size_t uncountedRuns = 0;   // stored but not counted: unfinished or unreadable
    std::size_t usedRuns = 0;        // the runs the figures are computed over
    ShareCheck download;             // runs with download >= 40 % of the plan
    ShareCheck upload;               // runs with upload >= 40 % of the plan
    MeanCheck downloadMean;
    MeanCheck uploadMean;
    ShareCheck latency;  // runs with ping <= 80 ms
    ShareCheck jitter;   // runs with jitter <= 50 ms, judged over those with a known jitter
};

// Per calendar month, oldest first; only `month` when given. Wi-Fi/VPN runs are counted and shown
// but left out of the figures unless includeWifi. Unfinished runs, and runs whose figures are not
// finite numbers, are not counted. A month asked for with no usable run still appears, with its
// figures absent.
std::vector<MonthCompliance> MonthlyCompliance(const std::vector<ComplianceRun>& runs,
                                               const ContractedPlan& plan, bool includeWifi,
                                               const std::optional<std::string>& month);

// The console's table, pt-BR.
std::string ComplianceText(const ContractedPlan& plan, const std::vector<MonthCompliance>& months,
                           bool includeWifi);

// One JSON object: the plan, the references and one member per month.
std::string ComplianceJson(const ContractedPlan& plan, const std::vector<MonthCompliance>& months,
                           bool includeWifi);

// SHA-256 (FIPS 180-4) of the bytes, 64 lowercase hex digits.
std::string Sha256Hex(std::string_view bytes);

// One printable pt-BR HTML page (self-contained, A4): the plan, each month's table, every listed
// run, what the references mean and what they do not, blank lines for the complaint's protocol
// numbers, and the count and SHA-256 of the listed runs. Every stored text is escaped.
std::string DossierPage(const ContractedPlan& plan, const std::vector<MonthCompliance>& months,
                        const std::vector<ComplianceRun>& listedRuns, bool includeWifi,
                        const std::string& generatedAt);

// The text the dossier's digest covers: one line per listed run, in order, ended by "\n", its
// fields separated by tabs: local time, server, server location, download, upload, ping, jitter
// (numbers with two "." decimals; jitter empty when unknown), connection, and "concluída" or
// "não concluída". Texts as the page shows them (control characters made spaces or dropped).
std::string DossierDigestText(const std::vector<ComplianceRun>& listedRuns);

}  // namespace velmora::cli
