#ifndef SUMBENCH_KERNEL_H_
#define SUMBENCH_KERNEL_H_

// The one operation every kernel module provides: the single-precision sum of
// the n x n row-major matrix at a, added in the order that the module defines.
// n <= 0 returns 0.0 and reads nothing. A benchmark program links the driver
// with exactly one module, so the call is bound at link time, never at run time.
extern "C" float kernel(int n, const float* a);

#endif  // SUMBENCH_KERNEL_H_
