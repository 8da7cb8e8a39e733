#ifndef SUMBENCH_TESTS_ORDER_MODELS_H_
#define SUMBENCH_TESTS_ORDER_MODELS_H_

// Each kernel's order of single-precision additions, written out plainly and
// independently of the kernels, so that a kernel is proved bit for bit
// against its definition rather than against itself.

#include <cstddef>

namespace model {

inline float column_order(int n, const float* a) {
  float s = 0.0f;
  for (int c = 0; c < n; ++c)
    for (int r = 0; r < n; ++r) s = s + a[static_cast<std::size_t>(r) * n + c];
  return s;
}

}  // namespace model

#endif  // SUMBENCH_TESTS_ORDER_MODELS_H_
