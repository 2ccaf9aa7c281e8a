#pragma once

#include <string>
#include <string_view>

#include "protocols/http_session.h"

namespace velmora::modulos::medicao {

// Who the user is on the network, as the IP-geolocation service sees it.
struct ConnectionInfo {
    std::wstring publicIp = L"Não identificado";
    std::wstring isp = L"Não identificada";
    std::wstring city;
    std::wstring regionName;
    double lat = 0.0;
    double lon = 0.0;
};

// The public IP-geolocation service (plain HTTP on port 80).
protocolos::HttpEndpoint DefaultGeolocationService();

inline constexpr wchar_t kGeolocationPath[] =
    L"/json/?fields=status,query,isp,city,regionName,lat,lon";

// The service's reply, read: the defaults where it says "fail" or lacks a member, a position
// outside the globe as missing, every text cleaned as it enters (CleanServerText).
ConnectionInfo ConnectionInfoFromReply(std::string_view body);

// Never fails: any failure leaves the defaults (and a missing position, 0.0 / 0.0). Gives up at
// the endpoint's deadline or on a stop request. Every text is cleaned where it enters
// (CleanServerText), so the window, the history and the console all get the same safe text.
ConnectionInfo LookupConnectionInfo(
    const protocolos::HttpEndpoint& service = DefaultGeolocationService(),
    const std::stop_token& stop = {});

// The string value of "key" in a flat JSON text, or empty. Deliberately not a JSON parser:
// the value runs from the first quote after the colon to the next quote, escapes and all.
std::wstring JsonStringField(const std::wstring& text, const std::wstring& key);

// The number after "key": the longest run of digits, '.', '-' and '+', read as a decimal;
// 0.0 when there is none or it does not convert. Exponents, true and null are not numbers here.
double JsonNumberField(const std::wstring& text, const std::wstring& key);

}  // namespace velmora::modulos::medicao
