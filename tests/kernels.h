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
}

using Sum = float (*)(int n, const float* a);

struct Build {
  const char* name;
  Sum kernel;
  Sum model;      // its order of additions
  bool needs_avx;
};

inline void PrintTo(const Build& build, std::ostream* os) { *os << build.name; }

inline const std::vector<Build>& all_builds() {
  static const std::vector<Build> builds = {
      {"sum_base_scalar", kernel_sum_base_scalar, model::column_order, false},
      {"sum_base_avx", kernel_sum_base_avx, model::column_order, true},
  };
  return builds;
}

#endif  // SUMBENCH_TESTS_KERNELS_H_
