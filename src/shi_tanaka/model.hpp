// Shi–Tanaka two-state equation of state of liquid water.
//
// Water is a mixture of a background structure (state A) and a locally
// favoured structure (state B). The two do not interact, so the fraction s of
// B follows the logistic law s = 1/(exp(Δg/Th) + 1) in closed form and no
// solver is needed. The background is a cubic polynomial in the reduced
// distances t = T/T0 - 1, p = P/P0 - 1 plus a constant-heat-capacity term.
//
// Reduced units: Gibbs energies in R·T0 per mole of model units, volumes in
// VU·NA per mole of model units; one mole of model units weighs MU. Pure C++:
// no Python types, no allocation, never throws; out-of-domain points show as
// NaN, infinite or zero values under the guards of `properties`.
//
// The formulas are written once, as templates over the number type (a double
// for shi_tanaka_point, a simd::V2 of two points for the block kernel of
// block.hpp); a lane performs exactly the IEEE operations of the scalar
// formula. The exponential and the logarithms come from the math policy M
// (vmath.hpp; VectorMath by default).
#pragma once
#include <cmath>
#include <cstddef>
#include <limits>

#include "point_result.hpp"
#include "shi_tanaka/params.hpp"
#include "simd.hpp"
#include "two_state.hpp"
#include "vmath.hpp"

namespace tessarin::shi_tanaka {

using C = ShiTanakaConstants;

// exp overflows beyond about 709.78; the logistic is already 0 or 1 to double
// precision well before ±700.
inline constexpr double Z_MAX = 700.0;

// Reduced quantities of one state (or of the equilibrium mixture): Gibbs
// energy, its first and second temperature derivatives, the volume and its
// pressure and temperature derivatives. Derivatives are with respect to the
// reduced variables Th = T/T0 and Ph = P/P0.
template <class F = double>
struct Reduced {
  F g, g_T, g_TT, v, v_p, v_t;
};

// Isobaric heat capacity of a state with Th = T/T0. Numerically
// -Th·g_TT·R/MU; formed with KU and the molar mass of water.
template <class F>
inline F heat_capacity(F g_TT, F Th) noexcept {
  return g_TT * (Th / C::KU) * C::R / C::M;
}

// Properties of one state from its reduced quantities. T in K, P in MPa;
// `Cp` is the state's heat capacity from `heat_capacity` (state B shares
// state A's, so it is computed once). Every quantity is computed and the
// guards then pick, lane by lane, the value each rule prescribes; a value
// that a guard discards (a division by zero, the root of a negative number)
// has no effect.
template <class F>
inline PropsOf<F> properties(const Reduced<F>& r, F T, F P, F Cp) noexcept {
  using simd::both;
  using simd::abs;
  using simd::select;
  using simd::splat;
  constexpr double inf = std::numeric_limits<double>::infinity();
  PropsOf<F> o;
  o.V = r.v * C::VU * C::NA / C::MU;
  o.S = -r.g_T * C::R / C::MU;
  o.G = r.g * C::R * C::T0 / C::MU;
  o.H = o.G + T * o.S;
  o.U = o.H - P * 1e6 * o.V;
  o.A = o.G - P * 1e6 * o.V;
  o.Cp = Cp;

  // A NaN volume fails the test and takes the guarded values.
  const auto v_ok = abs(r.v) > 1e-30;
  const F kT = select(v_ok, r.v_p / r.v / -2e8, splat<F>(inf));  // 1/Pa; P0 in Pa is 2e8
  o.alpha = select(v_ok, r.v_t / r.v / C::T0, splat<F>(0.0));
  o.rho = select(o.V > 0, 1 / o.V, splat<F>(inf));

  const F tva2 = T * o.V * (o.alpha * o.alpha);
  const auto kT_finite = abs(kT) < inf;
  o.Cv = select(both(kT_finite, kT > 0), o.Cp - tva2 / kT, o.Cp);
  const F kS = select(o.Cp > 0, kT - tva2 / o.Cp, kT);

  o.Kt = select(both(kT_finite, abs(kT) > 1e-30), 1 / (kT * 1e6), splat<F>(0.0));
  o.Ks = select(kS > 0, 1 / (kS * 1e6), splat<F>(inf));
  const auto sound = both(kS > 0, o.rho > 0);
  o.vel = select(sound, simd::sqrt(select(sound, 1 / (o.rho * kS), splat<F>(0.0))),
                 splat<F>(std::numeric_limits<double>::quiet_NaN()));
  return o;
}

// The part of a point before its library calls: the reduced variables, the
// exponent of the logistic law and the argument of ln Th.
template <class F>
struct Start {
  F Th, Ph, Thg, dg, dh, z;
};

template <class F>
inline Start<F> start(F T, F P) noexcept {
  using simd::select;
  using simd::splat;
  Start<F> a;
  a.Th = T / C::T0;
  a.Ph = P / C::P0;
  // The logarithm and the divisions need a positive temperature; a
  // non-positive one poisons every term that depends on it.
  a.Thg = select(a.Th > 0, a.Th, splat<F>(std::numeric_limits<double>::quiet_NaN()));
  // Free-energy difference of B relative to A and its enthalpy-like part.
  a.dg = C::DE + C::DS * a.Th + C::DV * a.Ph;
  a.dh = C::DV * a.Ph + C::DE;
  // The clamp keeps exp finite; a NaN exponent is passed on as NaN.
  const F z = a.dg / a.Thg;
  a.z = select(z < -Z_MAX, splat<F>(-Z_MAX), select(z > Z_MAX, splat<F>(Z_MAX), z));
  return a;
}

// The fraction of B from exp(z). Only the mixing logarithms take it bounded
// (two_state::clamp_fraction, which turns a NaN into the lower bound).
template <class F>
inline F fraction(F exp_z) noexcept {
  return 1 / (exp_z + 1);
}

// The records of a point (or a pair of points) from its start and the
// library values ln Thg, s, and ln sc, ln(1 - sc) of the bounded fraction sc.
// T in K, P in MPa.
template <class F>
inline void finish(const Start<F>& a0, F T, F P, F lnT, F s, F ln_sc, F ln_1msc,
                   PropsOf<F>& mix_out, PropsOf<F>& a_out, PropsOf<F>& b_out) noexcept {
  const F Th = a0.Th, Ph = a0.Ph, Thg = a0.Thg, dg = a0.dg, dh = a0.dh;
  const F t = Th - 1;
  const F p = Ph - 1;
  const F p2 = p * p, p3 = p2 * p;
  const F t2 = t * t, t3 = t2 * t;

  // Background (state A). The derivative coefficients are the exact float64
  // products of the polynomial coefficients with their exponents.
  Reduced<F> a;
  a.g = C::B01 * p + C::B02 * p2 + C::B03 * p3 + C::B11 * t * p + C::B12 * t * p2 +
        C::B13 * t * p3 + C::B20 * t2 + C::B21 * t2 * p + C::B23 * t2 * p3 + C::B30 * t3 +
        C::B31 * t3 * p - C::CT * Thg * (lnT - 1);
  a.v = C::B01 + (2 * C::B02) * p + (3 * C::B03) * p2 + C::B11 * t + (2 * C::B12) * t * p +
        (3 * C::B13) * t * p2 + C::B21 * t2 + (3 * C::B23) * t2 * p2 + C::B31 * t3;
  a.v_p = (2 * C::B02) + (6 * C::B03) * p + (2 * C::B12) * t + (6 * C::B13) * t * p +
          (6 * C::B23) * t2 * p;
  a.v_t = C::B11 + (2 * C::B12) * p + (3 * C::B13) * p2 + (2 * C::B21) * t +
          (6 * C::B23) * t * p2 + (3 * C::B31) * t2;
  a.g_T = C::B11 * p + C::B12 * p2 + C::B13 * p3 + (2 * C::B20) * t + (2 * C::B21) * t * p +
          (2 * C::B23) * t * p3 + (3 * C::B30) * t2 + (3 * C::B31) * t2 * p - C::CT * lnT;
  a.g_TT = (2 * C::B20) + (2 * C::B21) * p + (2 * C::B23) * p3 + (6 * C::B30) * t +
           (6 * C::B31) * t * p - C::CT / Thg;

  const F sc = two_state::clamp_fraction(s);

  // Equilibrium mixture. s shifts with the state: ds/dz = -s(1-s), with
  // dz/dPh = DV/Th and dz/dTh = -Δh/Th², which gives the volume derivatives
  // and the extra (always negative) curvature in Th. The first derivatives of
  // g need no such term because g is stationary in s at equilibrium.
  Reduced<F> mix;
  mix.v = a.v + C::DV * s;
  mix.v_p = a.v_p - (C::DV * s * (1 - s)) * C::DV / Thg;
  mix.v_t = a.v_t + dh * (C::DV * s * (1 - s)) / (Thg * Thg);
  mix.g_TT = a.g_TT - dh * dh * s * (1 - s) / (Thg * Thg * Thg);
  const F m = sc * ln_sc + (1 - sc) * ln_1msc;
  mix.g = a.g + s * dg + Th * m;
  mix.g_T = a.g_T + C::DS * s + m;

  Reduced<F> b;
  b.v = a.v + C::DV;
  b.v_p = a.v_p;
  b.v_t = a.v_t;
  b.g = a.g + dg;
  b.g_T = a.g_T + C::DS;
  b.g_TT = a.g_TT;

  // State B's heat capacity is state A's: same g_TT, same Th.
  const F Cp_a = heat_capacity(a.g_TT, Th);
  mix_out = properties(mix, T, P, heat_capacity(mix.g_TT, Th));
  a_out = properties(a, T, P, Cp_a);
  b_out = properties(b, T, P, Cp_a);
}

// One point: T in K, P in MPa. The same formulas on plain doubles, each
// library call made where it is needed; `shi_tanaka_block` gives the same
// bits for every point.
template <class M = VectorMath>
inline PointResult shi_tanaka_point(double T, double P) noexcept {
  const Start<double> a = start(T, P);
  const double s = fraction(M::exp(a.z));
  const double sc = two_state::clamp_fraction(s);
  PointResult r;
  finish(a, T, P, M::log(a.Thg), s, M::log(sc), M::log(1 - sc), r.mix, r.a, r.b);
  r.x = s;
  return r;
}

}  // namespace tessarin::shi_tanaka
