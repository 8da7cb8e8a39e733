// Two kernels in one process, interleaved call by call on the same 64-byte
// aligned matrix: kernel_a and kernel_b, linked in by tools/kernel_ab from two
// kernel objects with `kernel` renamed, or flat2 below in place of either.
//
// usage: kernel_ab_run SIZE...
//
// For each size: windows of interleaved pairs (A then B, then B then A), each
// window led by a reading of the load probe on this CPU. A window is busy
// where the probe reads more than 10% over the quietest tenth of the windows.
// Prints, for quiet and busy windows apart, each kernel's median counter
// cycles per element and their ratio B / A.

#include <x86intrin.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "load_add.h"

extern "C" float kernel_a(int n, const float* a);
extern "C" float kernel_b(int n, const float* a);

// The vector order where every row starts on a 32-byte boundary and n is a
// multiple of 16: one flat loop of two 256-bit chains over the whole matrix.
// What a two-accumulator loop costs, with no per-row work at all.
extern "C" float flat2(int n, const float* a) {
  const float* end = a + static_cast<std::int64_t>(n) * n;
  __m256 x = _mm256_setzero_ps(), y = _mm256_setzero_ps();
  for (const float* p = a; p < end; p += 16) {
    asm volatile("vaddps (%2), %0, %0\n\tvaddps 32(%2), %1, %1" : "+x"(x), "+x"(y) : "r"(p));
  }
  const __m256 v = _mm256_add_ps(x, y);
  const __m128 h = _mm_add_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
  const __m128 q = _mm_add_ps(h, _mm_movehl_ps(h, h));
  return _mm_cvtss_f32(_mm_add_ss(q, _mm_movehdup_ps(q)));
}

namespace {

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// The probe's load side over a 16 KiB block, median of 11 timings.
double load_probe(const float* block) {
  std::vector<double> t;
  for (int k = 0; k < 11; ++k) {
    const std::uint64_t t0 = __rdtsc();
    for (int pass = 0; pass < 20; ++pass) load_add_pass(block, 4096);
    t.push_back(static_cast<double>(__rdtsc() - t0) / (20 * 4096));
  }
  return median(t);
}

// Unfenced readings around a call, as the driver takes them.
double per_element(float (*kernel)(int, const float*), int n, const float* a) {
  const std::uint64_t t0 = __rdtsc();
  kernel(n, a);
  return static_cast<double>(__rdtsc() - t0) / (static_cast<double>(n) * n);
}

struct Window {
  double probe, a, b;
};

void report(const char* what, const std::vector<Window>& windows) {
  if (windows.empty()) {
    std::printf("  %-6s  no window\n", what);
    return;
  }
  std::vector<double> a, b;
  for (const Window& w : windows) a.push_back(w.a), b.push_back(w.b);
  const double ma = median(a), mb = median(b);
  std::printf("  %-6s %3zu windows  A %.4f  B %.4f  B / A %.3f\n", what, windows.size(), ma, mb,
              mb / ma);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s SIZE...\n", argv[0]);
    return 2;
  }
  auto* block = static_cast<float*>(std::aligned_alloc(64, 4096 * sizeof(float)));
  std::fill(block, block + 4096, 1.0f);
  for (int i = 1; i < argc; ++i) {
    const int n = std::atoi(argv[i]);
    if (n < 1 || n > 8192) {
      std::fprintf(stderr, "kernel_ab: size %s is not from 1 to 8192\n", argv[i]);
      return 2;
    }
    const std::size_t count = static_cast<std::size_t>(n) * static_cast<std::size_t>(n);
    auto* a = static_cast<float*>(std::aligned_alloc(64, (count * sizeof(float) + 63) / 64 * 64));
    std::srand(0);
    for (std::size_t k = 0; k < count; ++k) a[k] = static_cast<float>(std::rand()) / 2147483648.0f;
    const float sa = kernel_a(n, a), sb = kernel_b(n, a);
    // About 1.5 s per size: windows of pairs, fewer for a large n.
    const int pairs = static_cast<int>(std::clamp<std::size_t>(4000000 / count, 2, 41));
    const int windows =
        static_cast<int>(std::clamp<std::size_t>(400000000 / (count * pairs), 20, 200));
    std::vector<Window> all;
    for (int w = 0; w < windows; ++w) {
      const double probe = load_probe(block);
      std::vector<double> ta, tb;
      for (int k = 0; k < pairs; ++k) {
        if (k % 2 == 0) {
          ta.push_back(per_element(kernel_a, n, a));
          tb.push_back(per_element(kernel_b, n, a));
        } else {
          tb.push_back(per_element(kernel_b, n, a));
          ta.push_back(per_element(kernel_a, n, a));
        }
      }
      all.push_back({probe, median(ta), median(tb)});
    }
    std::vector<double> probes;
    for (const Window& w : all) probes.push_back(w.probe);
    std::sort(probes.begin(), probes.end());
    const double quiet = probes[probes.size() / 10];
    std::vector<Window> calm, busy;
    for (const Window& w : all) (w.probe > 1.10 * quiet ? busy : calm).push_back(w);
    std::printf("n = %d (%zu KiB), probe quiet at %.4f, sums %s\n", n, count * 4 / 1024, quiet,
                sa == sb ? "equal" : "differ");
    report("quiet", calm);
    report("busy", busy);
    std::free(a);
  }
  std::free(block);
  return 0;
}
