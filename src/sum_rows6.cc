// Row order with six partial sums: column c < m = (n / 6) * 6 goes to P[c % 6],
// taken row by row; the last n - m columns of every row go to S in memory order.
// Last, S = S + P[0], then + P[1], ... + P[5]. The P[k] carry over from row to row.

#include "kernel.h"

float kernel(int n, const float* a) {
  // Indexed only by constants, so the compiler keeps the six sums in registers:
  // a loop over k would leave them in memory and chain every step through it.
  float P[6] = {0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f};
  float S = 0.0f;
  if (n >= 1) {
    const int m = n / 6 * 6;
    const float* p = a;
    for (int r = 0; r < n; ++r, p += n) {
      for (int j = 0; j < m; j += 6) {
        P[0] = P[0] + p[j + 0];
        P[1] = P[1] + p[j + 1];
        P[2] = P[2] + p[j + 2];
        P[3] = P[3] + p[j + 3];
        P[4] = P[4] + p[j + 4];
        P[5] = P[5] + p[j + 5];
      }
      for (int c = m; c < n; ++c) S = S + p[c];
    }
  }
  S = S + P[0];
  S = S + P[1];
  S = S + P[2];
  S = S + P[3];
  S = S + P[4];
  S = S + P[5];
  return S;
}
