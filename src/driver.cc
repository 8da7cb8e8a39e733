// The benchmark driver: builds the test matrix, prints the kernel's sum, then
// times R calls of kernel() with the time-stamp counter and prints the mean,
// minimum, maximum and median counter cycles per matrix element.
//
// usage: sumbench n R

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "kernel.h"

// The k-th value drawn after srand(0) lands at index k: memory order. Dividing
// by 2^31 rather than RAND_MAX keeps every value a plain binary fraction.
static void initialize(int n, float* a) {
  for (int i = 0; i < n; ++i) {
    float* row = a + static_cast<std::int64_t>(i) * n;
    for (int j = 0; j < n; ++j) row[j] = static_cast<float>(std::rand()) / 2147483648.0f;
  }
}

// No fence and no RDTSCP: the reading is as cheap as the counter allows, and
// out of line so that both readings of a timed call cost the same call.
__attribute__((noinline)) static std::uint64_t rdtsc() {
  std::uint32_t lo, hi;
  asm volatile("rdtsc" : "=a"(lo), "=d"(hi));
  return static_cast<std::uint64_t>(hi) << 32 | lo;
}

// Ascending order. A NaN sample (a zero counter difference over n*n = 0) sorts
// last, so that qsort sees a consistent order.
static int cmpfunc(const void* p, const void* q) {
  const float x = *static_cast<const float*>(p);
  const float y = *static_cast<const float*>(q);
  if (std::isnan(x) || std::isnan(y)) return std::isnan(x) - std::isnan(y);
  return (x > y) - (x < y);
}

// The largest n whose element count n*n fits a signed 32-bit int.
constexpr int kMaxN = 46340;

// Reads text the way atoi does (leading blanks, an optional sign, the leading
// digits; the rest is ignored, no number reads as 0), but refuses a value that
// atoi could not represent instead of returning an undefined one.
static bool parse_int(const char* text, int* value) {
  errno = 0;
  const long v = std::strtol(text, nullptr, 10);
  if (errno == ERANGE || v < INT_MIN || v > INT_MAX) return false;
  *value = static_cast<int>(v);
  return true;
}

// One line on standard error, prefixed with the program's name; returns status.
[[gnu::format(printf, 3, 4)]] static int fail(const char* program, int status, const char* format,
                                              ...) {
  std::fprintf(stderr, "%s: ", program);
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
  std::fputc('\n', stderr);
  return status;
}

int main(int argc, char** argv) {
  const char* program = argc > 0 ? argv[0] : "sumbench";
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s n R  (matrix size n, repetition count R)\n", program);
    return 2;
  }
  int n, r;
  if (!parse_int(argv[1], &n))
    return fail(program, 2, "n is outside the 32-bit int range: %s", argv[1]);
  if (!parse_int(argv[2], &r))
    return fail(program, 2, "R is outside the 32-bit int range: %s", argv[2]);
  if (n < -kMaxN || n > kMaxN) {
    return fail(program, 2, "n = %d: n*n must fit a 32-bit int, so |n| <= %d", n, kMaxN);
  }
  if (r <= 0) return fail(program, 2, "R = %d: at least one timed call is needed for a sample", r);

  std::srand(0);
  const int count = n * n;
  const std::size_t bytes = 4 * static_cast<std::size_t>(count);
  float* matrix = static_cast<float*>(std::malloc(bytes));
  if (matrix == nullptr && bytes != 0) {
    return fail(program, 1, "cannot allocate %zu bytes for the %d x %d matrix", bytes, n, n);
  }
  initialize(n, matrix);

  const float s = kernel(n, matrix);
  std::printf("Valeur s = %f\n", static_cast<double>(s));

  for (int i = 0; i < r; ++i) kernel(n, matrix);

  // On the heap: R is bounded by memory, not by the stack.
  const std::size_t sample_bytes = 4 * static_cast<std::size_t>(r);
  float* sample = static_cast<float*>(std::malloc(sample_bytes));
  if (sample == nullptr)
    return fail(program, 1, "cannot allocate %zu bytes for the samples", sample_bytes);
  // In double: a single-precision running sum stops growing once a sample
  // falls below half its last place (about 10^7 samples of a tiny n), and the
  // mean would land below the smallest sample.
  double sum = 0.0;
  for (int i = 0; i < r; ++i) {
    const std::uint64_t t0 = rdtsc();
    kernel(n, matrix);
    const std::uint64_t t1 = rdtsc();
    const float c = static_cast<float>(t1 - t0);
    const float d = static_cast<float>(count);
    sample[i] = c / d;
    sum = static_cast<double>(c / d) + sum;
  }

  std::qsort(sample, static_cast<std::size_t>(r), 4, cmpfunc);
  const float mean = static_cast<float>(sum / r);  // rounded to single precision once
  std::printf("moy = %.6f\n", static_cast<double>(mean));
  std::printf("min = %.6f\n", static_cast<double>(sample[0]));
  std::printf("max = %.6f\n", static_cast<double>(sample[r - 1]));
  std::printf("med = %.6f\n", static_cast<double>(sample[r / 2]));
  return 0;
}
