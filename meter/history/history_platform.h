#pragma once

// What the history and the report need from the operating system.

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <string_view>

namespace velmora::modulos::medicao {

// The folder of the running executable; the current directory when its path is unknown.
std::filesystem::path ProgramDirectory();

// Broken-down local time (the machine's zone and daylight-saving rules) of seconds since 1970.
bool LocalTimeOf(std::int64_t seconds, std::tm& local);

// Replaces the file's contents in one step: the bytes go to a new file beside it, are flushed to
// the disk, and the new file then takes the old one's place. A failure at any point leaves the
// old file as it was. False on failure.
bool ReplaceFileContents(const std::filesystem::path& target, std::string_view bytes);

// The per-user folder of the report ("KALDRA" in the temporary folder), made private where the
// system allows. Empty when it cannot be made safely.
std::filesystem::path ReportDirectory();

// Writes the report page without following a link planted at its path. False on failure.
bool WriteReportFile(const std::filesystem::path& file, std::string_view bytes);

// Opens a file in the user's browser (the handler the system associates with it).
void OpenInBrowser(const std::filesystem::path& file);

}  // namespace velmora::modulos::medicao
