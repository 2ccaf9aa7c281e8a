#pragma once

#include "protocols/speed_protocol.h"

namespace velmora::modulos::medicao::protocolos {

// Cloudflare's public speed-test host: the catalogue's first row, the edge that the
// server choice probes and the source of the edge trace.
inline constexpr wchar_t kCloudflareSpeedHost[] = L"speed.cloudflare.com";

// Cloudflare's speed-test endpoints over HTTPS.
class CloudflareProtocol final : public ISpeedProtocol {
  public:
    explicit CloudflareProtocol(SpeedEndpoint endpoint = {}) : endpoint_(endpoint) {}
    void Download(const std::wstring& host, ByteCounter& bytes,
                  std::stop_token stop) const override;
    void Upload(const std::wstring& host, std::size_t payloadBytes, ByteCounter& bytes,
                std::stop_token stop) const override;
    std::wstring Name() const override { return L"Cloudflare HTTPS"; }

  private:
    SpeedEndpoint endpoint_;
};

}  // namespace velmora::modulos::medicao::protocolos
