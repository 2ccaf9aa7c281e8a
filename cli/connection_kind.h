#pragma once

// The connection a run went over: the adapter the route to the server leaves by, and its kind.
// The usual reason a home measurement comes out low is a run over Wi-Fi or through a VPN, so the
// console says which it was. The kind is decided from the facts the system gives of the adapter
// alone, so that it can be checked on facts recorded from real machines; the query that gathers
// them is kept thin.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velmora::cli {

enum class ConnectionKind { Cable, WiFi, Cellular, Vpn, Unknown };

// What the system says of the adapter a route leaves by (recorded literally in tests).
struct AdapterFacts {
    std::string name;  // Linux: "eth0"; Windows: the adapter's friendly name (UTF-8)
    // Linux (sysfs)
    int linkType = -1;    // /sys/class/net/IF/type (ARPHRD_*); -1 unknown
    std::string devType;  // DEVTYPE= in /sys/class/net/IF/uevent ("wlan", "wwan", "wireguard", ...)
    bool wireless = false;  // /sys/class/net/IF/wireless or /phy80211 exists
    bool tun = false;       // /sys/class/net/IF/tun_flags exists
    std::string driver;     // basename of /sys/class/net/IF/device/driver, empty when none
    // Windows (IP_ADAPTER_ADDRESSES)
    unsigned long ifType = 0;  // IfType (IANA ifType); 0 unknown
    unsigned long tunnelType = 0;
    std::string description;  // Description (UTF-8)
    // Wi-Fi, where the system reports them
    std::optional<int> signalPercent;  // 0..100
    std::optional<double> linkMbps;    // the current link rate
};

struct RunConnection {
    std::string interfaceName;  // empty when unknown
    ConnectionKind kind = ConnectionKind::Unknown;
    std::optional<int> signalPercent;
    std::optional<double> linkMbps;
};

ConnectionKind ClassifyAdapter(const AdapterFacts& facts);

// The kind, the name made safe to print, and the Wi-Fi figures only for Wi-Fi and only when they
// are in range.
RunConnection DescribeConnection(const AdapterFacts& facts);

// Shown (pt-BR): "cabo", "Wi-Fi", "rede celular", "VPN/túnel", "desconhecida".
const char* ConnectionKindName(ConnectionKind kind);

// Stable machine tokens for JSON logs and metric labels: "ethernet", "wifi", "cellular", "vpn",
// "unknown", and back (nullopt for anything else).
const char* ConnectionKindId(ConnectionKind kind);
std::optional<ConnectionKind> ConnectionKindFromId(std::string_view id);

// One console line describing it, e.g. "Conexão: Wi-Fi (wlan0, sinal 72 %, 144 Mbps)" /
// "Conexão: cabo (eth0)" / "Conexão: desconhecida".
std::string ConnectionLine(const RunConnection& connection);

// The notes (pt-BR, without the "Nota: " prefix) when the run went over Wi-Fi — a stronger one in
// place of the plain one when the Wi-Fi link rate is below twice the measured download — or over
// a VPN/tunnel: the figure may then be the Wi-Fi's or the VPN's, not the operator's. Empty
// otherwise.
std::vector<std::string> ConnectionNotes(const RunConnection& connection, double downloadMbps);

// The adapter the route to `address` (numeric IPv4 or IPv6 text) leaves by; nullopt when the
// system does not say (no route, no such interface, bad address). Never throws.
std::optional<AdapterFacts> QueryRouteAdapter(const std::string& address);

// Linux: the signal of `interfaceName` in the text of /proc/net/wireless, as a percentage on the
// scale Windows uses (-100 dBm is 0 %, -50 dBm is 100 %); nullopt when it is not listed or its
// level is not in dBm.
std::optional<int> WirelessSignalPercent(std::string_view procNetWireless,
                                         std::string_view interfaceName);

}  // namespace velmora::cli
