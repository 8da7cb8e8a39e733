// libFuzzer target: one kernel build, named by FUZZ_BUILD, against its order
// model on arbitrary sizes, placements and bit patterns. A disagreement aborts,
// so that libFuzzer keeps the input.

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fuzz_input.h"

static const Build& fuzzed_build() {
  for (const Build& b : all_builds())
    if (std::strcmp(b.name, FUZZ_BUILD) == 0) return b;
  std::fprintf(stderr, "no build named %s\n", FUZZ_BUILD);
  std::abort();
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const Build& build = fuzzed_build();
  if (build.needs_avx && !have_avx()) return 0;
  const std::string why = check_case(build, data, size);
  if (!why.empty()) {
    std::fprintf(stderr, "%s\n", why.c_str());
    std::abort();
  }
  return 0;
}
