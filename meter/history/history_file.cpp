#include "history/history_file.h"

#include <cstdio>
#include <fstream>
#include <utility>

#include "common/text.h"
#include "platform/history_platform.h"

namespace velmora::modulos::medicao {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kHistoryEnd = "</history>";

bool StartsWithUtf16Mark(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    char mark[2] = {};
    return in.read(mark, 2) && static_cast<unsigned char>(mark[0]) == 0xFF &&
           static_cast<unsigned char>(mark[1]) == 0xFE;
}

// A name beside the history that no earlier backup of that kind uses: stem.bak, stem.1.bak, ...
fs::path FreeBackupName(const fs::path& directory, const std::string& stem) {
    fs::path candidate = directory / (stem + ".bak");
    for (int n = 1; fs::exists(candidate); ++n) {
        candidate = directory / (stem + "." + std::to_string(n) + ".bak");
    }
    return candidate;
}

// How long an append waits for another program's append to finish.
constexpr std::chrono::seconds kLockWait{3};

void ReplaceAll(std::wstring& text, wchar_t c, const wchar_t* entity) {
    const std::size_t length = std::char_traits<wchar_t>::length(entity);
    for (std::size_t pos = text.find(c); pos != std::wstring::npos;
         pos = text.find(c, pos + length)) {
        text.replace(pos, 1, entity);
    }
}

}  // namespace

std::optional<std::string> ReadFileBytes(const fs::path& path, std::uintmax_t limit) {
    return ReadPlainFile(path, limit).bytes;
}

const char* RefusalText(FileRefusal refusal) {
    switch (refusal) {
        case FileRefusal::None:
            return "";
        case FileRefusal::Missing:
            return "não existe";
        case FileRefusal::Link:
            return "é um link";
        case FileRefusal::SeveralNames:
            return "tem mais de um nome (um link para outro arquivo)";
        case FileRefusal::NotAFile:
            return "não é um arquivo comum";
        case FileRefusal::TooLarge:
            return "é grande demais";
        case FileRefusal::Unreadable:
            return "não foi possível lê-lo";
        case FileRefusal::Damaged:
            return "está danificado";
    }
    return "";
}

std::wstring XmlEscape(const std::wstring& text) {
    std::wstring out = text;
    ReplaceAll(out, L'&', L"&amp;");
    ReplaceAll(out, L'<', L"&lt;");
    ReplaceAll(out, L'>', L"&gt;");
    ReplaceAll(out, L'"', L"&quot;");
    ReplaceAll(out, L'\'', L"&apos;");
    return out;
}

std::wstring FormatHistoryTimestamp(std::int64_t unixTicks) {
    std::tm local{};
    if (!LocalTimeOf(unixTicks / 10'000'000, local)) {
        return {};
    }
    char text[64];
    const std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return std::wstring(text, text + n);
}

std::wstring FormatHistoryNumber(double value) {
    return FormatFixed(value, 2);
}

std::wstring FormatSampleList(const std::vector<double>& values) {
    std::wstring out;
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i > 0) {
            out += L',';
        }
        out += FormatHistoryNumber(values[i]);
    }
    return out;
}

std::string BuildHistoryBlock(const MeasurementRecord& r) {
    std::wstring block =
        L"  <measurement timestamp=\"" + XmlEscape(FormatHistoryTimestamp(r.timestamp)) + L"\">\n";
    const auto element = [&block](const wchar_t* name, const std::wstring& value) {
        block += L"    <";
        block += name;
        block += L'>';
        block += XmlEscape(value);
        block += L"</";
        block += name;
        block += L">\n";
    };
    element(L"downloadMbps", FormatHistoryNumber(r.downloadMbps));
    element(L"uploadMbps", FormatHistoryNumber(r.uploadMbps));
    element(L"pingMs", FormatHistoryNumber(r.pingMs));
    element(L"idleLatencyMs", FormatHistoryNumber(r.idleLatencyMs));
    element(L"downloadLatencyMs", FormatHistoryNumber(r.downloadLatencyMs));
    element(L"uploadLatencyMs", FormatHistoryNumber(r.uploadLatencyMs));
    element(L"publicIp", r.publicIp);
    element(L"userCity", r.userCity);
    element(L"serverIp", r.serverIp);
    element(L"serverName", r.serverName);
    element(L"serverLocation", r.serverLocation);
    element(L"status", r.status);
    element(L"downloadVariation", r.downloadVariation);
    element(L"uploadVariation", r.uploadVariation);
    element(L"downloadSamples", FormatSampleList(r.downloadSamples));
    element(L"uploadSamples", FormatSampleList(r.uploadSamples));
    block += L"  </measurement>\n";
    return WideToUtf8(block);
}

fs::path ChooseHistoryDirectory(const fs::path& program, bool programFolderWritable,
                                const fs::path& userData) {
    return programFolderWritable || userData.empty() ? program : userData;
}

fs::path HistoryDirectory() {
    const fs::path program = ProgramDirectory();
    return ChooseHistoryDirectory(program, ProgramFolderTakesHistory(program), UserDataDirectory());
}

std::vector<fs::path> OldHistorySources() {
    const fs::path program = ProgramDirectory();
    return {program / VELMORA_DATA_FOLDER / VELMORA_HISTORY_FILE, program / VELMORA_HISTORY_FILE};
}

std::vector<OldHistory> MigrateOldHistory(const fs::path& directory,
                                          const std::vector<fs::path>& sources) {
    const fs::path own = directory / VELMORA_HISTORY_FILE;
    std::error_code error;
    if (fs::symlink_status(own, error).type() != fs::file_type::not_found) {
        return {};  // this user's history exists (or something holds its name): done already
    }
    std::vector<OldHistory> found;
    for (const fs::path& source : sources) {
        if (source.lexically_normal() == own.lexically_normal()) {
            continue;
        }
        PlainFileRead read = ReadPlainFile(source, kMostHistoryBytes);
        if (read.refusal == FileRefusal::Missing) {
            continue;
        }
        if (read.bytes && read.bytes->find(kHistoryEnd) == std::string::npos) {
            read.refusal = FileRefusal::Damaged;
        }
        OldHistory old{source, read.refusal, false};
        if (read.refusal == FileRefusal::None) {
            fs::create_directories(directory, error);
            old.copied = CreateFileContents(own, *read.bytes);
        }
        found.push_back(old);
        if (old.copied) {
            break;
        }
    }
    return found;
}

fs::path EnsureHistoryFile() {
    const fs::path directory = HistoryDirectory();
    MigrateOldHistory(directory, OldHistorySources());
    return EnsureHistoryFile(directory);
}

fs::path EnsureHistoryFile(const fs::path& directory) {
    fs::create_directories(directory);
    const fs::path path = directory / VELMORA_HISTORY_FILE;
    if (fs::exists(path)) {
        if (!StartsWithUtf16Mark(path)) {
            return path;
        }
        // An older, UTF-16 history: keep it for the user rather than overwrite it.
        std::error_code error;
        fs::rename(path, FreeBackupName(directory, VELMORA_UTF16_BACKUP), error);
        if (error) {
            return path;  // it stays where it is; appends will leave it alone
        }
    }
    // Written whole or not at all, and never over a history another program has just made.
    CreateFileContents(path, kHistorySkeleton);
    return path;
}

bool AppendToHistory(const MeasurementRecord& record) {
    try {
        const fs::path directory = HistoryDirectory();
        MigrateOldHistory(directory, OldHistorySources());
        return AppendToHistory(record, directory);
    } catch (...) {
        return false;
    }
}

bool AppendToHistory(const MeasurementRecord& record, const fs::path& directory) {
    return AppendToHistory(record, directory, &ReplaceFileContents);
}

bool AppendToHistory(const MeasurementRecord& record, const fs::path& directory,
                     FileReplacer replace) {
    try {
        const HistoryLock lock(directory, kLockWait);
        const fs::path path = EnsureHistoryFile(directory);
        std::optional<std::string> read = ReadFileBytes(path);
        if (!read) {
            return false;  // never replace what could not be read: it may hold every run
        }
        std::string content = std::move(*read);
        std::size_t end = content.rfind(kHistoryEnd);
        if (end == std::string::npos) {
            if (StartsWithUtf16Mark(path)) {
                return false;  // an older history that could not be moved aside is left alone
            }
            // Empty, cut short or not ours (a power cut or a full disk at the wrong moment):
            // keep whatever it holds aside and start again, rather than never record again.
            std::error_code error;
            if (!content.empty()) {
                fs::rename(path, FreeBackupName(directory, VELMORA_DAMAGED_BACKUP), error);
            }
            if (error) {
                return false;
            }
            content = kHistorySkeleton;
            end = content.rfind(kHistoryEnd);
        }
        content.insert(end, BuildHistoryBlock(record));
        return replace(path, content);
    } catch (...) {
        return false;
    }
}

}  // namespace velmora::modulos::medicao
