#pragma once

#include <cstdint>
#include <stop_token>
#include <string>
#include <vector>

#include "platform/socket_platform.h"

namespace velmora::modulos::medicao {

using TcpSocket = net::Socket;

// Starts the socket library once per process (safe for concurrent first calls) and throws
// "Falha ao inicializar Winsock." on every call if that one start-up failed.
void EnsureSockets();

// An open, blocking, connected IPv4 TCP socket to host:port. timeoutMs = 0 waits as long as the
// system lets a connect last; otherwise each address is given up after timeoutMs. A stop
// request ends the wait at once, as a failure of the address.
// Throws "Falha ao resolver endereço do servidor." or "Falha ao abrir conexão TCP de download.".
TcpSocket ConnectTcp(const std::wstring& host, std::uint16_t port, std::uint32_t timeoutMs,
                     const std::stop_token& stop = {});

// The first IPv4 address of host as dotted text, or host unchanged. Never throws.
std::wstring ResolveHostAddress(const std::wstring& host);

// Every distinct IPv4 address text of host in resolver order, possibly none. Never throws.
std::vector<std::wstring> ResolveHostAddresses(const std::wstring& host);

}  // namespace velmora::modulos::medicao
