// Column order, one accumulator: s = 0; for column c, for row r: s = s + a[r*n + c].
// Consecutive additions read memory n values apart. For n = 2 and a0..a3 in
// memory order the result is ((a0 + a2) + a1) + a3.
// Built twice from this source: generic x86-64 and AVX-encoded scalar.

#include <cstddef>

#include "kernel.h"

float kernel(int n, const float* a) {
  float s = 0.0f;
  if (n <= 0) return s;
  const std::ptrdiff_t stride = n;  // 64-bit, so no 32-bit index product is formed
  for (int c = 0; c < n; ++c) {
    const float* p = a + c;
    for (int r = 0; r < n; ++r, p += stride) s = s + *p;
  }
  return s;
}
