#ifndef SUMBENCH_TESTS_KERNELS_H_
#define SUMBENCH_TESTS_KERNELS_H_

// The test links the very objects the programs are built from, each with its
// `kernel` renamed to kernel_<build> so that all of them fit in one binary.

#include <ostream>
#include <vector>

#include "order_models.h"

extern "C" {
float kernel_sum_base_scalar(int n, const float* a);
float kernel_sum_base_avx(int n, const float* a);
float kernel_sum_base_vec(int n, const float* a);
float kernel_sum_rows(int n, const float* a);
float kernel_sum_rows6(int n, const float* a);
float kernel_sum_double(int n, const float* a);
}

using Sum = float (*)(int n, const float* a);

struct Build {
  const char* name;
  Sum kernel;
  Sum model;  // its order of additions
  bool needs_avx;
  int rows_below;  // for 1 <= n < rows_below its order is the row order
};

inline void PrintTo(const Build& build, std::ostream* os) { *os << build.name; }

inline const std::vector<Build>& all_builds() {
  static const std::vector<Build> builds = {
      {"sum_base_scalar", kernel_sum_base_scalar, model::column_order, false, 2},
      {"sum_base_avx", kernel_sum_base_avx, model::column_order, true, 2},
      {"sum_base_vec", kernel_sum_base_vec, model::vector_order, true, 16},
      {"sum_rows", kernel_sum_rows, model::row_order, false, 0},
      {"sum_rows6", kernel_sum_rows6, model::rows6_order, false, 6},
      {"sum_double", kernel_sum_double, model::double_order, false, 0},
  };
  return builds;
}

inline bool have_avx() { return __builtin_cpu_supports("avx"); }

#define SKIP_WITHOUT_AVX(build) \
  if ((build).needs_avx && !have_avx()) GTEST_SKIP() << (build).name << " needs AVX, absent here"

#endif  // SUMBENCH_TESTS_KERNELS_H_
