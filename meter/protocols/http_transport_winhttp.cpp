// WinHTTP behind the HTTP layer: synchronous calls, the system's automatic proxy setting.

// Winsock first: winhttp.h declares the connection's addresses only after it.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>
#include <winhttp.h>

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <memory>
#include <stdexcept>
#include <string>

#include "common/dll_search_win.h"
#include "common/text.h"
#include "common/unique_handle.h"
#include "platform/socket_platform.h"
#include "protocols/http_transport.h"

namespace velmora::modulos::medicao::protocolos {
namespace {

// WinHTTP from the system folder, loaded on first use. It is not one of the KnownDLLs, so an
// import by name would take a winhttp.dll lying beside the program first.
struct WinHttpApi {
    decltype(&::WinHttpOpen) Open = nullptr;
    decltype(&::WinHttpCloseHandle) CloseHandle = nullptr;
    decltype(&::WinHttpSetTimeouts) SetTimeouts = nullptr;
    decltype(&::WinHttpSetOption) SetOption = nullptr;
    decltype(&::WinHttpConnect) Connect = nullptr;
    decltype(&::WinHttpOpenRequest) OpenRequest = nullptr;
    decltype(&::WinHttpSendRequest) SendRequest = nullptr;
    decltype(&::WinHttpWriteData) WriteData = nullptr;
    decltype(&::WinHttpReceiveResponse) ReceiveResponse = nullptr;
    decltype(&::WinHttpQueryHeaders) QueryHeaders = nullptr;
    decltype(&::WinHttpQueryDataAvailable) QueryDataAvailable = nullptr;
    decltype(&::WinHttpReadData) ReadData = nullptr;
    decltype(&::WinHttpQueryOption) QueryOption = nullptr;  // optional
};

template <typename Function>
void Bind(HMODULE module, const char* name, Function& function) {
    function = reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

// Every entry is set, or none: a session is never opened without the calls it needs.
WinHttpApi LoadWinHttp() {
    WinHttpApi api;
    const HMODULE module = win32::LoadSystemDll(L"winhttp.dll");
    if (module == nullptr) {
        return api;
    }
    Bind(module, "WinHttpCloseHandle", api.CloseHandle);
    Bind(module, "WinHttpSetTimeouts", api.SetTimeouts);
    Bind(module, "WinHttpSetOption", api.SetOption);
    Bind(module, "WinHttpConnect", api.Connect);
    Bind(module, "WinHttpOpenRequest", api.OpenRequest);
    Bind(module, "WinHttpSendRequest", api.SendRequest);
    Bind(module, "WinHttpWriteData", api.WriteData);
    Bind(module, "WinHttpReceiveResponse", api.ReceiveResponse);
    Bind(module, "WinHttpQueryHeaders", api.QueryHeaders);
    Bind(module, "WinHttpQueryDataAvailable", api.QueryDataAvailable);
    Bind(module, "WinHttpReadData", api.ReadData);
    Bind(module, "WinHttpQueryOption", api.QueryOption);
    const bool complete = api.CloseHandle && api.SetTimeouts && api.SetOption && api.Connect &&
                          api.OpenRequest && api.SendRequest && api.WriteData &&
                          api.ReceiveResponse && api.QueryHeaders && api.QueryDataAvailable &&
                          api.ReadData;
    if (complete) {
        Bind(module, "WinHttpOpen", api.Open);
    }
    return api;
}

const WinHttpApi& Api() {
    static const WinHttpApi api = LoadWinHttp();
    return api;
}

// Owns one WinHTTP handle: a session, a connection or a request.
struct InternetHandleTraits {
    using Type = HINTERNET;
    static constexpr Type Invalid() noexcept { return nullptr; }
    static void Close(Type handle) noexcept { Api().CloseHandle(handle); }
};
using InternetHandle = UniqueHandle<InternetHandleTraits>;

// Bodies are written and read in pieces of at most this size per call.
constexpr DWORD kMaxDword = 0xFFFFFFFF;

DWORD ClampToDword(std::size_t size) {
    return size > kMaxDword ? kMaxDword : static_cast<DWORD>(size);
}

// The four time-outs of a session or request. Windows holds the wait for a response head to the
// receive time-out; Wine waits for ever unless that wait is given its own time-out as well.
void SetTimeouts(HINTERNET handle, const HttpTimeouts& timeouts) {
    const auto ms = [](std::chrono::milliseconds t) {
        return static_cast<int>(std::clamp<long long>(t.count(), 1, 0x7fffffff));
    };
    const int receive = ms(timeouts.receive);
    Api().SetTimeouts(handle, ms(timeouts.resolve), ms(timeouts.connect), ms(timeouts.send),
                      receive);
    DWORD head = static_cast<DWORD>(receive);
    Api().SetOption(handle, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &head, sizeof head);
}

class Request final : public HttpRequest {
  public:
    Request(InternetHandle handle, const HttpTimeouts& timeouts)
        : handle_(std::move(handle)), timeouts_(timeouts) {}

    bool Send(std::wstring_view extraHeaders, std::uint32_t totalLength) override;
    bool Write(const char* data, std::size_t size, std::size_t& written) override;
    bool SendStatistics(TcpSendStats& stats) override;
    bool Route(HttpRoute& route) noexcept override;
    bool ReceiveResponse() override;
    bool Status(std::uint32_t& status) override;
    bool ContentLength(std::uint64_t& length) override;
    bool DataAvailable(std::size_t& available) override;
    bool Read(char* buffer, std::size_t size, std::size_t& read) override;
    void LimitCalls(std::chrono::milliseconds limit) noexcept override;
    // A handle is not closed from another thread to end a call in progress: under Wine that
    // leaves the call and every later one on the request hanging for good. A stop is seen
    // between calls, and every call is bounded by the time-outs (the wait for a response head
    // included).
    void Abort() noexcept override {}

  private:
    HINTERNET Native() const { return handle_.get(); }
    bool QueryAvailable(DWORD& available);

    InternetHandle handle_;
    HttpTimeouts timeouts_;
};

class Connection final : public HttpConnection {
  public:
    Connection(InternetHandle handle, const HttpTimeouts& timeouts)
        : handle_(std::move(handle)), timeouts_(timeouts) {}

    std::unique_ptr<HttpRequest> OpenRequest(const wchar_t* verb, const std::wstring& path,
                                             bool secure) override {
        InternetHandle request(Api().OpenRequest(handle_.get(), verb, path.c_str(), nullptr,
                                                 WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                                 secure ? WINHTTP_FLAG_SECURE : 0));
        return request ? std::make_unique<Request>(std::move(request), timeouts_) : nullptr;
    }

  private:
    InternetHandle handle_;
    HttpTimeouts timeouts_;
};

class Session final : public HttpSession {
  public:
    Session(InternetHandle handle, const HttpTimeouts& timeouts)
        : handle_(std::move(handle)), timeouts_(timeouts) {}

    std::unique_ptr<HttpConnection> Connect(const std::wstring& host, std::uint16_t port) override {
        InternetHandle connection(Api().Connect(handle_.get(), host.c_str(), port, 0));
        return connection ? std::make_unique<Connection>(std::move(connection), timeouts_)
                          : nullptr;
    }

  private:
    InternetHandle handle_;
    HttpTimeouts timeouts_;
};

}  // namespace

std::unique_ptr<HttpSession> OpenHttpSession(const char* failureText,
                                             const HttpTimeouts& timeouts) {
    if (Api().Open == nullptr) {
        throw std::runtime_error(failureText);
    }
    // Access type 4: the automatic proxy configuration of the system.
    InternetHandle session(Api().Open(kUserAgent, WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY,
                                      WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    if (!session) {
        throw std::runtime_error(failureText);
    }
    SetTimeouts(session.get(), timeouts);
    return std::make_unique<Session>(std::move(session), timeouts);
}

void Request::LimitCalls(std::chrono::milliseconds limit) noexcept {
    const auto bound = [limit](std::chrono::milliseconds own) { return std::min(own, limit); };
    SetTimeouts(Native(), {bound(timeouts_.resolve), bound(timeouts_.connect),
                           bound(timeouts_.send), bound(timeouts_.receive)});
}

bool Request::Send(std::wstring_view extraHeaders, std::uint32_t totalLength) {
    const std::wstring headers(extraHeaders);
    return Api().SendRequest(Native(),
                             headers.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : headers.c_str(),
                             headers.empty() ? 0 : static_cast<DWORD>(-1), WINHTTP_NO_REQUEST_DATA,
                             0, totalLength, 0) != FALSE;
}

bool Request::Write(const char* data, std::size_t size, std::size_t& written) {
    DWORD done = 0;
    const BOOL ok = Api().WriteData(Native(), data, ClampToDword(size), &done);
    written = done;
    return ok != FALSE;
}

namespace {

// TCP_INFO_v0 (mstcpip.h, Windows 10 1703 and later), which the headers here declare only for
// newer targets than the programs ask for.
struct TcpInfoV0 {
    int State;
    ULONG Mss;
    ULONG64 ConnectionTimeMs;
    BOOLEAN TimestampsEnabled;
    ULONG RttUs;
    ULONG MinRttUs;
    ULONG BytesInFlight;
    ULONG Cwnd;
    ULONG SndWnd;
    ULONG RcvWnd;
    ULONG RcvBuf;
    ULONG64 BytesOut;
    ULONG64 BytesIn;
    ULONG BytesReordered;
    ULONG BytesRetrans;
    ULONG FastRetrans;
    ULONG DupAcksIn;
    ULONG TimeoutEpisodes;
    UCHAR SynRetrans;
};

}  // namespace

bool Request::SendStatistics(TcpSendStats& stats) {
    if (Api().QueryOption == nullptr) {
        return false;
    }
    TcpInfoV0 info{};
    DWORD size = sizeof info;
    if (!Api().QueryOption(Native(), WINHTTP_OPTION_CONNECTION_STATS_V0, &info, &size) ||
        size < sizeof info) {
        return false;
    }
    stats.bytesOut = info.BytesOut;
    stats.bytesRetrans = info.BytesRetrans;
    return true;
}

namespace {

// The host of a request's URL ("https://host:port/path").
std::wstring UrlHost(HINTERNET request) {
    wchar_t url[2048] = {};
    DWORD size = sizeof url;
    if (!Api().QueryOption(request, WINHTTP_OPTION_URL, url, &size)) {
        return {};
    }
    const std::wstring text(url);
    const std::size_t start = text.find(L"://");
    if (start == std::wstring::npos) {
        return {};
    }
    const std::size_t end = text.find_first_of(L":/", start + 3);
    return text.substr(start + 3, end == std::wstring::npos ? end : end - start - 3);
}

// Whether `peer` is one of the addresses `host` resolves to. Winsock is started once here: the
// transport may be used before anything else has.
bool IsAddressOf(const sockaddr_storage& peer, const std::wstring& host) {
    static const bool started = net::StartSocketLibrary() == 0;
    ADDRINFOW* found = nullptr;
    if (!started || host.empty() || GetAddrInfoW(host.c_str(), nullptr, nullptr, &found) != 0) {
        return true;  // cannot tell: taken as the server
    }
    bool same = false;
    for (const ADDRINFOW* a = found; a != nullptr && !same; a = a->ai_next) {
        if (a->ai_family == AF_INET && peer.ss_family == AF_INET) {
            same = std::memcmp(&reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr,
                               &reinterpret_cast<const sockaddr_in*>(&peer)->sin_addr,
                               sizeof(in_addr)) == 0;
        } else if (a->ai_family == AF_INET6 && peer.ss_family == AF_INET6) {
            same = std::memcmp(&reinterpret_cast<const sockaddr_in6*>(a->ai_addr)->sin6_addr,
                               &reinterpret_cast<const sockaddr_in6*>(&peer)->sin6_addr,
                               sizeof(in6_addr)) == 0;
        }
    }
    FreeAddrInfoW(found);
    return same;
}

}  // namespace

// WinHTTP finds the proxy itself (the automatic setting) and does not say which it chose; the
// connection's peer does: an address the server's name does not resolve to is a proxy's.
bool Request::Route(HttpRoute& route) noexcept {
    WINHTTP_CONNECTION_INFO info{};
    info.cbSize = sizeof info;
    DWORD size = sizeof info;
    if (Api().QueryOption == nullptr ||
        !Api().QueryOption(Native(), WINHTTP_OPTION_CONNECTION_INFO, &info, &size)) {
        return false;
    }
    const sockaddr_storage& peer = info.RemoteAddress;
    if (peer.ss_family != AF_INET && peer.ss_family != AF_INET6) {
        return false;
    }
    route.family = peer.ss_family == AF_INET6 ? 6 : 4;
    try {
        route.viaProxy = !IsAddressOf(peer, UrlHost(Native()));
    } catch (...) {
        route.viaProxy = false;
    }
    return true;
}

bool Request::ReceiveResponse() {
    return Api().ReceiveResponse(Native(), nullptr) != FALSE;
}

bool Request::Status(std::uint32_t& status) {
    DWORD value = 0;
    DWORD size = sizeof value;
    const BOOL ok =
        Api().QueryHeaders(Native(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                           WINHTTP_HEADER_NAME_BY_INDEX, &value, &size, WINHTTP_NO_HEADER_INDEX);
    status = value;
    return ok != FALSE;
}

bool Request::ContentLength(std::uint64_t& length) {
    wchar_t text[32] = {};
    DWORD size = sizeof text;
    if (!Api().QueryHeaders(Native(), WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX,
                            text, &size, WINHTTP_NO_HEADER_INDEX)) {
        return false;
    }
    wchar_t* end = nullptr;
    length = std::wcstoull(text, &end, 10);
    return end != text;
}

// WinHTTP puts a connection back for the next request only once a read has returned the end
// of the body; a request closed before that takes its connection with it (under Wine every
// upload POST then opened one of its own, with its handshakes and slow start). So whichever
// call learns of the end reads it: none, at once.
bool Request::QueryAvailable(DWORD& available) {
    if (!Api().QueryDataAvailable(Native(), &available)) {
        return false;
    }
    if (available > 0) {
        return true;
    }
    char end = 0;
    DWORD done = 0;
    return Api().ReadData(Native(), &end, 1, &done) != FALSE && done == 0;
}

bool Request::DataAvailable(std::size_t& available) {
    DWORD value = 0;
    const bool ok = QueryAvailable(value);
    available = value;
    return ok;
}

bool Request::Read(char* buffer, std::size_t size, std::size_t& read) {
    // A synchronous read waits until it has filled the whole buffer: on a slow or trickling
    // answer, a 256 KB read holds its bytes back for seconds and does not see a stop. Asking
    // what has arrived first makes the read return with what is there.
    read = 0;
    DWORD available = 0;
    if (!QueryAvailable(available)) {
        return false;
    }
    if (available == 0) {
        return true;
    }
    DWORD done = 0;
    const BOOL ok =
        Api().ReadData(Native(), buffer, std::min(ClampToDword(size), available), &done);
    read = done;
    return ok != FALSE;
}

}  // namespace velmora::modulos::medicao::protocolos
