#pragma once

// The request loops that both speed protocols run on an open connection. They return on a stop
// request or at the first request-level failure; the caller then drops the connection and
// reconnects by its own rules.

#include <string>

#include "protocols/http_session.h"
#include "protocols/speed_protocol.h"

namespace velmora::modulos::medicao::protocolos {

// Downloads pathPrefix + seed again and again, adding every byte read to `bytes`. `answered`
// becomes true as soon as a response head (any status) has arrived.
void RunDownloadRequests(HttpConnection& connection, const std::wstring& pathPrefix, bool secure,
                         char* buffer, ByteCounter& bytes, const std::stop_token& stop,
                         bool& answered);

// POSTs bodies of 'N' to `path` again and again, each sized to the stream's pace (PayloadSizer)
// and at most payloadBytes, crediting a body when its answer arrives; each request is noted in
// the thread's tally (CountUploadExchange).
void RunUploadRequests(HttpConnection& connection, const std::wstring& path, bool secure,
                       std::size_t payloadBytes, ByteCounter& bytes, const std::stop_token& stop,
                       bool& answered);

// Waits the retry pause after a caught failure.
void PauseBeforeRetry();

}  // namespace velmora::modulos::medicao::protocolos
