// Every kernel build against the order model of its definition, bit for bit.

#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "kernels.h"
#include "test_matrix.h"

namespace {

// Sizes: empty and negative (must read nothing), every n to 40, then odd,
// even and multiples of 6, 8 and 16 with rows up to 257 elements.
std::vector<int> sizes() {
  std::vector<int> n = {-46340, -3, -1};
  for (int i = 0; i <= 40; ++i) n.push_back(i);
  for (int i : {47, 48, 63, 64, 96, 101, 128, 131, 257}) n.push_back(i);
  return n;
}
const std::vector<int> kSizes = sizes();
const Fill kFills[] = {Fill::kMixed,    Fill::kNegativeZero, Fill::kSubnormal,
                       Fill::kInfinity, Fill::kInfinities,   Fill::kNaN};

// A build is proved against the order its table row names; one whose order
// has no model here would otherwise drop out of every test below.
TEST(TableOfBuilds, EveryBuildHasItsOrderModel) {
  ASSERT_FALSE(table_of_builds().empty());
  for (const Build& build : table_of_builds())
    EXPECT_NE(build.order, nullptr) << build.name << " names the order '" << build.order_name
                                    << "', which tests/order_models.h does not define";
}

class KernelOrder : public ::testing::TestWithParam<std::tuple<Build, int, Fill>> {};

TEST_P(KernelOrder, MatchesItsOrderModel) {
  const auto& [build, n, fill] = GetParam();
  SKIP_WITHOUT_AVX(build);
  const std::vector<float> a = test_matrix(n, fill);
  // For n <= 0 a null matrix proves that nothing is read.
  const float* data = a.empty() ? nullptr : a.data();
  const float expected = n > 0 ? build.model(n, data) : 0.0f;
  const float got = build.kernel(n, data);
  EXPECT_TRUE(same_sum(got, expected))
      << build.name << " n=" << n << ": got " << got << " (0x" << std::hex << bits(got)
      << "), model " << expected << " (0x" << bits(expected) << ")";
}

INSTANTIATE_TEST_SUITE_P(AllBuilds, KernelOrder,
                         ::testing::Combine(::testing::ValuesIn(all_builds()),
                                            ::testing::ValuesIn(kSizes),
                                            ::testing::ValuesIn(kFills)),
                         [](const auto& info) {
                           const int n = std::get<1>(info.param);
                           return std::string(std::get<0>(info.param).name) + "_n" +
                                  (n < 0 ? "m" : "") + std::to_string(n < 0 ? -n : n) + "_" +
                                  fill_name(std::get<2>(info.param));
                         });

class EveryBuild : public ::testing::TestWithParam<Build> {};

TEST_P(EveryBuild, SingleElementComesBackUnchangedButZeroIsPositive) {
  const Build& build = GetParam();
  SKIP_WITHOUT_AVX(build);
  for (const float x : {0.75f, -3.0f, 1e-45f, INFINITY})
    EXPECT_EQ(bits(build.kernel(1, &x)), bits(x));
  const float negative_zero = -0.0f;
  EXPECT_EQ(bits(build.kernel(1, &negative_zero)), bits(0.0f));
}

INSTANTIATE_TEST_SUITE_P(AllBuilds, EveryBuild, ::testing::ValuesIn(all_builds()),
                         [](const auto& info) { return std::string(info.param.name); });

// With 1e8 + 1 rounding back to 1e8, the column order ((a0 + a2) + a1) + a3
// keeps both ones and the memory order ((a0 + a1) + a2) + a3 only the last.
TEST(OrderExample, TwoByTwoTellsColumnsFromRows) {
  const float a[] = {1e8f, 1.0f, -1e8f, 1.0f};
  EXPECT_EQ(model::column_order(2, a), 2.0f);
  EXPECT_EQ(model::row_order(2, a), 1.0f);
  EXPECT_EQ(kernel_sum_base_scalar(2, a), 2.0f);
  EXPECT_EQ(kernel_sum_rows(2, a), 1.0f);
}

// The two scalar builds differ only in encoding, so they agree to the last
// bit, NaN payloads included.
TEST(ScalarBuilds, AvxEncodingReturnsIdenticalBits) {
  if (!have_avx()) GTEST_SKIP() << "sum_base_avx needs AVX, absent here";
  for (const int n : kSizes) {
    for (const Fill fill : kFills) {
      const std::vector<float> a = test_matrix(n, fill, 7);
      const float* data = a.empty() ? nullptr : a.data();
      EXPECT_EQ(bits(kernel_sum_base_scalar(n, data)), bits(kernel_sum_base_avx(n, data)))
          << "n=" << n << " " << fill_name(fill);
    }
  }
}

}  // namespace
