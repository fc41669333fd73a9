// Shared by the kernel checks in this folder: each is a program that prints
// what it measured and exits with status 1 when a check failed
// (tests/test_kernels.py compiles and runs them).
#pragma once
#include <cmath>
#include <cstdio>
#include <cstring>

#include "point_result.hpp"

inline int g_failures = 0;

// Counts a failed condition and prints it, with its context when given (a
// format string literal and its arguments).
#define CHECK(cond, ...)                                  \
  do {                                                    \
    if (!(cond)) {                                        \
      std::printf("FAIL line %d: %s ", __LINE__, #cond);  \
      std::printf("" __VA_ARGS__);                        \
      std::printf("\n");                                  \
      ++g_failures;                                       \
    }                                                     \
  } while (0)

// The exit status of a check program.
inline int finish() {
  std::printf(g_failures ? "failed\n" : "ok\n");
  return g_failures != 0;
}

// Whether two doubles have the same bits, NaNs of any sign and payload
// counting as equal (the batch stores every NaN as the one quiet NaN).
inline bool same_value(double a, double b) {
  return (std::isnan(a) && std::isnan(b)) || std::memcmp(&a, &b, sizeof a) == 0;
}

// Counts the values of two records that differ in their bits. The first few
// differences seen by a check (`seen` counts them across calls) are printed
// with the point they belong to.
inline long differing_values(const tessarin::PointResult& one, const tessarin::PointResult& other,
                             double T, double P, long seen = 0) {
  double a[40], b[40];
  std::memcpy(a, &one, sizeof a);
  std::memcpy(b, &other, sizeof b);
  long differing = 0;
  for (int k = 0; k < 40; ++k) {
    if (!same_value(a[k], b[k]) && seen + differing++ < 5)
      std::printf("T=%.17g P=%.17g value %d: %.17g vs %.17g\n", T, P, k, a[k], b[k]);
  }
  return differing;
}
