#include "run_assessment.h"

#include <algorithm>
#include <cmath>

#include "common/text.h"

namespace velmora::cli {
namespace {

using modulos::medicao::ParseStoredNumber;
using modulos::medicao::PhaseDiagnostics;
using modulos::medicao::RunDiagnostics;

// Latencies are kept in whole milliseconds, so a 0 under load (a LAN or loopback server) is a
// probe under half a millisecond: its RPM is given as the bound it is sure of, not as infinity.
constexpr double kFinestLoadedMs = 0.5;

DirectionLoad AssessDirection(double idleMs, std::optional<double> loadedMs) {
    if (!loadedMs || !(*loadedMs >= 0.0)) {
        return {};
    }
    // A loaded latency a little below the idle one is the probes' spread, not a gain.
    return {std::max(0.0, *loadedMs - idleMs),
            std::llround(60'000.0 / std::max(*loadedMs, kFinestLoadedMs))};
}

// Numbers as the rest of the console writes them, whatever the locale.
std::string Fixed(double value, int decimals) {
    return WideToUtf8(FormatFixed(value, decimals));
}

std::string Percent(double share) {
    return Fixed(share * 100.0, 0) + " %";
}

void PhaseNotes(const PhaseDiagnostics& phase, const char* name, std::vector<std::string>& notes) {
    if (phase.cpuShare >= kCpuShortShare) {
        notes.push_back(std::string("Faltou CPU ao programa durante o ") + name + " (" +
                        Percent(phase.cpuShare) +
                        " do tempo dos núcleos): o valor pode ser o limite deste computador, "
                        "não da linha.");
    }
    if (phase.liveVariation >= kWideLiveVariation) {
        notes.push_back(std::string("Os valores ao vivo do ") + name +
                        " variaram muito (desvio padrão de " + Percent(phase.liveVariation) +
                        " da média): repita o teste para confirmar.");
    }
    if (phase.retransmittedShare >= kHighRetransmittedShare) {
        notes.push_back(Percent(phase.retransmittedShare) + " dos bytes enviados no " + name +
                        " foram retransmitidos: há perda de pacotes no caminho.");
    }
}

}  // namespace

std::string GradeForAddedLatency(double addedMs) {
    for (const GradeBound& bound : kGradeBounds) {
        if (addedMs < bound.belowMs) {
            return bound.grade;
        }
    }
    return kWorstGrade;
}

Responsiveness AssessResponsiveness(double idleMs, std::optional<double> downloadLoadedMs,
                                    std::optional<double> uploadLoadedMs) {
    Responsiveness result{AssessDirection(idleMs, downloadLoadedMs),
                          AssessDirection(idleMs, uploadLoadedMs), std::nullopt};
    std::optional<double> worse;
    for (const DirectionLoad* direction : {&result.download, &result.upload}) {
        if (direction->addedMs && (!worse || *direction->addedMs > *worse)) {
            worse = direction->addedMs;
        }
    }
    if (worse) {
        result.grade = GradeForAddedLatency(*worse);
    }
    return result;
}

Responsiveness AssessRun(const modulos::medicao::MeasurementRecord& record,
                         const RunDiagnostics& diagnostics) {
    const auto measured = [](const PhaseDiagnostics& phase, double loaded) {
        return phase.loadedProbes > 0 ? std::optional(loaded) : std::nullopt;
    };
    return AssessResponsiveness(record.idleLatencyMs,
                                measured(diagnostics.download, record.downloadLatencyMs),
                                measured(diagnostics.upload, record.uploadLatencyMs));
}

std::optional<std::string> StoredGrade(const modulos::medicao::HistoryEntry& entry) {
    // A failed run keeps whatever latencies it had reached (zeros, often): nothing to grade.
    const std::optional<double> idle = ParseStoredNumber(entry.idleLatencyMs);
    if (entry.status != WideToUtf8(modulos::medicao::kStatusDone) || !idle) {
        return std::nullopt;
    }
    return AssessResponsiveness(*idle, ParseStoredNumber(entry.downloadLatencyMs),
                                ParseStoredNumber(entry.uploadLatencyMs))
        .grade;
}

std::string ResponsivenessLine(const Responsiveness& r) {
    const auto direction = [](const std::string& name, const DirectionLoad& load) {
        return name + (load.addedMs ? " +" + Fixed(*load.addedMs, 0) + " ms"
                                    : std::string(" sem latência sob carga"));
    };
    return "Responsividade: " + r.grade.value_or("sem nota") + " (" +
           direction("download", r.download) + ", " + direction("upload", r.upload) + ")";
}

std::string FormatDataSize(std::uint64_t bytes) {
    const double value = static_cast<double>(bytes);
    return value < 999.95e6 ? Fixed(value / 1e6, 1) + " MB" : Fixed(value / 1e9, 2) + " GB";
}

std::string AddressFamilyName(int family) {
    return family == 4 ? "IPv4" : family == 6 ? "IPv6" : "";
}

std::string JitterLine(const RunDiagnostics& diagnostics) {
    const auto ms = [](double value) {
        return value >= 0.0 ? WideToUtf8(FormatFixed(value, 1)) + " ms" : std::string("-");
    };
    return "Jitter: " + ms(diagnostics.idleJitterMs) + " (download " +
           ms(diagnostics.download.jitterMs) + ", upload " + ms(diagnostics.upload.jitterMs) + ")";
}

std::vector<std::string> TrustNotes(const RunDiagnostics& diagnostics) {
    std::vector<std::string> notes;
    PhaseNotes(diagnostics.download, "download", notes);
    PhaseNotes(diagnostics.upload, "upload", notes);
    if (diagnostics.viaProxy) {
        notes.push_back(
            "As transferências passaram por um proxy: os valores medem o caminho até ele, não "
            "só a linha.");
    }
    if (const std::string family = AddressFamilyName(diagnostics.addressFamily); !family.empty()) {
        notes.push_back("Transferências por " + family + ".");
    }
    return notes;
}

}  // namespace velmora::cli
