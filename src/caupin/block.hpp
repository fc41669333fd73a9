// Caupin model on blocks of up to eight points, bit for bit caupin_point.
//
// A point is dominated by its two Newton solves: chains of dependent
// logarithms and divisions, about nine steps each on average, whose latency
// rather than their work sets the time of a lone point. caupin_block
// therefore evaluates up to eight points at once: their sixteen solves
// advance together, step by step, packed into the lanes of simd::Vec<W>
// (W = 2 with SSE2, 4 where the processor has AVX2), so that the chains of
// different solves overlap and every division and logarithm (vmath.hpp) is
// issued for W solves at a time. Every lane performs exactly the operations
// of caupin_point.
#pragma once
#include <cmath>
#include <cstddef>

#include "caupin/model.hpp"
#include "simd.hpp"

namespace tessarin::caupin {

using simd::load;
using simd::store;

// Most points a block evaluates together.
inline constexpr std::size_t BLOCK_POINTS = 8;

namespace detail {

// What the solves of a block's points need and give, point by point; the
// slots past the last point, up to a multiple of the width, repeat the
// first point.
struct BlockPoints {
  static constexpr std::size_t N = BLOCK_POINTS;
  alignas(32) double T[N], P[N], dT[N], dP[N], Th[N], omega[N], gba[N];
  alignas(32) double x1[N], x2[N];  // results of the solves from 0.05 and from 0.95
};

// The records of a block's points once their solves have ended, W points
// per vector. The background is evaluated here, after the solves, which do
// not need it; each stage runs over all vectors before the next, so that the
// independent work of different vectors sits side by side.
template <class M, class V>
inline void finish_block(const BlockPoints& s, std::size_t count, PointResult* out,
                         const CaupinParams& c) noexcept {
  constexpr std::size_t W = simd::width<V>, NV = BLOCK_POINTS / W;
  const std::size_t nv = (count + W - 1) / W;

  // The stable root, with its logarithms and mixing Gibbs energy.
  Fraction<V> fr[NV];
  V logit[NV];
  for (std::size_t q = 0; q < nv; ++q) {
    const std::size_t j = q * W;
    const V x1 = load<V>(s.x1 + j), x2 = load<V>(s.x2 + j);
    fr[q] = stable_fraction(x1, M::log(x1), M::log(1 - x1), x2, M::log(x2), M::log(1 - x2),
                            load<V>(s.gba + j), load<V>(s.Th + j), load<V>(s.omega + j));
    logit[q] = M::log(fr[q].x / (1 - fr[q].x));
  }

  // Reduced Gibbs energies of the mixture, state A and state B of every
  // vector, then their properties.
  Reduced<V> states[3 * NV];  // mixture, A, B of vector q at 3q, 3q + 1, 3q + 2
  for (std::size_t q = 0; q < nv; ++q) {
    const std::size_t j = q * W;
    const Coords<V> r = {load<V>(s.dT + j), load<V>(s.dP + j), load<V>(s.Th + j)};
    states[3 * q + 1] = background(load<V>(s.T + j), r, c);
  }
  for (std::size_t q = 0; q < nv; ++q) {
    const std::size_t j = q * W;
    const MixtureAndB<V> mb =
        mixture_and_b(states[3 * q + 1], field_derivatives(load<V>(s.dT + j), load<V>(s.dP + j), c),
                      fr[q], logit[q], load<V>(s.Th + j), load<V>(s.omega + j), c);
    states[3 * q] = mb.mix;
    states[3 * q + 2] = mb.b;
  }
  for (std::size_t i = 0; i < 3 * nv; ++i) {
    const std::size_t j = i / 3 * W;
    const PropsOf<V> pr =
        properties(states[i], load<V>(s.T + j), load<V>(s.Th + j), load<V>(s.P + j), c);
    for (std::size_t l = 0; l < W && j + l < count; ++l) {
      PointResult& o = out[j + l];
      Props13& dst = (i % 3 == 0) ? o.mix : (i % 3 == 1) ? o.a : o.b;
      dst = lane_of(pr, static_cast<int>(l));
    }
  }
  for (std::size_t j = 0; j < count; ++j) out[j].x = fr[j / W].x[j % W];
}

}  // namespace detail

// Evaluates the points (T[j], P[j]), j < count, into out[j]: T in K, P in
// MPa. Blocks of more than BLOCK_POINTS points are taken in turns.
//
// The two solves of every point, from 0.05 and from 0.95, advance one step
// per round, W solves to a vector. Each solve performs exactly the steps of
// `solve_fraction`, and the whole block is bit-identical to its points
// evaluated one by one.
template <class M, class V>
inline void caupin_block(const double* T, const double* P, std::size_t count, PointResult* out,
                         const CaupinParams& c) noexcept {
  using simd::select;
  constexpr std::size_t W = simd::width<V>;
  constexpr std::size_t NP = BLOCK_POINTS;

  while (count > NP) {
    caupin_block<M, V>(T, P, NP, out, c);
    T += NP;
    P += NP;
    out += NP;
    count -= NP;
  }
  if (count == 0) return;
  // One or two points fill the lanes of pairs; wider vectors would only
  // repeat them.
  if constexpr (W > 2) {
    if (count <= 2) return caupin_block<M, simd::V2>(T, P, count, out, c);
  }

  detail::BlockPoints s;
  const std::size_t np = (count + W - 1) / W * W;
  for (std::size_t j = 0; j < np; ++j) {
    s.T[j] = T[j < count ? j : 0];
    s.P[j] = P[j < count ? j : 0];
  }
  for (std::size_t j = 0; j < np; j += W) {
    const Coords<V> r = reduce(load<V>(s.T + j), load<V>(s.P + j), c);
    store(s.dT + j, r.dT);
    store(s.dP + j, r.dP);
    store(s.Th + j, r.Th);
    store(s.omega + j, interaction(r.dT, r.dP, c));
    store(s.gba + j, field(r.dT, r.dP, c));
  }

  // The solves, W to a vector: vector q holds those from 0.05 of points
  // qW to qW + W - 1, vector nv + q those from 0.95. All vectors step
  // together, so that their chains of divisions and logarithms overlap; a
  // lane whose solve has ended keeps its result and repeats its last step
  // (the value is not used) until every lane of its vector has ended.
  using Mask = simd::Mask<V>;
  constexpr std::size_t NS = 2 * NP / W;
  const std::size_t nv = np / W;
  V x[NS], result[NS], th[NS], om[NS], g[NS];
  Mask ended[NS];
  for (std::size_t q = 0; q < 2 * nv; ++q) {
    const std::size_t j = (q % nv) * W;
    x[q] = result[q] = simd::splat<V>(two_state::newton_start(q < nv ? 0 : 1));
    th[q] = load<V>(s.Th + j);
    om[q] = load<V>(s.omega + j);
    g[q] = load<V>(s.gba + j);
    ended[q] = Mask{};
  }
  for (int step = 1; step <= NEWTON_STEPS; ++step) {
    bool running = false;
    for (std::size_t q = 0; q < 2 * nv; ++q) {
      if (simd::all(ended[q])) continue;
      running = true;
      const NewtonState<V> st = newton_prepare(x[q], th[q], om[q]);
      Mask flat, converged;
      const V xn = newton_finish(st, M::log(st.ratio), g[q], th[q], om[q], flat, converged);
      result[q] = select(ended[q], result[q], select(flat, st.xc, xn));
      ended[q] = simd::either(ended[q], simd::either(flat, converged));
      x[q] = xn;
    }
    if (!running) break;
  }
  for (std::size_t q = 0; q < 2 * nv; ++q)
    store((q < nv ? s.x1 : s.x2) + (q % nv) * W, clamp_fraction(result[q]));
  detail::finish_block<M, V>(s, count, out, c);
}

#if defined(__x86_64__) && defined(__GNUC__)
#define TESSARIN_CAUPIN_WIDE 1
// caupin_block with four-lane vectors compiled for AVX2 (wide.cpp); call it
// only where the processor has AVX2.
void caupin_block_avx2(const double* T, const double* P, std::size_t count, PointResult* out,
                       const CaupinParams& c) noexcept;
#endif

}  // namespace tessarin::caupin
