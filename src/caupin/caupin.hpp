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
// Pure C++: no Python types, no allocation, never throws. Points outside the
// model's domain show as NaN or infinite values.
#pragma once
#include <cmath>
#include <limits>

#include "caupin/params.hpp"
#include "point_result.hpp"

namespace tessarin::caupin {

inline constexpr double X_LO = 1e-15;
inline constexpr double X_HI = 0.999999999999999;  // 1 - 1e-15 in float64

// A reduced Gibbs energy (per R Tc) and its derivatives in dT and dP.
struct Reduced {
  double g, g_T, g_P, g_TT, g_PT, g_PP;
};

// Reduced coordinates of a point: dT = (T - Tc)/Tc, dP = (P - Pc)/Pu with P
// in MPa, and Th = 1 + dT = T/Tc.
struct Coords {
  double dT, dP, Th;
};

inline Coords reduce(double T, double P_MPa, const CaupinParams& c) noexcept {
  const double dT = (T - c.Tc) / c.Tc;
  return {dT, (P_MPa - c.Pc) / c.Pu, 1 + dT};
}

// Bounds a fraction to [X_LO, X_HI]; a NaN fraction becomes X_LO, since
// fmax returns the other operand when one is NaN.
inline double clamp_fraction(double x) noexcept {
  return std::fmin(std::fmax(x, X_LO), X_HI);
}

// Field GBA: reduced Gibbs energy of state B relative to state A.
inline double field(double dT, double dP, const CaupinParams& c) noexcept {
  return c.lambda * (dT + c.a * dP + c.b * dT * dP + c.d * dP * dP + c.f * dT * dT);
}

inline Reduced field_derivatives(double dT, double dP, const CaupinParams& c) noexcept {
  Reduced r;
  r.g = field(dT, dP, c);
  r.g_P = c.lambda * (c.a + c.b * dT + 2 * c.d * dP);
  r.g_T = c.lambda * (1 + c.b * dP + 2 * c.f * dT);
  r.g_PP = 2 * c.lambda * c.d;
  r.g_PT = c.lambda * c.b;
  r.g_TT = 2 * c.lambda * c.f;
  return r;
}

// Interaction parameter omega = (2 + omega0 dP)/Th; Th omega is the
// non-ideality of the mixture, linear in pressure.
inline double interaction(double dT, double dP, const CaupinParams& c) noexcept {
  return (2 + c.omega0 * dP) / (1 + dT);
}

// Equilibrium function F(x) = dG(x)/dx, the derivative of the mixture's
// reduced Gibbs energy in x; its roots are the equilibrium fractions of B.
inline double equilibrium_function(double x, double GBA, double Th, double omega) noexcept {
  return GBA + Th * (std::log(x / (1 - x)) + omega * (1 - 2 * x));
}

// F'(x), the curvature of the mixture's Gibbs energy in x.
inline double equilibrium_slope(double x, double Th, double omega) noexcept {
  return Th * (1 / (x * (1 - x)) - 2 * omega);
}

// Damped Newton iteration on F from x0. A step that would leave
// [X_LO, X_HI] is replaced by halving the distance to the bound it crosses,
// so the iterate stays strictly inside (0, 1) where the logarithm is finite.
// A fixed step budget keeps the cost per point bounded.
inline double solve_fraction(double x0, double GBA, double Th, double omega) noexcept {
  double x = x0;
  double xn = x0;
  for (int step = 1; step <= 50; ++step) {
    const double xc = clamp_fraction(x);
    const double N = equilibrium_slope(xc, Th, omega);
    // A flat F (at a spinodal composition) admits no Newton step.
    if (std::fabs(N) < 1e-30) {
      xn = xc;
      break;
    }
    const double Mval = equilibrium_function(xc, GBA, Th, omega);
    xn = xc - Mval / N;
    if (xn < X_LO) {
      xn = xc * 0.5;
    } else if (xn > X_HI) {
      xn = ((xc + 1) - 1e-15) * 0.5;
    }
    if (std::fabs(Mval) < 1e-12) break;
    x = xn;
  }
  return clamp_fraction(xn);
}

// Mixing and interaction part of the reduced Gibbs energy at fraction x,
// relative to pure state A.
inline double mixing_gibbs(double x, double GBA, double Th, double omega) noexcept {
  return Th * (x * std::log(x) + (1 - x) * std::log(1 - x) + omega * x * (1 - x)) + x * GBA;
}

// Background (state A) reduced Gibbs energy. Outside the liquid-vapour
// spinodal (s <= 0, or s NaN) s^(3/2) has no real value, so s is made NaN
// and carries NaN into every background quantity.
inline Reduced background(double T, const Coords& r, const CaupinParams& c) noexcept {
  const double t = r.dT, p = r.dP;
  const double u = T - c.Ts;
  const double Ps = c.Ps0 + c.Ps1 * u + c.Ps2 * u * u;
  double s = (c.Pc - Ps) / c.Pu + p;
  if (!(s > 0)) s = std::numeric_limits<double>::quiet_NaN();
  const double s_T = -(c.Ps1 + 2 * c.Ps2 * u) * c.Tc / c.Pu;
  const double s_TT = -2 * c.Ps2 * c.Tc * c.Tc / c.Pu;

  const double rs = std::sqrt(s);  // s^(1/2)
  const double s32 = s * rs;       // s^(3/2)
  const double rsi = 1 / rs;       // s^(-1/2)
  const double Asp = c.A0 + c.A1 * t;

  const double t2 = t * t, t3 = t2 * t, t4 = t3 * t;
  const double p2 = p * p, p3 = p2 * p, p4 = p3 * p;

  Reduced g;
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
// Th is T/Tc as computed by reduce().
inline Props13 properties(const Reduced& g, double T, double Th, double P_MPa,
                          const CaupinParams& c) noexcept {
  constexpr double inf = std::numeric_limits<double>::infinity();
  constexpr double nan = std::numeric_limits<double>::quiet_NaN();
  const double R_M = c.R / c.M;
  const double P_pa = P_MPa * 1e6;

  Props13 o;
  o.V = c.Vc * g.g_P / c.M;
  o.rho = std::isnan(o.V) ? nan : (o.V > 0 ? 1 / o.V : inf);
  o.S = -R_M * g.g_T + c.S0;
  o.G = (c.R * c.Tc / c.M) * g.g + c.H0 - T * c.S0;
  o.H = o.G + T * o.S;
  o.U = o.H - P_pa * o.V;
  o.A = o.G - P_pa * o.V;
  o.Cp = -R_M * Th * g.g_TT;

  if (std::isnan(g.g_P)) {
    o.Kt = o.Cv = o.Ks = o.alpha = o.vel = nan;
    return o;
  }
  // A vanishing G_P (zero volume) leaves the compressibility unbounded.
  double kT;
  if (std::fabs(g.g_P) > 1e-30) {
    kT = -(c.Vc / (c.R * c.Tc)) * g.g_PP / g.g_P;  // 1/Pa
    o.alpha = g.g_PT / (c.Tc * g.g_P);
  } else {
    kT = inf;
    o.alpha = 0;
  }
  if (std::isnan(kT)) {
    o.Kt = nan;
  } else if (std::isinf(kT) || std::fabs(kT) <= 1e-30) {
    o.Kt = 0;
  } else {
    o.Kt = 1 / (kT * 1e6);
  }

  if (std::isnan(kT) || std::isnan(o.alpha)) {
    o.Cv = o.Ks = o.vel = nan;
    return o;
  }
  const double TVa2 = T * o.V * o.alpha * o.alpha;
  o.Cv = (std::isfinite(kT) && kT > 0) ? o.Cp - TVa2 / kT : o.Cp;
  const double kS = (o.Cp > 0) ? kT - TVa2 / o.Cp : kT;
  if (std::isnan(kS)) {
    o.Ks = nan;
  } else {
    o.Ks = (kS > 0) ? 1 / (kS * 1e6) : inf;
  }
  o.vel = (o.rho > 0 && kS > 0) ? std::sqrt(1 / (kS * o.rho)) : nan;
  return o;
}

// One point: T in K, P in MPa.
inline PointResult caupin_point(double T, double P, const CaupinParams& c) noexcept {
  const Coords r = reduce(T, P, c);
  const double Th = r.Th;
  const Reduced ga = background(T, r, c);
  const Reduced gba = field_derivatives(r.dT, r.dP, c);
  const double omega = interaction(r.dT, r.dP, c);

  // Start from both ends of the composition range; the root with the lower
  // Gibbs energy is the stable one. A NaN energy (NaN input) selects x2.
  const double x1 = clamp_fraction(solve_fraction(0.05, gba.g, Th, omega));
  const double x2 = clamp_fraction(solve_fraction(0.95, gba.g, Th, omega));
  const double g1 = mixing_gibbs(x1, gba.g, Th, omega);
  const double g2 = mixing_gibbs(x2, gba.g, Th, omega);
  const double x = clamp_fraction(g1 <= g2 ? x1 : x2);

  // The shift of x with T and P along equilibrium enters the second
  // derivatives through the curvature Y; at a flat F it is replaced by a huge
  // value, which switches that contribution off.
  double Y = equilibrium_slope(x, Th, omega);
  if (!(std::fabs(Y) > 1e-30)) Y = 1e30;
  const double logit = std::log(x / (1 - x));
  const double x_T = -(logit + gba.g_T) / Y;
  const double h = gba.g_P + c.omega0 * (1 - 2 * x);

  Reduced mix;
  mix.g = ga.g + mixing_gibbs(x, gba.g, Th, omega);
  mix.g_P = ga.g_P + x * gba.g_P + c.omega0 * x * (1 - x);
  mix.g_T = ga.g_T + x * gba.g_T + x * std::log(x) + (1 - x) * std::log(1 - x);
  mix.g_TT = ga.g_TT + x * gba.g_TT + (logit + gba.g_T) * x_T;
  mix.g_PP = ga.g_PP + x * gba.g_PP - h * h / Y;
  mix.g_PT = ga.g_PT + x * gba.g_PT + h * x_T;

  Reduced b;
  b.g = ga.g + gba.g;
  b.g_T = ga.g_T + gba.g_T;
  b.g_P = ga.g_P + gba.g_P;
  b.g_TT = ga.g_TT + gba.g_TT;
  b.g_PT = ga.g_PT + gba.g_PT;
  b.g_PP = ga.g_PP + gba.g_PP;

  PointResult out;
  out.mix = properties(mix, T, Th, P, c);
  out.x = x;
  out.a = properties(ga, T, Th, P, c);
  out.b = properties(b, T, Th, P, c);
  return out;
}

}  // namespace tessarin::caupin
