#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <stop_token>
#include <string>
#include <vector>

#include "protocols/http_transport.h"

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
    virtual void Upload(const std::wstring& host, std::size_t payloadBytes, ByteCounter& bytes,
                        std::stop_token stop) const = 0;
    virtual std::wstring Name() const = 0;
};

// Where a protocol connects: a port and whether it speaks TLS there.
struct SpeedEndpoint {
    std::uint16_t port = 443;
    bool secure = true;
    HttpTimeouts timeouts;
};

inline constexpr std::chrono::milliseconds RETRY_PAUSE_MS{100};
inline constexpr std::size_t kDownloadBufferBytes = 262'144;
inline constexpr std::size_t kDrainBufferBytes = 4'096;
// An upload's answer is a few bytes; one longer than this is not read to its end.
inline constexpr std::size_t kMaxUploadAnswerBytes = 64 * 1024;
// Upload bodies are written in pieces of at most this size, so that a stop is noticed within one
// piece.
inline constexpr std::size_t kUploadPieceBytes = 128 * 1024;
inline constexpr wchar_t kUploadHeaders[] = L"Content-Type: application/octet-stream\r\n";

}  // namespace velmora::modulos::medicao::protocolos
