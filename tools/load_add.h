#ifndef SUMBENCH_TOOLS_LOAD_ADD_H_
#define SUMBENCH_TOOLS_LOAD_ADD_H_

// The load side of the machine, as the probe and tools/kernel_ab read it:
// 8 independent chains of 256-bit adds from memory over `floats` values (a
// multiple of 64), so that the loads, not the adds, set its pace. In
// assembly, so that no compiler or flag can change what it measures.

#include <cstddef>

inline void load_add_pass(const float* p, std::size_t floats) {
  for (const float* end = p + floats; p < end; p += 64) {
    asm volatile(
        "vaddps 0(%0), %%ymm0, %%ymm0\n\tvaddps 32(%0), %%ymm1, %%ymm1\n\t"
        "vaddps 64(%0), %%ymm2, %%ymm2\n\tvaddps 96(%0), %%ymm3, %%ymm3\n\t"
        "vaddps 128(%0), %%ymm4, %%ymm4\n\tvaddps 160(%0), %%ymm5, %%ymm5\n\t"
        "vaddps 192(%0), %%ymm6, %%ymm6\n\tvaddps 224(%0), %%ymm7, %%ymm7"
        :
        : "r"(p)
        : "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7");
  }
}

#endif  // SUMBENCH_TOOLS_LOAD_ADD_H_
