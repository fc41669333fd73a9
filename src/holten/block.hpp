// Holten model on a block of points: their fraction solvers stepped in
// lockstep, so that the logarithm chains of different points overlap in the
// processor. Each point goes through exactly the operations of holten_point,
// so its result has the same bits.
#pragma once
#include <algorithm>
#include <cstddef>

#include "holten/model.hpp"

namespace tessarin::holten {

// Points solved together.
inline constexpr std::size_t BLOCK_POINTS = 8;

// out[j] = holten_point(T[j], P_MPa[j]) for j < count.
inline void holten_points(const double* T, const double* P_MPa, std::size_t count,
                          PointResult* out) noexcept {
  for (std::size_t base = 0; base < count; base += BLOCK_POINTS) {
    const std::size_t n = std::min(BLOCK_POINTS, count - base);
    PointSetup s[BLOCK_POINTS];
    FractionSolver solver[BLOCK_POINTS];
    bool active[BLOCK_POINTS];
    for (std::size_t j = 0; j < n; ++j) {
      s[j] = setup(T[base + j], P_MPa[base + j]);
      solver[j] = FractionSolver(s[j].fl.L, s[j].omega);
      active[j] = true;
    }
    for (bool running = true; running;) {
      running = false;
      for (std::size_t j = 0; j < n; ++j) {
        if (active[j]) {
          active[j] = solver[j].step();
          running = running || active[j];
        }
      }
    }
    for (std::size_t j = 0; j < n; ++j) out[base + j] = finish(s[j], solver[j].result());
  }
}

}  // namespace tessarin::holten
