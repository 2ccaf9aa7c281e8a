#pragma once

// Client side of tests/support/speed_server.py: every test opens listeners of its own, each
// with the behaviour it needs, and reads back what the server saw.

#include <cstdint>
#include <string>
#include <vector>

// Skips a test when no speed server was started for this run (the ctest fixture starts one).
#define REQUIRE_SPEED_SERVER()                      \
    if (!::velmora::test::SpeedServer::Available()) \
    GTEST_SKIP() << "needs the loopback speed server (ctest fixture)"

namespace velmora::test {

struct ServerListener {
    std::string address;
    std::uint16_t port = 0;
    std::wstring host() const { return std::wstring(address.begin(), address.end()); }
};

struct ListenerStats {
    long long connections = 0;
    long long requests = 0;
    long long ended = 0;          // connections the server has finished with
    long long tls = 0;            // TLS handshakes accepted
    long long tlsRefused = 0;     // TLS handshakes that reached a plain listener
    long long down = 0;           // body bytes sent
    long long up = 0;             // body bytes received
    std::string userAgent;        // of the last request, spaces as underscores
    std::vector<double> accepts;  // accept times, seconds of the server's monotonic clock
};

class SpeedServer {
  public:
    // True when the test run started a server (the ctest fixture) for this process to use.
    static bool Available();
    // `options` as in the server's listen command, for example "addr=auto mode=status status=404".
    static ServerListener Listen(const std::string& options);
    // A listener that answers every request with 200 and exactly `body`.
    static ServerListener ListenAnswering(const std::string& body);
    static ListenerStats Stats(const ServerListener& listener);
    // Stats once the server has finished with every connection it accepted (or after 5 s), so
    // that its byte counts include everything it took or sent before the client went away.
    static ListenerStats SettledStats(const ServerListener& listener);
    static void Close(const ServerListener& listener);
};

// The bytes as lower-case hex, as the server's `hex=` option takes them.
std::string HexBytes(const std::string& bytes);

// Sends one line to a loopback TCP port and returns the one-line answer (without newline).
std::string LoopbackExchange(std::uint16_t port, const std::string& line);

}  // namespace velmora::test
