// Row order, one accumulator: s = 0; for row r, for column c: s = s + a[r*n + c].
// The n*n values are added one after the other in memory order. For n = 2 the
// result is ((a0 + a1) + a2) + a3.

#include "kernel.h"

float kernel(int n, const float* a) {
  float s = 0.0f;
  if (n <= 0) return s;
  const float* row = a;
  for (int r = 0; r < n; ++r, row += n) {
    for (int c = 0; c < n; ++c) s = s + row[c];
  }
  return s;
}
