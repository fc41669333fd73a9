// Holten model on blocks of points, bit for bit holten_point.
//
// A block's points are evaluated in the lanes of one simd::Vec: their
// background exponentials and logarithms (vmath.hpp) run as vector
// operations, and their fraction solvers step together, so that the chains
// of dependent divisions and logarithms of different points overlap. Every
// lane performs exactly the operations of holten_point, so a point's bits do
// not depend on the width, on its lane nor on its neighbours; lanes past
// the last point repeat the first and their results are dropped.
#pragma once
#include <cstddef>

#include "holten/model.hpp"

namespace tessarin::holten {

// The records of n <= width<V> points.
template <class M, class V>
inline void holten_block(const double* T, const double* P_MPa, std::size_t n,
                         PointResult* out) noexcept {
  if constexpr (std::is_same_v<V, double>) {
    *out = holten_point<M>(*T, *P_MPa);
  } else {
    V t, p;
    for (int l = 0; l < simd::width<V>; ++l) {
      const std::size_t j = static_cast<std::size_t>(l) < n ? l : 0;
      t[l] = T[j];
      p[l] = P_MPa[j];
    }
    StateProps<V> st;
    V x;
    evaluate<M>(t, p, st, x);
    for (std::size_t l = 0; l < n; ++l) {
      const int i = static_cast<int>(l);
      out[l] = {lane_of(st.mix, i), x[i], lane_of(st.a, i), lane_of(st.b, i)};
    }
  }
}

// out[j] = holten_point(T[j], P_MPa[j]) for j < count: blocks of the width
// of V, the remaining points in the narrowest vector (or double) that holds
// them.
template <class M, class V>
inline void holten_points(const double* T, const double* P_MPa, std::size_t count,
                          PointResult* out) noexcept {
  constexpr std::size_t w = simd::width<V>;
  std::size_t i = 0;
  for (; i + w <= count; i += w) holten_block<M, V>(T + i, P_MPa + i, w, out + i);
  const std::size_t rest = count - i;
  if (rest == 0) return;
  if constexpr (w > 2) {
    if (rest == 2) return holten_block<M, simd::Vec<2>>(T + i, P_MPa + i, rest, out + i);
  }
  if constexpr (w > 1) {
    if (rest == 1) return holten_block<M, double>(T + i, P_MPa + i, rest, out + i);
  }
  holten_block<M, V>(T + i, P_MPa + i, rest, out + i);
}

#if defined(__x86_64__) && defined(__GNUC__)
#define TESSARIN_HOLTEN_WIDE 1
// holten_points with four-lane vectors compiled for AVX2 (wide.cpp); call it only
// where the processor has AVX2.
void holten_points_avx2(const double* T, const double* P_MPa, std::size_t count,
                        PointResult* out) noexcept;
#endif

}  // namespace tessarin::holten
