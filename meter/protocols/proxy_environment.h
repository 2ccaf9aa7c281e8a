#pragma once

// Whether libcurl takes a URL through a proxy named in the environment, by its documented
// rules: <scheme>_proxy (lowercase, then uppercase, except HTTP_PROXY, which is never read),
// then all_proxy / ALL_PROXY; no_proxy / NO_PROXY lists hosts that go direct ("*" all of them,
// a name with or without a leading dot its whole domain, an IPv4 address or CIDR block).

#include <functional>
#include <string_view>

namespace velmora::modulos::medicao::protocolos {

// `variable` gives an environment variable's value, nullptr when it is not set.
using EnvironmentLookup = std::function<const char*(const char* name)>;

bool ProxyFromEnvironment(std::string_view scheme, std::string_view host,
                          const EnvironmentLookup& variable);

}  // namespace velmora::modulos::medicao::protocolos
