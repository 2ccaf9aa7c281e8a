#include "protocols/transfer_loops.h"

#include <algorithm>
#include <chrono>
#include <optional>
#include <string>
#include <thread>

#include "platform/wall_clock.h"
#include "protocols/transfer_tally.h"

namespace velmora::modulos::medicao::protocolos {
namespace {

// Sends the request and waits for its head; true when the head arrived.
bool Exchange(HttpRequest& request, std::wstring_view headers, std::uint32_t length) {
    return request.Send(headers, length) && request.ReceiveResponse();
}

// Counts a request's body as the server receives it. Send buffers grow to megabytes, and on a
// slow uplink what still waits in them is seconds of traffic: counted when the transport took
// it, it read as speed the link never carried. Where the back end cannot tell what arrived, the
// bytes count when taken.
class UploadCredit {
  public:
    UploadCredit(HttpRequest& request, ByteCounter& bytes)
        : request_(request), bytes_(bytes), wire_(SendStatistics(request)), acknowledged_(wire_) {}

    void Taken(std::uint64_t taken) {
        const std::optional<TcpSendStats> wire = SendStatistics(request_);
        if (wire_ && wire) {
            CountWire(*wire_, *wire);
        }
        wire_ = wire;
        std::size_t underway = 0;
        if (request_.BytesNotReceived(underway)) {
            Credit(taken - std::min<std::uint64_t>(taken, underway));
        } else {
            Credit(acknowledged_.Received(taken, wire));
        }
    }

    // An answered request was received whole.
    void Answered(std::uint64_t size) { Credit(size); }

  private:
    // What the server has received is also what the run has spent: bytes taken but never sent
    // (a stopped request's send buffer) cost nothing.
    void Credit(std::uint64_t received) {
        if (received > credited_) {
            bytes_.fetch_add(received - credited_);
            CountSent(received - credited_);
            credited_ = received;
        }
    }

    static std::optional<TcpSendStats> SendStatistics(HttpRequest& request) {
        TcpSendStats stats;
        return request.SendStatistics(stats) ? std::optional(stats) : std::nullopt;
    }

    HttpRequest& request_;
    ByteCounter& bytes_;
    std::optional<TcpSendStats> wire_;  // the connection's send counters when last looked at
    AcknowledgedBody acknowledged_;
    std::uint64_t credited_ = 0;
};

// Every upload body is this byte over and over. Written from one block that every stream
// shares, so that a body of megabytes costs no memory of its own.
const char* UploadBlock() {
    static const std::string block(kUploadPieceBytes, 'N');
    return block.data();
}

// Writes a body of `size` bytes piece by piece, each piece sized to this flow's pace. False on a
// failed write or a stop request, in which case the request is abandoned.
bool WritePayload(HttpRequest& request, std::size_t size, UploadCredit& credit, PieceSizer& sizer,
                  const std::stop_token& stop) {
    using Clock = std::chrono::steady_clock;
    std::size_t offset = 0;
    while (offset < size) {
        if (stop.stop_requested()) {
            return false;
        }
        const std::size_t piece = std::min({sizer.Next(), size - offset, kUploadPieceBytes});
        std::size_t written = 0;
        const Clock::time_point start = Clock::now();
        if (!request.Write(UploadBlock(), piece, written)) {
            return false;
        }
        sizer.Wrote(written, std::chrono::duration<double>(Clock::now() - start).count());
        offset += written;
        credit.Taken(offset);
    }
    return true;
}

// Reads the upload's answer to its end, so that the connection can carry the next request.
// False when the answer is longer than any real one (a server streaming without end), a read
// fails, or a stop is requested: the connection is then dropped.
bool DrainBody(HttpRequest& request, const std::stop_token& stop) {
    char drain[kDrainBufferBytes];
    std::size_t drained = 0;
    for (;;) {
        std::size_t available = 0;
        if (stop.stop_requested() || !request.DataAvailable(available)) {
            return false;
        }
        if (available == 0) {
            return true;
        }
        std::size_t read = 0;
        if (!request.Read(drain, std::min(available, sizeof drain), read) || read == 0) {
            return false;
        }
        CountReceived(read);
        drained += read;
        if (drained > kMaxUploadAnswerBytes) {
            return false;
        }
    }
}

}  // namespace

void RunDownloadRequests(HttpConnection& connection, const std::wstring& pathPrefix, bool secure,
                         char* buffer, ByteCounter& bytes, const std::stop_token& stop,
                         bool& answered) {
    while (!stop.stop_requested()) {
        // The seed only has to make each URL differ from the last.
        const std::wstring path = pathPrefix + std::to_wstring(TickCountMs());
        const std::unique_ptr<HttpRequest> request = connection.OpenRequest(L"GET", path, secure);
        if (!request) {
            return;
        }
        const HttpAbortOnStop abort(*request, stop);
        if (!Exchange(*request, L"", 0)) {
            return;
        }
        if (!answered) {
            CountRoute(*request);
        }
        answered = true;
        std::uint32_t status = 0;
        if (!request->Status(status)) {
            status = 0;
        }
        if (status < 200 || status > 299) {
            return;
        }
        while (!stop.stop_requested()) {
            std::size_t read = 0;
            if (!request->Read(buffer, kDownloadBufferBytes, read) || read == 0) {
                break;
            }
            bytes.fetch_add(read);
            CountReceived(read);
        }
    }
}

void RunUploadRequests(HttpConnection& connection, const std::wstring& path, bool secure,
                       std::size_t payloadBytes, ByteCounter& bytes, const std::stop_token& stop,
                       bool& answered) {
    PieceSizer sizer;  // one flow's pace, across its requests
    while (!stop.stop_requested()) {
        const std::unique_ptr<HttpRequest> request = connection.OpenRequest(L"POST", path, secure);
        if (!request) {
            return;
        }
        const HttpAbortOnStop abort(*request, stop);
        if (!request->Send(kUploadHeaders, static_cast<std::uint32_t>(payloadBytes))) {
            return;
        }
        if (!answered) {
            CountRoute(*request);  // a slow uplink may never see an answer within the phase
        }
        UploadCredit credit(*request, bytes);
        if (!WritePayload(*request, payloadBytes, credit, sizer, stop) ||
            !request->ReceiveResponse()) {
            return;
        }
        // Answered, whatever the status: the body reached the server.
        credit.Answered(payloadBytes);
        answered = true;
        if (!DrainBody(*request, stop)) {
            return;
        }
    }
}

void PauseBeforeRetry() {
    std::this_thread::sleep_for(RETRY_PAUSE_MS);
}

}  // namespace velmora::modulos::medicao::protocolos
