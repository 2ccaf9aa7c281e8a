#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "protocols/protocol_registry.h"

namespace velmora::modulos::medicao {

struct ServerEntry {
    std::wstring name;
    std::wstring city;
    std::wstring region;
    std::wstring host;
    std::int32_t priority = 0;
    double latitude = 0.0;
    double longitude = 0.0;
    ProtocolKind protocol = ProtocolKind::Cloudflare;
};

// The built-in test servers, read-only once built.
class ServerCatalog {
  public:
    explicit ServerCatalog(std::vector<ServerEntry> entries) : entries_(std::move(entries)) {}

    const std::vector<ServerEntry>& Entries() const noexcept { return entries_; }

    // Servers within maxKm of (lat, lon): highest priority first, then nearest first, then in
    // catalogue order. Rows without a position (0, 0) are never returned.
    std::vector<ServerEntry> Nearby(double lat, double lon, double maxKm) const;

  private:
    std::vector<ServerEntry> entries_;
};

ServerCatalog BuildServerCatalog();

// Great-circle distance in km on a sphere of diameter 12742 km.
double HaversineKm(double lat1, double lon1, double lat2, double lon2);

}  // namespace velmora::modulos::medicao
