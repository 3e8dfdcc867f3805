// Runs every fuzz harness over its seed corpus and over the inputs that once
// broke it. The harnesses check their own properties and abort on a breach,
// so this test fails the same way a fuzzer finding would.
#include "harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>
#include <string>
#include <vector>

#define DRAVOLIN_HARNESS(name, function) int function(const std::uint8_t*, std::size_t);
#include "harness_list.inc"
#undef DRAVOLIN_HARNESS

namespace {

namespace fs = std::filesystem;

struct HarnessEntry {
    const char* name;
    dravolin::fuzz::Harness run;
};

const HarnessEntry kHarnesses[] = {
#define DRAVOLIN_HARNESS(name, function) {#name, &function},
#include "harness_list.inc"
#undef DRAVOLIN_HARNESS
};

std::vector<fs::path> FilesUnder(const fs::path& dir) {
    std::vector<fs::path> files;
    std::error_code ec;
    if (!fs::is_directory(dir, ec))
        return files;
    for (const auto& entry : fs::directory_iterator(dir, ec))
        if (entry.is_regular_file())
            files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    return files;
}

std::string ReadAll(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void PrintTo(const HarnessEntry& h, std::ostream* os) {
    *os << h.name;
}

class FuzzCorpusReplay : public testing::TestWithParam<HarnessEntry> {};

TEST_P(FuzzCorpusReplay, SeedsAndRegressionsKeepEveryProperty) {
    const HarnessEntry& h = GetParam();
    const fs::path root(DRAVOLIN_FUZZ_DIR);
    const auto seeds = FilesUnder(root / "corpus" / h.name);
    // A harness without seeds would start from nothing and reach little.
    ASSERT_FALSE(seeds.empty()) << "no seed corpus for " << h.name;
    auto inputs = seeds;
    const auto regressions = FilesUnder(root / "regressions" / h.name);
    inputs.insert(inputs.end(), regressions.begin(), regressions.end());
    for (const auto& file : inputs) {
        SCOPED_TRACE(file.string());
        const std::string data = ReadAll(file);
        h.run(reinterpret_cast<const std::uint8_t*>(data.data()), data.size());
    }
    // Every prefix of every seed too: truncated input is the commonest fault.
    for (const auto& file : seeds) {
        const std::string data = ReadAll(file);
        const std::size_t step = data.size() > 512 ? data.size() / 256 : 1;
        for (std::size_t n = 0; n < data.size(); n += step)
            h.run(reinterpret_cast<const std::uint8_t*>(data.data()), n);
    }
}

INSTANTIATE_TEST_SUITE_P(Harnesses, FuzzCorpusReplay, testing::ValuesIn(kHarnesses),
                         [](const testing::TestParamInfo<HarnessEntry>& info) {
                             return std::string(info.param.name);
                         });

} // namespace
