// Bounded random-input checks of the text scanners that read what servers and files hand us
// (the properties are in support/scanner_checks.h, shared with the libFuzzer target).

#include <gtest/gtest.h>

#include <random>

#include "history/history_file.h"
#include "support/scanner_checks.h"

namespace velmora::modulos::medicao {
namespace {

constexpr int kRounds = 4000;

// Random edits of a valid input: cut, duplicate, insert markers or random bytes.
std::string Mutate(std::string text, std::mt19937& rng, const std::vector<std::string>& tokens) {
    std::uniform_int_distribution<int> action(0, 4);
    const int edits = std::uniform_int_distribution<int>(1, 6)(rng);
    for (int e = 0; e < edits; ++e) {
        const std::size_t at =
            text.empty() ? 0 : std::uniform_int_distribution<std::size_t>(0, text.size())(rng);
        switch (action(rng)) {
            case 0:
                text.erase(at, std::uniform_int_distribution<std::size_t>(0, 40)(rng));
                break;
            case 1:
                text.insert(
                    at,
                    tokens[std::uniform_int_distribution<std::size_t>(0, tokens.size() - 1)(rng)]);
                break;
            case 2:
                text.insert(at, 1,
                            static_cast<char>(std::uniform_int_distribution<int>(0, 255)(rng)));
                break;
            case 3:
                text = text.substr(0, at) + text.substr(at / 2);
                break;
            default:
                text.resize(at);
        }
    }
    return text;
}

std::string RandomBytes(std::mt19937& rng) {
    std::string bytes(std::uniform_int_distribution<std::size_t>(0, 300)(rng), '\0');
    for (char& c : bytes) {
        c = static_cast<char>(std::uniform_int_distribution<int>(0, 255)(rng));
    }
    return bytes;
}

// The same checks as the libFuzzer target, on seeded random and mutated inputs, in every build.
TEST(ScannerRobustness, RandomAndMutatedInputsBreakNothing) {
    MeasurementRecord record;
    record.serverName = L"A&B <x> \"q\"";
    record.downloadSamples = {1, 2, 3};
    const std::string history =
        std::string(kHistorySkeleton)
            .insert(120, BuildHistoryBlock(record) + BuildHistoryBlock(record));
    const std::string reply =
        "{\"status\":\"success\",\"query\":\"1.2.3.4\",\"isp\":\"Claro\",\"city\":\"S\xC3\xA3o "
        "Paulo\",\"regionName\":\"SP\",\"lat\":-23.55,\"lon\":-46.63}\ncolo=GRU\r\nloc=BR\n";
    const std::vector<std::string> tokens = {"<measurement ",
                                             "</measurement>",
                                             "<serverName>",
                                             "</serverName>",
                                             "timestamp=\"",
                                             "&amp;",
                                             "&",
                                             "\"",
                                             "\"lat\":",
                                             "\"query\"",
                                             ":",
                                             "-",
                                             ".",
                                             "+",
                                             "1e308",
                                             "\r\n",
                                             "colo=",
                                             "\xC3",
                                             "\xFF"};
    std::mt19937 rng(20261207);
    for (int i = 0; i < 2 * kRounds; ++i) {
        const std::string& seed = i % 2 == 0 ? history : reply;
        const std::string input = i % 3 == 0 ? RandomBytes(rng) : Mutate(seed, rng, tokens);
        const char* fault = test::ScannerFault(input);
        ASSERT_EQ(fault, nullptr) << fault << " for input of " << input.size() << " bytes";
    }
}

}  // namespace
}  // namespace velmora::modulos::medicao
