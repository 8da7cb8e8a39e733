// Vector build of the base kernel: the rows in memory order, most elements
// through two eight-lane accumulators A and B, the rest through a scalar S.
// A row goes entirely into S unless n >= 16, its start is 4-byte aligned and it
// holds the peel q up to the next 32-byte boundary plus one 16-element step.
// A vector row: peel into S; A += p[c..c+7], B += p[c+8..c+15] per step; a
// remainder of 8 to 15 first folds S into an eight-lane add and a horizontal sum
// H, then the rest goes into S. The result is H(A + B) + S.
// The order therefore depends on the matrix's address modulo 32.

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "kernel.h"

namespace {

// H(X) = ((X0 + X4) + (X2 + X6)) + ((X1 + X5) + (X3 + X7)), in this grouping.
float horizontal_sum(__m256 x) {
  const __m128 halves = _mm_add_ps(_mm256_castps256_ps128(x), _mm256_extractf128_ps(x, 1));
  const __m128 pairs = _mm_add_ps(halves, _mm_movehl_ps(halves, halves));
  return _mm_cvtss_f32(_mm_add_ss(pairs, _mm_movehdup_ps(pairs)));
}

// The number of elements before the row's first 32-byte boundary, or -1 when
// the row is summed in scalar.
int peel_count(const float* row, int n) {
  if (n < 16) return -1;
  const auto mu = static_cast<int>(reinterpret_cast<std::uintptr_t>(row) % 32);
  if (mu % 4 != 0) return -1;
  const int q = mu == 0 ? 0 : (32 - mu) / 4;
  return n < q + 16 ? -1 : q;
}

}  // namespace

float kernel(int n, const float* a) {
  float s = 0.0f;
  __m256 acc_a = _mm256_setzero_ps();
  __m256 acc_b = _mm256_setzero_ps();
  // With n a multiple of 16 and the matrix on a 32-byte boundary, every row
  // is whole steps from a boundary and S takes nothing: the rows run on as
  // one flat sequence of steps, the same additions in the same order, with no
  // per-row work for the steps to wait on.
  if (n > 0 && n % 16 == 0 && reinterpret_cast<std::uintptr_t>(a) % 32 == 0) {
    const float* end = a + static_cast<std::ptrdiff_t>(n) * n;
    for (const float* p = a; p < end; p += 16) {
      acc_a = _mm256_add_ps(acc_a, _mm256_load_ps(p));
      acc_b = _mm256_add_ps(acc_b, _mm256_load_ps(p + 8));
    }
    return horizontal_sum(_mm256_add_ps(acc_a, acc_b)) + s;
  }
  const float* p = a;
  for (int r = 0; r < n; ++r, p += n) {
    const int q = peel_count(p, n);
    if (q < 0) {
      for (int c = 0; c < n; ++c) s = s + p[c];
      continue;
    }
    for (int c = 0; c < q; ++c) s = s + p[c];
    const int e = n - (n - q) % 16;
    for (int c = q; c < e; c += 16) {
      acc_a = _mm256_add_ps(acc_a, _mm256_load_ps(p + c));
      acc_b = _mm256_add_ps(acc_b, _mm256_load_ps(p + c + 8));
    }
    int t = 0;
    if (n - e >= 8) {
      // S enters lane 0 of an eight-lane add; the other lanes start at 0.0.
      s = horizontal_sum(_mm256_add_ps(_mm256_setr_ps(s, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f),
                                       _mm256_load_ps(p + e)));
      t = 8;
    }
    for (; e + t < n; ++t) s = s + p[e + t];
  }
  return horizontal_sum(_mm256_add_ps(acc_a, acc_b)) + s;
}
