#include "protocols/proxy_environment.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

namespace velmora::modulos::medicao::protocolos {
namespace {

std::string Lower(std::string_view text) {
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lower;
}

std::string Upper(std::string_view text) {
    std::string upper(text);
    std::transform(upper.begin(), upper.end(), upper.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return upper;
}

// The first of the variables that is set and not empty.
std::string FirstSet(const EnvironmentLookup& variable, std::initializer_list<std::string> names) {
    for (const std::string& name : names) {
        const char* value = variable(name.c_str());
        if (value != nullptr && *value != '\0') {
            return value;
        }
    }
    return {};
}

std::optional<std::uint32_t> Ipv4(std::string_view text) {
    std::uint32_t address = 0;
    int parts = 0;
    std::size_t i = 0;
    while (parts < 4) {
        std::uint32_t part = 0;
        const std::size_t start = i;
        while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])) &&
               i - start < 3) {
            part = part * 10 + static_cast<std::uint32_t>(text[i++] - '0');
        }
        if (i == start || part > 255) {
            return std::nullopt;
        }
        address = address << 8 | part;
        if (++parts < 4 && (i >= text.size() || text[i++] != '.')) {
            return std::nullopt;
        }
    }
    return i == text.size() ? std::optional(address) : std::nullopt;
}

bool Bypassed(const std::string& host, std::string entry) {
    if (entry == "*") {
        return true;
    }
    if (const std::size_t slash = entry.find('/'); slash != std::string::npos) {
        const auto network = Ipv4(std::string_view(entry).substr(0, slash));
        const auto address = Ipv4(host);
        const int bits = std::atoi(entry.c_str() + slash + 1);
        if (!network || !address || bits < 0 || bits > 32) {
            return false;
        }
        const std::uint32_t mask = bits == 0 ? 0 : ~std::uint32_t{0} << (32 - bits);
        return (*network & mask) == (*address & mask);
    }
    if (!entry.empty() && entry.front() == '.') {
        entry.erase(0, 1);
    }
    return !entry.empty() &&
           (host == entry || (host.size() > entry.size() && host.ends_with(entry) &&
                              host[host.size() - entry.size() - 1] == '.'));
}

}  // namespace

bool ProxyFromEnvironment(std::string_view scheme, std::string_view host,
                          const EnvironmentLookup& variable) {
    const std::string lowerScheme = Lower(scheme);
    std::string proxy =
        lowerScheme == "http"
            ? FirstSet(variable, {"http_proxy"})
            : FirstSet(variable, {lowerScheme + "_proxy", Upper(scheme) + "_PROXY"});
    if (proxy.empty()) {
        proxy = FirstSet(variable, {"all_proxy", "ALL_PROXY"});
    }
    if (proxy.empty()) {
        return false;
    }
    const std::string list = FirstSet(variable, {"no_proxy", "NO_PROXY"});
    const std::string name = Lower(host);
    std::size_t start = 0;
    while (start <= list.size() && !list.empty()) {
        std::size_t end = list.find(',', start);
        if (end == std::string::npos) {
            end = list.size();
        }
        std::string entry = list.substr(start, end - start);
        entry.erase(0, entry.find_first_not_of(" \t"));
        entry.erase(entry.find_last_not_of(" \t") + 1);
        if (Bypassed(name, Lower(entry))) {
            return false;
        }
        start = end + 1;
    }
    return true;
}

}  // namespace velmora::modulos::medicao::protocolos
