// libFuzzer target for the scanners that read untrusted text: the history reader (and the page
// made from what it reads), the geolocation reply and the edge trace readers.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "support/scanner_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (velmora::test::ScannerFault({reinterpret_cast<const char*>(data), size}) != nullptr) {
        __builtin_trap();
    }
    return 0;
}
