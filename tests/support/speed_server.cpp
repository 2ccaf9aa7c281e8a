#include "support/speed_server.h"

#include <chrono>
#include <cstdlib>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace velmora::test {
namespace {

std::uint16_t ControlPort() {
    const char* value = std::getenv("VELMORA_SPEED_SERVER");
    return value == nullptr ? 0 : static_cast<std::uint16_t>(std::atoi(value));
}

std::string Ask(const std::string& line) {
    const std::string answer = LoopbackExchange(ControlPort(), line);
    if (answer.rfind("ok", 0) != 0) {
        throw std::runtime_error("speed server: " + line + " -> " + answer);
    }
    return answer;
}

}  // namespace

bool SpeedServer::Available() {
    return ControlPort() != 0;
}

ServerListener SpeedServer::Listen(const std::string& options) {
    std::istringstream answer(Ask("listen " + options));
    std::string ok;
    ServerListener listener;
    answer >> ok >> listener.address >> listener.port;
    return listener;
}

std::string HexBytes(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (const unsigned char c : bytes) {
        hex += digits[c >> 4];
        hex += digits[c & 15];
    }
    return hex;
}

ServerListener SpeedServer::ListenAnswering(const std::string& body) {
    return Listen("addr=auto mode=body hex=" + HexBytes(body));
}

ListenerStats SpeedServer::Stats(const ServerListener& listener) {
    std::istringstream answer(
        Ask("stats " + listener.address + ":" + std::to_string(listener.port)));
    ListenerStats stats;
    std::string word;
    answer >> word;
    while (answer >> word) {
        const auto eq = word.find('=');
        const std::string key = word.substr(0, eq);
        const std::string value = word.substr(eq + 1);
        if (key == "accepts") {
            std::istringstream times(value);
            std::string t;
            while (std::getline(times, t, ',')) {
                stats.accepts.push_back(std::stod(t));
            }
            continue;
        }
        if (key == "ua") {
            stats.userAgent = value;
            continue;
        }
        const long long n = std::stoll(value);
        if (key == "connections")
            stats.connections = n;
        if (key == "ended")
            stats.ended = n;
        if (key == "requests")
            stats.requests = n;
        if (key == "tls")
            stats.tls = n;
        if (key == "tls_refused")
            stats.tlsRefused = n;
        if (key == "down")
            stats.down = n;
        if (key == "up")
            stats.up = n;
    }
    return stats;
}

ListenerStats SpeedServer::SettledStats(const ServerListener& listener) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    ListenerStats stats = Stats(listener);
    while (stats.ended < stats.connections && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        stats = Stats(listener);
    }
    return stats;
}

void SpeedServer::Close(const ServerListener& listener) {
    Ask("close " + listener.address + ":" + std::to_string(listener.port));
}

}  // namespace velmora::test
