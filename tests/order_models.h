#ifndef SUMBENCH_TESTS_ORDER_MODELS_H_
#define SUMBENCH_TESTS_ORDER_MODELS_H_

// Each kernel's order of single-precision additions, written out plainly and
// independently of the kernels, so that a kernel is proved bit for bit
// against its definition rather than against itself. Elements are read with
// memcpy because a matrix may start at any byte address.

#include <cstdint>
#include <cstring>

using Sum = float (*)(int n, const float* a);

namespace model {

inline float at(const float* a, std::int64_t i) {
  float x;
  std::memcpy(&x, reinterpret_cast<const char*>(a) + 4 * i, sizeof x);
  return x;
}

inline float column_order(int n, const float* a) {
  float s = 0.0f;
  for (int c = 0; c < n; ++c)
    for (int r = 0; r < n; ++r) s = s + at(a, std::int64_t{r} * n + c);
  return s;
}

inline float row_order(int n, const float* a) {
  float s = 0.0f;
  if (n <= 0) return s;
  for (std::int64_t i = 0; i < std::int64_t{n} * n; ++i) s = s + at(a, i);
  return s;
}

// The reference: memory order in double precision, rounded once.
inline float double_order(int n, const float* a) {
  double s = 0.0;
  if (n <= 0) return 0.0f;
  for (std::int64_t i = 0; i < std::int64_t{n} * n; ++i) s = s + at(a, i);
  return static_cast<float>(s);
}

inline float rows6_order(int n, const float* a) {
  float p[6] = {}, s = 0.0f;
  const int m = n / 6 * 6;
  for (int r = 0; r < n; ++r) {
    for (int c = 0; c < n; ++c) {
      const float x = at(a, std::int64_t{r} * n + c);
      if (c < m) {
        p[c % 6] = p[c % 6] + x;
      } else {
        s = s + x;
      }
    }
  }
  for (const float pk : p) s = s + pk;
  return s;
}

// How the rows of one matrix were summed by the vector order.
struct VectorPaths {
  int scalar_rows = 0;
  int remainder_none = 0;   // vector rows ending on a whole step
  int remainder_short = 0;  // 1 to 7 left after the steps, into S
  int remainder_wide = 0;   // 8 to 15 left: an eight-lane add that folds S in
};

inline float horizontal(const float x[8]) {
  return ((x[0] + x[4]) + (x[2] + x[6])) + ((x[1] + x[5]) + (x[3] + x[7]));
}

inline float vector_order(int n, const float* a, VectorPaths& seen) {
  float s = 0.0f, lanes_a[8] = {}, lanes_b[8] = {};
  for (int r = 0; r < n; ++r) {
    const float* p =
        reinterpret_cast<const float*>(reinterpret_cast<const char*>(a) + 4 * std::int64_t{r} * n);
    const int mu = static_cast<int>(reinterpret_cast<std::uintptr_t>(p) % 32);
    const int q = mu == 0 ? 0 : (32 - mu) / 4;
    if (n < 16 || mu % 4 != 0 || n < q + 16) {
      for (int c = 0; c < n; ++c) s = s + at(p, c);
      ++seen.scalar_rows;
      continue;
    }
    for (int c = 0; c < q; ++c) s = s + at(p, c);
    const int e = n - (n - q) % 16;
    for (int c = q; c < e; c += 16) {
      for (int l = 0; l < 8; ++l) lanes_a[l] = lanes_a[l] + at(p, c + l);
      for (int l = 0; l < 8; ++l) lanes_b[l] = lanes_b[l] + at(p, c + 8 + l);
    }
    const int k = n - e;
    int t = 0;
    if (k >= 8) {
      float d[8] = {s};
      for (int l = 0; l < 8; ++l) d[l] = d[l] + at(p, e + l);
      s = horizontal(d);
      t = 8;
    }
    for (; t < k; ++t) s = s + at(p, e + t);
    ++(k == 0 ? seen.remainder_none : k < 8 ? seen.remainder_short : seen.remainder_wide);
  }
  float v[8];
  for (int l = 0; l < 8; ++l) v[l] = lanes_a[l] + lanes_b[l];
  return horizontal(v) + s;
}

inline float vector_order(int n, const float* a) {
  VectorPaths ignored;
  return vector_order(n, a, ignored);
}

// The orders by the names the table of builds gives them, with what follows
// from each: below rows_below columns (n >= 1) it adds in memory order, and
// whether it depends on the matrix address modulo 32.
struct Order {
  const char* name;
  Sum sum;
  int rows_below;
  bool depends_on_address;
};

inline const Order* find_order(const char* name) {
  static const Order orders[] = {
      {"column_order", column_order, 2, false}, {"row_order", row_order, 0, false},
      {"rows6_order", rows6_order, 6, false},   {"vector_order", vector_order, 16, true},
      {"double_order", double_order, 0, false},
  };
  for (const Order& o : orders)
    if (std::strcmp(o.name, name) == 0) return &o;
  return nullptr;
}

}  // namespace model

#endif  // SUMBENCH_TESTS_ORDER_MODELS_H_
