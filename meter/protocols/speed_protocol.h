#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <span>
#include <stop_token>
#include <string>
#include <vector>

namespace velmora::modulos::medicao::protocolos {

using ByteCounter = std::atomic<std::uint64_t>;

// How bytes move to and from a speed-test server. A call never returns a result and never
// throws: it transfers, reconnecting after any failure, until its stop token is triggered, and
// adds what it moved to the shared counter. One object serves every stream of a run.
class ISpeedProtocol {
  public:
    virtual ~ISpeedProtocol() = default;
    virtual void Download(const std::wstring& host, ByteCounter& bytes,
                          std::stop_token stop) const = 0;
    virtual void Upload(const std::wstring& host, const std::string& payload, ByteCounter& bytes,
                        std::stop_token stop) const = 0;
    virtual std::wstring Name() const = 0;
};

// Where a protocol connects: a port and whether it speaks TLS there.
struct SpeedEndpoint {
    std::uint16_t port = 443;
    bool secure = true;
};

inline constexpr std::chrono::milliseconds RETRY_PAUSE_MS{100};
inline constexpr std::size_t kDownloadBufferBytes = 262'144;
inline constexpr std::size_t kDrainBufferBytes = 4'096;
// An upload's answer is a few bytes; one longer than this is not read to its end.
inline constexpr std::size_t kMaxUploadAnswerBytes = 64 * 1024;
// Upload bodies are written in pieces of at most this size (less on a slow flow, PieceSizer), so
// that a stop is noticed within one piece; the counter grows with what the server has received.
inline constexpr std::size_t kUploadPieceBytes = 128 * 1024;
inline constexpr wchar_t kUploadHeaders[] = L"Content-Type: application/octet-stream\r\n";

// Cloudflare's public speed-test host: the catalogue's first row, the edge that the
// server choice probes and the source of the edge trace.
inline constexpr wchar_t kCloudflareSpeedHost[] = L"speed.cloudflare.com";

// Cloudflare's speed-test endpoints over HTTPS.
class CloudflareProtocol final : public ISpeedProtocol {
  public:
    explicit CloudflareProtocol(SpeedEndpoint endpoint = {}) : endpoint_(endpoint) {}
    void Download(const std::wstring& host, ByteCounter& bytes,
                  std::stop_token stop) const override;
    void Upload(const std::wstring& host, const std::string& payload, ByteCounter& bytes,
                std::stop_token stop) const override;
    std::wstring Name() const override { return L"Cloudflare HTTPS"; }

  private:
    SpeedEndpoint endpoint_;
};

// The ports of an Ookla HTTP server, in the order they are tried.
inline constexpr std::uint16_t kOoklaPorts[] = {8080, 80, 443};

// Ookla endpoints on `ports`, in order: TLS on 443, plain HTTP on the others.
inline std::vector<SpeedEndpoint> OoklaEndpoints(std::span<const std::uint16_t> ports) {
    std::vector<SpeedEndpoint> endpoints;
    for (const std::uint16_t port : ports) {
        endpoints.push_back({port, port == 443});
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
    void Upload(const std::wstring& host, const std::string& payload, ByteCounter& bytes,
                std::stop_token stop) const override;
    std::wstring Name() const override { return L"Ookla HTTP"; }

  private:
    std::vector<SpeedEndpoint> ports_;
};

}  // namespace velmora::modulos::medicao::protocolos
