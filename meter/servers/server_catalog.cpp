#include "servers/server_catalog.h"

#include <algorithm>
#include <cmath>

#include "protocols/cloudflare_protocol.h"

namespace velmora::modulos::medicao {
namespace {

// The operators' public speed-test hosts, one line per server so that a renamed host is a
// one-line change. Operators rename these from time to time; the Cloudflare host is stable.
constexpr struct {
    const wchar_t* name;
    const wchar_t* city;
    const wchar_t* region;
    const wchar_t* host;
    std::int32_t priority;
    double latitude;
    double longitude;
    ProtocolKind protocol;
} kServers[] = {
    {L"Cloudflare Speed Test", L"CDN Global", L"BR", protocolos::kCloudflareSpeedHost, 10, -23.5505,
     -46.6333, ProtocolKind::Cloudflare},
    {L"Claro SP Capital", L"São Paulo", L"SP", L"speedtest.spo.claro.com.br", 8, -23.5505, -46.6333,
     ProtocolKind::OoklaHttp},
    {L"Claro RJ Capital", L"Rio de Janeiro", L"RJ", L"speedtest.rjo.claro.com.br", 7, -22.9068,
     -43.1729, ProtocolKind::OoklaHttp},
    {L"Claro MG Capital", L"Belo Horizonte", L"MG", L"speedtest.bhe.claro.com.br", 7, -19.9167,
     -43.9345, ProtocolKind::OoklaHttp},
    {L"Claro PR Capital", L"Curitiba", L"PR", L"speedtest.cta.claro.com.br", 6, -25.4284, -49.2733,
     ProtocolKind::OoklaHttp},
    {L"Claro RS Capital", L"Porto Alegre", L"RS", L"speedtest.pae.claro.com.br", 5, -30.0346,
     -51.2177, ProtocolKind::OoklaHttp},
    {L"Claro BA Capital", L"Salvador", L"BA", L"speedtest.sdr.claro.com.br", 5, -12.9714, -38.5124,
     ProtocolKind::OoklaHttp},
    {L"Claro DF Capital", L"Brasília", L"DF", L"speedtest.bsa.claro.com.br", 5, -15.7801, -47.9292,
     ProtocolKind::OoklaHttp},
    {L"Vivo SP Capital", L"São Paulo", L"SP", L"speedtest-spo.vivo.com.br", 8, -23.5505, -46.6333,
     ProtocolKind::OoklaHttp},
    {L"Vivo RJ Capital", L"Rio de Janeiro", L"RJ", L"speedtest-rjo.vivo.com.br", 7, -22.9068,
     -43.1729, ProtocolKind::OoklaHttp},
    {L"Vivo PR Capital", L"Curitiba", L"PR", L"speedtest-cta.vivo.com.br", 6, -25.4284, -49.2733,
     ProtocolKind::OoklaHttp},
    {L"Vivo MG Capital", L"Belo Horizonte", L"MG", L"speedtest-bhe.vivo.com.br", 7, -19.9167,
     -43.9345, ProtocolKind::OoklaHttp},
    {L"Ookla SP Equinix", L"São Paulo", L"SP", L"speedtest.sp1.equinix.com", 7, -23.5505, -46.6333,
     ProtocolKind::OoklaHttp},
};

}  // namespace

ServerCatalog BuildServerCatalog() {
    std::vector<ServerEntry> entries;
    entries.reserve(std::size(kServers));
    for (const auto& s : kServers) {
        entries.push_back(
            {s.name, s.city, s.region, s.host, s.priority, s.latitude, s.longitude, s.protocol});
    }
    return ServerCatalog(std::move(entries));
}

double HaversineKm(double lat1, double lon1, double lat2, double lon2) {
    constexpr double k = 0.017453292519943295;
    const double s1 = std::sin((lat2 - lat1) * k * 0.5);
    const double s2 = std::sin((lon2 - lon1) * k * 0.5);
    const double a = std::cos(lat1 * k) * std::cos(lat2 * k) * s2 * s2 + s1 * s1;
    return std::atan2(std::sqrt(a), std::sqrt(1.0 - a)) * 12742.0;
}

std::vector<ServerEntry> ServerCatalog::Nearby(double lat, double lon, double maxKm) const {
    struct Candidate {
        const ServerEntry* entry;
        double km;
    };
    std::vector<Candidate> kept;
    for (const ServerEntry& entry : entries_) {
        if (entry.latitude == 0.0 && entry.longitude == 0.0) {
            continue;
        }
        const double km = HaversineKm(lat, lon, entry.latitude, entry.longitude);
        if (maxKm >= km) {
            kept.push_back({&entry, km});
        }
    }
    std::stable_sort(kept.begin(), kept.end(), [](const Candidate& a, const Candidate& b) {
        if (a.entry->priority != b.entry->priority) {
            return a.entry->priority > b.entry->priority;
        }
        return a.km < b.km;
    });
    std::vector<ServerEntry> result;
    result.reserve(kept.size());
    for (const Candidate& c : kept) {
        result.push_back(*c.entry);
    }
    return result;
}

}  // namespace velmora::modulos::medicao
