#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velmora::modulos::medicao {

// One stored measurement as read back: the file's UTF-8 text, nothing converted.
struct HistoryEntry {
    std::string timestamp;
    std::string downloadMbps;
    std::string uploadMbps;
    std::string pingMs;
    std::string idleLatencyMs;
    std::string downloadLatencyMs;
    std::string uploadLatencyMs;
    std::string publicIp;
    std::string userCity;
    std::string serverIp;
    std::string serverName;
    std::string serverLocation;
    std::string status;
    std::string downloadVariation;
    std::string uploadVariation;
    std::string downloadSamples;
    std::string uploadSamples;
};

// Every complete measurement block of the history's bytes, oldest first. A scanner for the
// layout the writer produces, not an XML parser; it never fails.
std::vector<HistoryEntry> ReadHistory(std::string_view content);

std::string ExtractAttribute(std::string_view block, std::string_view name);
std::string ExtractElementText(std::string_view block, std::string_view name);
std::string XmlUnescape(std::string_view text);

// A stored number (a figure or one sample of a list): strtod's reading (leading blanks skipped,
// the longest decimal prefix), but always with "." whatever the locale, and only finite decimal
// forms. Empty when the text does not start with one.
std::optional<double> ParseStoredNumber(std::string_view text);

}  // namespace velmora::modulos::medicao
