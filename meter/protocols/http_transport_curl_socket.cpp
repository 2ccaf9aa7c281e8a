// What the socket under a libcurl connection tells: the TCP send counters and the route
// (address family, proxy).

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include <sys/socket.h>
#ifdef __linux__
#include <linux/tcp.h>  // the whole tcp_info: the send and retransmission byte counts
#include <netinet/in.h>
#endif

#include "protocols/http_transport_curl.h"
#include "protocols/proxy_environment.h"

namespace velmora::modulos::medicao::protocolos::curl_back_end {

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
