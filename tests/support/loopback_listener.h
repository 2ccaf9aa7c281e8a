#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

namespace velmora::test {

// A TCP listener on a loopback address for connection tests. It stops and closes its sockets
// when destroyed.
class LoopbackListener {
  public:
    enum class Mode {
        Accept,       // accept every connection and close it at once
        NeverAccept,  // leave connections in the backlog, so that a full backlog stalls connects
    };

    explicit LoopbackListener(const char* address = "127.0.0.1", Mode mode = Mode::Accept,
                              int backlog = 64, std::uint16_t port = 0);
    ~LoopbackListener();
    LoopbackListener(const LoopbackListener&) = delete;
    LoopbackListener& operator=(const LoopbackListener&) = delete;

    std::uint16_t port() const { return port_; }
    int accepted() const { return accepted_.load(); }

    // Stops listening: later connects to the port are refused.
    void Close();

  private:
    void AcceptLoop();

    std::intptr_t socket_ = -1;
    std::uint16_t port_ = 0;
    std::atomic<int> accepted_{0};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// A loopback port with nothing listening on it: connects are refused.
std::uint16_t RefusedLoopbackPort(const char* address = "127.0.0.1");

// True when the tests run in the private network namespace of scripts/isolated.sh, with the
// name table of tests/support/hosts. Tests that resolve names other than literals need it, so
// that they never send a query to a real DNS server.
bool InIsolatedNetwork();

}  // namespace velmora::test

// Skips a test outside that namespace (REQUIRE_SPEED_SERVER, beside the speed server's client,
// is the other guard).
#define REQUIRE_ISOLATED_NETWORK()             \
    if (!::velmora::test::InIsolatedNetwork()) \
    GTEST_SKIP() << "needs the test namespace (scripts/isolated.sh)"
