// Holten two-state equation of state of supercooled and stable liquid water:
// the formulas of one point, or of several at once.
//
// Water is a mixture of two interconvertible structures A and B; the fraction
// x of B minimises the Gibbs energy. The reduced Gibbs energy is a 20-term
// background (state A) plus x times the field L and an ideal-mixing and
// interaction term.
//
// The formulas are written once, as templates over the number type F (a
// double for holten_point, a simd::Vec of points for the block kernel of
// block.hpp) and over the math policy M that supplies exp and log (vmath.hpp;
// VectorMath by default). A lane performs exactly the IEEE operations of the
// scalar formula, so a point's bits do not depend on the width it is
// evaluated with nor on its neighbours. Pure C++: no Python types, no
// allocation, never throws; points outside the model's domain show as NaN or
// infinite values.
#pragma once
#include <cmath>
#include <limits>

#include "holten/params.hpp"
#include "point_result.hpp"
#include "simd.hpp"
#include "two_state.hpp"
#include "vmath.hpp"

namespace tessarin::holten {

using simd::select;
using simd::splat;
using two_state::X_HI;
using two_state::X_LO;

inline constexpr double INF = std::numeric_limits<double>::infinity();
inline constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

// Reduced Gibbs energy of one state and its derivatives in tau and pi.
template <class F = double>
struct Reduced {
  F g, g_t, g_p, g_tt, g_tp, g_pp;
};

// Field L (Gibbs energy of B relative to A, reduced) and its derivatives in
// tau and in the reduced pressure.
template <class F = double>
struct Field {
  F L, L_t, L_p, L_tt, L_tp, L_pp;
};

// The background as a sum of c_i tau^a_i pi^b_i exp(-d_i pi): two powers and
// an exponential per term. Used where tau or pi is not a positive finite
// number, where the power function's special cases (pi = 0, negative pi) set
// the NaN and infinity pattern of the result; there every sum comes out NaN
// or infinite whatever the rounding of the powers.
inline Reduced<double> background_pow(double tau, double pi) noexcept {
  Reduced<double> s{0, 0, 0, 0, 0, 0};
  for (int i = 0; i < 20; ++i) {
    const double a = BG_A[i], b = BG_B[i], d = BG_D[i];
    const double term = BG_C[i] * std::pow(tau, a) * std::pow(pi, b) * std::exp(-d * pi);
    const double u = b - d * pi;
    s.g += term;
    s.g_t += a * term / tau;
    s.g_p += term * u / pi;
    s.g_tt += a * (a - 1) * term / (tau * tau);
    s.g_tp += a * term * u / (tau * pi);
    s.g_pp += term * (u * u - b) / (pi * pi);
  }
  return s;
}

// The same sums for positive finite tau and pi, where
// tau^a pi^b exp(-d pi) = exp(a ln tau + b ln pi - d pi): one exponential per
// term and two logarithms in all, instead of forty powers. The common factors
// 1/tau and 1/pi are applied once to each sum rather than to every term.
// Both change only the rounding: the results stay within a few units of 1e-15
// relative of the term-by-term form (checked by the test suite). Lanes with
// any other tau or pi take background_pow.
template <class M, class F>
inline Reduced<F> background(F tau, F pi) noexcept {
  const F ln_tau = M::log(tau), ln_pi = M::log(pi);
  F g = splat<F>(0.0), at = g, tu = g, aat = g, atu = g, tuu = g;
  for (int i = 0; i < 20; ++i) {
    const double a = BG_A[i], b = BG_B[i], d = BG_D[i];
    const F term = BG_C[i] * M::exp(a * ln_tau + b * ln_pi - d * pi);
    const F u = b - d * pi;
    g += term;
    at += a * term;
    tu += term * u;
    aat += a * (a - 1) * term;
    atu += a * term * u;
    tuu += term * (u * u - b);
  }
  const F inv_tau = 1 / tau, inv_pi = 1 / pi;
  Reduced<F> s{g,
               at * inv_tau,
               tu * inv_pi,
               aat * (inv_tau * inv_tau),
               atu * (inv_tau * inv_pi),
               tuu * (inv_pi * inv_pi)};
  const auto regular = simd::both(simd::both(tau > 0, pi > 0), simd::both(tau < INF, pi < INF));
  if (simd::all(regular)) return s;
  if constexpr (std::is_same_v<F, double>) {
    return background_pow(tau, pi);
  } else {
    for (int l = 0; l < simd::width<F>; ++l) {
      if (regular[l]) continue;
      const Reduced<double> p = background_pow(tau[l], pi[l]);
      s.g[l] = p.g;
      s.g_t[l] = p.g_t;
      s.g_p[l] = p.g_p;
      s.g_tt[l] = p.g_tt;
      s.g_tp[l] = p.g_tp;
      s.g_pp[l] = p.g_pp;
    }
    return s;
  }
}

// The field in the reduced variables dT = tau - 1 and dP = P / P*, through
// u = k2 dT and the square root K = sqrt((1 + k0 k2 + k1 (dP - u))^2 - 4 k0
// k1 k2 (dP - u)). The radicand is positive for every finite dP - u; it is
// not guarded, so infinite or NaN input gives a NaN field.
template <class F>
inline F field_root(F dT, F dP) noexcept {
  const F u = K2 * dT;
  const F q = ONE_PLUS_K0K2 + K1 * (dP - u);
  return simd::sqrt(q * q + MINUS_4K0K1K2 * (dP - u));
}

// L itself, given field_root.
template <class F>
inline F field_value(F dT, F dP, F root) noexcept {
  return L0K2 * (K1 * (K2 * dT + dP) + (1 - root + K0K2)) / TWO_K1K2;
}

inline double field_value(double dT, double dP) noexcept {
  return field_value(dT, dP, field_root(dT, dP));
}

// L with its derivatives in tau and in dP.
template <class F>
inline Field<F> field(F dT, F dP) noexcept {
  const F w = K1 * (dP - K2 * dT);
  const F K = field_root(dT, dP);
  const F K3 = K * K * K;
  Field<F> f;
  f.L = field_value(dT, dP, K);
  f.L_t = HALF_L0K2 * (1 + (w + ONE_MINUS_K0K2) / K);
  f.L_p = L0K2 * (-K1 * dP + K0K2 + K + K1K2 * dT - 1) / (TWO_K2 * K);
  f.L_tt = L_TT_NUM / K3;
  f.L_tp = L_TP_NUM / K3;
  f.L_pp = L_PP_NUM / K3;
  return f;
}

// Interaction omega, linear in the reduced pressure.
template <class F>
inline F interaction(F dP) noexcept {
  return 2 + OMEGA0 * dP;
}

// Equilibrium fraction of state B for field L and interaction omega: solves
//     f(x) = ln(x/(1-x)) + |L| + omega (1 - 2x) = 0
// for |L|, whose wanted root lies in (0, 0.5], then mirrors it when L < 0.
//
// The root is bracketed as the published solver brackets it. Inside the
// bracket f rises from negative values through its one root there (the other
// roots of f, where omega > 2, lie beyond 0.5), so Newton's method converges
// to it from the first secant point of the bracket in a handful of steps; an
// iterate that would leave the bracket is replaced by the bracket's midpoint,
// and a point where f is exactly 0 is the root. A Newton step below
// NEWTON_TOL x ends the solve with that step taken: the next one would be of
// order (NEWTON_TOL x)^2 / x. Where f is NaN every step is a midpoint and the
// solve is the published bisection, ended when the bracket is narrower than
// 1e-14 (or after 100 steps) at its midpoint. Where the bracket holds no sign
// change (only far outside the model's range) the published Newton iteration
// from 0.05 runs instead, for at most 200 steps.
//
// All lanes step together until the last has finished; a finished lane keeps
// its state, so its result is that of the same point solved alone.
inline constexpr double NEWTON_TOL = 1e-9;

template <class F>
inline F fraction_residual(F x, F logit, F lam, F omega) noexcept {
  return (logit + lam) + (1 - 2 * x) * omega;
}

template <class M, class F>
inline F equilibrium_fraction(F L, F omega) noexcept {
  using simd::abs;
  using simd::both;
  using simd::either;
  using M_ = simd::Mask<F>;
  const F lam = abs(L);
  // f at a point of the bracket; +inf outside (0, 1), where the small-root
  // bracket's upper end may lie when its exponential underflows.
  const auto f = [&](F x) {
    return select(either(x <= 0, x >= 1), splat<F>(INF),
                  fraction_residual(x, M::log(x / (1 - x)), lam, omega));
  };

  const auto near_half = (LN_19 - lam) * INV_0_9 > omega;
  const auto near_tenth = omega < (LN_99 - lam) * INV_0_98;
  F lo = select(near_half, splat<F>(0.049),
                select(near_tenth, splat<F>(0.0099),
                       SMALL_ROOT_LO * M::exp(-INV_0_98 * lam - omega)));
  F hi = select(near_half, splat<F>(0.5),
                select(near_tenth, splat<F>(0.051),
                       simd::fmin(SMALL_ROOT_HI * M::exp(-lam - omega), 0.0101)));
  lo = simd::fmax(lo, X_LO);
  hi = simd::fmin(hi, X_HI);
  F f_lo = f(lo), f_hi = f(hi);
  // No sign change: try [1e-15, 0.5], with f(1e-15) in closed form and
  // f(0.5) = |L|; where that holds none either, the Newton iteration.
  const auto moved = f_lo * f_hi > 0;
  f_lo = select(moved, ONE_MINUS_2X_LO * omega + (LN_X_LO + lam), f_lo);
  f_hi = select(moved, lam, f_hi);
  lo = select(moved, splat<F>(X_LO), lo);
  hi = select(moved, splat<F>(0.5), hi);
  const M_ far = both(moved, lam * f_lo > 0);

  using simd::invert;
  F x = lo, fx = f_lo;      // last point evaluated inside the bracket
  F root = splat<F>(0.05);  // the result; the iterate of the far iteration
  M_ running = invert(M_{});
  for (int step = 1; simd::any(running); ++step) {
    // Inside the bracket: the secant point first, Newton steps after it.
    const F d = 1 / ((1 - x) * x) - 2 * omega;
    const F s = fx / d;
    const F proposed = step == 1 ? lo - f_lo * ((hi - lo) / (f_hi - f_lo)) : x - s;
    const M_ converged = step == 1 ? M_{} : abs(s) <= NEWTON_TOL * x;
    const M_ halving = invert(both(proposed > lo, proposed < hi));
    const F xn = select(halving, (hi + lo) * 0.5, proposed);
    // The far iteration from its current iterate.
    const F c = two_state::clamp_fraction(root);
    const F dc = 1 / ((1 - c) * c) - 2 * omega;
    const F at = select(far, c, xn);
    const F fn = fraction_residual(at, M::log(at / (1 - at)), lam, omega);

    // Bracketed solve: keep the sign change (f_lo goes with lo).
    const M_ left = f_lo * fn < 0;
    const M_ narrow = select(left, xn - lo, hi - xn) < 1e-14;
    const F lo_n = select(left, lo, xn), hi_n = select(left, xn, hi);
    const M_ exact = fn == 0;
    const M_ last = step >= 100 ? invert(M_{}) : M_{};
    const M_ ends_bisection = both(halving, either(narrow, last));
    F root_b = select(both(ends_bisection, invert(exact)), (lo_n + hi_n) * 0.5, xn);
    root_b = select(converged, proposed, root_b);
    const M_ done_b = either(either(converged, exact), either(ends_bisection, last));
    // Far iteration.
    const M_ flat = abs(dc) < 1e-30;
    const F root_f = select(flat, c, two_state::newton_iterate(c, fn, dc));
    const M_ done_f = either(either(flat, abs(fn) < 1e-13), step >= 200 ? invert(M_{}) : M_{});

    const M_ bracketed = both(running, invert(far));
    const M_ moving = both(bracketed, invert(converged));
    lo = select(moving, lo_n, lo);
    hi = select(moving, hi_n, hi);
    f_lo = select(both(moving, invert(left)), fn, f_lo);
    x = select(moving, xn, x);
    fx = select(moving, fn, fx);
    root = select(both(running, far), root_f, select(both(bracketed, done_b), root_b, root));
    running = both(running, invert(either(both(far, done_f), both(invert(far), done_b))));
  }
  return select(L < 0, 1 - root, root);
}

// Properties of one state from its reduced Gibbs energy. Every quantity is
// computed and the guards then pick, lane by lane, the value each rule
// prescribes; a value that a guard discards has no effect.
template <class F>
inline PropsOf<F> properties(const Reduced<F>& s, F T, F P_pa) noexcept {
  using simd::both;
  PropsOf<F> o;
  o.rho = RHO0 / s.g_p;
  o.V = 1 / o.rho;
  o.S = -R * s.g_t - A1_REF;
  o.G = R_TC * s.g + (A1_REF * T + A0_REF);
  o.H = o.G + T * o.S;
  o.U = o.H - P_pa * o.V;
  o.A = o.G - P_pa * o.V;
  const F tau = T / Tc;
  o.Cp = -R * tau * s.g_tt;
  o.alpha = s.g_tp / s.g_p / Tc;
  const F kT = -s.g_pp / s.g_p / P_STAR;
  // A compressibility that is not positive (or NaN) leaves Kt infinite and
  // Cv = Cp; so does an infinite one, which also keeps Kt infinite.
  const auto finite_positive = both(kT > 0, kT != INF);
  o.Kt = select(finite_positive, 1 / kT / 1000000.0, splat<F>(INF));
  o.Cv = select(finite_positive, o.Cp - T * o.alpha * o.alpha / (o.rho * kT), o.Cp);
  const F kS = select(o.Cp > 0, kT - T * o.V * o.alpha * o.alpha / o.Cp, kT);
  o.Ks = select(kS > 0, 1 / kS / 1000000.0, splat<F>(INF));
  o.vel = select(both(kS > 0, o.rho > 0), simd::sqrt(1 / (o.rho * kS)), splat<F>(NaN));
  return o;
}

// The properties of the equilibrium mixture and of the pure states A and B.
template <class F>
struct StateProps {
  PropsOf<F> mix, a, b;
};

// Everything of a point that does not depend on the fraction x.
template <class F>
struct PointSetup {
  F T, P, tau;
  Reduced<F> gb;
  Field<F> fl;
  F omega;
};

template <class M, class F>
inline PointSetup<F> setup(F T, F P_MPa) noexcept {
  const F P = P_MPa * 1000000.0;
  const F tau = T / Tc;
  const F pi = (P0 + P) / P_STAR;
  const F dT = tau - 1;
  const F dP = P / P_STAR;
  return PointSetup<F>{T, P, tau, background<M>(tau, pi), field(dT, dP), interaction(dP)};
}

// The three states' properties once the equilibrium fraction is known.
template <class M, class F>
inline StateProps<F> finish(const PointSetup<F>& s, F x) noexcept {
  const F tau = s.tau;
  const Field<F>& fl = s.fl;
  const Reduced<F>& gb = s.gb;
  const F omega = s.omega;

  // Mixing terms. chi is the susceptibility of x: the shift of x with T and P
  // enters the second derivatives through it.
  const F y = (x + x) - 1;
  const F h = 1 - y * y;
  const F chi = select(simd::abs(h) > 1e-30, 1 / (2 / h - omega), splat<F>(0.0));
  const F mixing =
      x * fl.L + x * M::log(x) + (1 - x) * M::log(1 - x) + omega * x * (1 - x);
  const F gmix = select(simd::both(x > 1e-300, x < 1), mixing,
                        select(x <= 1e-300, splat<F>(0.0), fl.L));

  Reduced<F> mix;
  mix.g = gb.g + tau * gmix;
  mix.g_t = gb.g_t + gmix + tau * x * fl.L_t;
  mix.g_p = 0.5 * tau * (2 * x * fl.L_p + HALF_OMEGA0 * h) + gb.g_p;
  mix.g_tt = gb.g_tt + 2 * x * fl.L_t + tau * x * fl.L_tt - tau * chi * fl.L_t * fl.L_t / 2;
  const F lp_shift = fl.L_p - OMEGA0 * y;
  mix.g_tp = gb.g_tp + x * fl.L_p + OMEGA0 * x * (1 - x) + tau * x * fl.L_tp -
             tau * chi * fl.L_t * lp_shift / 2;
  mix.g_pp = gb.g_pp + tau * (x * fl.L_pp - chi * lp_shift * lp_shift / 2);

  Reduced<F> b;
  b.g = gb.g + tau * fl.L;
  b.g_t = gb.g_t + fl.L + tau * fl.L_t;
  b.g_p = gb.g_p + tau * fl.L_p;
  b.g_tt = gb.g_tt + 2 * fl.L_t + tau * fl.L_tt;
  b.g_tp = gb.g_tp + fl.L_p + tau * fl.L_tp;
  b.g_pp = gb.g_pp + tau * fl.L_pp;

  return {properties(mix, s.T, s.P), properties(gb, s.T, s.P), properties(b, s.T, s.P)};
}

// The records of the points of F's lanes, T in K and P in MPa.
template <class M, class F>
inline void evaluate(F T, F P_MPa, StateProps<F>& states, F& x) noexcept {
  const PointSetup<F> s = setup<M>(T, P_MPa);
  x = equilibrium_fraction<M>(s.fl.L, s.omega);
  states = finish<M>(s, x);
}

template <class M = VectorMath>
inline PointResult holten_point(double T, double P_MPa) noexcept {
  StateProps<double> st;
  double x;
  evaluate<M>(T, P_MPa, st, x);
  return {st.mix, x, st.a, st.b};
}

}  // namespace tessarin::holten
