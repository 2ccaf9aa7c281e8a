#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "measurement/measurement_run.h"
#include "metrics_export.h"

namespace velmora::cli {

enum class OutputFormat { Text, Json, Csv };

// What the program is asked to do: measure (the default), or one of the other actions.
enum class CliAction {
    Measure,
    Help,
    Report,
    List,
    History,
    CsvHeader,
    Plan,        // --plano: remember the contracted plan
    Compliance,  // --conformidade: the months held against the plan
    Dossier,     // --dossie: the printable page of them
};

struct CliOptions {
    CliAction action = CliAction::Measure;
    OutputFormat format = OutputFormat::Text;
    bool operators = true;             // probe the operators' servers of the catalogue
    std::string server;                // --server: a catalogue row by name or host; empty: choose
    std::size_t historyCount = 10;     // --history N
    std::string historyDirectory;      // empty: beside the program, as the meter keeps it
    std::string plan;                  // --plano, as given (checked)
    std::optional<std::string> month;  // --conformidade AAAA-MM; none: every month
    bool includeWifi = false;          // --incluir-wifi
    std::string dossierFile;           // --dossie
    std::optional<std::uint64_t> dataBudget;  // --orcamento-dados, bytes per calendar month
    modulos::medicao::RunSettings run;
    MetricsExport metrics;  // --openmetrics, --pushgateway, --instancia
};

// Parses the command line (without the program name). nullopt and a message in `error` when it
// cannot be understood.
std::optional<CliOptions> ParseCliOptions(const std::vector<std::string>& args, std::string& error);

extern const char kCliUsage[];

}  // namespace velmora::cli
