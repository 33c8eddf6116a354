// Replays every seed and crash reproducer of the fuzz targets through their entry functions, so
// that a fault a fuzzer once found fails the ordinary test run if it comes back; the committed
// corpus is the generated seeds, never edited by hand, so it follows the protocol as it is now.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "fuzz/targets/FuzzTargets.h"

namespace kova::fuzz {
namespace {

namespace fs = std::filesystem;

const fs::path kFuzzFolder = KOVA_FUZZ_FOLDER;

std::vector<std::uint8_t> readFile(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

// The regular files of a folder by name; none when the folder does not exist.
std::map<std::string, fs::path> filesIn(const fs::path& folder) {
    std::map<std::string, fs::path> files;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder, error)) {
        if (entry.is_regular_file()) files.emplace(entry.path().filename().string(), entry.path());
    }
    return files;
}

class FuzzReplay : public ::testing::TestWithParam<Target> {};

TEST_P(FuzzReplay, SeedsAreGeneratedAndTheyAndCrashReproducersHold) {
    const auto holds = [](const std::string& what, const std::vector<std::uint8_t>& bytes) {
        const Verdict verdict = GetParam().run(bytes);
        EXPECT_FALSE(verdict.has_value()) << what << ": " << *verdict;
    };
    const fs::path corpus = kFuzzFolder / "corpus" / GetParam().name;
    auto unknown = filesIn(corpus);
    const auto seeds = seedsFor(GetParam().name);
    ASSERT_FALSE(seeds.empty());
    for (const Seed& seed : seeds) {
        EXPECT_EQ(readFile(corpus / seed.name), seed.bytes)
            << seed.name << " is missing or stale; rewrite it with fuzz_write_seeds fuzz/corpus";
        unknown.erase(seed.name);
        holds(seed.name, seed.bytes);
    }
    for (const auto& [name, path] : unknown) ADD_FAILURE() << path << " is not a generated seed";
    for (const auto& [name, path] : filesIn(kFuzzFolder / "regressions" / GetParam().name)) {
        holds(path.string(), readFile(path));
    }
}

INSTANTIATE_TEST_SUITE_P(Targets, FuzzReplay,
                         ::testing::ValuesIn(targets().begin(), targets().end()),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kova::fuzz
