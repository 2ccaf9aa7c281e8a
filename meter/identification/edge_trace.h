#pragma once

#include <string>
#include <string_view>

#include "protocols/cloudflare_protocol.h"
#include "protocols/http_session.h"

namespace velmora::modulos::medicao {

// Cloudflare's trace document on the speed-test host.
inline protocolos::HttpEndpoint DefaultEdgeTrace() {
    return {protocolos::kCloudflareSpeedHost, 443, true};
}

inline constexpr wchar_t kGenericEdgeLocation[] = L"Cloudflare CDN";

// "colo / loc" of the Cloudflare edge that serves the user ("GRU / BR"), whichever of the two
// the trace has (keys exact, lines trimmed, a later line wins), or "Cloudflare CDN"; cleaned
// as every server text.
std::wstring EdgeLocationFromTrace(std::string_view body);

// The edge's location from its trace document. Never fails; gives up at the endpoint's
// deadline or on a stop request.
std::wstring FetchEdgeLocation(const protocolos::HttpEndpoint& trace = DefaultEdgeTrace(),
                               const std::stop_token& stop = {});

}  // namespace velmora::modulos::medicao
