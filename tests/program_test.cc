// The programs as a user runs them: their five lines, their statistics, the
// sum of the fixed test matrix, and every rejected command line.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "kernels.h"
#include "run.h"
#include "test_matrix.h"

namespace {

struct Report {
  std::string sum;  // the text after "Valeur s = "
  double moy, min, max, med;
  std::vector<std::string> stats;  // the four statistics as printed
};

// Parses the five lines, failing the test unless each has its exact format.
Report parse(const std::string& out) {
  static const std::regex format(
      "Valeur s = (-?[0-9]+\\.[0-9]{6})\n"
      "moy = ([0-9]+\\.[0-9]{6}|inf)\n"
      "min = ([0-9]+\\.[0-9]{6}|inf)\n"
      "max = ([0-9]+\\.[0-9]{6}|inf)\n"
      "med = ([0-9]+\\.[0-9]{6}|inf)\n");
  std::smatch m;
  Report report{};
  if (!std::regex_match(out, m, format)) {
    ADD_FAILURE() << "not the five report lines:\n" << out;
    return report;
  }
  report.sum = m[1];
  for (int i = 2; i <= 5; ++i) report.stats.push_back(m[i]);
  report.moy = std::strtod(report.stats[0].c_str(), nullptr);
  report.min = std::strtod(report.stats[1].c_str(), nullptr);
  report.max = std::strtod(report.stats[2].c_str(), nullptr);
  report.med = std::strtod(report.stats[3].c_str(), nullptr);
  return report;
}

Report run_ok(const Build& p, const std::string& n, const std::string& r) {
  const Outcome o = run({p.program_path, n, r});
  EXPECT_EQ(o.status, 0) << p.program << " " << n << " " << r << ": " << o.err;
  EXPECT_EQ(o.err, "");
  return parse(o.out);
}

// The sums the program may print for the test matrix as the driver defines
// it: rand() after srand(0), in memory order, each value divided by 2^31. An
// order that depends on the address gives one sum for each 4-byte-aligned
// placement that malloc could choose.
std::set<std::string> expected_sums(const Build& p, int n) {
  std::vector<float> a(static_cast<std::size_t>(n) * n);
  srand(0);
  for (float& x : a) x = static_cast<float>(rand()) / 2147483648.0f;
  std::set<std::string> sums;
  for (int offset = 0; offset < (p.order->depends_on_address ? 32 : 1); offset += 4) {
    char text[64];
    const PlacedMatrix matrix(a, offset);
    std::snprintf(text, sizeof text, "%f", static_cast<double>(p.model(n, matrix.data())));
    sums.insert(text);
  }
  return sums;
}

class ProgramRun : public ::testing::TestWithParam<Build> {};

TEST_P(ProgramRun, PrintsTheModelSumOfTheFixedMatrixOnEveryRun) {
  const Report first = run_ok(GetParam(), "300", "3");
  EXPECT_EQ(expected_sums(GetParam(), 300).count(first.sum), 1u) << first.sum;
  EXPECT_EQ(run_ok(GetParam(), "300", "3").sum, first.sum);
}

TEST_P(ProgramRun, StatisticsAreOrdered) {
  const Report r = run_ok(GetParam(), "64", "101");
  EXPECT_LE(r.min, r.med);
  EXPECT_LE(r.med, r.max);
  // The mean is a single-precision sum of the samples divided by R, so it may
  // stray from [min, max] by its rounding, which stays far below 1e-4.
  EXPECT_GE(r.moy, r.min * (1 - 1e-4));
  EXPECT_LE(r.moy, r.max * (1 + 1e-4));
}

TEST_P(ProgramRun, OneRepetitionGivesFourEqualStatistics) {
  const Report r = run_ok(GetParam(), "50", "1");
  ASSERT_EQ(r.stats.size(), 4u);
  for (const std::string& s : r.stats) EXPECT_EQ(s, r.stats[0]);
}

TEST_P(ProgramRun, MedianOfTwoIsTheLarger) {
  const Report r = run_ok(GetParam(), "50", "2");
  ASSERT_EQ(r.stats.size(), 4u);
  EXPECT_EQ(r.stats[3], r.stats[2]);
}

// n = 0: nothing to sum, and every counter difference is divided by 0.
TEST_P(ProgramRun, EmptyMatrixGivesZeroAndInfinity) {
  const Report r = run_ok(GetParam(), "0", "5");
  EXPECT_EQ(r.sum, "0.000000");
  EXPECT_EQ(r.stats, std::vector<std::string>(4, "inf"));
}

// Negative n: the kernel reads nothing, but n*n is positive, so the samples are finite.
TEST_P(ProgramRun, NegativeSizeGivesZeroAndFiniteStatistics) {
  const Report r = run_ok(GetParam(), "-20", "5");
  EXPECT_EQ(r.sum, "0.000000");
  for (const std::string& s : r.stats) EXPECT_NE(s, "inf");
}

// A command line and what it must give: a run as atoi would read it (status 0
// and the same sum as the plain command line `same_as`), or one line on
// standard error, a status, and nothing on standard output.
struct CommandLine {
  const char* label;
  std::vector<std::string> args;
  int status;
  const char* message;               // rejected: a part of the line on standard error
  std::vector<std::string> same_as;  // accepted: the plain arguments it stands for
  unsigned long address_space;       // a cap on the address space, in bytes, or 0
};

void PrintTo(const CommandLine& c, std::ostream* os) { *os << c.label; }

const CommandLine kCommandLines[] = {
    {"no_arguments", {}, 2, "usage: ", {}, 0},
    {"one_argument", {"100"}, 2, "usage: ", {}, 0},
    {"n_trailing_text", {"12abc", "3"}, 0, nullptr, {"12", "3"}, 0},
    {"R_trailing_text", {"12", "3x"}, 0, nullptr, {"12", "3"}, 0},
    {"blanks_and_signs", {"  +12", " 3"}, 0, nullptr, {"12", "3"}, 0},
    {"n_not_a_number", {"abc", "3"}, 0, nullptr, {"0", "3"}, 0},
    {"negative_n", {"-12", "3"}, 0, nullptr, {"0", "3"}, 0},
    {"n_int_max", {"2147483647", "1"}, 2, "n = 2147483647: n*n must fit a 32-bit int", {}, 0},
    {"n_above_int", {"2147483648", "1"}, 2, "n is outside the 32-bit int range: 2147483648", {}, 0},
    {"n_int_min", {"-2147483648", "1"}, 2, "n = -2147483648: n*n must fit", {}, 0},
    {"n_below_int", {"-2147483649", "1"}, 2, "n is outside the 32-bit int range", {}, 0},
    {"R_int_min", {"10", "-2147483648"}, 2, "R = -2147483648: at least one timed call", {}, 0},
    {"R_above_int", {"10", "2147483648"}, 2, "R is outside the 32-bit int range", {}, 0},
    {"R_below_int", {"10", "-2147483649"}, 2, "R is outside the 32-bit int range", {}, 0},
    {"R_zero", {"10", "0"}, 2, "R = 0: at least one timed call", {}, 0},
    {"R_negative", {"10", "-4"}, 2, "R = -4", {}, 0},
    {"R_not_a_number", {"10", "many"}, 2, "R = 0", {}, 0},
    {"n_square_overflows", {"46341", "1"}, 2, "n = 46341: n*n must fit a 32-bit int", {}, 0},
    {"negative_n_square_overflows", {"-46341", "1"}, 2, "n = -46341", {}, 0},
    // The largest n passes the checks and stops at its 8.6 GB matrix in 1 GB.
    {"matrix_allocation_fails",
     {"46340", "1"},
     1,
     "cannot allocate 8589582400 bytes",
     {},
     1ul << 30},
    // 12 MB of samples: more than a stack holds.
    {"samples_beyond_a_stack", {"1", "3000000"}, 0, nullptr, {"1", "1"}, 0},
};

// Every program links the same driver object, so one program stands for all.
class HostileCommandLine : public ::testing::TestWithParam<CommandLine> {};

TEST_P(HostileCommandLine, RunsAsAtoiReadsOrIsRejectedInOneLine) {
  const CommandLine& c = GetParam();
#ifdef SUMBENCH_SANITIZED
  if (c.address_space != 0)
    GTEST_SKIP() << "the sanitizers' shadow memory needs more address space";
#endif
  std::vector<std::string> argv = {all_builds()[0].program_path};
  argv.insert(argv.end(), c.args.begin(), c.args.end());
  const Outcome o = run(argv, c.address_space);
  EXPECT_EQ(o.status, c.status) << o.err;
  if (c.status == 0) {
    EXPECT_EQ(o.err, "");
    const Report plain = run_ok(all_builds()[0], c.same_as[0], c.same_as[1]);
    EXPECT_EQ(parse(o.out).sum, plain.sum);
  } else {
    EXPECT_EQ(o.out, "");
    EXPECT_NE(o.err.find(c.message), std::string::npos) << o.err;
    EXPECT_EQ(o.err.find('\n'), o.err.size() - 1) << "not one line: " << o.err;
  }
}

INSTANTIATE_TEST_SUITE_P(Sumbench, HostileCommandLine, ::testing::ValuesIn(kCommandLines),
                         [](const auto& info) { return std::string(info.param.label); });

INSTANTIATE_TEST_SUITE_P(Programs, ProgramRun, ::testing::ValuesIn(all_builds()),
                         [](const auto& info) { return std::string(info.param.program); });

// 3·10^7 samples of about 26 counter cycles: a single-precision running sum
// would stall near 2^24 samples' worth and print a mean below the minimum.
TEST(Driver, MeanOfManySamplesLiesBetweenMinAndMax) {
  const Report r = run_ok(all_builds()[0], "1", "30000000");
  EXPECT_GE(r.moy, r.min);
  EXPECT_LE(r.moy, r.max);
}

// 1 + 2R calls, every one with the first call's n and matrix address.
TEST(Driver, CallsTheKernelOncePlusTwiceRTimesWithTheSameArguments) {
  const Outcome o = run({COUNTING_BENCH_PATH, "7", "5"});
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(o.err, "calls=11 n=7 same=yes\n");
  EXPECT_EQ(parse(o.out).sum, "1.000000");
}

}  // namespace
