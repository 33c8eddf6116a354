// Replays every committed seed and crash reproducer of the fuzz targets through their entry
// functions, so that a fault a fuzzer once found fails the ordinary test run if it comes back.
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

class FuzzReplay : public ::testing::TestWithParam<Target> {
  protected:
    fs::path corpus() const { return kFuzzFolder / "corpus" / GetParam().name; }
    fs::path regressions() const { return kFuzzFolder / "regressions" / GetParam().name; }
};

TEST_P(FuzzReplay, SeedsAndCrashReproducersHold) {
    auto files = filesIn(corpus());
    ASSERT_FALSE(files.empty()) << "no seed corpus in " << corpus();
    for (auto& [name, path] : filesIn(regressions())) files.emplace("regression " + name, path);

    for (const auto& [name, path] : files) {
        SCOPED_TRACE(path.string());
        const auto bytes = readFile(path);
        const Verdict verdict = GetParam().run(bytes);
        EXPECT_FALSE(verdict.has_value()) << *verdict;
    }
}

// The corpus is generated, never edited by hand, and follows the protocol as it is now.
TEST_P(FuzzReplay, CommittedCorpusIsTheGeneratedSeeds) {
    const auto seeds = seedsFor(GetParam().name);
    ASSERT_FALSE(seeds.empty());
    auto files = filesIn(corpus());
    for (const Seed& seed : seeds) {
        SCOPED_TRACE(seed.name);
        const auto file = files.find(seed.name);
        ASSERT_NE(file, files.end())
            << "missing from " << corpus() << "; rewrite it with fuzz_write_seeds fuzz/corpus";
        EXPECT_EQ(readFile(file->second), seed.bytes)
            << "stale; rewrite it with fuzz_write_seeds fuzz/corpus";
        files.erase(file);
    }
    for (const auto& [name, path] : files) ADD_FAILURE() << path << " is not a generated seed";
}

INSTANTIATE_TEST_SUITE_P(Targets, FuzzReplay,
                         ::testing::ValuesIn(targets().begin(), targets().end()),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kova::fuzz
