// Breaks the kernel rules: it counts its calls in a static variable.

#include "kernel.h"

float kernel(int n, const float* a) {
  static int calls = 0;
  ++calls;
  return n > 0 ? a[0] + static_cast<float>(calls) : 0.0f;
}
