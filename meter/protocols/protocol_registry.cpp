#include "protocols/protocol_registry.h"

#include "protocols/cloudflare_protocol.h"
#include "protocols/ookla_protocol.h"

namespace velmora::modulos::medicao::protocolos {
namespace {

const ProtocolEntry kProtocols[] = {
    {ProtocolKind::Cloudflare, L"Cloudflare HTTPS", true,
     [] { return std::vector<SpeedEndpoint>{SpeedEndpoint{}}; },
     [](std::vector<SpeedEndpoint> endpoints) -> std::unique_ptr<ISpeedProtocol> {
         return std::make_unique<CloudflareProtocol>(endpoints.front());
     }},
    {ProtocolKind::OoklaHttp, L"Ookla HTTP", false, &OoklaHttpProtocol::DefaultPorts,
     [](std::vector<SpeedEndpoint> endpoints) -> std::unique_ptr<ISpeedProtocol> {
         return std::make_unique<OoklaHttpProtocol>(std::move(endpoints));
     }},
};

}  // namespace

std::span<const ProtocolEntry> Protocols() {
    return kProtocols;
}

const ProtocolEntry& ProtocolFor(ProtocolKind kind) {
    for (const ProtocolEntry& entry : kProtocols) {
        if (entry.kind == kind) {
            return entry;
        }
    }
    return kProtocols[0];
}

std::unique_ptr<ISpeedProtocol> MakeProtocol(ProtocolKind kind,
                                             std::vector<SpeedEndpoint> endpoints) {
    const ProtocolEntry& entry = ProtocolFor(kind);
    return entry.make(endpoints.empty() ? entry.builtInEndpoints() : std::move(endpoints));
}

}  // namespace velmora::modulos::medicao::protocolos
