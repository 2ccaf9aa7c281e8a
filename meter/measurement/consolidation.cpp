#include "measurement/consolidation.h"

#include <algorithm>
#include <stdexcept>

namespace velmora::modulos::medicao {

double ConsolidateSamples(const std::vector<double>& samples) {
    if (samples.empty()) {
        throw std::runtime_error("Sem amostras suficientes para consolidar a medição.");
    }
    std::vector<double> sorted(samples);
    std::sort(sorted.begin(), sorted.end());

    const std::size_t n = sorted.size();
    const std::size_t trim = n < 5 ? 0 : n / 5;
    const std::vector<double> kept(sorted.begin() + static_cast<std::ptrdiff_t>(trim),
                                   sorted.end() - static_cast<std::ptrdiff_t>(trim));

    const double middle = kept[kept.size() / 2];
    const double low = 0.65 * middle;
    const double high = 1.25 * middle;

    double sum = 0.0;
    std::size_t count = 0;
    for (const double v : kept) {
        if (v >= low && v <= high) {
            sum += v;
            ++count;
        }
    }
    return count == 0 ? middle : sum / static_cast<double>(count);
}

std::optional<double> PaceOfReadings(
    const std::vector<std::pair<double, std::uint64_t>>& readings) {
    if (readings.size() < 3) {
        return std::nullopt;
    }
    // Centred on the first reading, so that large counts keep their precision in double.
    const double t0 = readings.front().first;
    const double c0 = static_cast<double>(readings.front().second);
    double meanT = 0.0;
    double meanC = 0.0;
    for (const auto& [t, c] : readings) {
        meanT += t - t0;
        meanC += static_cast<double>(c) - c0;
    }
    const double n = static_cast<double>(readings.size());
    meanT /= n;
    meanC /= n;
    double tt = 0.0;
    double tc = 0.0;
    for (const auto& [t, c] : readings) {
        const double dt = t - t0 - meanT;
        tt += dt * dt;
        tc += dt * (static_cast<double>(c) - c0 - meanC);
    }
    return tt > 0.0 ? std::optional(tc / tt) : std::nullopt;
}

}  // namespace velmora::modulos::medicao
