#ifndef SUMBENCH_TESTS_KERNELS_H_
#define SUMBENCH_TESTS_KERNELS_H_

// The builds of the build's table, as the tests see them: the very objects
// the programs are built from, each with its `kernel` renamed to
// kernel_<build> so that all of them fit in one binary, beside the order
// model that the table names for it.

#include <ostream>
#include <vector>

#include "builds.h"
#include "order_models.h"

#define SUMBENCH_DECLARE(build, order, avx, program, path) \
  extern "C" float kernel_##build(int n, const float* a);
SUMBENCH_FOR_EACH_BUILD(SUMBENCH_DECLARE)
#undef SUMBENCH_DECLARE

struct Build {
  const char* name;
  Sum kernel;
  const char* order_name;
  const model::Order* order;  // null when the tests hold no model of that name
  bool needs_avx;
  const char* program;       // the driver linked with this build
  const char* program_path;  // and where the build put it
  float model(int n, const float* a) const { return order->sum(n, a); }
};

inline void PrintTo(const Build& build, std::ostream* os) { *os << build.name; }

// Every build that has an order model; a build without one fails the test
// that looks for it, rather than go untested without a word.
inline const std::vector<Build>& table_of_builds() {
  static const std::vector<Build> builds = {
#define SUMBENCH_ROW(build, order, avx, program, path) \
  {#build, kernel_##build, order, model::find_order(order), avx, program, path},
      SUMBENCH_FOR_EACH_BUILD(SUMBENCH_ROW)
#undef SUMBENCH_ROW
  };
  return builds;
}

inline const std::vector<Build>& all_builds() {
  static const std::vector<Build> builds = [] {
    std::vector<Build> modelled;
    for (const Build& b : table_of_builds())
      if (b.order != nullptr) modelled.push_back(b);
    return modelled;
  }();
  return builds;
}

inline bool have_avx() { return __builtin_cpu_supports("avx"); }

#define SKIP_WITHOUT_AVX(build) \
  if ((build).needs_avx && !have_avx()) GTEST_SKIP() << (build).name << " needs AVX, absent here"

#endif  // SUMBENCH_TESTS_KERNELS_H_
