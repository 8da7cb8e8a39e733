#ifndef SUMBENCH_TESTS_TEST_MATRIX_H_
#define SUMBENCH_TESTS_TEST_MATRIX_H_

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

// What a test matrix holds. Mixed magnitudes make every order of additions
// round differently; the others probe the IEEE corners every kernel must keep.
enum class Fill {
  kMixed,         // signed values from 2^-20 to 2^20: any change of order shows in the bits
  kNegativeZero,  // all -0.0: the sum must be +0.0
  kSubnormal,     // values across the subnormal range: flush-to-zero would lose them
  kInfinity,      // mixed with one +inf near the end
  kInfinities,    // mixed with +inf and -inf: the sum is NaN
  kNaN,           // mixed with one NaN
};

inline const char* fill_name(Fill f) {
  switch (f) {
    case Fill::kMixed:
      return "mixed";
    case Fill::kNegativeZero:
      return "negzero";
    case Fill::kSubnormal:
      return "subnormal";
    case Fill::kInfinity:
      return "inf";
    case Fill::kInfinities:
      return "infs";
    case Fill::kNaN:
      return "nan";
  }
  return "?";
}

inline std::vector<float> test_matrix(int n, Fill fill, unsigned seed = 1) {
  const std::size_t count = n > 0 ? static_cast<std::size_t>(n) * static_cast<std::size_t>(n) : 0;
  std::vector<float> a(count);
  std::mt19937 gen(seed);
  std::uniform_real_distribution<float> mantissa(1.0f, 2.0f);
  std::uniform_int_distribution<int> exponent(-20, 20), tiny(-149, -124), sign(0, 1);
  for (float& x : a) {
    const float m = sign(gen) ? -mantissa(gen) : mantissa(gen);
    switch (fill) {
      case Fill::kNegativeZero:
        x = -0.0f;
        break;
      case Fill::kSubnormal:
        x = std::ldexp(m, tiny(gen));
        break;
      default:
        x = std::ldexp(m, exponent(gen));
    }
  }
  if (count == 0) return a;
  const float inf = INFINITY;
  if (fill == Fill::kInfinity) a[count - 1 - count / 3] = inf;
  if (fill == Fill::kInfinities) a[count / 3] = inf, a[count - 1] = -inf;
  if (fill == Fill::kNaN) a[count / 2] = NAN;
  return a;
}

inline std::uint32_t bits(float x) {
  std::uint32_t b;
  std::memcpy(&b, &x, sizeof b);
  return b;
}

// Bit-for-bit equality, except that any two NaNs are equal: the payload of a
// NaN sum depends on operand order, which the compiler may swap.
inline bool same_sum(float x, float y) {
  return (std::isnan(x) && std::isnan(y)) || bits(x) == bits(y);
}

// A copy of the values whose first byte lies `offset` bytes past a 32-byte
// boundary; an offset that is not a multiple of 4 gives unaligned floats.
class PlacedMatrix {
 public:
  PlacedMatrix(const std::vector<float>& values, int offset) : storage_(4 * values.size() + 64) {
    const auto start = reinterpret_cast<std::uintptr_t>(storage_.data());
    char* base = storage_.data() + ((32 - start % 32) % 32) + offset;
    if (!values.empty()) std::memcpy(base, values.data(), 4 * values.size());
    data_ = reinterpret_cast<const float*>(base);
  }
  const float* data() const { return data_; }

 private:
  std::vector<char> storage_;
  const float* data_;
};

#endif  // SUMBENCH_TESTS_TEST_MATRIX_H_
