// Linux: the interface the kernel would send by (rtnetlink RTM_GETROUTE, which sends nothing),
// then what sysfs and /proc/net/wireless say of it.

#include <arpa/inet.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>
#include <sstream>

#include "common/posix_handles.h"
#include "connection_kind.h"

namespace velmora::cli {
namespace {

using posix::UniqueFd;

// A route lookup is answered at once; the time-out only keeps a wedged socket from holding the
// run.
constexpr timeval kReplyTimeout{1, 0};
constexpr std::uint32_t kRequestSeq = 1;

struct Destination {
    int family = AF_UNSPEC;
    std::array<unsigned char, 16> bytes{};
    std::size_t length = 0;
};

std::optional<Destination> ParseAddress(const std::string& text) {
    Destination d;
    if (inet_pton(AF_INET, text.c_str(), d.bytes.data()) == 1) {
        d.family = AF_INET;
        d.length = 4;
        return d;
    }
    in6_addr v6{};
    if (inet_pton(AF_INET6, text.c_str(), &v6) != 1) {
        return std::nullopt;
    }
    // An IPv4 server written as ::ffff:a.b.c.d is reached over IPv4, by the IPv4 routes.
    if (IN6_IS_ADDR_V4MAPPED(&v6)) {
        d.family = AF_INET;
        d.length = 4;
        std::memcpy(d.bytes.data(), v6.s6_addr + 12, 4);
        return d;
    }
    d.family = AF_INET6;
    d.length = 16;
    std::memcpy(d.bytes.data(), v6.s6_addr, 16);
    return d;
}

// RTA_OIF among the attributes of an RTM_NEWROUTE payload (an rtmsg, then attributes).
std::optional<unsigned> OutputInterface(const char* payload, std::size_t size) {
    std::size_t at = NLMSG_ALIGN(sizeof(rtmsg));
    while (at + sizeof(rtattr) <= size) {
        rtattr attribute;
        std::memcpy(&attribute, payload + at, sizeof attribute);
        if (attribute.rta_len < sizeof attribute || at + attribute.rta_len > size) {
            break;
        }
        if (attribute.rta_type == RTA_OIF && attribute.rta_len >= RTA_LENGTH(sizeof(int))) {
            int index = 0;
            std::memcpy(&index, payload + at + RTA_LENGTH(0), sizeof index);
            return index > 0 ? std::optional<unsigned>(static_cast<unsigned>(index)) : std::nullopt;
        }
        at += RTA_ALIGN(attribute.rta_len);
    }
    return std::nullopt;
}

std::optional<unsigned> RouteInterfaceIndex(const Destination& destination) {
    UniqueFd fd(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
    if (!fd) {
        return std::nullopt;
    }
    ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &kReplyTimeout, sizeof kReplyTimeout);

    alignas(nlmsghdr) std::array<char, NLMSG_SPACE(sizeof(rtmsg)) + RTA_SPACE(16)> request{};
    nlmsghdr header{};
    header.nlmsg_len =
        static_cast<std::uint32_t>(NLMSG_SPACE(sizeof(rtmsg)) + RTA_LENGTH(destination.length));
    header.nlmsg_type = RTM_GETROUTE;
    header.nlmsg_flags = NLM_F_REQUEST;
    header.nlmsg_seq = kRequestSeq;
    rtmsg route{};
    route.rtm_family = static_cast<unsigned char>(destination.family);
    route.rtm_dst_len = static_cast<unsigned char>(destination.length * 8);
    rtattr attribute{};
    attribute.rta_type = RTA_DST;
    attribute.rta_len = static_cast<unsigned short>(RTA_LENGTH(destination.length));
    char* out = request.data();
    std::memcpy(out, &header, sizeof header);
    std::memcpy(out + NLMSG_HDRLEN, &route, sizeof route);
    std::memcpy(out + NLMSG_SPACE(sizeof(rtmsg)), &attribute, sizeof attribute);
    std::memcpy(out + NLMSG_SPACE(sizeof(rtmsg)) + RTA_LENGTH(0), destination.bytes.data(),
                destination.length);

    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (::sendto(fd.get(), out, header.nlmsg_len, 0, reinterpret_cast<sockaddr*>(&kernel),
                 sizeof kernel) < 0) {
        return std::nullopt;
    }
    alignas(nlmsghdr) std::array<char, 8192> reply;
    ssize_t received = -1;
    do {
        received = ::recv(fd.get(), reply.data(), reply.size(), 0);
    } while (received < 0 && errno == EINTR);
    if (received <= 0) {
        return std::nullopt;
    }
    const auto size = static_cast<std::size_t>(received);
    std::size_t offset = 0;
    while (offset + sizeof(nlmsghdr) <= size) {
        nlmsghdr message;
        std::memcpy(&message, reply.data() + offset, sizeof message);
        if (message.nlmsg_len < sizeof message || offset + message.nlmsg_len > size) {
            break;
        }
        if (message.nlmsg_seq == kRequestSeq) {
            // No route (ENETUNREACH and the like) comes back as an error.
            if (message.nlmsg_type == NLMSG_ERROR || message.nlmsg_type == NLMSG_DONE) {
                return std::nullopt;
            }
            if (message.nlmsg_type == RTM_NEWROUTE) {
                return OutputInterface(reply.data() + offset + NLMSG_HDRLEN,
                                       message.nlmsg_len - NLMSG_HDRLEN);
            }
        }
        offset += NLMSG_ALIGN(message.nlmsg_len);
    }
    return std::nullopt;
}

std::optional<std::string> ReadFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return std::nullopt;
    }
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

std::string FirstLine(const std::string& text) {
    return text.substr(0, text.find('\n'));
}

bool Exists(const std::string& path) {
    return ::access(path.c_str(), F_OK) == 0;
}

std::optional<int> ParseInt(const std::string& text) {
    int value = 0;
    const auto parsed = std::from_chars(text.data(), text.data() + text.size(), value);
    return parsed.ec == std::errc() ? std::optional<int>(value) : std::nullopt;
}

// The kernel's own answer for the link type, seen from this process's network namespace.
int LinkTypeByIoctl(const std::string& name) {
    UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    ifreq request{};
    if (!fd || name.size() >= sizeof request.ifr_name) {
        return -1;
    }
    std::memcpy(request.ifr_name, name.c_str(), name.size());
    if (::ioctl(fd.get(), SIOCGIFHWADDR, &request) != 0) {
        return -1;
    }
    return request.ifr_hwaddr.sa_family;
}

// sysfs shows the interfaces of the network namespace it was mounted in, which need not be this
// process's (a program started by `unshare -n` sees the host's): its facts count only when the
// interface there has the same index. Otherwise the link type is asked of the kernel directly.
void ReadSysfsFacts(unsigned index, AdapterFacts& facts) {
    const std::string base = "/sys/class/net/" + facts.name + "/";
    const std::optional<std::string> ifindex = ReadFile(base + "ifindex");
    if (!ifindex || ParseInt(FirstLine(*ifindex)) != static_cast<int>(index)) {
        facts.linkType = LinkTypeByIoctl(facts.name);
        return;
    }
    if (const std::optional<std::string> type = ReadFile(base + "type")) {
        facts.linkType = ParseInt(FirstLine(*type)).value_or(-1);
    }
    if (const std::optional<std::string> uevent = ReadFile(base + "uevent")) {
        std::istringstream lines(*uevent);
        for (std::string line; std::getline(lines, line);) {
            if (line.rfind("DEVTYPE=", 0) == 0) {
                facts.devType = line.substr(8);
            }
        }
    }
    facts.wireless = Exists(base + "wireless") || Exists(base + "phy80211");
    facts.tun = Exists(base + "tun_flags");
    std::array<char, 256> target{};
    const ssize_t length =
        ::readlink((base + "device/driver").c_str(), target.data(), target.size() - 1);
    if (length > 0) {
        const std::string path(target.data(), static_cast<std::size_t>(length));
        facts.driver = path.substr(path.rfind('/') + 1);
    }
}

}  // namespace

std::optional<AdapterFacts> QueryRouteAdapter(const std::string& address) {
    try {
        const std::optional<Destination> destination = ParseAddress(address);
        if (!destination) {
            return std::nullopt;
        }
        const std::optional<unsigned> index = RouteInterfaceIndex(*destination);
        std::array<char, IF_NAMESIZE> name{};
        if (!index || ::if_indextoname(*index, name.data()) == nullptr) {
            return std::nullopt;
        }
        AdapterFacts facts;
        facts.name = name.data();
        ReadSysfsFacts(*index, facts);
        // /proc/net is this namespace's own, and lists only wireless interfaces. Their link rate
        // would take nl80211 (a generic netlink family and a station dump); the console goes
        // without it on Linux.
        if (const std::optional<std::string> wireless = ReadFile("/proc/net/wireless")) {
            facts.signalPercent = WirelessSignalPercent(*wireless, facts.name);
            facts.wireless = facts.wireless || facts.signalPercent.has_value();
        }
        return facts;
    } catch (...) {
        return std::nullopt;
    }
}

}  // namespace velmora::cli
