// A kernel that counts its calls and checks that every call gets the first
// call's arguments. It reports once, on standard error, when the program exits.

#include <cstdio>

#include "kernel.h"

namespace {

struct Calls {
  int count = 0;
  int n = 0;
  const float* a = nullptr;
  bool same = true;
  ~Calls() { std::fprintf(stderr, "calls=%d n=%d same=%s\n", count, n, same ? "yes" : "no"); }
} calls;

}  // namespace

float kernel(int n, const float* a) {
  if (calls.count++ == 0) calls.n = n, calls.a = a;
  calls.same = calls.same && n == calls.n && a == calls.a;
  return static_cast<float>(calls.count);
}
