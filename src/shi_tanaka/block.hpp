// Shi–Tanaka model on blocks of up to eight points, bit for bit
// shi_tanaka_point.
//
// A point costs one exponential, three logarithms and about fifty divisions,
// and the divisions dominate. The block evaluates its points two per V2, so
// that the divisions are issued in pairs, the exponential and logarithms
// (vmath.hpp) included.
#pragma once
#include <cstddef>

#include "shi_tanaka/model.hpp"
#include "simd.hpp"

namespace tessarin::shi_tanaka {

using simd::V2;

// Most points a block evaluates together.
inline constexpr std::size_t BLOCK_POINTS = 8;

// Evaluates the points (T[j], P[j]), j < count, into out[j]: T in K, P in
// MPa. Points are taken two per V2 (a lone last point fills both lanes);
// blocks of more than BLOCK_POINTS points are taken in turns.
template <class M = VectorMath>
inline void shi_tanaka_block(const double* T, const double* P, std::size_t count,
                             PointResult* out) noexcept {
  constexpr std::size_t NQ = BLOCK_POINTS / 2;
  while (count > BLOCK_POINTS) {
    shi_tanaka_block<M>(T, P, BLOCK_POINTS, out);
    T += BLOCK_POINTS;
    P += BLOCK_POINTS;
    out += BLOCK_POINTS;
    count -= BLOCK_POINTS;
  }
  const std::size_t npairs = (count + 1) / 2;
  auto second = [count](std::size_t q) { return (2 * q + 1 < count) ? 2 * q + 1 : 2 * q; };
  auto lanes = [&](std::size_t q) { return second(q) != 2 * q ? 2 : 1; };

  V2 Tv[NQ], Pv[NQ], lnT[NQ], s[NQ], ln_sc[NQ], ln_1msc[NQ];
  Start<V2> st[NQ];
  for (std::size_t q = 0; q < npairs; ++q) {
    Tv[q] = V2{T[2 * q], T[second(q)]};
    Pv[q] = V2{P[2 * q], P[second(q)]};
    st[q] = start(Tv[q], Pv[q]);
  }
  for (std::size_t q = 0; q < npairs; ++q) {
    lnT[q] = M::log(st[q].Thg);
    s[q] = M::exp(st[q].z);
  }
  V2 sc[NQ];
  for (std::size_t q = 0; q < npairs; ++q) {
    s[q] = fraction(s[q]);
    sc[q] = two_state::clamp_fraction(s[q]);
  }
  for (std::size_t q = 0; q < npairs; ++q) {
    ln_sc[q] = M::log(sc[q]);
    ln_1msc[q] = M::log(1 - sc[q]);
  }
  for (std::size_t q = 0; q < npairs; ++q) {
    PropsOf<V2> pm, pa, pb;
    finish(st[q], Tv[q], Pv[q], lnT[q], s[q], ln_sc[q], ln_1msc[q], pm, pa, pb);
    for (int l = 0; l < lanes(q); ++l) {
      PointResult& o = out[2 * q + l];
      o.mix = lane_of(pm, l);
      o.x = s[q][l];
      o.a = lane_of(pa, l);
      o.b = lane_of(pb, l);
    }
  }
}

}  // namespace tessarin::shi_tanaka
