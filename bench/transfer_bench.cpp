// Throughput of the meter's transfer path: N streams of one speed protocol against a server for a
// fixed time. Prints the bytes moved and the wall time; the driver (transfer_bench.py) measures
// the process's CPU time and sets the figures beside curl's.
//
//   velmora_transfer_bench HOST PORT download|upload STREAMS SECONDS

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "common/text.h"
#include "protocols/cloudflare_protocol.h"

using namespace velmora::modulos::medicao::protocolos;

int main(int argc, char** argv) {
    if (argc != 6) {
        std::fprintf(stderr, "usage: %s HOST PORT download|upload STREAMS SECONDS\n", argv[0]);
        return 2;
    }
    const std::wstring host = velmora::Utf8ToWide(argv[1]);
    const auto port = static_cast<std::uint16_t>(std::atoi(argv[2]));
    const bool upload = std::string(argv[3]) == "upload";
    const int streams = std::atoi(argv[4]);
    const double seconds = std::atof(argv[5]);

    const CloudflareProtocol protocol({port, false, {}});
    ByteCounter bytes{0};
    const auto start = std::chrono::steady_clock::now();
    {
        std::vector<std::jthread> threads;
        for (int i = 0; i < streams; ++i) {
            threads.emplace_back([&](std::stop_token stop) {
                if (upload) {
                    protocol.Upload(host, 16 * 1024 * 1024, bytes, stop);
                } else {
                    protocol.Download(host, bytes, stop);
                }
            });
        }
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    }
    const auto counted = bytes.load();
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("bytes=%llu seconds=%.3f\n", static_cast<unsigned long long>(counted), elapsed);
    return 0;
}
