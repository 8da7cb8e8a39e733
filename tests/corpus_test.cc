// Replays the fuzz target's seeds and every input it ever caught, on every
// build, so that a fault once found stays found without a fuzzer.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "fuzz_input.h"

namespace {

TEST(FuzzCorpus, EveryKeptInputAgreesWithTheOrderModels) {
  int inputs = 0;
  for (const char* folder : {FUZZ_CORPUS_DIR, FUZZ_REGRESSIONS_DIR}) {
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
      if (!entry.is_regular_file() || entry.path().filename().string()[0] == '.') continue;
      std::ifstream file(entry.path(), std::ios::binary);
      const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(file), {}};
      ++inputs;
      for (const Build& build : all_builds()) {
        if (build.needs_avx && !have_avx()) continue;
        EXPECT_EQ(check_case(build, bytes.data(), bytes.size()), "") << entry.path();
      }
    }
  }
  EXPECT_GT(inputs, 0) << "no inputs in " << FUZZ_CORPUS_DIR;
}

}  // namespace
