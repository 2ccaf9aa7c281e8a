#pragma once

#include <string>

#include "protocols/http_session.h"
#include "servers/server_catalog.h"

namespace velmora::modulos::medicao {

// Cloudflare's trace document on the speed-test host.
inline protocolos::HttpEndpoint DefaultEdgeTrace() {
    return {kCloudflareSpeedHost, 443, true};
}

// "colo / loc" of the Cloudflare edge that serves the user ("GRU / BR"), whichever of the two
// the trace has, or "Cloudflare CDN", cleaned as every server text. Never fails; gives up at the
// endpoint's deadline or on a stop request.
std::wstring FetchEdgeLocation(const protocolos::HttpEndpoint& trace = DefaultEdgeTrace(),
                               const std::stop_token& stop = {});

}  // namespace velmora::modulos::medicao
