#include "connection_kind.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>

#include "common/text.h"

namespace velmora::cli {
namespace {

// Linux link types (linux/if_arp.h), as /sys/class/net/IF/type gives them.
constexpr int kArphrdEther = 1;
constexpr int kArphrdRawIp = 519;
constexpr int kArphrdTunnel = 768;
constexpr int kArphrdTunnel6 = 769;
constexpr int kArphrdLoopback = 772;
constexpr int kArphrdSit = 776;
constexpr int kArphrdIpGre = 778;
constexpr int kArphrdIp6Gre = 823;
constexpr int kArphrdNone = 0xFFFE;

// IANA ifType values, as IP_ADAPTER_ADDRESSES.IfType gives them.
constexpr unsigned long kIfTypeEthernet = 6;
constexpr unsigned long kIfTypePpp = 23;
constexpr unsigned long kIfTypeLoopback = 24;
constexpr unsigned long kIfTypePropVirtual = 53;
constexpr unsigned long kIfTypeIeee80211 = 71;
constexpr unsigned long kIfTypeTunnel = 131;
constexpr unsigned long kIfTypeWwanPp = 243;
constexpr unsigned long kIfTypeWwanPp2 = 244;

// Words in the descriptions that VPN clients give their virtual adapters on Windows. Many of
// those adapters say nothing else: TAP-Windows and most SSL VPNs present an emulated Ethernet
// card (IfType 6), so without their names a run through them would be called "cabo".
constexpr std::array<std::string_view, 20> kVpnDescriptionWords = {
    "vpn",      "wireguard",    "wintun",    "tap-windows",   "tap-win32",
    "openvpn",  "anyconnect",   "forti",     "globalprotect", "pangp",
    "juniper",  "pulse secure", "sonicwall", "check point",   "zscaler",
    "nordlynx", "tailscale",    "zerotier",  "hamachi",       "softether"};

// The protocols a Windows dial-up (PPP) entry names when it is a VPN of the system's own client.
constexpr std::array<std::string_view, 4> kPppVpnWords = {"l2tp", "pptp", "sstp", "ikev2"};

// Drivers of cellular modems that may leave DEVTYPE unset on older kernels.
constexpr std::array<std::string_view, 3> kCellularDrivers = {"qmi_wwan", "cdc_mbim", "mhi_net"};

std::string AsciiLower(std::string_view text) {
    std::string lower(text);
    for (char& c : lower) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return lower;
}

template <std::size_t N>
bool ContainsAny(std::string_view text, const std::array<std::string_view, N>& words) {
    return std::any_of(words.begin(), words.end(),
                       [&](std::string_view word) { return text.find(word) != text.npos; });
}

template <std::size_t N>
bool IsOneOf(std::string_view text, const std::array<std::string_view, N>& words) {
    return std::find(words.begin(), words.end(), text) != words.end();
}

// "144 Mbps", "866.7 Mbps": a tenth is as fine as either figure is known.
std::string Mbps(double value) {
    std::string text = WideToUtf8(FormatFixed(value, 1));
    if (text.size() > 2 && text.compare(text.size() - 2, 2, ".0") == 0) {
        text.resize(text.size() - 2);
    }
    return text + " Mbps";
}

// Longest adapter name shown: Windows lets a user name an adapter with up to 256 characters.
constexpr std::size_t kMaxShownNameChars = 64;

// Wi-Fi delivers about half its link rate as throughput (the medium is shared and half duplex,
// and every frame is acknowledged), so below twice the download the link is the ceiling.
constexpr double kWiFiLinkHeadroom = 2.0;

constexpr char kMeasureByCable[] =
    " Para medir a linha, ligue o computador ao roteador por cabo e repita o teste.";

}  // namespace

ConnectionKind ClassifyAdapter(const AdapterFacts& facts) {
    const std::string description = AsciiLower(facts.description);
    const std::string devType = AsciiLower(facts.devType);

    // A VPN first, whatever else the adapter says of itself: tun/tap devices (OpenVPN and most
    // userspace VPNs) and WireGuard on Linux, a VPN client's adapter by its name or any tunnel
    // the system itself reports on Windows. A tap device or a TAP-Windows card is Ethernet by
    // type, so its type alone would say "cabo".
    if (facts.tun || devType == "wireguard" || ContainsAny(description, kVpnDescriptionWords) ||
        facts.tunnelType != 0 || facts.ifType == kIfTypeTunnel) {
        return ConnectionKind::Vpn;
    }
    // Cellular before the link type: a modem in raw-IP mode has no link-layer header, like a
    // tunnel (qmi_wwan sets ARPHRD_NONE), but says DEVTYPE=wwan; PCIe modems use ARPHRD_RAWIP.
    if (devType == "wwan" || facts.linkType == kArphrdRawIp ||
        IsOneOf(facts.driver, kCellularDrivers) || facts.ifType == kIfTypeWwanPp ||
        facts.ifType == kIfTypeWwanPp2) {
        return ConnectionKind::Cellular;
    }
    // Linux marks every cfg80211 or wireless-extensions device; Windows gives native Wi-Fi its
    // own IfType.
    if (facts.wireless || devType == "wlan" || facts.ifType == kIfTypeIeee80211) {
        return ConnectionKind::WiFi;
    }
    // No link-layer header at all (tun in tun mode, xfrm, WireGuard on kernels without
    // DEVTYPE) or one of the kernel's IP-in-IP/GRE tunnels: a tunnel. On Windows a route to the
    // internet that leaves by a proprietary virtual adapter goes into some software's tunnel.
    switch (facts.linkType) {
        case kArphrdNone:
        case kArphrdTunnel:
        case kArphrdTunnel6:
        case kArphrdSit:
        case kArphrdIpGre:
        case kArphrdIp6Gre:
            return ConnectionKind::Vpn;
        default:
            break;
    }
    if (facts.ifType == kIfTypePropVirtual) {
        return ConnectionKind::Vpn;
    }
    // Loopback reaches no operator: a server on this machine says nothing of any connection.
    if (facts.linkType == kArphrdLoopback || facts.ifType == kIfTypeLoopback) {
        return ConnectionKind::Unknown;
    }
    // Ethernet-typed with none of the marks above: a wired card, or a veth/bridge/VLAN on top of
    // one, which is as good as the cable for the figure.
    if (facts.linkType == kArphrdEther || facts.ifType == kIfTypeEthernet) {
        return ConnectionKind::Cable;
    }
    // PPP on Windows is the system's dial-up: PPPoE to a bridged modem (wired to the operator)
    // or its own VPN client, when the entry's name says which. PPP on Linux (ARPHRD_PPP) could
    // be either or a 3G stick, and sysfs does not tell.
    if (facts.ifType == kIfTypePpp) {
        if (description.find("pppoe") != description.npos) {
            return ConnectionKind::Cable;
        }
        if (ContainsAny(description, kPppVpnWords)) {
            return ConnectionKind::Vpn;
        }
    }
    // PPP without such a name, and every other type, is not known for sure.
    return ConnectionKind::Unknown;
}

RunConnection DescribeConnection(const AdapterFacts& facts) {
    RunConnection connection;
    connection.interfaceName =
        WideToUtf8(CleanServerText(Utf8ToWide(facts.name), kMaxShownNameChars));
    connection.kind = ClassifyAdapter(facts);
    if (connection.kind != ConnectionKind::WiFi) {
        return connection;
    }
    if (facts.signalPercent && *facts.signalPercent >= 0 && *facts.signalPercent <= 100) {
        connection.signalPercent = facts.signalPercent;
    }
    if (facts.linkMbps && std::isfinite(*facts.linkMbps) && *facts.linkMbps > 0.0) {
        connection.linkMbps = facts.linkMbps;
    }
    return connection;
}

const char* ConnectionKindName(ConnectionKind kind) {
    switch (kind) {
        case ConnectionKind::Cable:
            return "cabo";
        case ConnectionKind::WiFi:
            return "Wi-Fi";
        case ConnectionKind::Cellular:
            return "rede celular";
        case ConnectionKind::Vpn:
            return "VPN/t\xC3\xBAnel";
        case ConnectionKind::Unknown:
            break;
    }
    return "desconhecida";
}

const char* ConnectionKindId(ConnectionKind kind) {
    switch (kind) {
        case ConnectionKind::Cable:
            return "ethernet";
        case ConnectionKind::WiFi:
            return "wifi";
        case ConnectionKind::Cellular:
            return "cellular";
        case ConnectionKind::Vpn:
            return "vpn";
        case ConnectionKind::Unknown:
            break;
    }
    return "unknown";
}

std::optional<ConnectionKind> ConnectionKindFromId(std::string_view id) {
    for (const ConnectionKind kind :
         {ConnectionKind::Cable, ConnectionKind::WiFi, ConnectionKind::Cellular,
          ConnectionKind::Vpn, ConnectionKind::Unknown}) {
        if (id == ConnectionKindId(kind)) {
            return kind;
        }
    }
    return std::nullopt;
}

std::string ConnectionLine(const RunConnection& connection) {
    std::vector<std::string> details;
    if (!connection.interfaceName.empty()) {
        details.push_back(connection.interfaceName);
    }
    if (connection.signalPercent) {
        details.push_back("sinal " + std::to_string(*connection.signalPercent) + " %");
    }
    if (connection.linkMbps) {
        details.push_back(Mbps(*connection.linkMbps));
    }
    std::string line = std::string("Conex\xC3\xA3o: ") + ConnectionKindName(connection.kind);
    for (std::size_t i = 0; i < details.size(); ++i) {
        line += (i == 0 ? " (" : ", ") + details[i];
    }
    if (!details.empty()) {
        line += ")";
    }
    return line;
}

std::vector<std::string> ConnectionNotes(const RunConnection& connection, double downloadMbps) {
    const std::string where =
        connection.interfaceName.empty() ? "" : " (" + connection.interfaceName + ")";
    std::vector<std::string> notes;
    if (connection.kind == ConnectionKind::WiFi) {
        if (connection.linkMbps && downloadMbps > 0.0 && std::isfinite(downloadMbps) &&
            *connection.linkMbps < kWiFiLinkHeadroom * downloadMbps) {
            notes.push_back("O teste passou por Wi-Fi" + where + " com taxa de enlace de " +
                            Mbps(*connection.linkMbps) +
                            ", menos que o dobro do download medido (" + Mbps(downloadMbps) +
                            "): o valor \xC3\xA9 quase certamente o limite do Wi-Fi, n\xC3\xA3o "
                            "da operadora." +
                            kMeasureByCable);
        } else {
            notes.push_back("O teste passou por Wi-Fi" + where +
                            ": o valor pode ser o limite do Wi-Fi, n\xC3\xA3o da operadora." +
                            kMeasureByCable);
        }
    } else if (connection.kind == ConnectionKind::Vpn) {
        notes.push_back("O teste passou por uma VPN ou t\xC3\xBAnel" + where +
                        ": o valor pode ser o da VPN, n\xC3\xA3o o da operadora. Para medir a "
                        "linha, desligue a VPN e repita o teste.");
    }
    return notes;
}

std::optional<int> WirelessSignalPercent(std::string_view procNetWireless,
                                         std::string_view interfaceName) {
    // " wlan0: 0000   54.  -56.  -256        0 ...": name, status, link quality, level, noise.
    // The level is in dBm when it is below zero (wireless extensions print it so); a relative
    // level has no scale that can be compared with anything.
    if (interfaceName.empty()) {
        return std::nullopt;
    }
    std::size_t start = 0;
    while (start < procNetWireless.size()) {
        std::size_t end = procNetWireless.find('\n', start);
        if (end == procNetWireless.npos) {
            end = procNetWireless.size();
        }
        std::string_view line = procNetWireless.substr(start, end - start);
        start = end + 1;
        const std::size_t colon = line.find(':');
        if (colon == line.npos) {
            continue;
        }
        std::string_view name = line.substr(0, colon);
        name.remove_prefix(std::min(name.find_first_not_of(' '), name.size()));
        if (name != interfaceName) {
            continue;
        }
        std::string_view rest = line.substr(colon + 1);
        std::array<double, 3> fields{};  // status (hex, not used), quality, level
        for (std::size_t i = 0; i < fields.size(); ++i) {
            const std::size_t at = rest.find_first_not_of(' ');
            if (at == rest.npos) {
                return std::nullopt;
            }
            rest.remove_prefix(at);
            const char* first = rest.data();
            const char* last = rest.data() + rest.size();
            const auto parsed = std::from_chars(first, last, fields[i]);
            if (parsed.ec != std::errc() && i != 0) {
                return std::nullopt;
            }
            const std::size_t next = rest.find(' ');
            rest.remove_prefix(next == rest.npos ? rest.size() : next);
        }
        const double level = fields[2];
        // -256 is a level of 0 reported as dBm: nothing measured.
        if (!(level < 0.0) || level <= -256.0) {
            return std::nullopt;
        }
        return static_cast<int>(std::lround(std::clamp(2.0 * (level + 100.0), 0.0, 100.0)));
    }
    return std::nullopt;
}

}  // namespace velmora::cli
