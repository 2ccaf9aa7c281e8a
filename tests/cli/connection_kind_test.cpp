#include "connection_kind.h"

#include <gtest/gtest.h>

#include <cmath>

#ifndef _WIN32
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#endif

namespace velmora::cli {
namespace {

AdapterFacts Linux(const char* name, int type, const char* devType = "", bool wireless = false,
                   bool tun = false, const char* driver = "") {
    AdapterFacts facts;
    facts.name = name;
    facts.linkType = type;
    facts.devType = devType;
    facts.wireless = wireless;
    facts.tun = tun;
    facts.driver = driver;
    return facts;
}

AdapterFacts Windows(const char* name, unsigned long ifType, const char* description,
                     unsigned long tunnelType = 0) {
    AdapterFacts facts;
    facts.name = name;
    facts.ifType = ifType;
    facts.description = description;
    facts.tunnelType = tunnelType;
    return facts;
}

using K = ConnectionKind;

TEST(ConnectionKind, ClassifiesRecordedAdapters) {
    const struct {
        AdapterFacts facts;
        ConnectionKind kind;
    } cases[] = {
        // Linux, as sysfs gives them.
        {Linux("eth0", 1, "", false, false, "e1000e"), K::Cable},
        {Linux("veth1a2b", 1), K::Cable},
        {Linux("br0", 1, "bridge"), K::Cable},
        {Linux("wlan0", 1, "wlan", true, false, "iwlwifi"), K::WiFi},
        {Linux("wlp3s0", 1, "", true, false, "ath10k_pci"), K::WiFi},
        {Linux("wwan0", 0xFFFE, "wwan", false, false, "qmi_wwan"), K::Cellular},
        {Linux("mhi_hwip0", 519), K::Cellular},
        {Linux("tun0", 0xFFFE, "", false, true), K::Vpn},
        {Linux("tap0", 1, "", false, true), K::Vpn},
        {Linux("wg0", 0xFFFE, "wireguard"), K::Vpn},
        {Linux("gre1", 778), K::Vpn},
        {Linux("lo", 772), K::Unknown},
        {Linux("ppp0", 512), K::Unknown},
        {Linux("", -1), K::Unknown},
        // Windows, as IP_ADAPTER_ADDRESSES gives them.
        {Windows("Ethernet", 6, "Intel(R) Ethernet Connection (7) I219-V"), K::Cable},
        {Windows("Wi-Fi", 71, "Intel(R) Wi-Fi 6 AX201 160MHz"), K::WiFi},
        {Windows("Celular", 243, "Qualcomm Snapdragon X55 5G"), K::Cellular},
        {Windows("Celular 2", 244, "Generic Mobile Broadband Adapter"), K::Cellular},
        {Windows("OpenVPN", 6, "TAP-Windows Adapter V9"), K::Vpn},
        {Windows("wg-casa", 53, "WireGuard Tunnel"), K::Vpn},
        {Windows("Ethernet 3", 6, "Cisco AnyConnect Secure Mobility Client Virtual Miniport"),
         K::Vpn},
        {Windows("Ethernet 4", 6, "Fortinet SSL VPN Virtual Ethernet Adapter"), K::Vpn},
        {Windows("Ethernet 5", 53, "Some Vendor Virtual Adapter"), K::Vpn},
        {Windows("Teredo", 131, "Microsoft Teredo Tunneling Adapter", 14), K::Vpn},
        {Windows("Banda larga", 23, "WAN Miniport (PPPOE)"), K::Cable},
        {Windows("Trabalho", 23, "WAN Miniport (IKEv2)"), K::Vpn},
        {Windows("Discada", 23, "Discada"), K::Unknown},
        {Windows("Loopback Pseudo-Interface 1", 24, "Software Loopback Interface 1"), K::Unknown},
        {Windows("Outro", 1, "Other"), K::Unknown},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ClassifyAdapter(c.facts), c.kind) << c.facts.name << " / " << c.facts.description;
    }
}

TEST(ConnectionKind, LineShowsTheWiFiFiguresOnlyForWiFiAndInRange) {
    AdapterFacts wlan = Linux("wlan0", 1, "wlan", true);
    wlan.signalPercent = 72;
    wlan.linkMbps = 144.0;
    AdapterFacts badSignal = Windows("Wi-Fi", 71, "Intel(R) Wi-Fi 6 AX201");
    badSignal.signalPercent = 130;
    badSignal.linkMbps = 866.7;
    AdapterFacts cable = Linux("eth0", 1);
    cable.signalPercent = 50;
    cable.linkMbps = 1000.0;
    AdapterFacts noRate = Linux("wlan1", 1, "wlan", true);
    noRate.linkMbps = std::nan("");
    const struct {
        AdapterFacts facts;
        const char* line;
    } cases[] = {
        {wlan, "Conex\xC3\xA3o: Wi-Fi (wlan0, sinal 72 %, 144 Mbps)"},
        {badSignal, "Conex\xC3\xA3o: Wi-Fi (Wi-Fi, 866.7 Mbps)"},
        {cable, "Conex\xC3\xA3o: cabo (eth0)"},
        {noRate, "Conex\xC3\xA3o: Wi-Fi (wlan1)"},
        {Windows("wg0", 53, "WireGuard Tunnel"), "Conex\xC3\xA3o: VPN/t\xC3\xBAnel (wg0)"},
        {Windows("Rede\nfalsa\x1b[2J", 6, ""), "Conex\xC3\xA3o: cabo (Rede falsa[2J)"},
        {AdapterFacts{}, "Conex\xC3\xA3o: desconhecida"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ConnectionLine(DescribeConnection(c.facts)), c.line);
    }
}

TEST(ConnectionKind, NotesAWiFiOrVpnRunAndAWiFiLinkBelowTwiceTheDownload) {
    const std::optional<double> none;
    enum Note { kNone, kPlainWiFi, kStrongWiFi, kVpn };
    const struct {
        ConnectionKind kind;
        std::optional<double> link;
        double download;
        Note note;
    } cases[] = {
        {K::Cable, none, 90, kNone},
        {K::Cellular, none, 90, kNone},
        {K::Unknown, none, 90, kNone},
        {K::WiFi, none, 90, kPlainWiFi},
        {K::WiFi, 300, 90, kPlainWiFi},
        {K::WiFi, 180, 90, kPlainWiFi},  // exactly twice: not below
        {K::WiFi, 144, 90, kStrongWiFi},
        {K::WiFi, 144, 0, kPlainWiFi},  // nothing measured
        {K::WiFi, 144, std::nan(""), kPlainWiFi},
        {K::Vpn, none, 90, kVpn},
    };
    for (const auto& c : cases) {
        const RunConnection connection{"if0", c.kind, std::nullopt, c.link};
        const std::vector<std::string> notes = ConnectionNotes(connection, c.download);
        ASSERT_EQ(notes.size(), c.note == kNone ? 0u : 1u) << ConnectionKindId(c.kind);
        if (c.note == kNone) {
            continue;
        }
        const std::string& note = notes[0];
        EXPECT_NE(note.find("(if0)"), note.npos) << note;
        EXPECT_EQ(note.find("Wi-Fi") != note.npos, c.note != kVpn) << note;
        EXPECT_EQ(note.find("VPN") != note.npos, c.note == kVpn) << note;
        EXPECT_EQ(note.find("quase certamente") != note.npos, c.note == kStrongWiFi) << note;
        if (c.note == kStrongWiFi) {
            EXPECT_NE(note.find("144 Mbps"), note.npos) << note;
            EXPECT_NE(note.find("90 Mbps"), note.npos) << note;
        }
    }
}

TEST(ConnectionKind, IdsGoBackToTheirKindAndNothingElseIsOne) {
    const ConnectionKind kinds[] = {K::Cable, K::WiFi, K::Cellular, K::Vpn, K::Unknown};
    std::vector<std::string> seen;
    for (const ConnectionKind kind : kinds) {
        EXPECT_EQ(ConnectionKindFromId(ConnectionKindId(kind)), kind) << ConnectionKindId(kind);
        seen.emplace_back(ConnectionKindId(kind));
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"ethernet", "wifi", "cellular", "vpn", "unknown"}));
    for (const char* other : {"", "cabo", "Ethernet", "wifi ", "VPN"}) {
        EXPECT_FALSE(ConnectionKindFromId(other)) << other;
    }
}

TEST(ConnectionKind, SignalFromProcNetWirelessOnTheDbmScale) {
    const std::string text =
        "Inter-| sta-|   Quality        |   Discarded packets               | Missed | WE\n"
        " face | tus | link level noise |  nwid  crypt   frag  retry   misc | beacon | 22\n"
        " wlan0: 0000   54.  -56.  -256        0      0      0      0     42        0\n"
        "wlp3s0: 0000   70.  -40.  -256        0      0      0      0      0        0\n"
        " wlan2: 0000    5.  -105.  -256        0      0      0      0      0        0\n"
        " wlan1: 0000    0   -256   -256        0      0      0      0      0        0\n"
        " wlan3: 0000   60    80     0          0      0      0      0      0        0";
    const struct {
        const char* name;
        std::optional<int> percent;
    } cases[] = {
        {"wlan0", 88},           {"wlp3s0", 100},         {"wlan2", 0},
        {"wlan1", std::nullopt}, {"wlan3", std::nullopt},  // a relative level, not dBm
        {"wlan", std::nullopt},  {"eth0", std::nullopt},  {"", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(WirelessSignalPercent(text, c.name), c.percent) << c.name;
    }
}

TEST(ConnectionKind, RouteQueryRefusesWhatIsNotANumericAddress) {
    for (const char* bad :
         {"", "localhost", "1.2.3", "256.1.1.1", "::ffff:zz", "1.2.3.4; ls", "fe80::1%eth0 x"}) {
        EXPECT_FALSE(QueryRouteAdapter(bad)) << bad;
    }
    // Loopback reaches no operator, whatever the system calls it.
    const std::optional<AdapterFacts> loopback = QueryRouteAdapter("127.0.0.1");
#ifndef _WIN32
    ASSERT_TRUE(loopback);
#endif
    if (loopback) {
        EXPECT_EQ(ClassifyAdapter(*loopback), K::Unknown) << loopback->name;
    }
}

#ifndef _WIN32
// In a network namespace of a child process of its own, a veth and a tun device with addresses
// of the documentation ranges (no packet is sent: the kernel is only asked for the route), asked
// first with sysfs still showing another namespace and then with sysfs mounted for this one.
constexpr int kCannotIsolate = 77;

std::string RoutesInOwnNamespace() {
    if (::unshare(CLONE_NEWNET | CLONE_NEWNS) != 0 ||
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        std::_Exit(kCannotIsolate);
    }
    const char* setup =
        "{ ip link set lo up && ip link add vc0 type veth peer name vc1 && ip link set vc0 up &&"
        " ip link set vc1 up && ip addr add 192.0.2.1/24 dev vc0 &&"
        " ip -6 addr add 2001:db8:1::1/64 dev vc0 nodad && ip tuntap add dev vt0 mode tun &&"
        " ip link set vt0 up && ip addr add 198.51.100.1/24 dev vt0; } >/dev/null 2>&1";
    if (std::system(setup) != 0) {
        std::_Exit(kCannotIsolate);
    }
    std::string out;
    for (const bool ownSysfs : {false, true}) {
        if (ownSysfs && ::mount("sysfs", "/sys", "sysfs", 0, nullptr) != 0) {
            return out + "no sysfs\n";
        }
        for (const char* address :
             {"192.0.2.9", "2001:db8:1::9", "::ffff:198.51.100.9", "203.0.113.9"}) {
            const std::optional<AdapterFacts> facts = QueryRouteAdapter(address);
            out += facts ? facts->name + " " + ConnectionKindId(ClassifyAdapter(*facts)) +
                               (facts->tun ? " tun" : "")
                         : "none";
            out += "\n";
        }
    }
    return out;
}

TEST(ConnectionKind, RouteQueryTellsAVethFromATunInItsOwnNamespace) {
    if (::geteuid() != 0 || ::access("/dev/net/tun", F_OK) != 0) {
        GTEST_SKIP() << "needs root and /dev/net/tun to create interfaces";
    }
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(fds[0]);
        const std::string out = RoutesInOwnNamespace();
        const bool written =
            ::write(fds[1], out.data(), out.size()) == static_cast<ssize_t>(out.size());
        std::_Exit(written ? 0 : 1);
    }
    ::close(fds[1]);
    std::string out;
    char buffer[512];
    for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;) {
        out.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fds[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == kCannotIsolate) {
        GTEST_SKIP() << "could not create a network namespace with a veth and a tun device";
    }
    ASSERT_EQ(WEXITSTATUS(status), 0);
    // Through another namespace's sysfs only the link type is known, and it is enough.
    EXPECT_EQ(out,
              "vc0 ethernet\nvc0 ethernet\nvt0 vpn\nnone\n"
              "vc0 ethernet\nvc0 ethernet\nvt0 vpn tun\nnone\n");
}
#endif

}  // namespace
}  // namespace velmora::cli
