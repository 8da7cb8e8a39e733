// The sweep's probe of the machine, in counter cycles.
//
//   probe            in a few milliseconds, how the machine runs right now:
//                    load   8 independent 256-bit load+add chains over a block
//                           that stays in L1, per element: slows when another
//                           tenant of the host contends for the memory side
//                    add    one dependent chain of scalar adds in registers,
//                           per add: the core's own pace, which does not
//                    ratio  core cycles per counter cycle (a chain of integer
//                           adds takes one core cycle each)
//                    step   the counter's resolution: every difference of two
//                           readings is a multiple of it
//   probe --machine  the parameters of the kernels' bound models: add latency
//                    and throughput from L1, scalar and 256-bit, and the read
//                    bandwidth of each cache level and of memory, and the
//                    counter's rate in cycles per second
//
// The timed loops are written in assembly, so that no compiler or flag can
// change what they measure. Output: one "name = value" per line.

#include <x86intrin.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <numeric>
#include <string>
#include <vector>

#include "load_add.h"

namespace {

using Ticks = std::uint64_t;

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

double minimum(std::vector<double> v) { return *std::min_element(v.begin(), v.end()); }

// How the timings of one measurement become its value: the median, for how
// the machine runs now; the minimum, for what it can do at best, which is
// what a bound takes (a busy spell during the sweep's start must not raise
// every bound of the sweep).
double (*statistic)(std::vector<double>) = median;

// The statistic over `timings` of the counter cycles of `body`, divided by `per`.
template <typename Body>
double timed(int timings, double per, Body body) {
  std::vector<double> samples;
  for (int t = 0; t < timings; ++t) {
    const Ticks t0 = __rdtsc();
    body();
    samples.push_back(static_cast<double>(__rdtsc() - t0) / per);
  }
  return statistic(samples);
}

// 8 independent chains of scalar adds from memory: 8 floats per step.
void scalar_load_add_pass(const float* p, std::size_t floats) {
  for (const float* end = p + floats; p < end; p += 8) {
    asm volatile(
        "vaddss 0(%0), %%xmm0, %%xmm0\n\tvaddss 4(%0), %%xmm1, %%xmm1\n\t"
        "vaddss 8(%0), %%xmm2, %%xmm2\n\tvaddss 12(%0), %%xmm3, %%xmm3\n\t"
        "vaddss 16(%0), %%xmm4, %%xmm4\n\tvaddss 20(%0), %%xmm5, %%xmm5\n\t"
        "vaddss 24(%0), %%xmm6, %%xmm6\n\tvaddss 28(%0), %%xmm7, %%xmm7"
        :
        : "r"(p)
        : "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7");
  }
}

constexpr int kChain = 1000;  // dependent adds per block of a latency chain

// Counter cycles per instruction of `block`, a chain of kChain dependent
// instructions, run `blocks` times over.
template <typename Block>
double per_instruction(int blocks, Block block) {
  return timed(11, static_cast<double>(blocks) * kChain, [blocks, &block] {
    for (int b = 0; b < blocks; ++b) block();
  });
}

// One dependent chain of adds in registers, adding zero so that the value
// never leaves the normal range.
double scalar_add_latency(int blocks) {
  return per_instruction(blocks, [] {
    asm volatile(
        "vxorps %%xmm1, %%xmm1, %%xmm1\n\t.rept 1000\n\tvaddss %%xmm1, %%xmm0, %%xmm0\n\t.endr"
        :
        :
        : "xmm0", "xmm1");
  });
}

double vector_add_latency(int blocks) {
  return per_instruction(blocks, [] {
    asm volatile(
        "vxorps %%ymm1, %%ymm1, %%ymm1\n\t.rept 1000\n\tvaddps %%ymm1, %%ymm0, %%ymm0\n\t.endr"
        :
        :
        : "xmm0", "xmm1");
  });
}

// Core cycles per counter cycle: one integer add per core cycle.
double core_per_counter(int blocks) {
  std::uint64_t x = 0;
  return 1.0 / per_instruction(blocks, [&x] {
           asm volatile(".rept 1000\n\taddq $1, %0\n\t.endr" : "+r"(x));
         });
}

// The greatest common divisor of the differences of back-to-back readings,
// the largest of 10 trials: a reading taken across an interrupt or a move to
// another CPU can break one trial's divisor, not all ten.
std::uint64_t counter_step() {
  std::uint64_t best = 0;
  for (int trial = 0; trial < 10; ++trial) {
    std::uint64_t step = 0;
    Ticks last = __rdtsc();
    for (int i = 0; i < 200; ++i) {
      const Ticks now = __rdtsc();
      step = std::gcd(step, now - last);
      last = now;
    }
    best = std::max(best, step);
  }
  return best;
}

// Counter cycles per second, against the system's steady clock.
double counter_hz() {
  using clock = std::chrono::steady_clock;
  const auto start = clock::now();
  const Ticks t0 = __rdtsc();
  while (clock::now() - start < std::chrono::milliseconds(50)) {
  }
  const Ticks ticks = __rdtsc() - t0;
  return static_cast<double>(ticks) / std::chrono::duration<double>(clock::now() - start).count();
}

struct Buffer {
  explicit Buffer(std::size_t floats) : size(floats) {
    data = static_cast<float*>(std::aligned_alloc(64, floats * sizeof(float)));
    if (data == nullptr) {
      std::fprintf(stderr, "probe: cannot allocate %zu bytes\n", floats * sizeof(float));
      std::exit(1);
    }
    std::fill(data, data + floats, 1.0f);
  }
  ~Buffer() { std::free(data); }
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  float* data;
  std::size_t size;
};

// Counter cycles per float of a streaming 256-bit sum over `bytes`, after a
// pass that brings the block into the level that holds it.
double read_cost(std::size_t bytes, int timings) {
  const Buffer b(bytes / sizeof(float));
  load_add_pass(b.data, b.size);
  return timed(timings, static_cast<double>(b.size), [&b] { load_add_pass(b.data, b.size); });
}

// The data cache of `level` from sysfs, which describes this core's share;
// glibc's sysconf may report a whole processor's last level instead.
long cache_bytes(int level, long fallback) {
  for (int index = 0; index < 10; ++index) {
    const std::string base = "/sys/devices/system/cpu/cpu0/cache/index" + std::to_string(index);
    std::ifstream level_file(base + "/level"), type_file(base + "/type"), size_file(base + "/size");
    int l = 0;
    std::string type, size;
    if (!(level_file >> l) || !(type_file >> type) || !(size_file >> size)) break;
    if (l != level || type == "Instruction" || size.empty()) continue;
    const long scale = size.back() == 'K' ? 1L << 10 : size.back() == 'M' ? 1L << 20 : 1;
    return std::stol(size) * scale;
  }
  return fallback;
}

void quick() {
  const Buffer block(4096);  // 16 KiB: in L1 on any processor with AVX
  constexpr int kPasses = 20;
  load_add_pass(block.data, block.size);
  const double load = timed(101, double{kPasses} * 4096, [&block] {
    for (int pass = 0; pass < kPasses; ++pass) load_add_pass(block.data, block.size);
  });
  std::printf("load = %.5f\n", load);
  std::printf("add = %.5f\n", scalar_add_latency(2));
  std::printf("ratio = %.4f\n", core_per_counter(2));
  std::printf("step = %llu\n", static_cast<unsigned long long>(counter_step()));
}

void machine() {
  statistic = minimum;
  std::printf("hz = %.0f\n", counter_hz());
  std::printf("ratio = %.4f\n", core_per_counter(50));
  std::printf("step = %llu\n", static_cast<unsigned long long>(counter_step()));
  std::printf("scalar_add_latency = %.5f\n", scalar_add_latency(50));
  std::printf("vector_add_latency = %.5f\n", vector_add_latency(50));
  const Buffer block(4096);
  std::printf("scalar_add_throughput = %.5f\n", timed(101, 20.0 * 4096, [&block] {
                for (int pass = 0; pass < 20; ++pass) scalar_load_add_pass(block.data, block.size);
              }));
  std::printf("vector_add_throughput = %.5f\n", timed(101, 20.0 * 4096 / 8, [&block] {
                for (int pass = 0; pass < 20; ++pass) load_add_pass(block.data, block.size);
              }));
  // Half of each level, so that the block stays in it; four times the last
  // level for memory.
  const long l1 = cache_bytes(1, 32L << 10);
  const long l2 = cache_bytes(2, 512L << 10);
  const long l3 = cache_bytes(3, 8L << 20);
  std::printf("read_l1 = %.5f\n", read_cost(static_cast<std::size_t>(l1 / 2), 201));
  std::printf("read_l2 = %.5f\n", read_cost(static_cast<std::size_t>(l2 / 2), 51));
  std::printf("read_l3 = %.5f\n", read_cost(static_cast<std::size_t>(l3 / 2), 11));
  std::printf("read_memory = %.5f\n", read_cost(static_cast<std::size_t>(l3) * 4, 5));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 1) {
    quick();
  } else if (argc == 2 && std::strcmp(argv[1], "--machine") == 0) {
    machine();
  } else {
    std::fprintf(stderr, "usage: %s [--machine]\n", argv[0]);
    return 2;
  }
  return 0;
}
