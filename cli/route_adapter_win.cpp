// Windows: the interface of the best route (GetBestInterfaceEx), what IP Helper says of that
// adapter, and for Wi-Fi the current association as the WLAN service reports it.

// Winsock first: iphlpapi.h declares the address structures only after it.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>
// After windows.h, which they take for granted.
#include <iphlpapi.h>
#include <wlanapi.h>

#include <cstddef>
#include <cstring>
#include <limits>
#include <vector>

#include "common/dll_search_win.h"
#include "common/text.h"
#include "connection_kind.h"
#include "platform/socket_platform.h"

namespace velmora::cli {
namespace {

// IP Helper and the WLAN API from the system folder, loaded on first use. Neither is one of the
// KnownDLLs, so an import by name would take a copy lying beside the program first.
struct IpHelperApi {
    decltype(&::GetBestInterfaceEx) GetBestInterfaceEx = nullptr;
    decltype(&::GetAdaptersAddresses) GetAdaptersAddresses = nullptr;
    decltype(&::ConvertInterfaceLuidToGuid) ConvertInterfaceLuidToGuid = nullptr;  // optional
};

struct WlanApi {
    decltype(&::WlanOpenHandle) OpenHandle = nullptr;
    decltype(&::WlanCloseHandle) CloseHandle = nullptr;
    decltype(&::WlanQueryInterface) QueryInterface = nullptr;
    decltype(&::WlanFreeMemory) FreeMemory = nullptr;
    bool Complete() const { return OpenHandle && CloseHandle && QueryInterface && FreeMemory; }
};

template <typename Function>
void Bind(HMODULE module, const char* name, Function& function) {
    function = reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

const IpHelperApi& IpHelper() {
    static const IpHelperApi api = [] {
        IpHelperApi loaded;
        if (const HMODULE module = win32::LoadSystemDll(L"iphlpapi.dll")) {
            Bind(module, "GetBestInterfaceEx", loaded.GetBestInterfaceEx);
            Bind(module, "GetAdaptersAddresses", loaded.GetAdaptersAddresses);
            Bind(module, "ConvertInterfaceLuidToGuid", loaded.ConvertInterfaceLuidToGuid);
        }
        return loaded;
    }();
    return api;
}

const WlanApi& Wlan() {
    static const WlanApi api = [] {
        WlanApi loaded;
        if (const HMODULE module = win32::LoadSystemDll(L"wlanapi.dll")) {
            Bind(module, "WlanOpenHandle", loaded.OpenHandle);
            Bind(module, "WlanCloseHandle", loaded.CloseHandle);
            Bind(module, "WlanQueryInterface", loaded.QueryInterface);
            Bind(module, "WlanFreeMemory", loaded.FreeMemory);
        }
        return loaded;
    }();
    return api;
}

constexpr unsigned long kIfTypeIeee80211 = 71;
// The WLAN API's current version (Vista and later).
constexpr DWORD kWlanClientVersion = 2;
// GetAdaptersAddresses asks again when the adapters grew between its two calls.
constexpr int kAdapterListTries = 3;
constexpr ULONG kFirstAdapterListBytes = 16 * 1024;

std::optional<SOCKADDR_INET> ParseAddress(const std::string& text) {
    // inet_pton is Winsock's; a second start only counts up.
    static const bool started = modulos::medicao::net::StartSocketLibrary() == 0;
    if (!started) {
        return std::nullopt;
    }
    SOCKADDR_INET address{};
    if (inet_pton(AF_INET, text.c_str(), &address.Ipv4.sin_addr) == 1) {
        address.Ipv4.sin_family = AF_INET;
        return address;
    }
    in6_addr v6{};
    if (inet_pton(AF_INET6, text.c_str(), &v6) != 1) {
        return std::nullopt;
    }
    // An IPv4 server written as ::ffff:a.b.c.d is reached over IPv4, by the IPv4 routes.
    if (IN6_IS_ADDR_V4MAPPED(&v6)) {
        address.Ipv4.sin_family = AF_INET;
        std::memcpy(&address.Ipv4.sin_addr, &v6.s6_addr[12], 4);
        return address;
    }
    address.Ipv6.sin6_family = AF_INET6;
    address.Ipv6.sin6_addr = v6;
    return address;
}

// The adapter list, in ULONGLONG units because the entries need their alignment.
std::vector<ULONGLONG> AdapterList() {
    const IpHelperApi& api = IpHelper();
    ULONG bytes = kFirstAdapterListBytes;
    for (int attempt = 0; attempt < kAdapterListTries; ++attempt) {
        std::vector<ULONGLONG> buffer((bytes + sizeof(ULONGLONG) - 1) / sizeof(ULONGLONG));
        bytes = static_cast<ULONG>(buffer.size() * sizeof(ULONGLONG));
        const ULONG flags = GAA_FLAG_SKIP_UNICAST | GAA_FLAG_SKIP_ANYCAST |
                            GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER;
        const ULONG result = api.GetAdaptersAddresses(
            AF_UNSPEC, flags, nullptr, reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()),
            &bytes);
        if (result == ERROR_SUCCESS) {
            return buffer;
        }
        if (result != ERROR_BUFFER_OVERFLOW) {
            break;
        }
    }
    return {};
}

std::string Utf8(const wchar_t* text) {
    return text == nullptr ? std::string() : WideToUtf8(text);
}

// The current association of the Wi-Fi interface with this GUID: its signal quality (a
// percentage, -100 dBm to -50 dBm) and receive rate (kbps, as netsh shows it over 1000).
void ReadWlanAssociation(const GUID& interfaceGuid, AdapterFacts& facts) {
    const WlanApi& api = Wlan();
    if (!api.Complete()) {
        return;
    }
    DWORD negotiated = 0;
    HANDLE client = nullptr;
    if (api.OpenHandle(kWlanClientVersion, nullptr, &negotiated, &client) != ERROR_SUCCESS) {
        return;
    }
    DWORD size = 0;
    void* data = nullptr;
    const DWORD result =
        api.QueryInterface(client, &interfaceGuid, wlan_intf_opcode_current_connection, nullptr,
                           &size, &data, nullptr);
    if (result == ERROR_SUCCESS && data != nullptr && size >= sizeof(WLAN_CONNECTION_ATTRIBUTES)) {
        const auto* connection = static_cast<const WLAN_CONNECTION_ATTRIBUTES*>(data);
        if (connection->isState == wlan_interface_state_connected) {
            const WLAN_ASSOCIATION_ATTRIBUTES& association = connection->wlanAssociationAttributes;
            if (association.wlanSignalQuality <= 100) {
                facts.signalPercent = static_cast<int>(association.wlanSignalQuality);
            }
            if (association.ulRxRate > 0) {
                facts.linkMbps = association.ulRxRate / 1000.0;
            }
        }
    }
    if (data != nullptr) {
        api.FreeMemory(data);
    }
    api.CloseHandle(client, nullptr);
}

AdapterFacts FactsOf(const IP_ADAPTER_ADDRESSES& adapter) {
    AdapterFacts facts;
    facts.name = Utf8(adapter.FriendlyName);
    facts.description = Utf8(adapter.Description);
    facts.ifType = adapter.IfType;
    // Entries shorter than the Vista layout end before TunnelType.
    if (adapter.Length >= offsetof(IP_ADAPTER_ADDRESSES, TunnelType) + sizeof adapter.TunnelType) {
        facts.tunnelType = static_cast<unsigned long>(adapter.TunnelType);
    }
    if (facts.ifType != kIfTypeIeee80211) {
        return facts;
    }
    GUID guid{};
    const IpHelperApi& api = IpHelper();
    if (api.ConvertInterfaceLuidToGuid != nullptr &&
        api.ConvertInterfaceLuidToGuid(&adapter.Luid, &guid) == NO_ERROR) {
        ReadWlanAssociation(guid, facts);
    }
    // Without the WLAN service, the adapter's own receive speed (bits/s) is that link rate too;
    // all ones is "not known".
    const ULONG64 speed = adapter.ReceiveLinkSpeed;
    if (!facts.linkMbps && speed != 0 && speed != std::numeric_limits<ULONG64>::max()) {
        facts.linkMbps = static_cast<double>(speed) / 1e6;
    }
    return facts;
}

}  // namespace

std::optional<AdapterFacts> QueryRouteAdapter(const std::string& address) {
    try {
        const IpHelperApi& api = IpHelper();
        if (api.GetBestInterfaceEx == nullptr || api.GetAdaptersAddresses == nullptr) {
            return std::nullopt;
        }
        std::optional<SOCKADDR_INET> destination = ParseAddress(address);
        if (!destination) {
            return std::nullopt;
        }
        DWORD index = 0;
        if (api.GetBestInterfaceEx(reinterpret_cast<sockaddr*>(&*destination), &index) !=
            NO_ERROR) {
            return std::nullopt;
        }
        const std::vector<ULONGLONG> list = AdapterList();
        if (list.empty()) {
            return std::nullopt;
        }
        for (auto* adapter = reinterpret_cast<const IP_ADAPTER_ADDRESSES*>(list.data());
             adapter != nullptr; adapter = adapter->Next) {
            if (adapter->IfIndex == index || adapter->Ipv6IfIndex == index) {
                return FactsOf(*adapter);
            }
        }
        return std::nullopt;
    } catch (...) {
        return std::nullopt;
    }
}

}  // namespace velmora::cli
