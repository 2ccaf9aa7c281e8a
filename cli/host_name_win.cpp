#include <windows.h>

#include "common/text.h"
#include "host_name.h"

namespace velmora::cli {

// The DNS host name, as the machine's other exporters (windows_exporter) name it, not the
// upper-case NetBIOS name.
std::string HostName() {
    wchar_t name[256] = {};
    DWORD size = static_cast<DWORD>(std::size(name));
    if (!GetComputerNameExW(ComputerNameDnsHostname, name, &size)) {
        return {};
    }
    return WideToUtf8(std::wstring(name, size));
}

}  // namespace velmora::cli
