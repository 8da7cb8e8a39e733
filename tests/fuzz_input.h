#ifndef SUMBENCH_TESTS_FUZZ_INPUT_H_
#define SUMBENCH_TESTS_FUZZ_INPUT_H_

// One differential case from raw bytes, shared by the fuzz target and by the
// test that replays its corpus: byte 0 gives n (0 to 100), byte 1 the start
// misalignment of the matrix (0 to 31 bytes), and the rest the elements' bit
// patterns, four bytes each, repeated as often as the matrix needs.

#include <cstdint>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "kernels.h"
#include "test_matrix.h"

// The kernel's sum of the case against its model's: "" when they agree.
inline std::string check_case(const Build& build, const std::uint8_t* data, std::size_t size) {
  if (size < 2) return "";
  const int n = data[0] % 101;
  const int offset = data[1] % 32;
  std::vector<float> values(static_cast<std::size_t>(n) * n, 0.0f);
  const std::size_t rest = size - 2;
  for (std::size_t i = 0; i < values.size() && rest >= 4; ++i) {
    std::uint8_t word[4];
    for (std::size_t b = 0; b < 4; ++b) word[b] = data[2 + (4 * i + b) % rest];
    std::memcpy(&values[i], word, 4);
  }
  const PlacedMatrix matrix(values, offset);
  const float got = build.kernel(n, matrix.data());
  const float expected = build.model(n, matrix.data());
  if (same_sum(got, expected)) return "";
  std::ostringstream why;
  why << build.name << " n=" << n << " offset " << offset << ": got 0x" << std::hex << bits(got)
      << ", its order gives 0x" << bits(expected);
  return why.str();
}

#endif  // SUMBENCH_TESTS_FUZZ_INPUT_H_
