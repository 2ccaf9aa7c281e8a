#include "protocols/transfer_loops.h"

#include <thread>

#include "common/wall_clock.h"

namespace velmora::modulos::medicao::protocolos {
namespace {

// Sends the request and waits for its head; true when the head arrived.
bool Exchange(const HttpHandle& request, std::wstring_view headers, std::uint32_t length) {
    return HttpSendRequest(request, headers, length) && HttpReceiveResponse(request);
}

// Writes the whole payload piece by piece. False on a failed write or a stop request, in which
// case the request is abandoned.
bool WritePayload(const HttpHandle& request, const std::string& payload, ByteCounter& bytes,
                  const std::stop_token& stop) {
    std::size_t offset = 0;
    while (offset < payload.size()) {
        if (stop.stop_requested()) {
            return false;
        }
        const std::size_t piece = std::min(kUploadPieceBytes, payload.size() - offset);
        std::size_t written = 0;
        if (!HttpWriteData(request, payload.data() + offset, piece, written) || written == 0) {
            return false;
        }
        bytes.fetch_add(written);
        offset += written;
    }
    return true;
}

void DrainBody(const HttpHandle& request) {
    char drain[kDrainBufferBytes];
    std::size_t available = 0;
    while (HttpQueryDataAvailable(request, available) && available != 0) {
        std::size_t read = 0;
        HttpReadData(request, drain, std::min(available, sizeof drain), read);
        if (read == 0) {
            break;
        }
    }
}

}  // namespace

void RunDownloadRequests(const HttpHandle& connection, const std::wstring& pathPrefix, bool secure,
                         char* buffer, ByteCounter& bytes, const std::stop_token& stop,
                         bool& answered) {
    while (!stop.stop_requested()) {
        // The seed only has to make each URL differ from the last.
        const std::wstring path = pathPrefix + std::to_wstring(TickCountMs());
        const HttpHandle request = HttpOpenRequest(connection, L"GET", path, secure);
        if (!request) {
            return;
        }
        if (!Exchange(request, L"", 0)) {
            return;
        }
        answered = true;
        std::uint32_t status = 0;
        if (!HttpQueryStatus(request, status)) {
            status = 0;
        }
        if (status < 200 || status > 299) {
            return;
        }
        while (!stop.stop_requested()) {
            std::size_t read = 0;
            if (!HttpReadData(request, buffer, kDownloadBufferBytes, read) || read == 0) {
                break;
            }
            bytes.fetch_add(read);
        }
    }
}

void RunUploadRequests(const HttpHandle& connection, const std::wstring& path, bool secure,
                       const std::string& payload, ByteCounter& bytes, const std::stop_token& stop,
                       bool& answered) {
    while (!stop.stop_requested()) {
        const HttpHandle request = HttpOpenRequest(connection, L"POST", path, secure);
        if (!request) {
            return;
        }
        if (!HttpSendRequest(request, kUploadHeaders, static_cast<std::uint32_t>(payload.size()))) {
            return;
        }
        if (!WritePayload(request, payload, bytes, stop) || !HttpReceiveResponse(request)) {
            return;
        }
        // Answered whatever the status: the bytes went out and were counted as they went.
        answered = true;
        DrainBody(request);
    }
}

void PauseBeforeRetry() {
    std::this_thread::sleep_for(RETRY_PAUSE_MS);
}

}  // namespace velmora::modulos::medicao::protocolos
