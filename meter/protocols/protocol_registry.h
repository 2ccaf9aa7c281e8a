#pragma once

// Every speed-test protocol the meter speaks, one row each: the run makes a catalogue server's
// protocol from its row, the console names it from there, and the server choice asks it whether
// a server is an edge. A new protocol is its own file and one row here.

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "protocols/speed_protocol.h"

namespace velmora::modulos::medicao {

// What a catalogue server speaks.
enum class ProtocolKind : std::int32_t {
    Cloudflare = 0,
    OoklaHttp = 1,
};

}  // namespace velmora::modulos::medicao

namespace velmora::modulos::medicao::protocolos {

struct ProtocolEntry {
    ProtocolKind kind;
    const wchar_t* name;
    // An anycast edge: the server choice times its addresses and locates it by its trace. Any
    // other server is a catalogue server, timed on its ports.
    bool edge;
    std::vector<SpeedEndpoint> (*builtInEndpoints)();
    std::unique_ptr<ISpeedProtocol> (*make)(std::vector<SpeedEndpoint> endpoints);
};

std::span<const ProtocolEntry> Protocols();

// The row of `kind`; the first row for a value outside the table.
const ProtocolEntry& ProtocolFor(ProtocolKind kind);

// The protocol of `kind` on `endpoints`, or on its built-in ones when none are given.
std::unique_ptr<ISpeedProtocol> MakeProtocol(ProtocolKind kind,
                                             std::vector<SpeedEndpoint> endpoints = {});

}  // namespace velmora::modulos::medicao::protocolos
