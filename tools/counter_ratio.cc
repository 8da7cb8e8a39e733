// Prints how many core clock cycles pass per time-stamp-counter tick, the
// counter's rate, and the compiler that built it. A chain of dependent integer
// additions takes one core cycle per addition, so timing a long one with the
// counter gives the ratio; the fastest of several trials is the least disturbed.

#include <x86intrin.h>

#include <chrono>
#include <cstdint>
#include <cstdio>

#ifdef __clang__
#define COMPILER "clang " __clang_version__
#else
#define COMPILER "GCC " __VERSION__
#endif

static double core_cycles_per_tick() {
  constexpr int kBlocks = 10000, kAddsPerBlock = 1000;
  double best = 0.0;
  for (int trial = 0; trial < 20; ++trial) {
    std::uint64_t x = 0;
    const std::uint64_t t0 = __rdtsc();
    for (int i = 0; i < kBlocks; ++i) asm volatile(".rept 1000\n\taddq $1, %0\n\t.endr" : "+r"(x));
    const std::uint64_t ticks = __rdtsc() - t0;
    const double ratio = double{kBlocks} * kAddsPerBlock / static_cast<double>(ticks);
    if (ratio > best) best = ratio;
  }
  return best;
}

static double ticks_per_second() {
  using clock = std::chrono::steady_clock;
  const auto start = clock::now();
  const std::uint64_t t0 = __rdtsc();
  while (clock::now() - start < std::chrono::milliseconds(100)) {
  }
  const std::uint64_t ticks = __rdtsc() - t0;
  return static_cast<double>(ticks) / std::chrono::duration<double>(clock::now() - start).count();
}

int main() {
  std::printf("core cycles per tick = %.3f\n", core_cycles_per_tick());
  std::printf("ticks per second = %.0f\n", ticks_per_second());
  std::printf("compiler = %s\n", COMPILER);
  return 0;
}
