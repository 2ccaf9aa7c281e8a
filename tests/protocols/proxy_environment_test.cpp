#include "protocols/proxy_environment.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

namespace velmora::modulos::medicao::protocolos {
namespace {

// Worked cases from libcurl's documentation of its environment variables.
TEST(ProxyFromEnvironment, FollowsLibcurlsRules) {
    using Env = std::map<std::string, std::string>;
    const struct {
        Env env;
        const char* scheme;
        const char* host;
        bool proxied;
    } cases[] = {
        {{}, "https", "speed.cloudflare.com", false},
        {{{"https_proxy", "http://p:3128"}}, "https", "speed.cloudflare.com", true},
        {{{"HTTPS_PROXY", "http://p:3128"}}, "https", "speed.cloudflare.com", true},
        {{{"https_proxy", "http://p:3128"}}, "http", "ip-api.com", false},
        {{{"http_proxy", "http://p:3128"}}, "http", "ip-api.com", true},
        {{{"HTTP_PROXY", "http://p:3128"}}, "http", "ip-api.com", false},  // never read
        {{{"ALL_PROXY", "socks5://p"}}, "http", "ip-api.com", true},
        {{{"all_proxy", "http://p"}}, "https", "x.example", true},
        {{{"https_proxy", ""}}, "https", "x.example", false},
        {{{"all_proxy", "p"}, {"no_proxy", "*"}}, "https", "x.example", false},
        {{{"all_proxy", "p"}, {"NO_PROXY", ".example.com"}}, "https", "www.example.com", false},
        {{{"all_proxy", "p"}, {"no_proxy", "example.com"}}, "https", "home.example.com", false},
        {{{"all_proxy", "p"}, {"no_proxy", "example.com"}}, "https", "EXAMPLE.com", false},
        {{{"all_proxy", "p"}, {"no_proxy", "example.com"}}, "https", "nonexample.com", true},
        {{{"all_proxy", "p"}, {"no_proxy", "a.org, example.com "}}, "https", "example.com", false},
        {{{"all_proxy", "p"}, {"no_proxy", "10.0.0.0/8"}}, "http", "10.213.4.130", false},
        {{{"all_proxy", "p"}, {"no_proxy", "10.0.0.0/8"}}, "http", "11.0.0.1", true},
        {{{"all_proxy", "p"}, {"no_proxy", "10.213.4.130"}}, "http", "10.213.4.130", false},
    };
    for (const auto& c : cases) {
        const bool proxied = ProxyFromEnvironment(c.scheme, c.host, [&](const char* name) {
            const auto found = c.env.find(name);
            return found == c.env.end() ? nullptr : found->second.c_str();
        });
        EXPECT_EQ(proxied, c.proxied) << c.scheme << "://" << c.host;
    }
}

}  // namespace
}  // namespace velmora::modulos::medicao::protocolos
