// Duska model on blocks of up to eight points, bit for bit duska_point.
//
// A point needs 19 entropy evaluations, 16 square roots for the pressure
// integral and two Newton runs; each is a chain of dependent divisions,
// square roots and logarithms, and they are independent of one another. A
// block evaluates up to eight points together, stage by stage over all their
// evaluations, with the arithmetic in simd::Vec<W> (W = 2 with SSE2, 4 where
// the processor has AVX2), logarithms included (vmath.hpp).
// Every value goes through the formulas of model.hpp, so a point's bits do
// not depend on the block it lands in nor on the vector width.
#pragma once
#include <cmath>
#include <algorithm>
#include <cstddef>

#include "duska/model.hpp"
#include "simd.hpp"

#if defined(__x86_64__) && defined(__GNUC__)
// Blocks of points use AVX2 where the processor has it.
#define TESSARIN_DUSKA_WIDE 1
#endif

namespace tessarin::duska {

using simd::load;
using simd::store;

// Largest number of points per block.
inline constexpr std::size_t LANES = 8;

// Spinodal functions at m temperatures (a multiple of the width, at most N).
template <std::size_t N>
struct SpinodalSet {
  alignas(64) double Ps[N], dPs[N], Vs[N], dVs[N], r[N], dr[N], c[N];

  template <class V>
  Spinodal<V> at(std::size_t i) const noexcept {
    return {load<V>(Ps + i), load<V>(dPs + i), load<V>(Vs + i), load<V>(dVs + i),
            load<V>(r + i),  load<V>(dr + i),  load<V>(c + i)};
  }
};

template <class M, class V, std::size_t N>
inline void spinodal_set(const double* tau, std::size_t m, SpinodalSet<N>& sp) noexcept {
  // The logarithms first, in a loop of their own: its iterations are
  // independent, so that their latencies overlap.
  for (std::size_t i = 0; i < m; i += simd::width<V>) store(sp.c + i, M::log(load<V>(tau + i)));
  for (std::size_t i = 0; i < m; i += simd::width<V>) {
    const Spinodal<V> s = spinodal(load<V>(tau + i), load<V>(sp.c + i));
    store(sp.Ps + i, s.Ps);
    store(sp.dPs + i, s.dPs);
    store(sp.Vs + i, s.Vs);
    store(sp.dVs + i, s.dVs);
    store(sp.r + i, s.r);
    store(sp.dr + i, s.dr);
    store(sp.c + i, s.c);
  }
}

// Entropy of state A at m points of a spinodal set, given their distance
// factors s; also gives the volumes.
template <class M, class V, std::size_t N>
inline void entropy_set(const SpinodalSet<N>& sp, const double* s, std::size_t m, double* Va_out,
                        double* S_out) noexcept {
  alignas(64) double lam[N];
  for (std::size_t i = 0; i < m; i += simd::width<V>) {
    const V Va = volume_a(sp.template at<V>(i), load<V>(s + i));
    store(Va_out + i, Va);
    store(lam + i, Va / load<V>(sp.Vs + i));
  }
  for (std::size_t i = 0; i < m; i += simd::width<V>)
    store(lam + i, log_volume_ratio<M>(load<V>(lam + i)));
  for (std::size_t i = 0; i < m; i += simd::width<V>)
    store(S_out + i, entropy_a(sp.template at<V>(i), load<V>(Va_out + i), load<V>(lam + i)));
}

// Background quantities of the points of a block, lane j for point j.
struct BackgroundSet {
  alignas(64) double V[LANES], V_p[LANES], V_t[LANES], S[LANES], dS_t[LANES], G[LANES];
};

// The background of n <= LANES points (tau and pi padded to np, a multiple
// of the width; so is the result) as a sequence of stages: the temperature
// integrals of the points, a few at a time, then the entropies at tau and
// tau -+ DTAU of all points, then the pressure integral of each point. The
// block runs a Newton step of the same points after each stage, so that the
// chains of dependent divisions and logarithms of the solver overlap this
// work.
template <class M, class V>
struct BackgroundWork {
  static constexpr int w = simd::width<V>;
  const double* tau;
  const double* pi;
  std::size_t n, np;
  BackgroundSet& bg;
  // Evaluation e of point j of the entropies at tau, tau + DTAU, tau - DTAU
  // is at e np + j.
  SpinodalSet<3 * LANES> sp;

  // Points per stage of temperature integrals: the 64 entropies of four
  // points make loops long enough for their independent iterations to
  // overlap, and the stages stay many enough to hide the Newton steps. The
  // points past the last multiple of four take a stage each.
  static constexpr std::size_t TI = 4;
  std::size_t ti_stages() const noexcept { return n / TI + n % TI; }
  std::size_t stages() const noexcept { return ti_stages() + n + 1; }

  void run(std::size_t stage) noexcept {
    const std::size_t full = n / TI;
    if (stage < full) {
      temperature_integrals<TI>(stage * TI);
    } else if (stage < ti_stages()) {
      temperature_integrals<1>(full * TI + (stage - full));
    } else if (stage == ti_stages()) {
      entropies();
    } else {
      pressure_integral(stage - ti_stages() - 1);
    }
  }

  // Zero-pressure entropy at the nodes of the temperature integrals of the
  // K points from j0, node k of point j0 + i at i GL_POINTS + k.
  template <std::size_t K>
  void temperature_integrals(std::size_t j0) noexcept {
    constexpr std::size_t NN = K * GL_POINTS;
    alignas(64) double X[NN], s[NN], Va[NN], S[NN];
    SpinodalSet<NN> node;
    for (std::size_t i = 0; i < K; ++i) {
      const V tau_1 = splat<V>(tau[j0 + i] - 1);
      for (int k = 0; k < GL_POINTS; k += w)
        store(X + i * GL_POINTS + k, temperature_node(load<V>(GL_NODE + k), tau_1));
    }
    spinodal_set<M, V>(X, NN, node);
    for (std::size_t k = 0; k < NN; k += w) store(s + k, distance_at_zero_pressure(load<V>(node.Ps + k)));
    entropy_set<M, V>(node, s, NN, Va, S);
    for (std::size_t i = 0; i < K; ++i) {
      double Sj[GL_POINTS];
      std::copy(S + i * GL_POINTS, S + (i + 1) * GL_POINTS, Sj);
      bg.G[j0 + i] = duska::temperature_integral(tau[j0 + i], Sj);
    }
  }

  // Entropy at (tau, pi) and at tau -+ DTAU for the central difference; the
  // first also gives the volume and its derivatives.
  void entropies() noexcept {
    if (np > LANES) return;  // never; tells the compiler the arrays suffice
    const std::size_t m = 3 * np;
    alignas(64) double T3[3 * LANES], s[3 * LANES], Va[3 * LANES], S[3 * LANES];
    for (std::size_t j = 0; j < np; j += w) {
      const V t = load<V>(tau + j);
      store(T3 + j, t);
      store(T3 + np + j, t + DTAU);
      store(T3 + 2 * np + j, t - DTAU);
    }
    spinodal_set<M, V>(T3, m, sp);
    for (std::size_t i = 0; i < m; i += w)
      store(s + i, distance(sp.template at<V>(i), load<V>(pi + i % np)));
    entropy_set<M, V>(sp, s, m, Va, S);

    for (std::size_t j = 0; j < np; j += w) {
      const VolumeSlopes<V> vs = volume_slopes(sp.template at<V>(j), load<V>(s + j), load<V>(pi + j));
      store(bg.V + j, load<V>(Va + j));
      store(bg.V_p + j, vs.V_p);
      store(bg.V_t + j, vs.V_t);
      store(bg.S + j, load<V>(S + j));
      store(bg.dS_t + j, entropy_slope(load<V>(S + np + j), load<V>(S + 2 * np + j)));
    }
  }

  // Integral of the volume over pressure: 16 square roots. Adds to the
  // temperature integral, so it comes after it.
  void pressure_integral(std::size_t j) noexcept {
    Spinodal<V> at_j;
    at_j.Ps = splat<V>(sp.Ps[j]);
    at_j.Vs = splat<V>(sp.Vs[j]);
    at_j.r = splat<V>(sp.r[j]);
    const V half_pi = splat<V>(pi[j] / 2);
    alignas(64) double term[GL_POINTS];
    for (int k = 0; k < GL_POINTS; k += w)
      store(term + k, pressure_term(load<V>(GL_WEIGHT + k), load<V>(GL_NODE + k), half_pi, at_j));
    bg.G[j] = bg.G[j] + duska::pressure_integral(pi[j], term);
    if (j == 0)
      for (std::size_t l = n; l < np; ++l) bg.G[l] = bg.G[0];
  }
};

// Newton from 0.05 and from 0.95 for the np points of a block (a multiple of
// the width), every run making exactly the steps of equilibrium_fraction:
// vector q holds the runs from 0.05 of points qW to qW + W - 1, vector
// nv + q those from 0.95. A lane whose run has ended keeps its result and
// repeats its last step (the value is not used) until its whole vector has
// ended.
template <class M, class V>
struct NewtonSet {
  static constexpr int w = simd::width<V>;
  using Mask = simd::Mask<V>;
  static constexpr std::size_t NS = 2 * LANES / w;
  V x[NS], result[NS], t[NS], l[NS], W[NS];
  Mask ended[NS];
  std::size_t nv;
  int steps = 0;
  bool going = true;

  NewtonSet(const double* tau, const double* L, const double* Wi, std::size_t np) noexcept
      : nv(np / w) {
    for (std::size_t q = 0; q < 2 * nv; ++q) {
      const std::size_t j = (q % nv) * w;
      x[q] = result[q] = splat<V>(two_state::newton_start(q < nv ? 0 : 1));
      t[q] = load<V>(tau + j);
      l[q] = load<V>(L + j);
      W[q] = load<V>(Wi + j);
      ended[q] = Mask{};
    }
  }

  bool running() const noexcept { return going; }

  // One Newton step of every vector with a run still going.
  void step() noexcept {
    if (!going) return;
    going = false;
    for (std::size_t q = 0; q < 2 * nv; ++q) {
      if (simd::all(ended[q])) continue;
      const NewtonState<V> st = newton_prepare(x[q], t[q], W[q]);
      Mask done;
      x[q] = newton_finish(st, M::log(st.ratio), t[q], l[q], W[q], done);
      result[q] = select(ended[q], result[q], x[q]);
      ended[q] = simd::either(ended[q], done);
      going = true;
    }
    if (++steps == NEWTON_STEPS) going = false;
  }

  // The clamped results: x1 from 0.05, x2 from 0.95, lane j for point j.
  void results(double* x1, double* x2) const noexcept {
    for (std::size_t q = 0; q < 2 * nv; ++q)
      store((q < nv ? x1 : x2) + (q % nv) * w, two_state::clamp_fraction(result[q]));
  }
};

// The records of n <= LANES points.
template <class M, class V>
inline void duska_block(const double* T_in, const double* P_in, std::size_t n,
                        PointResult* out) noexcept {
  constexpr int w = simd::width<V>;
  // Lanes past the last point, up to a multiple of the width, repeat the
  // first point; their results are dropped.
  const std::size_t np = (n + w - 1) / w * w;
  alignas(64) double T[LANES], P[LANES], tau[LANES], pi[LANES];
  alignas(64) double L[LANES], W[LANES], x1[LANES], x2[LANES];
  for (std::size_t j = 0; j < np; ++j) {
    T[j] = T_in[j < n ? j : 0];
    P[j] = P_in[j < n ? j : 0];
  }
  for (std::size_t j = 0; j < np; j += w) {
    const V t = load<V>(T + j) / TC, p = load<V>(P + j) / PC_MPA;
    store(tau + j, t);
    store(pi + j, p);
    store(L + j, field_value(t, p));
    store(W + j, interaction_value(t, p));
  }
  NewtonSet<M, V> newton(tau, L, W, np);
  BackgroundSet bg;
  BackgroundWork<M, V> work{tau, pi, n, np, bg, {}};
  for (std::size_t stage = 0; stage < work.stages() || newton.running(); ++stage) {
    if (stage < work.stages()) work.run(stage);
    newton.step();
  }

  // The root of lower mixing energy, as in equilibrium_fraction, with the
  // ideal mixing entropy e of the chosen root kept for the properties.
  alignas(64) double x[LANES], e[LANES], logit[LANES], log_inv[LANES];
  newton.results(x1, x2);
  for (std::size_t j = 0; j < np; j += w) {
    const V a = load<V>(x1 + j), b = load<V>(x2 + j);
    const V t = load<V>(tau + j), Wv = load<V>(W + j), Lv = load<V>(L + j);
    const V ea = mixing_entropy(a, M::log(a), M::log(1 - a));
    const V eb = mixing_entropy(b, M::log(b), M::log(1 - b));
    const auto low = mixing_energy(a, ea, t, Lv, Wv) <= mixing_energy(b, eb, t, Lv, Wv);
    const V xs = select(low, a, b);
    store(x + j, xs);
    store(e + j, select(low, ea, eb));
    store(logit + j, M::log(xs / (1 - xs)));
    store(log_inv + j, M::log((1 - xs) / xs));
  }

  for (std::size_t j = 0; j < np; j += w) {
    const V t = load<V>(tau + j), p = load<V>(pi + j), xv = load<V>(x + j);
    const Background<V> b = {load<V>(bg.V + j), load<V>(bg.V_p + j), load<V>(bg.V_t + j),
                             load<V>(bg.S + j), load<V>(bg.dS_t + j), load<V>(bg.G + j)};
    const States<V> s = states(t, b, field(t, p), interaction(t, p), xv, load<V>(e + j),
                               load<V>(logit + j), load<V>(log_inv + j));
    const V Tv = load<V>(T + j), Pv = load<V>(P + j) * 1000000.0;
    const PropsOf<V> mix = properties(s.mix, Tv, Pv), a = properties(s.a, Tv, Pv),
                     bb = properties(s.b, Tv, Pv);
    const int valid = static_cast<int>(n - j < std::size_t(w) ? n - j : w);
    for (int l = 0; l < valid; ++l) {
      PointResult& o = out[j + l];
      o.mix = lane_of(mix, l);
      o.x = xv[l];
      o.a = lane_of(a, l);
      o.b = lane_of(bb, l);
    }
  }
}

// out[i] = duska_point(T[i], P_MPa[i]) for i < count, bit for bit, in blocks
// of LANES points with vectors of type V.
template <class M, class V>
inline void duska_points(const double* T, const double* P_MPa, std::size_t count,
                         PointResult* out) noexcept {
  for (std::size_t base = 0; base < count; base += LANES) {
    const std::size_t n = count - base < LANES ? count - base : LANES;
    duska_block<M, V>(T + base, P_MPa + base, n, out + base);
  }
}

#if defined(TESSARIN_DUSKA_WIDE)
// duska_points with four lanes, compiled for AVX2 (wide.cpp); call it only
// where the processor has AVX2.
void duska_points_avx2(const double* T, const double* P_MPa, std::size_t count,
                       PointResult* out) noexcept;
#endif

}  // namespace tessarin::duska
