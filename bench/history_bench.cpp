// Time of one append and of one report with 10, 1,000 and 10,000 stored runs. Both read (and
// the append rewrites) the whole file, so both should grow linearly with it. Figures only.

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "history/history_file.h"
#include "history/history_report.h"

using namespace velmora::modulos::medicao;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

int main() {
    MeasurementRecord record;
    record.timestamp = 17'413'383'020'000'000;
    record.downloadMbps = 512.34;
    record.uploadMbps = 98.76;
    record.pingMs = 12;
    record.publicIp = L"177.10.20.30";
    record.userCity = L"São Paulo - São Paulo";
    record.serverName = L"Claro SP Capital";
    record.serverLocation = L"São Paulo / SP (3 km)";
    record.status = kStatusDone;
    record.downloadVariation = kDownloadVariation;
    record.uploadVariation = kUploadVariation;
    record.downloadSamples = {500.1, 505.2, 510.3, 511.4, 512.5, 512.0, 512.34};
    record.uploadSamples = {90.1, 95.2, 97.3, 98.4, 98.5, 98.6, 98.76};
    const std::string block = BuildHistoryBlock(record);

    std::printf("%8s %12s %14s %14s %12s\n", "runs", "file (KiB)", "append (ms)", "report (ms)",
                "page (KiB)");
    for (const int runs : {10, 1000, 10000}) {
        const fs::path dir =
            fs::temp_directory_path() / ("velmora-history-bench-" + std::to_string(runs));
        fs::remove_all(dir);
        fs::create_directories(dir);
        std::string content(kHistorySkeleton);
        std::string blocks;
        blocks.reserve(block.size() * static_cast<std::size_t>(runs));
        for (int i = 0; i < runs; ++i) {
            blocks += block;
        }
        content.insert(content.rfind("</history>"), blocks);
        std::ofstream(dir / "history.xml", std::ios::binary) << content;

        constexpr int kRepeats = 5;
        auto start = Clock::now();
        for (int i = 0; i < kRepeats; ++i) {
            AppendToHistory(record, dir);
        }
        const double appendMs =
            std::chrono::duration<double, std::milli>(Clock::now() - start).count() / kRepeats;
        start = Clock::now();
        fs::path page;
        for (int i = 0; i < kRepeats; ++i) {
            page = BuildHistoryReport(dir / "history.xml", dir / "KALDRA");
        }
        const double reportMs =
            std::chrono::duration<double, std::milli>(Clock::now() - start).count() / kRepeats;
        std::printf("%8d %12.0f %14.2f %14.2f %12.0f\n", runs,
                    static_cast<double>(fs::file_size(dir / "history.xml")) / 1024.0, appendMs,
                    reportMs,
                    page.empty() ? 0.0 : static_cast<double>(fs::file_size(page)) / 1024.0);
        fs::remove_all(dir);
    }
    return 0;
}
