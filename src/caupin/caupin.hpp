// Caupin (2019) two-state equation of state of supercooled and stretched
// liquid water.
//
// Water is a non-ideal mixture of two interconvertible local structures, A
// and B. State A (the background) is a polynomial in the reduced temperature
// dT and pressure dP plus a term Asp s^(3/2) in the reduced distance s to the
// liquid-vapour spinodal, whose second pressure derivative diverges there.
// The fraction x of state B follows from the equilibrium condition F(x) = 0,
// solved by a damped Newton iteration from both ends of the composition
// range. Energies are reduced by R Tc per mole; derivatives are taken with
// respect to dT and dP.
//
// Speed. A point is dominated by its two Newton solves: chains of dependent
// logarithms and divisions, about nine steps each on average, whose latency
// rather than their work sets the time of a lone point. `caupin_block`
// therefore evaluates up to eight points at once: their sixteen solves
// advance together, step by step, so that the chains of different solves
// overlap, and the arithmetic runs two lanes per SIMD register, which halves
// the number of divisions issued (the divider is the other bottleneck besides
// the logarithms). The formulas are written once, as templates over the
// number type (a double, or a pair of doubles); a lane performs exactly the
// IEEE operations of the scalar formula, so a point's result never depends on
// the other points of its block or on its place in it.
//
// Pure C++: no Python types, no allocation, never throws. Points outside the
// model's domain show as NaN or infinite values.
#pragma once
#include <cmath>
#include <cstddef>
#include <limits>

#include "caupin/params.hpp"
#include "simd.hpp"
#include "point_result.hpp"

namespace tessarin::caupin {

inline constexpr double X_LO = 1e-15;
inline constexpr double X_HI = 0.999999999999999;  // 1 - 1e-15 in float64


using simd::V2;

// A reduced Gibbs energy (per R Tc) and its derivatives in dT and dP.
template <class F = double>
struct Reduced {
  F g, g_T, g_P, g_TT, g_PT, g_PP;
};

// Reduced coordinates of a point: dT = (T - Tc)/Tc, dP = (P - Pc)/Pu with P
// in MPa, and Th = 1 + dT = T/Tc.
template <class F = double>
struct Coords {
  F dT, dP, Th;
};

template <class F>
inline Coords<F> reduce(F T, F P_MPa, const CaupinParams& c) noexcept {
  const F dT = (T - c.Tc) / c.Tc;
  return {dT, (P_MPa - c.Pc) / c.Pu, 1 + dT};
}

// Bounds a fraction to [X_LO, X_HI]; a NaN fraction becomes X_LO, as fmax
// returns the other operand when one is NaN (the comparisons below are false
// for a NaN lane, which then takes the bound).
template <class F>
inline F clamp_fraction(F x) noexcept {
  const F up = simd::select(x > X_LO, x, simd::splat<F>(X_LO));
  return simd::select(up < X_HI, up, simd::splat<F>(X_HI));
}

// Field GBA: reduced Gibbs energy of state B relative to state A.
template <class F>
inline F field(F dT, F dP, const CaupinParams& c) noexcept {
  return c.lambda * (dT + c.a * dP + c.b * dT * dP + c.d * dP * dP + c.f * dT * dT);
}

template <class F>
inline Reduced<F> field_derivatives(F dT, F dP, const CaupinParams& c) noexcept {
  Reduced<F> r;
  r.g = field(dT, dP, c);
  r.g_P = c.lambda * (c.a + c.b * dT + 2 * c.d * dP);
  r.g_T = c.lambda * (1 + c.b * dP + 2 * c.f * dT);
  r.g_PP = simd::splat<F>(2 * c.lambda * c.d);
  r.g_PT = simd::splat<F>(c.lambda * c.b);
  r.g_TT = simd::splat<F>(2 * c.lambda * c.f);
  return r;
}

// Interaction parameter omega = (2 + omega0 dP)/Th; Th omega is the
// non-ideality of the mixture, linear in pressure.
template <class F>
inline F interaction(F dT, F dP, const CaupinParams& c) noexcept {
  return (2 + c.omega0 * dP) / (1 + dT);
}

// Equilibrium function F(x) = dG(x)/dx, the derivative of the mixture's
// reduced Gibbs energy in x; its roots are the equilibrium fractions of B.
// `logit` is ln(x/(1 - x)), taken by the caller so that the logarithms of
// many fractions can be taken in one run.
template <class F>
inline F equilibrium_function(F x, F logit, F GBA, F Th, F omega) noexcept {
  return GBA + Th * (logit + omega * (1 - 2 * x));
}

// F'(x), the curvature of the mixture's Gibbs energy in x.
template <class F>
inline F equilibrium_slope(F x, F Th, F omega) noexcept {
  return Th * (1 / (x * (1 - x)) - 2 * omega);
}

// One step of the damped Newton iteration on F from the iterate x, in two
// halves: `newton_prepare` clamps the iterate and forms the slope N = F'(xc)
// and the ratio xc/(1 - xc) whose logarithm F needs; `newton_finish` takes
// that logarithm and returns the next iterate. A step that would leave
// [X_LO, X_HI] is replaced by halving the distance to the bound it crosses,
// so the iterate stays strictly inside (0, 1) where the logarithm is finite.
template <class F>
struct NewtonState {
  F xc, N, ratio;
};

template <class F>
inline NewtonState<F> newton_prepare(F x, F Th, F omega) noexcept {
  NewtonState<F> s;
  s.xc = clamp_fraction(x);
  s.N = equilibrium_slope(s.xc, Th, omega);
  s.ratio = s.xc / (1 - s.xc);
  return s;
}

// `flat` reports a vanishing slope (at a spinodal composition F admits no
// Newton step: the solve ends at xc), `converged` a residual below 1e-12
// (the solve ends at the returned iterate).
template <class F, class M>
inline F newton_finish(const NewtonState<F>& s, F logit, F GBA, F Th, F omega, M& flat,
                       M& converged) noexcept {
  using simd::abs;
  using simd::select;
  const F xc = s.xc;
  const F Mval = equilibrium_function(xc, logit, GBA, Th, omega);
  F xn = xc - Mval / s.N;
  xn = select(xn < X_LO, xc * 0.5, select(xn > X_HI, ((xc + 1) - 1e-15) * 0.5, xn));
  flat = abs(s.N) < 1e-30;
  converged = abs(Mval) < 1e-12;
  return xn;
}

inline constexpr int NEWTON_STEPS = 50;

// Damped Newton iteration on F from x0 with a fixed budget of steps, which
// keeps the cost per point bounded; the result is clamped once more. This is
// the iteration of one solve on its own; `caupin_block` runs the same steps
// for many solves at once.
inline double solve_fraction(double x0, double GBA, double Th, double omega) noexcept {
  double x = x0, xn = x0;
  for (int step = 1; step <= NEWTON_STEPS; ++step) {
    const NewtonState<double> st = newton_prepare(x, Th, omega);
    bool flat, converged;
    xn = newton_finish(st, std::log(st.ratio), GBA, Th, omega, flat, converged);
    if (flat) {
      xn = st.xc;
      break;
    }
    if (converged) break;
    x = xn;
  }
  return clamp_fraction(xn);
}

// Mixing and interaction part of the reduced Gibbs energy at fraction x,
// relative to pure state A, given ln x and ln(1 - x).
template <class F>
inline F mixing_gibbs(F x, F ln_x, F ln_1mx, F GBA, F Th, F omega) noexcept {
  return Th * (x * ln_x + (1 - x) * ln_1mx + omega * x * (1 - x)) + x * GBA;
}

// Background (state A) reduced Gibbs energy. Outside the liquid-vapour
// spinodal (s <= 0, or s NaN) s^(3/2) has no real value, so s is made NaN
// and carries NaN into every background quantity.
template <class F>
inline Reduced<F> background(F T, const Coords<F>& r, const CaupinParams& c) noexcept {
  const F t = r.dT, p = r.dP;
  const F u = T - c.Ts;
  const F Ps = c.Ps0 + c.Ps1 * u + c.Ps2 * u * u;
  F s = (c.Pc - Ps) / c.Pu + p;
  s = simd::select(s > 0, s, simd::splat<F>(std::numeric_limits<double>::quiet_NaN()));
  const F s_T = -(c.Ps1 + 2 * c.Ps2 * u) * c.Tc / c.Pu;
  const double s_TT = -2 * c.Ps2 * c.Tc * c.Tc / c.Pu;

  const F rs = simd::sqrt(s);  // s^(1/2)
  const F s32 = s * rs;              // s^(3/2)
  const F rsi = 1 / rs;              // s^(-1/2)
  const F Asp = c.A0 + c.A1 * t;

  const F t2 = t * t, t3 = t2 * t, t4 = t3 * t;
  const F p2 = p * p, p3 = p2 * p, p4 = p3 * p;

  Reduced<F> g;
  g.g = c.c01 * p + c.c02 * p2 + c.c11 * t * p + c.c20 * t2 + c.c03 * p3 + c.c12 * t * p2 +
        c.c21 * t2 * p + c.c30 * t3 + c.c04 * p4 + c.c13 * t * p3 + c.c22 * t2 * p2 +
        c.c40 * t4 + c.c14 * t * p4 + Asp * s32;
  g.g_P = c.c01 + 2 * c.c02 * p + c.c11 * t + 3 * c.c03 * p2 + 2 * c.c12 * t * p +
          c.c21 * t2 + 4 * c.c04 * p3 + 3 * c.c13 * t * p2 + 2 * c.c22 * t2 * p +
          4 * c.c14 * t * p3 + 1.5 * Asp * rs;
  g.g_T = c.c11 * p + 2 * c.c20 * t + c.c12 * p2 + 2 * c.c21 * t * p + 3 * c.c30 * t2 +
          c.c13 * p3 + 2 * c.c22 * t * p2 + 4 * c.c40 * t3 + c.c14 * p4 +
          (c.A1 * s32 + 1.5 * Asp * rs * s_T);
  g.g_PP = 2 * c.c02 + 6 * c.c03 * p + 2 * c.c12 * t + 12 * c.c04 * p2 + 6 * c.c13 * t * p +
           2 * c.c22 * t2 + 12 * c.c14 * t * p2 + 0.75 * Asp * rsi;
  g.g_PT = c.c11 + 2 * c.c12 * p + 2 * c.c21 * t + 3 * c.c13 * p2 + 4 * c.c22 * t * p +
           4 * c.c14 * p3 + (1.5 * c.A1 * rs + 0.75 * Asp * rsi * s_T);
  g.g_TT = 2 * c.c20 + 2 * c.c21 * p + 6 * c.c30 * t + 2 * c.c22 * p2 + 12 * c.c40 * t2 +
           (0.75 * Asp * rsi * s_T * s_T + 3 * c.A1 * rs * s_T + 1.5 * Asp * rs * s_TT);
  return g;
}

template <class F>
struct Props {
  F rho, V, S, G, H, U, A, Cp, Cv, Kt, Ks, alpha, vel;
};

// Physical properties of one state from its reduced Gibbs energy.
// Th is T/Tc as computed by reduce(). Every quantity is computed and the
// guards then pick, lane by lane, the value each rule prescribes; a value
// that a guard discards (a division by zero, the root of a negative number)
// has no effect.
template <class F>
inline Props<F> properties(const Reduced<F>& g, F T, F Th, F P_MPa,
                           const CaupinParams& c) noexcept {
  using simd::either;
  using simd::abs;
  using simd::select;
  using simd::splat;
  constexpr double inf = std::numeric_limits<double>::infinity();
  const F nan = splat<F>(std::numeric_limits<double>::quiet_NaN());
  const F zero = splat<F>(0.0);
  const double R_M = c.R / c.M;
  const F P_pa = P_MPa * 1e6;

  Props<F> o;
  o.V = c.Vc * g.g_P / c.M;
  o.rho = select(o.V != o.V, nan, select(o.V > 0, 1 / o.V, splat<F>(inf)));
  o.S = -R_M * g.g_T + c.S0;
  o.G = (c.R * c.Tc / c.M) * g.g + c.H0 - T * c.S0;
  o.H = o.G + T * o.S;
  o.U = o.H - P_pa * o.V;
  o.A = o.G - P_pa * o.V;
  o.Cp = -R_M * Th * g.g_TT;

  // A vanishing G_P (zero volume) leaves the compressibility unbounded.
  const auto finite_gp = abs(g.g_P) > 1e-30;
  const F kT = select(finite_gp, -(c.Vc / (c.R * c.Tc)) * g.g_PP / g.g_P, splat<F>(inf));
  o.alpha = select(finite_gp, g.g_PT / (c.Tc * g.g_P), zero);
  const auto kT_nan = kT != kT;
  o.Kt = select(kT_nan, nan,
                select(either(abs(kT) == inf, abs(kT) <= 1e-30), zero,
                       1 / (kT * 1e6)));

  const F TVa2 = T * o.V * o.alpha * o.alpha;
  o.Cv = select(simd::both(abs(kT) < inf, kT > 0), o.Cp - TVa2 / kT, o.Cp);
  const F kS = select(o.Cp > 0, kT - TVa2 / o.Cp, kT);
  o.Ks = select(kS != kS, nan, select(kS > 0, 1 / (kS * 1e6), splat<F>(inf)));
  const auto sound = simd::both(o.rho > 0, kS > 0);
  o.vel = select(sound, simd::sqrt(select(sound, 1 / (kS * o.rho), zero)), nan);

  const auto no_kT = either(kT_nan, o.alpha != o.alpha);
  o.Cv = select(no_kT, nan, o.Cv);
  o.Ks = select(no_kT, nan, o.Ks);
  o.vel = select(no_kT, nan, o.vel);
  // A NaN G_P leaves no compressibility at all.
  const auto gp_nan = g.g_P != g.g_P;
  o.Kt = select(gp_nan, nan, o.Kt);
  o.Cv = select(gp_nan, nan, o.Cv);
  o.Ks = select(gp_nan, nan, o.Ks);
  o.alpha = select(gp_nan, nan, o.alpha);
  o.vel = select(gp_nan, nan, o.vel);
  return o;
}

namespace detail {

inline void store_lane(Props13& dst, const Props<V2>& s, int lane) noexcept {
  dst = {s.rho[lane], s.V[lane],  s.S[lane],  s.G[lane],  s.H[lane],     s.U[lane],  s.A[lane],
         s.Cp[lane],  s.Cv[lane], s.Kt[lane], s.Ks[lane], s.alpha[lane], s.vel[lane]};
}

inline V2 pair(double a, double b) noexcept { return V2{a, b}; }

// Most points a block evaluates together.
inline constexpr std::size_t BLOCK_POINTS = 8;

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

  // The root with the lower Gibbs energy is the stable one; a NaN energy
  // (NaN input) selects x2. The logarithms of the chosen root are reused.
  V2 x[NQ], lx[NQ], l1x[NQ], gmix[NQ], ratio[NQ], logit[NQ];
  for (std::size_t q = 0; q < npairs; ++q) {
    const std::size_t a = 2 * q, b = second(q);
    const V2 G = pair(s.gba[a], s.gba[b]), Th = pair(s.Th[a], s.Th[b]);
    const V2 om = pair(s.omega[a], s.omega[b]);
    const V2 g1 = mixing_gibbs(x1[q], lx1[q], l1x1[q], G, Th, om);
    const V2 g2 = mixing_gibbs(x2[q], lx2[q], l1x2[q], G, Th, om);
    const auto first = g1 <= g2;
    x[q] = select(first, x1[q], x2[q]);
    lx[q] = select(first, lx1[q], lx2[q]);
    l1x[q] = select(first, l1x1[q], l1x2[q]);
    gmix[q] = select(first, g1, g2);
    ratio[q] = x[q] / (1 - x[q]);
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
    const V2 Th = Thq[q], om = pair(s.omega[a], s.omega[b]), xq = x[q];
    const Reduced<V2>& fa = states[3 * q + 1];
    const Reduced<V2> fb = field_derivatives(dT, dP, c);

    // The shift of x with T and P along equilibrium enters the second
    // derivatives through the curvature Y; at a flat F it is replaced by a
    // huge value, which switches that contribution off.
    V2 Y = equilibrium_slope(xq, Th, om);
    Y = select(simd::abs(Y) > 1e-30, Y, simd::splat<V2>(1e30));
    const V2 x_T = -(logit[q] + fb.g_T) / Y;
    const V2 h = fb.g_P + c.omega0 * (1 - 2 * xq);

    Reduced<V2>& mix = states[3 * q];
    mix.g = fa.g + gmix[q];
    mix.g_P = fa.g_P + xq * fb.g_P + c.omega0 * xq * (1 - xq);
    mix.g_T = fa.g_T + xq * fb.g_T + xq * lx[q] + (1 - xq) * l1x[q];
    mix.g_TT = fa.g_TT + xq * fb.g_TT + (logit[q] + fb.g_T) * x_T;
    mix.g_PP = fa.g_PP + xq * fb.g_PP - h * h / Y;
    mix.g_PT = fa.g_PT + xq * fb.g_PT + h * x_T;

    Reduced<V2>& sb = states[3 * q + 2];
    sb.g = fa.g + fb.g;
    sb.g_T = fa.g_T + fb.g_T;
    sb.g_P = fa.g_P + fb.g_P;
    sb.g_TT = fa.g_TT + fb.g_TT;
    sb.g_PT = fa.g_PT + fb.g_PT;
    sb.g_PP = fa.g_PP + fb.g_PP;
  }
  for (std::size_t i = 0; i < 3 * npairs; ++i) {
    const std::size_t q = i / 3, a = 2 * q, b = second(q);
    const Props<V2> pr = properties(states[i], Tq[q], Thq[q], Pq[q], c);
    for (std::size_t l = 0; l < ((b != a) ? 2u : 1u); ++l) {
      PointResult& o = out[a + l];
      Props13& dst = (i % 3 == 0) ? o.mix : (i % 3 == 1) ? o.a : o.b;
      store_lane(dst, pr, static_cast<int>(l));
    }
  }
  for (std::size_t q = 0; q < npairs; ++q) {
    out[2 * q].x = x[q][0];
    if (second(q) != 2 * q) out[2 * q + 1].x = x[q][1];
  }
}

}  // namespace detail

using detail::BLOCK_POINTS;

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

  // First step of both solves of each point, in one V2. The starts are read
  // through a volatile so that their logarithm is the library's, computed at
  // run time like every later one, not a value folded by the compiler.
  {
    volatile double start_lo = 0.05, start_hi = 0.95;
    const V2 x0 = clamp_fraction(V2{start_lo, start_hi});
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

// One point: T in K, P in MPa.
inline PointResult caupin_point(double T, double P, const CaupinParams& c) noexcept {
  PointResult out;
  caupin_block(&T, &P, 1, &out, c);
  return out;
}

}  // namespace tessarin::caupin
