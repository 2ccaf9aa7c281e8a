#pragma once

#include <string>

namespace velmora::cli {

// This machine's host name in UTF-8 (the Pushgateway's default instance); empty when the system
// does not tell.
std::string HostName();

}  // namespace velmora::cli
