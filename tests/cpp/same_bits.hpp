// Comparison of point records for the kernel checks of the test suite.
#pragma once
#include <cmath>
#include <cstdio>
#include <cstring>

#include "point_result.hpp"

// Counts the values of two records that differ in their bits. NaNs of any
// sign and payload count as equal: the batch stores every NaN as the one
// quiet NaN. The first few differences seen by a check (`seen` counts them
// across calls) are printed with the point they belong to.
inline long differing_values(const tessarin::PointResult& one, const tessarin::PointResult& other,
                             double T, double P, long seen = 0) {
  double a[40], b[40];
  std::memcpy(a, &one, sizeof a);
  std::memcpy(b, &other, sizeof b);
  long differing = 0;
  for (int k = 0; k < 40; ++k) {
    const bool same = (std::isnan(a[k]) && std::isnan(b[k])) ||
                      std::memcmp(&a[k], &b[k], sizeof(double)) == 0;
    if (!same && seen + differing++ < 5)
      std::fprintf(stderr, "T=%.17g P=%.17g value %d: %.17g vs %.17g\n", T, P, k, a[k], b[k]);
  }
  return differing;
}
