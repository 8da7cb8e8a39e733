// Where the matrix lies in memory: the vector order at every start
// misalignment, and every kernel flush against pages it may not touch.

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "kernels.h"
#include "test_matrix.h"

namespace {

// The values in read-only pages between two inaccessible ones, flush against
// the lower guard page or the upper one: a read before the first element or
// after the last, or any write, faults.
class GuardedMatrix {
 public:
  GuardedMatrix(const std::vector<float>& values, bool flush_with_end) {
    const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    const std::size_t bytes = 4 * values.size();
    const std::size_t inner = (bytes + page - 1) / page * page;
    size_ = inner + 2 * page;
    void* map = mmap(nullptr, size_, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (map == MAP_FAILED) std::abort();
    base_ = static_cast<char*>(map);
    char* inner_start = base_ + page;
    mprotect(inner_start, inner, PROT_READ | PROT_WRITE);
    char* first = flush_with_end ? inner_start + inner - bytes : inner_start;
    std::memcpy(first, values.data(), bytes);
    mprotect(inner_start, inner, PROT_READ);
    data_ = reinterpret_cast<const float*>(first);
  }
  ~GuardedMatrix() { munmap(base_, size_); }
  GuardedMatrix(const GuardedMatrix&) = delete;
  GuardedMatrix& operator=(const GuardedMatrix&) = delete;
  const float* data() const { return data_; }

 private:
  char* base_;
  std::size_t size_;
  const float* data_;
};

class EveryKernel : public ::testing::TestWithParam<Build> {};

TEST_P(EveryKernel, ReadsOnlyItsMatrixAndNeverWritesIt) {
  const Build& build = GetParam();
  SKIP_WITHOUT_AVX(build);
  for (const int n : {1, 5, 6, 7, 16, 17, 23, 24, 37, 64, 100}) {
    const std::vector<float> values = test_matrix(n, Fill::kMixed);
    for (const bool flush_with_end : {false, true}) {
      const GuardedMatrix matrix(values, flush_with_end);
      EXPECT_TRUE(same_sum(build.kernel(n, matrix.data()), build.model(n, matrix.data())))
          << "n=" << n << (flush_with_end ? " flush with the end" : " flush with the start");
    }
  }
}

// Whatever the data and the placement, the relations between the orders hold.
TEST_P(EveryKernel, AgreesWithRowOrderWhereTheOrdersCoincide) {
  const Build& build = GetParam();
  SKIP_WITHOUT_AVX(build);
  // Below 6 columns there are no blocks of six, below 16 no vector rows.
  for (int n = 1; n < build.order->rows_below; ++n) {
    for (const Fill fill : {Fill::kMixed, Fill::kSubnormal, Fill::kInfinities}) {
      for (const int offset : {0, 3, 4, 16, 28}) {
        const PlacedMatrix matrix(test_matrix(n, fill, 11), offset);
        EXPECT_TRUE(same_sum(build.kernel(n, matrix.data()), model::row_order(n, matrix.data())))
            << "n=" << n << " " << fill_name(fill) << " offset " << offset;
      }
    }
  }
  // Sums of small integers are exact in any order, so every kernel agrees.
  for (const int n : {2, 7, 24, 37, 100}) {
    std::vector<float> values(static_cast<std::size_t>(n) * n);
    for (std::size_t i = 0; i < values.size(); ++i) values[i] = static_cast<float>(i % 7) - 3.0f;
    const PlacedMatrix matrix(values, 4);
    EXPECT_EQ(build.kernel(n, matrix.data()), model::row_order(n, matrix.data())) << "n=" << n;
  }
}

INSTANTIATE_TEST_SUITE_P(AllBuilds, EveryKernel, ::testing::ValuesIn(all_builds()),
                         [](const auto& info) { return std::string(info.param.name); });

// The vector build at every start misalignment, with sizes whose rows change
// misalignment from row to row (n not a multiple of 8) and take every path.
TEST(VectorBuild, MatchesItsOrderAtEveryMisalignment) {
  if (!have_avx()) GTEST_SKIP() << "sum_base_vec needs AVX, absent here";
  model::VectorPaths taken;
  for (const int n : {16, 17, 19, 23, 24, 31, 37, 45, 53, 64, 100, 131}) {
    for (const Fill fill : {Fill::kMixed, Fill::kNaN, Fill::kNegativeZero}) {
      const std::vector<float> values = test_matrix(n, fill, static_cast<unsigned>(n));
      for (int offset = 0; offset < 32; ++offset) {
        const PlacedMatrix matrix(values, offset);
        const float expected = model::vector_order(n, matrix.data(), taken);
        EXPECT_TRUE(same_sum(kernel_sum_base_vec(n, matrix.data()), expected))
            << "n=" << n << " " << fill_name(fill) << " offset " << offset;
      }
    }
  }
  EXPECT_GT(taken.scalar_rows, 0);
  EXPECT_GT(taken.remainder_none, 0);
  EXPECT_GT(taken.remainder_short, 0);
  EXPECT_GT(taken.remainder_wide, 0);
}

struct PathCase {
  int n, offset;
  model::VectorPaths rows;  // how many rows take each path
};

// The cases that pin the path choice down: n = 16 half a vector off a boundary
// is too short for its peel; n = 24 on a boundary folds S through the
// eight-lane remainder on every row; unaligned floats are never vectorised.
TEST(VectorBuild, ChoosesEachRowsPathByLengthAndMisalignment) {
  if (!have_avx()) GTEST_SKIP() << "sum_base_vec needs AVX, absent here";
  const PathCase cases[] = {
      {16, 16, {16, 0, 0, 0}}, {16, 0, {0, 16, 0, 0}},  {24, 0, {0, 0, 0, 24}},
      {37, 2, {37, 0, 0, 0}},  {40, 28, {0, 0, 40, 0}},  // q = 1, 32 in two steps, 7 left
  };
  for (const PathCase& c : cases) {
    const PlacedMatrix matrix(test_matrix(c.n, Fill::kMixed, 5), c.offset);
    model::VectorPaths rows;
    const float expected = model::vector_order(c.n, matrix.data(), rows);
    EXPECT_EQ(rows.scalar_rows, c.rows.scalar_rows) << "n=" << c.n << " offset " << c.offset;
    EXPECT_EQ(rows.remainder_none, c.rows.remainder_none) << "n=" << c.n << " offset " << c.offset;
    EXPECT_EQ(rows.remainder_short, c.rows.remainder_short)
        << "n=" << c.n << " offset " << c.offset;
    EXPECT_EQ(rows.remainder_wide, c.rows.remainder_wide) << "n=" << c.n << " offset " << c.offset;
    EXPECT_TRUE(same_sum(kernel_sum_base_vec(c.n, matrix.data()), expected));
    if (rows.scalar_rows == c.n)
      EXPECT_TRUE(same_sum(expected, model::row_order(c.n, matrix.data())));
  }
}

}  // namespace
