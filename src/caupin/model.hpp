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
// The formulas are written once, as templates over the number type (a
// double for caupin_point, a simd::Vec of points for the block kernel of
// block.hpp); a lane performs exactly the IEEE operations of the scalar
// formula. The logarithms come from the math policy M (vmath.hpp; VectorMath
// by default).
//
// Pure C++: no Python types, no allocation, never throws. Points outside the
// model's domain show as NaN or infinite values.
#pragma once
#include <cmath>
#include <cstddef>
#include <limits>

#include "caupin/params.hpp"
#include "point_result.hpp"
#include "simd.hpp"
#include "two_state.hpp"
#include "vmath.hpp"

namespace tessarin::caupin {

using two_state::clamp_fraction;
using two_state::X_HI;
using two_state::X_LO;

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

// W = 2 + omega0 dP, the non-ideality of the mixture, linear in pressure;
// the model's interaction parameter is omega = W/Th.
template <class F>
inline F interaction_W(F dP, const CaupinParams& c) noexcept {
  return 2 + c.omega0 * dP;
}

template <class F>
inline F interaction(F dT, F dP, const CaupinParams& c) noexcept {
  return interaction_W(dP, c) / (1 + dT);
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
// that logarithm and returns the next iterate (two_state::newton_iterate,
// which keeps it inside the fraction bounds).
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
  const F xc = s.xc;
  const F Mval = equilibrium_function(xc, logit, GBA, Th, omega);
  const F xn = two_state::newton_iterate(xc, Mval, s.N);
  flat = abs(s.N) < 1e-30;
  converged = abs(Mval) < 1e-12;
  return xn;
}

inline constexpr int NEWTON_STEPS = 50;

// Damped Newton iteration on F from x0 with a fixed budget of steps, which
// keeps the cost per point bounded; the result is clamped once more. This is
// the iteration of one solve on its own; `caupin_block` runs the same steps
// for many solves at once.
template <class M>
inline double solve_fraction(double x0, double GBA, double Th, double omega) noexcept {
  double x = x0, xn = x0;
  for (int step = 1; step <= NEWTON_STEPS; ++step) {
    const NewtonState<double> st = newton_prepare(x, Th, omega);
    bool flat, converged;
    xn = newton_finish(st, M::log(st.ratio), GBA, Th, omega, flat, converged);
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

// Physical properties of one state from its reduced Gibbs energy.
// Th is T/Tc as computed by reduce(). Every quantity is computed and the
// guards then pick, lane by lane, the value each rule prescribes; a value
// that a guard discards (a division by zero, the root of a negative number)
// has no effect.
template <class F>
inline PropsOf<F> properties(const Reduced<F>& g, F T, F Th, F P_MPa,
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

  PropsOf<F> o;
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

// The stable one of the two solves' fractions x1, x2 (with their logarithms
// ln x, ln(1 - x)): the one of lower mixing Gibbs energy, which comes along;
// a NaN energy (NaN input) picks x2.
template <class F>
struct Fraction {
  F x, ln_x, ln_1mx, gmix;
};

template <class F>
inline Fraction<F> stable_fraction(F x1, F lx1, F l1x1, F x2, F lx2, F l1x2, F GBA, F Th,
                                   F omega) noexcept {
  using simd::select;
  const F g1 = mixing_gibbs(x1, lx1, l1x1, GBA, Th, omega);
  const F g2 = mixing_gibbs(x2, lx2, l1x2, GBA, Th, omega);
  const auto first = g1 <= g2;
  return {select(first, x1, x2), select(first, lx1, lx2), select(first, l1x1, l1x2),
          select(first, g1, g2)};
}

// The reduced Gibbs energies of the equilibrium mixture and of pure state B,
// from state A's (the background) `a`, the field's `f`, the fraction and its
// logit ln(x/(1 - x)).
template <class F>
struct MixtureAndB {
  Reduced<F> mix, b;
};

template <class F>
inline MixtureAndB<F> mixture_and_b(const Reduced<F>& a, const Reduced<F>& f,
                                    const Fraction<F>& fr, F logit, F Th, F omega,
                                    const CaupinParams& c) noexcept {
  const F x = fr.x;
  // The shift of x with T and P along equilibrium enters the second
  // derivatives through the curvature Y; at a flat F it is replaced by a
  // huge value, which switches that contribution off.
  F Y = equilibrium_slope(x, Th, omega);
  Y = simd::select(simd::abs(Y) > 1e-30, Y, simd::splat<F>(1e30));
  const F x_T = -(logit + f.g_T) / Y;
  const F h = f.g_P + c.omega0 * (1 - 2 * x);

  MixtureAndB<F> r;
  r.mix.g = a.g + fr.gmix;
  r.mix.g_P = a.g_P + x * f.g_P + c.omega0 * x * (1 - x);
  r.mix.g_T = a.g_T + x * f.g_T + x * fr.ln_x + (1 - x) * fr.ln_1mx;
  r.mix.g_TT = a.g_TT + x * f.g_TT + (logit + f.g_T) * x_T;
  r.mix.g_PP = a.g_PP + x * f.g_PP - h * h / Y;
  r.mix.g_PT = a.g_PT + x * f.g_PT + h * x_T;

  r.b.g = a.g + f.g;
  r.b.g_T = a.g_T + f.g_T;
  r.b.g_P = a.g_P + f.g_P;
  r.b.g_TT = a.g_TT + f.g_TT;
  r.b.g_PT = a.g_PT + f.g_PT;
  r.b.g_PP = a.g_PP + f.g_PP;
  return r;
}

// One point, T in K and P in MPa, each logarithm taken where it is needed
// and each solve run on its own. The batch evaluates points with
// caupin_block (block.hpp), which gives the same bits.
template <class M = VectorMath>
inline PointResult caupin_point(double T, double P, const CaupinParams& c) noexcept {
  const Coords<double> r = reduce(T, P, c);
  const double GBA = field(r.dT, r.dP, c), om = interaction(r.dT, r.dP, c);
  const double x1 = solve_fraction<M>(two_state::newton_start(0), GBA, r.Th, om);
  const double x2 = solve_fraction<M>(two_state::newton_start(1), GBA, r.Th, om);
  const Fraction<double> fr = stable_fraction(x1, M::log(x1), M::log(1 - x1), x2, M::log(x2),
                                              M::log(1 - x2), GBA, r.Th, om);
  const double logit = M::log(fr.x / (1 - fr.x));
  const Reduced<double> a = background(T, r, c);
  const MixtureAndB<double> s =
      mixture_and_b(a, field_derivatives(r.dT, r.dP, c), fr, logit, r.Th, om, c);
  PointResult out;
  out.mix = properties(s.mix, T, r.Th, P, c);
  out.x = fr.x;
  out.a = properties(a, T, r.Th, P, c);
  out.b = properties(s.b, T, r.Th, P, c);
  return out;
}

}  // namespace tessarin::caupin
