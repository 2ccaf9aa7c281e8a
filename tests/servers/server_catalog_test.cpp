#include "servers/server_catalog.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>

namespace velmora::modulos::medicao {
namespace {

std::vector<std::wstring> Names(const std::vector<ServerEntry>& entries) {
    std::vector<std::wstring> names;
    for (const auto& e : entries) {
        names.push_back(e.name);
    }
    return names;
}

TEST(BuildServerCatalog, HoldsTheThirteenServersInOrder) {
    const ServerCatalog catalog = BuildServerCatalog();
    const auto& rows = catalog.Entries();
    ASSERT_EQ(rows.size(), 13u);
    EXPECT_EQ(Names(rows),
              (std::vector<std::wstring>{
                  L"Cloudflare Speed Test", L"Claro SP Capital", L"Claro RJ Capital",
                  L"Claro MG Capital", L"Claro PR Capital", L"Claro RS Capital",
                  L"Claro BA Capital", L"Claro DF Capital", L"Vivo SP Capital", L"Vivo RJ Capital",
                  L"Vivo PR Capital", L"Vivo MG Capital", L"Ookla SP Equinix"}));

    EXPECT_EQ(rows[0].city, L"CDN Global");
    EXPECT_EQ(rows[0].region, L"BR");
    EXPECT_EQ(rows[0].host, L"speed.cloudflare.com");
    EXPECT_EQ(rows[0].protocol, ProtocolKind::Cloudflare);
    EXPECT_EQ(rows[7].city, L"Brasília");
    EXPECT_EQ(rows[7].region, L"DF");
    EXPECT_EQ(rows[7].latitude, -15.7801);
    EXPECT_EQ(rows[7].longitude, -47.9292);
    for (std::size_t i = 1; i < rows.size(); ++i) {
        EXPECT_EQ(rows[i].protocol, ProtocolKind::OoklaHttp) << i;
        EXPECT_FALSE(rows[i].host.empty()) << i;
    }
    const std::vector<int> priorities{10, 8, 7, 7, 6, 5, 5, 5, 8, 7, 6, 7, 7};
    for (std::size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(rows[i].priority, priorities[i]) << i;
    }
}

TEST(HaversineKm, KnownDistances) {
    EXPECT_EQ(HaversineKm(-23.5505, -46.6333, -23.5505, -46.6333), 0.0);
    EXPECT_NEAR(HaversineKm(-23.5505, -46.6333, -22.9068, -43.1729), 361.0, 1.0);
    // A quarter of the equator on a 6371 km sphere.
    EXPECT_NEAR(HaversineKm(0, 0, 0, 90), 6371.0 * std::numbers::pi / 2, 1e-6);
}

TEST(Nearby, SaoPauloOrderOfAllThirteen) {
    const auto nearby = BuildServerCatalog().Nearby(-23.55, -46.63, 1500);
    EXPECT_EQ(Names(nearby),
              (std::vector<std::wstring>{
                  L"Cloudflare Speed Test", L"Claro SP Capital", L"Vivo SP Capital",
                  L"Ookla SP Equinix", L"Claro RJ Capital", L"Vivo RJ Capital", L"Claro MG Capital",
                  L"Vivo MG Capital", L"Claro PR Capital", L"Vivo PR Capital", L"Claro RS Capital",
                  L"Claro DF Capital", L"Claro BA Capital"}));
}

TEST(Nearby, RadiusBoundaryIsInclusive) {
    const ServerCatalog catalog = BuildServerCatalog();
    const double toRio = HaversineKm(-23.5505, -46.6333, -22.9068, -43.1729);
    // Exactly the distance to Rio includes both Rio rows; a hair less leaves them out.
    const auto atRio = catalog.Nearby(-23.5505, -46.6333, toRio);
    EXPECT_EQ(std::count_if(atRio.begin(), atRio.end(),
                            [](const ServerEntry& e) { return e.region == L"RJ"; }),
              2);
    const auto belowRio = catalog.Nearby(-23.5505, -46.6333, std::nextafter(toRio, 0.0));
    EXPECT_EQ(std::count_if(belowRio.begin(), belowRio.end(),
                            [](const ServerEntry& e) { return e.region == L"RJ"; }),
              0);

    // Far from every server (Lisbon) with a radius below every distance.
    EXPECT_TRUE(catalog.Nearby(38.72, -9.14, 5000).empty());
    EXPECT_TRUE(catalog.Nearby(-23.55, -46.63, -1).empty());
    EXPECT_TRUE(catalog.Nearby(-23.55, -46.63, std::numeric_limits<double>::quiet_NaN()).empty());
}

TEST(Nearby, EqualPriorityAndDistanceKeepCatalogueOrder) {
    // From Rio: Claro RJ and Vivo RJ are both priority 7 at distance 0.
    const auto nearby = BuildServerCatalog().Nearby(-22.9068, -43.1729, 10);
    EXPECT_EQ(Names(nearby), (std::vector<std::wstring>{L"Claro RJ Capital", L"Vivo RJ Capital"}));
}

TEST(Nearby, SkipsRowsWithoutAPositionAndLeavesTheCatalogueAlone) {
    ServerCatalog catalog({
        {L"Sem posição", L"", L"", L"a.test", 99, 0.0, 0.0, ProtocolKind::OoklaHttp},
        {L"Equador", L"", L"", L"b.test", 1, 0.0, 1.0, ProtocolKind::OoklaHttp},
    });
    EXPECT_EQ(Names(catalog.Nearby(0.0, 0.0, 200)), std::vector<std::wstring>{L"Equador"});
    EXPECT_EQ(catalog.Entries().size(), 2u);
}

}  // namespace
}  // namespace velmora::modulos::medicao
