// A well-behaved kernel of a user's: the rows in memory order, two elements
// at a time into two sums, added at the end.

#include "kernel.h"

float kernel(int n, const float* a) {
  float even = 0.0f, odd = 0.0f;
  if (n <= 0) return 0.0f;
  const long count = static_cast<long>(n) * n;
  long i = 0;
  for (; i + 1 < count; i += 2) {
    even = even + a[i];
    odd = odd + a[i + 1];
  }
  if (i < count) even = even + a[i];
  return even + odd;
}
