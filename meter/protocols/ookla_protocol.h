#pragma once

#include <span>
#include <vector>

#include "protocols/speed_protocol.h"

namespace velmora::modulos::medicao::protocolos {

// The ports of an Ookla HTTP server, in the order they are tried.
inline constexpr std::uint16_t kOoklaPorts[] = {8080, 80, 443};

// Ookla endpoints on `ports`, in order: TLS on 443, plain HTTP on the others.
inline std::vector<SpeedEndpoint> OoklaEndpoints(std::span<const std::uint16_t> ports) {
    std::vector<SpeedEndpoint> endpoints;
    for (const std::uint16_t port : ports) {
        endpoints.push_back({port, port == 443, {}});
    }
    return endpoints;
}

// Ookla HTTP speed-test servers: each endpoint in turn until one answers.
class OoklaHttpProtocol final : public ISpeedProtocol {
  public:
    static std::vector<SpeedEndpoint> DefaultPorts() { return OoklaEndpoints(kOoklaPorts); }
    explicit OoklaHttpProtocol(std::vector<SpeedEndpoint> ports = DefaultPorts())
        : ports_(std::move(ports)) {}
    void Download(const std::wstring& host, ByteCounter& bytes,
                  std::stop_token stop) const override;
    void Upload(const std::wstring& host, std::size_t payloadBytes, ByteCounter& bytes,
                std::stop_token stop) const override;
    std::wstring Name() const override { return L"Ookla HTTP"; }

  private:
    std::vector<SpeedEndpoint> ports_;
};

}  // namespace velmora::modulos::medicao::protocolos
