#include "protocols/transfer_loops.h"

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>

#include "platform/wall_clock.h"
#include "protocols/payload_sizer.h"
#include "protocols/transfer_tally.h"

namespace velmora::modulos::medicao::protocolos {
namespace {

// Sends the request and waits for its head; true when the head arrived.
bool Exchange(HttpRequest& request, std::wstring_view headers, std::uint32_t length) {
    return request.Send(headers, length) && request.ReceiveResponse();
}

// The connection's send counters, for the console's note on retransmissions; they count
// nothing towards the upload, which is credited by the server's answers alone.
class WireWatch {
  public:
    explicit WireWatch(HttpRequest& request)
        : request_(request), known_(request.SendStatistics(start_)) {}
    ~WireWatch() {
        TcpSendStats now;
        if (known_ && request_.SendStatistics(now)) {
            CountWire(start_, now);
        }
    }
    WireWatch(const WireWatch&) = delete;
    WireWatch& operator=(const WireWatch&) = delete;

  private:
    HttpRequest& request_;
    TcpSendStats start_;
    bool known_;
};

// Every upload body is this byte over and over. Written from one block that every stream
// shares, so that a body of megabytes costs no memory of its own.
const char* UploadBlock() {
    static const std::string block(kUploadPieceBytes, 'N');
    return block.data();
}

// Writes a body of `size` bytes, a piece at a time so that a stop is noticed within one piece.
// False on a failed write or a stop request, in which case the request is abandoned.
bool WritePayload(HttpRequest& request, std::size_t size, const std::stop_token& stop) {
    while (size > 0) {
        if (stop.stop_requested()) {
            return false;
        }
        std::size_t written = 0;
        if (!request.Write(UploadBlock(), std::min(size, kUploadPieceBytes), written)) {
            return false;
        }
        CountSent(written);
        size -= std::min(size, written);
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
    PayloadSizer sizer;  // one stream's pace, across its requests
    while (!stop.stop_requested()) {
        const std::size_t body = std::min(sizer.Next(), payloadBytes);
        const std::unique_ptr<HttpRequest> request = connection.OpenRequest(L"POST", path, secure);
        if (!request) {
            return;
        }
        const HttpAbortOnStop abort(*request, stop);
        UploadExchangeMark exchange;
        if (!request->Send(kUploadHeaders, static_cast<std::uint32_t>(body))) {
            return;
        }
        exchange.RequestOut();
        if (!answered) {
            CountRoute(*request);  // a slow uplink may never see an answer within the phase
        }
        {
            const WireWatch wire(*request);
            if (!WritePayload(*request, body, stop)) {
                return;
            }
            exchange.BodyHandedOver();
            if (!request->ReceiveResponse()) {
                return;
            }
        }
        // An answer, whatever its status, says that the whole body arrived: only then does it
        // count, so that nothing still in this machine's buffers or on the way reads as speed.
        bytes.fetch_add(body);
        exchange.Answered(body);
        sizer.Answered(body, exchange.Seconds(), exchange.SecondsSinceBody());
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
