#include "record_formats.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "common/text.h"
#include "history/history_file.h"
#include "run_assessment.h"

namespace velmora::cli {
namespace {

using Json = nlohmann::ordered_json;
using modulos::medicao::FormatHistoryNumber;
using modulos::medicao::FormatHistoryTimestamp;
using modulos::medicao::FormatSampleList;

// JSON has no NaN or infinity.
Json Number(double value) {
    return std::isfinite(value) ? Json(value) : Json(nullptr);
}

Json NumberList(const std::vector<double>& values) {
    Json list = Json::array();
    for (const double value : values) {
        list.push_back(Number(value));
    }
    return list;
}

Json OptionalNumber(const std::optional<double>& value) {
    return value ? Number(*value) : Json(nullptr);
}

Json OptionalInteger(const std::optional<long long>& value) {
    return value ? Json(*value) : Json(nullptr);
}

// What the run's diagnostics add to the record, in the order both formats give it.
// Unknown (below 0) as null.
Json Measured(double value) {
    return value >= 0.0 ? Number(value) : Json(nullptr);
}

Json DiagnosticsJson(const modulos::medicao::MeasurementRecord& record,
                     const modulos::medicao::RunDiagnostics& d, const RunConnection& connection) {
    const Responsiveness r = AssessRun(record, d);
    const std::string family = AddressFamilyName(d.addressFamily);
    Json out;
    out["downloadAddedLatencyMs"] = OptionalNumber(r.download.addedMs);
    out["uploadAddedLatencyMs"] = OptionalNumber(r.upload.addedMs);
    out["downloadRpm"] = OptionalInteger(r.download.rpm);
    out["uploadRpm"] = OptionalInteger(r.upload.rpm);
    out["responsivenessGrade"] = r.grade ? Json(*r.grade) : Json(nullptr);
    out["bytesReceived"] = d.bytesReceived;
    out["bytesSent"] = d.bytesSent;
    out["addressFamily"] = family.empty() ? Json(nullptr) : Json(family);
    out["viaProxy"] = d.viaProxy;
    std::vector<std::string> notes = ConnectionNotes(connection, record.downloadMbps);
    for (std::string& note : TrustNotes(d)) {
        notes.push_back(std::move(note));
    }
    out["notes"] = notes;
    out["idleJitterMs"] = Measured(d.idleJitterMs);
    out["downloadJitterMs"] = Measured(d.download.jitterMs);
    out["uploadJitterMs"] = Measured(d.upload.jitterMs);
    out["connection"] = ConnectionKindId(connection.kind);
    out["connectionInterface"] =
        connection.interfaceName.empty() ? Json(nullptr) : Json(connection.interfaceName);
    out["wifiSignalPercent"] =
        connection.signalPercent ? Json(*connection.signalPercent) : Json(nullptr);
    out["wifiLinkMbps"] = OptionalNumber(connection.linkMbps);
    return out;
}

std::string CsvField(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) {
        return text;
    }
    std::string quoted = "\"";
    for (const char c : text) {
        quoted += c;
        if (c == '"') {
            quoted += '"';
        }
    }
    return quoted + '"';
}

}  // namespace

std::string RecordToJson(const modulos::medicao::MeasurementRecord& r,
                         const modulos::medicao::RunDiagnostics& diagnostics,
                         const RunConnection& connection) {
    Json out;
    out["timestamp"] = r.timestamp;
    out["downloadMbps"] = Number(r.downloadMbps);
    out["uploadMbps"] = Number(r.uploadMbps);
    out["pingMs"] = Number(r.pingMs);
    out["idleLatencyMs"] = Number(r.idleLatencyMs);
    out["downloadLatencyMs"] = Number(r.downloadLatencyMs);
    out["uploadLatencyMs"] = Number(r.uploadLatencyMs);
    out["publicIp"] = WideToUtf8(r.publicIp);
    out["userCity"] = WideToUtf8(r.userCity);
    out["serverIp"] = WideToUtf8(r.serverIp);
    out["serverName"] = WideToUtf8(r.serverName);
    out["serverLocation"] = WideToUtf8(r.serverLocation);
    out["status"] = WideToUtf8(r.status);
    out["downloadVariation"] = WideToUtf8(r.downloadVariation);
    out["uploadVariation"] = WideToUtf8(r.uploadVariation);
    out["downloadSamples"] = NumberList(r.downloadSamples);
    out["uploadSamples"] = NumberList(r.uploadSamples);
    out.update(DiagnosticsJson(r, diagnostics, connection));
    return out.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string FailureToJson(const std::string& reason) {
    Json out;
    out["status"] = WideToUtf8(modulos::medicao::kStatusError);
    out["reason"] = reason;
    return out.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string CsvHeader() {
    return "timestamp,downloadMbps,uploadMbps,pingMs,idleLatencyMs,downloadLatencyMs,"
           "uploadLatencyMs,publicIp,userCity,serverIp,serverName,serverLocation,status,"
           "downloadVariation,uploadVariation,downloadSamples,uploadSamples,"
           "downloadAddedLatencyMs,uploadAddedLatencyMs,downloadRpm,uploadRpm,"
           "responsivenessGrade,bytesReceived,bytesSent,addressFamily,viaProxy,notes,"
           "idleJitterMs,downloadJitterMs,uploadJitterMs,connection,connectionInterface,"
           "wifiSignalPercent,wifiLinkMbps";
}

std::string RecordToCsv(const modulos::medicao::MeasurementRecord& r,
                        const modulos::medicao::RunDiagnostics& diagnostics,
                        const RunConnection& connection) {
    const std::vector<std::wstring> recordFields = {FormatHistoryTimestamp(r.timestamp),
                                                    FormatHistoryNumber(r.downloadMbps),
                                                    FormatHistoryNumber(r.uploadMbps),
                                                    FormatHistoryNumber(r.pingMs),
                                                    FormatHistoryNumber(r.idleLatencyMs),
                                                    FormatHistoryNumber(r.downloadLatencyMs),
                                                    FormatHistoryNumber(r.uploadLatencyMs),
                                                    r.publicIp,
                                                    r.userCity,
                                                    r.serverIp,
                                                    r.serverName,
                                                    r.serverLocation,
                                                    r.status,
                                                    r.downloadVariation,
                                                    r.uploadVariation,
                                                    FormatSampleList(r.downloadSamples),
                                                    FormatSampleList(r.uploadSamples)};
    std::vector<std::string> fields;
    for (const std::wstring& field : recordFields) {
        fields.push_back(WideToUtf8(field));
    }
    const Json added = DiagnosticsJson(r, diagnostics, connection);
    for (const auto& [name, value] : added.items()) {
        if (value.is_null()) {
            fields.emplace_back();
        } else if (value.is_string()) {
            fields.push_back(value.get<std::string>());
        } else if (value.is_array()) {
            std::string joined;
            for (const Json& note : value) {
                joined += (joined.empty() ? "" : " | ") + note.get<std::string>();
            }
            fields.push_back(joined);
        } else if (value.is_number_float()) {
            fields.push_back(WideToUtf8(FormatHistoryNumber(value.get<double>())));
        } else {
            fields.push_back(value.dump());
        }
    }
    std::string line;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (i > 0) {
            line += ',';
        }
        line += CsvField(fields[i]);
    }
    return line;
}

std::string PadRight(const std::string& text, std::size_t width) {
    const auto characters =
        static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) {
            return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
        }));
    return characters >= width ? text : text + std::string(width - characters, ' ');
}

std::string HistoryTable(const std::vector<modulos::medicao::HistoryEntry>& entries,
                         std::size_t count) {
    char line[512];
    std::snprintf(line, sizeof line, "%-19s  %10s  %10s  %6s  %-4s  %s\n", "Data", "Download",
                  "Upload", "Ping", "Nota", "Servidor");
    std::string table = line;
    const std::size_t first = entries.size() > count ? entries.size() - count : 0;
    for (std::size_t i = first; i < entries.size(); ++i) {
        const auto& e = entries[i];
        // The history's own texts; a hand-edited file could hold anything, so print it clean.
        const auto clean = [](const std::string& text) {
            return WideToUtf8(CleanServerText(Utf8ToWide(text)));
        };
        std::snprintf(line, sizeof line, "  %10s  %10s  %6s  %-4s  ", clean(e.downloadMbps).c_str(),
                      clean(e.uploadMbps).c_str(), clean(e.pingMs).c_str(),
                      StoredGrade(e).value_or("-").c_str());
        table += PadRight(clean(e.timestamp), 19) + line + clean(e.serverName) + "\n";
    }
    return table;
}

}  // namespace velmora::cli
