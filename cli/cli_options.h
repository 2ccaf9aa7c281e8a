#pragma once

#include <optional>
#include <string>
#include <vector>

#include "measurement/measurement_run.h"

namespace velmora::cli {

struct CliOptions {
    bool json = false;
    bool help = false;
    bool operators = true;         // probe the operators' servers of the catalogue
    bool report = false;           // build the history report instead of measuring
    std::string historyDirectory;  // empty: beside the program, as the meter keeps it
    modulos::medicao::RunSettings run;
};

// Parses the command line (without the program name). nullopt and a message in `error` when it
// cannot be understood.
std::optional<CliOptions> ParseCliOptions(const std::vector<std::string>& args, std::string& error);

extern const char kCliUsage[];

}  // namespace velmora::cli
