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
#pragma once
#include <cmath>
#include <limits>

#include "point_result.hpp"

namespace tessarin::shi_tanaka {

struct ShiTanakaConstants {
  static constexpr double T0 = 308.15;               // K
  static constexpr double P0 = 200.0;                // MPa
  static constexpr double DE = -6.334577316242091;   // constant part of Δg
  static constexpr double DS = 8.317;                // entropy deficit of B (coefficient of Th)
  static constexpr double DV = 1.593;                // volume excess of B (coefficient of Ph)
  static constexpr double CT = 39.91;                // background heat-capacity term
  static constexpr double VU = 2.12723494675e-29;    // m3 per model unit
  static constexpr double NA = 6.02214076e23;        // 1/mol
  static constexpr double R = 8.314462;              // J/(mol K)
  static constexpr double M = 0.018015268;           // kg/mol of water
  static constexpr double MU = 0.142104433984;       // kg/mol of model units
  static constexpr double KU = -7.888;               // divisor of the heat-capacity conversion

  // Background polynomial: the coefficient of t^i p^j is Bij.
  static constexpr double B01 = 10.34;
  static constexpr double B02 = -0.2629;
  static constexpr double B03 = 0.03432;
  static constexpr double B11 = 1.309;
  static constexpr double B12 = -0.3383;
  static constexpr double B13 = 0.109;
  static constexpr double B20 = -13.73;
  static constexpr double B21 = -0.7274;
  static constexpr double B23 = 0.7443;
  static constexpr double B30 = -0.3602;
  static constexpr double B31 = 2.062;
};

using C = ShiTanakaConstants;

// Bounds of the fraction inside the mixing logarithms only.
inline constexpr double S_LO = 1e-15;
inline constexpr double S_HI = 0.999999999999999;
// exp overflows beyond about 709.78; the logistic is already 0 or 1 to double
// precision well before ±700.
inline constexpr double Z_MAX = 700.0;

// Reduced quantities of one state (or of the equilibrium mixture): Gibbs
// energy, its first and second temperature derivatives, the volume and its
// pressure and temperature derivatives. Derivatives are with respect to the
// reduced variables Th = T/T0 and Ph = P/P0.
struct Reduced {
  double g, g_T, g_TT, v, v_p, v_t;
};

// Properties of one state from its reduced quantities. T in K, P in MPa.
inline Props13 properties(const Reduced& r, double T, double P) noexcept {
  constexpr double inf = std::numeric_limits<double>::infinity();
  const double Th = T / C::T0;
  Props13 o;
  o.V = r.v * C::VU * C::NA / C::MU;
  o.S = -r.g_T * C::R / C::MU;
  o.G = r.g * C::R * C::T0 / C::MU;
  o.H = o.G + T * o.S;
  o.U = o.H - P * 1e6 * o.V;
  o.A = o.G - P * 1e6 * o.V;
  // Numerically -Th·g_TT·R/MU; formed with KU and the molar mass of water.
  o.Cp = r.g_TT * (Th / C::KU) * C::R / C::M;

  // Written so that a NaN volume takes the "else" branch.
  const bool v_ok = std::fabs(r.v) > 1e-30;
  const double kT = v_ok ? r.v_p / r.v / -2e8 : inf;  // 1/Pa; P0 in Pa is 2e8
  o.alpha = v_ok ? r.v_t / r.v / C::T0 : 0.0;
  o.rho = (o.V > 0) ? 1 / o.V : inf;

  const double tva2 = T * o.V * (o.alpha * o.alpha);
  const bool kT_finite = std::isfinite(kT);
  o.Cv = (kT_finite && kT > 0) ? o.Cp - tva2 / kT : o.Cp;
  const double kS = (o.Cp > 0) ? kT - tva2 / o.Cp : kT;

  o.Kt = (kT_finite && std::fabs(kT) > 1e-30) ? 1 / (kT * 1e6) : 0.0;
  o.Ks = (kS > 0) ? 1 / (kS * 1e6) : inf;
  o.vel = (kS > 0 && o.rho > 0) ? std::sqrt(1 / (o.rho * kS))
                                 : std::numeric_limits<double>::quiet_NaN();
  return o;
}

inline PointResult shi_tanaka_point(double T, double P) noexcept {
  const double Th = T / C::T0;
  const double Ph = P / C::P0;
  const double t = Th - 1;
  const double p = Ph - 1;
  // The logarithm and the divisions need a positive temperature; a
  // non-positive one poisons every term that depends on it.
  const double Thg = (Th > 0) ? Th : std::numeric_limits<double>::quiet_NaN();
  const double lnT = std::log(Thg);

  const double p2 = p * p, p3 = p2 * p;
  const double t2 = t * t, t3 = t2 * t;

  // Background (state A). The derivative coefficients are the exact float64
  // products of the polynomial coefficients with their exponents.
  Reduced a;
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

  // Free-energy difference of B relative to A and its enthalpy-like part.
  const double dg = C::DE + C::DS * Th + C::DV * Ph;
  const double dh = C::DV * Ph + C::DE;

  // The clamp keeps exp finite; a NaN exponent is passed on as NaN.
  double z = dg / Thg;
  if (z < -Z_MAX) {
    z = -Z_MAX;
  } else if (z > Z_MAX) {
    z = Z_MAX;
  }
  const double s = 1 / (std::exp(z) + 1);
  // Only the mixing logarithms need s strictly inside (0, 1); fmax turns a
  // NaN s into the lower bound.
  const double sc = std::fmin(std::fmax(s, S_LO), S_HI);

  // Equilibrium mixture. s shifts with the state: ds/dz = -s(1-s), with
  // dz/dPh = DV/Th and dz/dTh = -Δh/Th², which gives the volume derivatives
  // and the extra (always negative) curvature in Th. The first derivatives of
  // g need no such term because g is stationary in s at equilibrium.
  Reduced mix;
  mix.v = a.v + C::DV * s;
  mix.v_p = a.v_p - (C::DV * s * (1 - s)) * C::DV / Thg;
  mix.v_t = a.v_t + dh * (C::DV * s * (1 - s)) / (Thg * Thg);
  mix.g_TT = a.g_TT - dh * dh * s * (1 - s) / (Thg * Thg * Thg);
  const double m = sc * std::log(sc) + (1 - sc) * std::log(1 - sc);
  mix.g = a.g + s * dg + Th * m;
  mix.g_T = a.g_T + C::DS * s + m;

  Reduced b;
  b.v = a.v + C::DV;
  b.v_p = a.v_p;
  b.v_t = a.v_t;
  b.g = a.g + dg;
  b.g_T = a.g_T + C::DS;
  b.g_TT = a.g_TT;

  PointResult r;
  r.mix = properties(mix, T, P);
  r.x = s;
  r.a = properties(a, T, P);
  r.b = properties(b, T, P);
  return r;
}

}  // namespace tessarin::shi_tanaka
