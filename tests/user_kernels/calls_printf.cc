// Breaks the kernel rules: it needs printf from the C library.

#include <cstdio>

#include "kernel.h"

float kernel(int n, const float* a) {
  std::printf("summing %d\n", n);
  return n > 0 ? a[0] : 0.0f;
}
