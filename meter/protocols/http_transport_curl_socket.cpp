// What the socket under a libcurl connection tells: bytes still on their way, the TCP send
// counters, and the route (address family, proxy).

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include <sys/socket.h>
#ifdef __linux__
#include <linux/sockios.h>
#include <linux/tcp.h>  // the whole tcp_info: the send and retransmission byte counts
#include <netinet/in.h>
#include <sys/ioctl.h>
#endif

#include "protocols/http_transport_curl.h"
#include "protocols/proxy_environment.h"

namespace velmora::modulos::medicao::protocolos::curl_back_end {

bool Request::BytesNotReceived(std::size_t& bytes) {
#ifdef __linux__
    const std::vector<curl_socket_t>& sockets = connection->sockets;
    int queued = 0;
    if (sockets.size() != 1 || ioctl(sockets.front(), SIOCOUTQ, &queued) != 0 || queued < 0) {
        return false;
    }
    // After a loss the peer holds the segments past the gap but acknowledges none of them until
    // the retransmission fills it; its selective acknowledgements say what it holds. Without
    // them a slow link's count stalls for a second or more and then jumps.
    tcp_info info{};
    socklen_t size = sizeof info;
    std::size_t sacked = 0;
    if (getsockopt(sockets.front(), IPPROTO_TCP, TCP_INFO, &info, &size) == 0) {
        sacked = static_cast<std::size_t>(info.tcpi_sacked) * info.tcpi_snd_mss;
    }
    bytes = static_cast<std::size_t>(queued) - std::min(sacked, static_cast<std::size_t>(queued));
    return true;
#else
    bytes = 0;
    return false;
#endif
}

bool Request::SendStatistics(TcpSendStats& stats) {
#ifdef __linux__
    const std::vector<curl_socket_t>& sockets = connection->sockets;
    tcp_info info{};
    socklen_t size = sizeof info;
    if (sockets.size() != 1 ||
        getsockopt(sockets.front(), IPPROTO_TCP, TCP_INFO, &info, &size) != 0 ||
        size < offsetof(tcp_info, tcpi_bytes_retrans) + sizeof info.tcpi_bytes_retrans) {
        return false;
    }
    stats.bytesOut = info.tcpi_bytes_sent;
    stats.bytesRetrans = info.tcpi_bytes_retrans;
    stats.bytesInFlight = static_cast<std::uint64_t>(info.tcpi_unacked) * info.tcpi_snd_mss;
    return true;
#else
    (void)stats;
    return false;
#endif
}

// The peer libcurl connected to; whether that is a proxy, by libcurl's own reading of the
// environment (this libcurl does not report the proxy it used).
bool Request::Route(HttpRoute& route) noexcept {
    char* peer = nullptr;
    if (curl_easy_getinfo(connection->easy, CURLINFO_PRIMARY_IP, &peer) != CURLE_OK ||
        peer == nullptr || *peer == '\0') {
        return false;
    }
    route.family = std::strchr(peer, ':') != nullptr ? 6 : 4;
    try {
        const std::string_view scheme = std::string_view(url).substr(0, url.find(':'));
        route.viaProxy = ProxyFromEnvironment(scheme, connection->host,
                                              [](const char* name) { return std::getenv(name); });
    } catch (...) {
        route.viaProxy = false;
    }
    return true;
}

}  // namespace velmora::modulos::medicao::protocolos::curl_back_end
