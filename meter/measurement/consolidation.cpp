#include "measurement/consolidation.h"

#include <algorithm>
#include <cmath>
#include <limits>
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
    std::vector<double> times;
    std::vector<double> counts;
    for (const auto& [t, c] : readings) {
        times.push_back(t - t0);
        counts.push_back(static_cast<double>(c) - c0);
    }
    // The line passes through two readings, so its slope lies between the least and the most
    // steep step from one reading to the next.
    double low = std::numeric_limits<double>::infinity();
    double high = -low;
    for (std::size_t i = 1; i < times.size(); ++i) {
        if (times[i] > times[i - 1]) {
            const double step = (counts[i] - counts[i - 1]) / (times[i] - times[i - 1]);
            low = std::min(low, step);
            high = std::max(high, step);
        }
    }
    if (!(low <= high)) {
        return std::nullopt;
    }
    // A quarter of the readings lie above the line: for a slope, the best offset is the
    // residuals' upper quartile, and the loss of the best offset is convex in the slope, so a
    // golden-section search finds its least.
    constexpr double kAbove = 0.25;
    const auto quartile =
        static_cast<std::size_t>(std::ceil((1.0 - kAbove) * static_cast<double>(times.size()))) - 1;
    std::vector<double> residuals(times.size());
    const auto loss = [&](double slope) {
        for (std::size_t i = 0; i < times.size(); ++i) {
            residuals[i] = counts[i] - slope * times[i];
        }
        // The sum does not depend on their order.
        std::nth_element(residuals.begin(),
                         residuals.begin() + static_cast<std::ptrdiff_t>(quartile),
                         residuals.end());
        const double offset = residuals[quartile];
        double sum = 0.0;
        for (const double r : residuals) {
            sum += r >= offset ? (1.0 - kAbove) * (r - offset) : kAbove * (offset - r);
        }
        return sum;
    };
    const double golden = (std::sqrt(5.0) - 1.0) / 2.0;
    double x1 = high - golden * (high - low);
    double x2 = low + golden * (high - low);
    double f1 = loss(x1);
    double f2 = loss(x2);
    for (int i = 0; i < 100; ++i) {
        if (f1 <= f2) {
            high = x2;
            x2 = x1;
            f2 = f1;
            x1 = high - golden * (high - low);
            f1 = loss(x1);
        } else {
            low = x1;
            x1 = x2;
            f1 = f2;
            x2 = low + golden * (high - low);
            f2 = loss(x2);
        }
    }
    return (low + high) / 2.0;
}

}  // namespace velmora::modulos::medicao
