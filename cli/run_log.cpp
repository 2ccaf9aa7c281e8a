#include "run_log.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <ctime>
#include <limits>
#include <map>
#include <nlohmann/json.hpp>

#include "common/text.h"
#include "connection_kind.h"
#include "measurement/run_state.h"

#include "history/history_file.h"
#include "history/history_reader.h"
#include "platform/history_platform.h"

namespace velmora::cli {
namespace {

using Json = nlohmann::ordered_json;
namespace fs = std::filesystem;
namespace medicao = modulos::medicao;

constexpr std::chrono::milliseconds kLockWait{2000};
constexpr std::int64_t kTicksPerSecond = 10'000'000;

std::optional<double> NumberMember(const Json& object, const char* name) {
    const auto it = object.find(name);
    if (it == object.end() || !it->is_number()) {
        return std::nullopt;
    }
    return it->get<double>();
}

std::string TextMember(const Json& object, const char* name) {
    const auto it = object.find(name);
    return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

std::uint64_t CountMember(const Json& object, const char* name) {
    const auto it = object.find(name);
    return it != object.end() && it->is_number_unsigned() ? it->get<std::uint64_t>() : 0;
}

// The local calendar month of ticks since 1970, as year * 12 + month.
std::optional<int> LocalMonth(std::int64_t ticks) {
    std::tm local{};
    if (!medicao::LocalTimeOf(ticks / kTicksPerSecond, local)) {
        return std::nullopt;
    }
    return (local.tm_year + 1900) * 12 + local.tm_mon;
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) {
        text.remove_prefix(1);
    }
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) {
        text.remove_suffix(1);
    }
    return text;
}

}  // namespace

std::string RunLogLine(std::string_view recordJson) {
    Json line;
    line[kLogFormatMember] = kLogFormat;
    line.update(Json::parse(recordJson));
    return line.dump(-1, ' ', false, Json::error_handler_t::replace);
}

bool AppendRunLog(const fs::path& directory, std::string_view line) {
    try {
        const medicao::HistoryLock lock(directory, kLockWait);
        const fs::path path = directory / kRunLogFile;
        std::error_code error;
        std::string content;
        if (fs::exists(path, error)) {
            std::optional<std::string> read = medicao::ReadFileBytes(path);
            if (!read) {
                return false;
            }
            content = std::move(*read);
        } else if (error) {
            return false;
        }
        // A last line cut short by hand or by an older program stays a line of its own.
        if (!content.empty() && content.back() != '\n') {
            content += '\n';
        }
        content.append(line);
        content += '\n';
        return medicao::ReplaceFileContents(path, content);
    } catch (const std::exception&) {
        return false;
    }
}

RunLog ParseRunLog(std::string_view content) {
    RunLog log;
    while (!content.empty()) {
        const std::size_t end = content.find('\n');
        const std::string_view text = Trim(content.substr(0, end));
        content.remove_prefix(end == std::string_view::npos ? content.size() : end + 1);
        if (text.empty()) {
            continue;
        }
        const Json object = Json::parse(text, nullptr, false);
        if (!object.is_object()) {
            ++log.badLines;
            continue;
        }
        const auto format = object.find(kLogFormatMember);
        if (format == object.end() || !format->is_number_integer() ||
            format->get<long long>() != kLogFormat) {
            ++log.otherVersionLines;
            continue;
        }
        const auto stamp = object.find("timestamp");
        if (stamp == object.end() || !stamp->is_number_integer() ||
            TextMember(object, "status").empty()) {
            ++log.badLines;
            continue;
        }
        LoggedRun run;
        run.timestamp = stamp->get<std::int64_t>();
        run.status = TextMember(object, "status");
        run.serverName = TextMember(object, "serverName");
        run.serverLocation = TextMember(object, "serverLocation");
        run.downloadMbps = NumberMember(object, "downloadMbps");
        run.uploadMbps = NumberMember(object, "uploadMbps");
        run.pingMs = NumberMember(object, "pingMs");
        run.idleJitterMs = NumberMember(object, "idleJitterMs");
        run.connection = TextMember(object, "connection");
        run.bytesUsed = CountMember(object, "bytesReceived") + CountMember(object, "bytesSent");
        log.runs.push_back(std::move(run));
    }
    return log;
}

RunLog ReadRunLog(const fs::path& directory) {
    const fs::path path = directory / kRunLogFile;
    std::error_code error;
    if (!fs::exists(path, error) && !error) {
        return {};
    }
    const std::optional<std::string> content = medicao::ReadFileBytes(path);
    if (!content) {
        RunLog log;
        log.readable = false;
        return log;
    }
    return ParseRunLog(*content);
}

bool SavePlanText(const fs::path& directory, std::string_view plan) {
    return medicao::ReplaceFileContents(directory / kPlanFile, std::string(plan) + "\n");
}

std::optional<std::string> LoadPlanText(const fs::path& directory) {
    const std::optional<std::string> content = medicao::ReadFileBytes(directory / kPlanFile, 4096);
    if (!content) {
        return std::nullopt;
    }
    return std::string(Trim(*content));
}

std::optional<std::uint64_t> ParseDataSize(std::string_view text) {
    text = Trim(text);
    std::size_t unit = 0;
    while (unit < text.size() && (std::isdigit(static_cast<unsigned char>(text[unit])) ||
                                  text[unit] == '.' || text[unit] == ',')) {
        ++unit;
    }
    std::string number(text.substr(0, unit));
    std::replace(number.begin(), number.end(), ',', '.');
    std::string suffix(Trim(text.substr(unit)));
    std::transform(suffix.begin(), suffix.end(), suffix.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    double value = 0.0;
    const auto [end, failed] = std::from_chars(number.data(), number.data() + number.size(), value);
    if (number.empty() || failed != std::errc() || end != number.data() + number.size()) {
        return std::nullopt;
    }
    const struct {
        const char* name;
        double bytes;
    } units[] = {{"MB", 1e6}, {"GB", 1e9}, {"TB", 1e12}};
    for (const auto& u : units) {
        if (suffix == u.name) {
            const double bytes = value * u.bytes;
            if (!(bytes >= 1.0) || bytes > 1e18) {
                return std::nullopt;
            }
            return static_cast<std::uint64_t>(std::llround(bytes));
        }
    }
    return std::nullopt;
}

DataBudgetCheck CheckDataBudget(const RunLog& log, std::int64_t nowTicks, std::uint64_t budget) {
    DataBudgetCheck check;
    const std::optional<int> month = LocalMonth(nowTicks);
    std::uint64_t runs = 0;
    for (const LoggedRun& run : log.runs) {
        if (month && LocalMonth(run.timestamp) == month) {
            check.usedBytes += run.bytesUsed;
            ++runs;
        }
    }
    if (runs == 0) {
        return check;
    }
    check.expectedRunBytes = check.usedBytes / runs;
    check.wouldPass = check.usedBytes + check.expectedRunBytes > budget;
    return check;
}

std::string FailureLogLine(std::int64_t timestamp, const std::string& reason) {
    Json line;
    line[kLogFormatMember] = kLogFormat;
    line["timestamp"] = timestamp;
    line["status"] = WideToUtf8(medicao::kStatusError);
    line["reason"] = reason;
    return line.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::vector<ComplianceRun> ComplianceRuns(const std::vector<medicao::HistoryEntry>& history,
                                          const RunLog& log) {
    constexpr double kUnread = std::numeric_limits<double>::quiet_NaN();
    const auto stored = [&](const std::string& text) {
        return medicao::ParseStoredNumber(text).value_or(kUnread);
    };
    const std::string done = WideToUtf8(medicao::kStatusDone);
    const auto withConnection = [](ComplianceRun& run, const LoggedRun& logged) {
        run.jitterMs = logged.idleJitterMs;
        const std::optional<ConnectionKind> kind = ConnectionKindFromId(logged.connection);
        if (kind) {
            run.connection = ConnectionKindName(*kind);
            run.wifiOrVpn = *kind == ConnectionKind::WiFi || *kind == ConnectionKind::Vpn;
        }
    };

    // The history stores a run's time as the log's ticks in local time, to the second.
    std::map<std::string, const LoggedRun*> logged;
    for (const LoggedRun& run : log.runs) {
        logged.emplace(WideToUtf8(medicao::FormatHistoryTimestamp(run.timestamp)), &run);
    }
    std::vector<ComplianceRun> runs;
    for (const medicao::HistoryEntry& entry : history) {
        ComplianceRun run;
        run.localTime = entry.timestamp;
        run.downloadMbps = stored(entry.downloadMbps);
        run.uploadMbps = stored(entry.uploadMbps);
        run.latencyMs = stored(entry.pingMs);
        run.serverName = entry.serverName;
        run.serverLocation = entry.serverLocation;
        run.finished = entry.status == done;
        if (const auto match = logged.find(entry.timestamp); match != logged.end()) {
            withConnection(run, *match->second);
            logged.erase(match);
        }
        runs.push_back(std::move(run));
    }
    for (const auto& [time, entry] : logged) {
        ComplianceRun run;
        run.localTime = time;
        run.downloadMbps = entry->downloadMbps.value_or(kUnread);
        run.uploadMbps = entry->uploadMbps.value_or(kUnread);
        run.latencyMs = entry->pingMs.value_or(kUnread);
        run.serverName = entry->serverName;
        run.serverLocation = entry->serverLocation;
        run.finished = entry->status == done;
        withConnection(run, *entry);
        runs.push_back(std::move(run));
    }
    std::stable_sort(runs.begin(), runs.end(), [](const ComplianceRun& a, const ComplianceRun& b) {
        return a.localTime < b.localTime;
    });
    return runs;
}

}  // namespace velmora::cli
