// Caupin model on blocks of up to eight points, bit for bit caupin_point.
//
// A point is dominated by its two Newton solves: chains of dependent
// logarithms and divisions, about nine steps each on average, whose latency
// rather than their work sets the time of a lone point. caupin_block
// therefore evaluates up to eight points at once: their sixteen solves
// advance together, step by step, so that the chains of different solves
// overlap, and the arithmetic runs two lanes per V2, which halves the number
// of divisions issued (the divider is the other bottleneck besides the
// logarithms). Every lane performs exactly the operations of caupin_point.
#pragma once
#include <cmath>
#include <cstddef>

#include "caupin/model.hpp"
#include "simd.hpp"

namespace tessarin::caupin {

using simd::V2;

// Most points a block evaluates together.
inline constexpr std::size_t BLOCK_POINTS = 8;

namespace detail {

inline V2 pair(double a, double b) noexcept { return V2{a, b}; }

// What the solves of a block's points need and give, point by point.
struct BlockPoints {
  double T[BLOCK_POINTS], P[BLOCK_POINTS];
  double dT[BLOCK_POINTS], dP[BLOCK_POINTS], Th[BLOCK_POINTS];
  double omega[BLOCK_POINTS], gba[BLOCK_POINTS];
  double x[2 * BLOCK_POINTS];  // results of the solves from 0.05 (2j) and 0.95 (2j + 1)
};

// The records of a block's points once their solves have ended, two points
// per V2 (lanes 0 and 1 of pair q are points 2q and 2q + 1; a lone last
// point fills both). The library logarithms are taken in runs of their own,
// between the arithmetic stages, so that no V2 has to be saved around calls.
// The background is evaluated here, after the solves, which do not need it.
inline void finish_block(const BlockPoints& s, std::size_t count, PointResult* out,
                         const CaupinParams& c) noexcept {
  using simd::select;
  constexpr std::size_t NQ = BLOCK_POINTS / 2;
  const std::size_t npairs = (count + 1) / 2;
  auto second = [count](std::size_t q) { return (2 * q + 1 < count) ? 2 * q + 1 : 2 * q; };

  // The two candidate fractions and their logarithms.
  V2 x1[NQ], x2[NQ], lx1[NQ], l1x1[NQ], lx2[NQ], l1x2[NQ];
  for (std::size_t q = 0; q < npairs; ++q) {
    const std::size_t a = 2 * q, b = second(q);
    x1[q] = pair(s.x[2 * a], s.x[2 * b]);
    x2[q] = pair(s.x[2 * a + 1], s.x[2 * b + 1]);
  }
  for (std::size_t q = 0; q < npairs; ++q) {
    const bool lone = second(q) == 2 * q;
    lx1[q] = simd::log(x1[q], lone ? 1 : 2);
    l1x1[q] = simd::log(1 - x1[q], lone ? 1 : 2);
    lx2[q] = simd::log(x2[q], lone ? 1 : 2);
    l1x2[q] = simd::log(1 - x2[q], lone ? 1 : 2);
  }

  // The stable root, with its logarithms and mixing Gibbs energy.
  Fraction<V2> fr[NQ];
  V2 ratio[NQ], logit[NQ];
  for (std::size_t q = 0; q < npairs; ++q) {
    const std::size_t a = 2 * q, b = second(q);
    fr[q] = stable_fraction(x1[q], lx1[q], l1x1[q], x2[q], lx2[q], l1x2[q],
                            pair(s.gba[a], s.gba[b]), pair(s.Th[a], s.Th[b]),
                            pair(s.omega[a], s.omega[b]));
    ratio[q] = fr[q].x / (1 - fr[q].x);
  }
  for (std::size_t q = 0; q < npairs; ++q) logit[q] = simd::log(ratio[q], second(q) == 2 * q ? 1 : 2);

  // Reduced Gibbs energies of the mixture, state A and state B of every
  // pair, then their properties: stage by stage, so that the independent
  // work of different pairs sits side by side.
  Reduced<V2> states[3 * NQ];  // mixture, A, B of pair q at 3q, 3q + 1, 3q + 2
  V2 Tq[NQ], Pq[NQ], Thq[NQ];
  for (std::size_t q = 0; q < npairs; ++q) {
    const std::size_t a = 2 * q, b = second(q);
    Tq[q] = pair(s.T[a], s.T[b]);
    Pq[q] = pair(s.P[a], s.P[b]);
    const Coords<V2> r = {pair(s.dT[a], s.dT[b]), pair(s.dP[a], s.dP[b]),
                          pair(s.Th[a], s.Th[b])};
    Thq[q] = r.Th;
    states[3 * q + 1] = background(Tq[q], r, c);
  }
  for (std::size_t q = 0; q < npairs; ++q) {
    const std::size_t a = 2 * q, b = second(q);
    const V2 dT = pair(s.dT[a], s.dT[b]), dP = pair(s.dP[a], s.dP[b]);
    const MixtureAndB<V2> mb =
        mixture_and_b(states[3 * q + 1], field_derivatives(dT, dP, c), fr[q], logit[q], Thq[q],
                      pair(s.omega[a], s.omega[b]), c);
    states[3 * q] = mb.mix;
    states[3 * q + 2] = mb.b;
  }
  for (std::size_t i = 0; i < 3 * npairs; ++i) {
    const std::size_t q = i / 3, a = 2 * q, b = second(q);
    const PropsOf<V2> pr = properties(states[i], Tq[q], Thq[q], Pq[q], c);
    for (std::size_t l = 0; l < ((b != a) ? 2u : 1u); ++l) {
      PointResult& o = out[a + l];
      Props13& dst = (i % 3 == 0) ? o.mix : (i % 3 == 1) ? o.a : o.b;
      dst = lane_of(pr, static_cast<int>(l));
    }
  }
  for (std::size_t q = 0; q < npairs; ++q) {
    out[2 * q].x = fr[q].x[0];
    if (second(q) != 2 * q) out[2 * q + 1].x = fr[q].x[1];
  }
}

}  // namespace detail

// Evaluates the points (T[j], P[j]), j < count, into out[j]: T in K, P in
// MPa. Blocks of more than BLOCK_POINTS points are taken in turns.
//
// The two solves of point j, from 0.05 and from 0.95, are solves 2j and
// 2j + 1. Their first step starts from a fixed fraction, so ln(x0/(1 - x0))
// is taken once per block. The solves still running then advance one step
// per round, packed so that they fill whole V2: slopes and ratios two by two,
// all logarithms in one run of library calls, updates two by two. Each solve
// performs exactly the steps of `solve_fraction`, and the whole block is
// bit-identical to its points evaluated one by one.
inline void caupin_block(const double* T, const double* P, std::size_t count, PointResult* out,
                         const CaupinParams& c) noexcept {
  using detail::pair;
  using simd::select;
  using simd::splat;
  constexpr std::size_t NP = BLOCK_POINTS;
  constexpr std::size_t NC = 2 * NP;

  while (count > NP) {
    caupin_block(T, P, NP, out, c);
    T += NP;
    P += NP;
    out += NP;
    count -= NP;
  }
  if (count == 0) return;

  detail::BlockPoints s;
  for (std::size_t j0 = 0; j0 < count; j0 += 2) {
    const std::size_t j1 = (j0 + 1 < count) ? j0 + 1 : j0;
    const V2 Tv = pair(T[j0], T[j1]), Pv = pair(P[j0], P[j1]);
    const Coords<V2> r = reduce(Tv, Pv, c);
    const V2 g = field(r.dT, r.dP, c), om = interaction(r.dT, r.dP, c);
    for (int l = 0; l < 2; ++l) {  // lane 1 of a lone last point lands in a spare slot
      s.T[j0 + l] = Tv[l];
      s.P[j0 + l] = Pv[l];
      s.dT[j0 + l] = r.dT[l];
      s.dP[j0 + l] = r.dP[l];
      s.Th[j0 + l] = r.Th[l];
      s.omega[j0 + l] = om[l];
      s.gba[j0 + l] = g[l];
    }
  }

  // The running solves, packed: iterate, parameters and solve index, plus
  // one spare slot that completes the last V2 of an odd count.
  alignas(16) double cx[NC + 2], cg[NC + 2], cth[NC + 2], com[NC + 2];
  alignas(16) double cxc[NC + 2], cN[NC + 2], cratio[NC + 2], clog[NC + 2];
  unsigned ck[NC + 2];
  long long cend[NC + 2];
  std::size_t nact = 0;

  // First step of both solves of each point, in one V2 (see
  // two_state::newton_start).
  {
    const V2 x0 = clamp_fraction(V2{two_state::newton_start(0), two_state::newton_start(1)});
    const V2 logit0 = simd::log(x0 / (1 - x0));
    const V2 inv0 = 1 / (x0 * (1 - x0));
    for (std::size_t j = 0; j < count; ++j) {
      const V2 th = splat<V2>(s.Th[j]), om = splat<V2>(s.omega[j]);
      const NewtonState<V2> st = {x0, th * (inv0 - 2 * om), x0};
      simd::Mask<V2> flat, converged;
      const V2 xn = newton_finish(st, logit0, splat<V2>(s.gba[j]), th, om, flat, converged);
      const V2 result = select(flat, st.xc, xn);
      for (int l = 0; l < 2; ++l) {
        const unsigned k = static_cast<unsigned>(2 * j + l);
        s.x[k] = clamp_fraction(result[l]);
        if (!(flat[l] || converged[l])) {
          cx[nact] = xn[l];
          cg[nact] = s.gba[j];
          cth[nact] = s.Th[j];
          com[nact] = s.omega[j];
          ck[nact] = k;
          ++nact;
        }
      }
    }
  }

  // Rounds while more than one V2 of solves is running.
  int step = 2;
  for (; step <= NEWTON_STEPS && nact > 2; ++step) {
    if (nact & 1) {
      cx[nact] = cx[nact - 1];
      cg[nact] = cg[nact - 1];
      cth[nact] = cth[nact - 1];
      com[nact] = com[nact - 1];
    }
    const std::size_t nv = (nact + 1) & ~std::size_t{1};
    for (std::size_t i = 0; i < nv; i += 2) {
      const NewtonState<V2> st =
          newton_prepare(simd::load<V2>(cx + i), simd::load<V2>(cth + i), simd::load<V2>(com + i));
      simd::store(cxc + i, st.xc);
      simd::store(cN + i, st.N);
      simd::store(cratio + i, st.ratio);
    }
    for (std::size_t i = 0; i < nv; ++i) clog[i] = std::log(cratio[i]);
    for (std::size_t i = 0; i < nv; i += 2) {
      const NewtonState<V2> st = {simd::load<V2>(cxc + i), simd::load<V2>(cN + i), V2{}};
      simd::Mask<V2> flat, converged;
      const V2 xn = newton_finish(st, simd::load<V2>(clog + i), simd::load<V2>(cg + i),
                                  simd::load<V2>(cth + i), simd::load<V2>(com + i), flat, converged);
      const simd::Mask<V2> ended = simd::either(flat, converged);
      simd::store(cx + i, xn);
      simd::store(cxc + i, select(flat, st.xc, xn));  // the result, should the solve end
      cend[i] = ended[0];
      cend[i + 1] = ended[1];
    }
    // Record every result (a solve that goes on overwrites it later) and
    // keep the solves that go on, without branching on which they are.
    const bool last = step == NEWTON_STEPS;
    std::size_t kept = 0;
    for (std::size_t i = 0; i < nact; ++i) {
      const unsigned k = ck[i];
      s.x[k] = clamp_fraction(cxc[i]);
      cx[kept] = cx[i];
      cg[kept] = cg[i];
      cth[kept] = cth[i];
      com[kept] = com[i];
      ck[kept] = k;
      kept += !(last || cend[i] != 0);
    }
    nact = kept;
  }
  // The last one or two solves: with so little work left a round is as slow
  // as its chain of dependent operations, so they run in one V2 without the
  // bookkeeping of the rounds. A solve that has ended repeats its last step
  // (its iterate is held) until the other one ends too.
  if (nact > 0 && step <= NEWTON_STEPS) {
    const std::size_t i1 = nact - 1;
    V2 x = pair(cx[0], cx[i1]);
    const V2 g = pair(cg[0], cg[i1]), th = pair(cth[0], cth[i1]), om = pair(com[0], com[i1]);
    simd::Mask<V2> ended = {0, 0};
    V2 result = x;
    for (; step <= NEWTON_STEPS; ++step) {
      const NewtonState<V2> st = newton_prepare(x, th, om);
      simd::Mask<V2> flat, converged;
      const V2 xn =
          newton_finish(st, simd::log(st.ratio, i1 == 0 ? 1 : 2), g, th, om, flat, converged);
      const simd::Mask<V2> ends = simd::either(flat, converged);
      result = select(ended, result, select(flat, st.xc, xn));
      ended = simd::either(ended, ends);
      if (ended[0] && ended[1]) break;
      x = select(ended, x, xn);
    }
    s.x[ck[0]] = clamp_fraction(result[0]);
    s.x[ck[i1]] = clamp_fraction(result[1]);
  }
  detail::finish_block(s, count, out, c);
}

}  // namespace tessarin::caupin
