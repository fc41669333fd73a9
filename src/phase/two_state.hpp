// Two-state quantities of the liquid models as the phase-boundary searches
// see them, and the root structure of the equilibrium condition.
//
// Every model reduces, at one (T, P), to three numbers: the field L (reduced
// Gibbs energy of state B relative to state A), the entropy weight theta of
// the ideal-mixing term and the interaction W. The reduced mixing Gibbs
// energy is x L + theta [x ln x + (1-x) ln(1-x)] + W x (1-x); its
// x-derivative
//     F(x) = L + theta ln(x/(1-x)) + W (1 - 2x)
// is the equilibrium residual. Where F has three roots the outer two are the
// stable (coexisting) fractions, and the region of (T, P) with three roots is
// bounded by the liquid-liquid spinodal.
//
// Pure C++: no Python types, no allocation, never throws. Trouble shows as
// NaN (a NaN input makes every three-root test false).
#pragma once
#include <cmath>
#include <limits>
#include <utility>

#include "caupin/params.hpp"
#include "holten/holten.hpp"

namespace tessarin::phase {

struct TwoStateParams {
  double field;           // L
  double entropy_weight;  // theta
  double interaction;     // W
};

inline constexpr double X_LO = 1e-15;
inline constexpr double X_HI = 0.999999999999999;

// ln(x/(1-x)) at the ends of the root brackets, x = 1e-12 and x = 1 - 1e-12.
// The two differ in magnitude because 1 - 1e-12 is not exactly representable:
// these are the values double arithmetic produces there.
inline constexpr double LOGIT_AT_1E_12 = 27.63102111592755;
inline constexpr double LOGIT_AT_1_MINUS_1E_12 = 27.63104323789236;
// 1 - 2x at x = 1e-12.
inline constexpr double ONE_MINUS_2E_12 = 0.999999999998;

inline double clamp_fraction(double x) noexcept { return std::fmin(std::fmax(x, X_LO), X_HI); }

// Equilibrium residual at a fraction already inside (0, 1).
inline double residual(double L, double theta, double W, double x) noexcept {
  return L + theta * std::log(x / (1 - x)) + W * (1 - 2 * x);
}

// Reduced mixing Gibbs energy at a fraction already inside (0, 1).
inline double mixing_gibbs(double L, double theta, double W, double x) noexcept {
  return L * x + theta * (x * std::log(x) + (1 - x) * std::log(1 - x)) + W * x * (1 - x);
}

// True when F has three roots in (0, 1): F has two turning points
// x1,2 = (1 -+ sqrt(e))/2, e = 1 - 2 theta / W, and changes sign between the
// left end and x1, between x1 and x2, and between x2 and the right end.
// Every comparison is strict, so a NaN anywhere gives false.
inline bool has_three_roots(double L, double theta, double W) noexcept {
  if (!(W > 0)) return false;
  const double e = 1 - 2 * theta / W;
  if (!(e > 0)) return false;
  const double s = std::sqrt(e);
  const double x1 = clamp_fraction((1 - s) / 2);
  const double x2 = clamp_fraction((1 + s) / 2);
  const double f_low = L - LOGIT_AT_1E_12 * theta + ONE_MINUS_2E_12 * W;
  const double f_high = L + LOGIT_AT_1_MINUS_1E_12 * theta - ONE_MINUS_2E_12 * W;
  const double f1 = residual(L, theta, W, x1);
  const double f2 = residual(L, theta, W, x2);
  return f_low * f1 < 0 && f1 * f2 < 0 && f_high * f2 < 0;
}

inline bool has_three_roots(const TwoStateParams& q) noexcept {
  return has_three_roots(q.field, q.entropy_weight, q.interaction);
}

// The two stable roots of F for L = a, theta = b, W = c: the lower one
// bisected between 1e-12 and the left turning point, the upper one between
// the right turning point and 1 - 1e-12. F is monotonic on both brackets, so
// 35 halvings pin each root to about 1.5e-11 in x. Nothing checks for a sign
// change first; without one the result sits at an end of its bracket.
// (NaN, NaN) when F has no turning points (c <= 0 or 1 - 2b/c <= 0).
inline std::pair<double, double> find_roots_from_params(double a, double b, double c) noexcept {
  constexpr double nan = std::numeric_limits<double>::quiet_NaN();
  if (c <= 0) return {nan, nan};
  const double e = 1 - 2 * b / c;
  if (e <= 0) return {nan, nan};
  const double s = std::sqrt(e);

  // 35 halvings of [lo, hi], f being the residual at lo; the bracket's
  // midpoint is the root.
  auto bisect = [&](double lo, double hi, double f) {
    for (int it = 0; it < 35; ++it) {
      const double mid = (lo + hi) / 2;
      const double fm = residual(a, b, c, clamp_fraction(mid));
      if (f * fm > 0) {
        lo = mid;
        f = fm;
      } else {
        hi = mid;
      }
    }
    return (lo + hi) / 2;
  };
  const double x_lo = bisect(1e-12, (1 - s) / 2, a - LOGIT_AT_1E_12 * b + ONE_MINUS_2E_12 * c);
  const double lo_hi = (1 + s) / 2;
  return {x_lo, bisect(lo_hi, 0.999999999999, residual(a, b, c, clamp_fraction(lo_hi)))};
}

inline std::pair<double, double> find_roots_from_params(const TwoStateParams& q) noexcept {
  return find_roots_from_params(q.field, q.entropy_weight, q.interaction);
}

// ---------------------------------------------------------------------------
// The model variants. Each supplies two_state_params(T in K, P in MPa); only
// L, theta and W are evaluated, never their derivatives.

// Holten: entropy weight 1. The field is written in the rotated variables
// u = p - k2 t and v = p + k2 t, with the folded constants of the model.
struct HoltenTwoState {
  static TwoStateParams two_state_params(double T, double P) noexcept {
    const double t = (T - holten::Tc) / holten::Tc;
    const double p = P * 1e6 / holten::P_STAR;
    const double u = p - holten::K2 * t;
    const double v = p + holten::K2 * t;
    const double q = 1.382387696099309 + holten::K1 * u;
    const double D = q * q + 0.482867435684183 * u;
    // Where the radicand is not positive the square root is taken as 0.
    const double S = (D > 0) ? (1 - std::sqrt(D)) + 0.3823876960993088 : 1.382387696099309;
    const double L = (S + holten::K1 * v) * 4.115665650084945 / (-3.3458718724741123);
    return {L, 1.0, 2 + holten::OMEGA0 * p};
  }
};

// Caupin: entropy weight T/Tc (written 1 + t). The model's interaction
// parameter is (2 + omega0 p)/theta; W is theta times it, 2 + omega0 p, so
// that F is the model's own equilibrium condition.
template <const caupin::CaupinParams& C>
struct CaupinTwoState {
  static TwoStateParams two_state_params(double T, double P) noexcept {
    const double t = (T - C.Tc) / C.Tc;
    const double p = (P - C.Pc) / C.Pu;
    const double L = C.lambda * (t + C.a * p + C.b * t * p + C.d * p * p + C.f * t * t);
    return {L, 1 + t, 2 + C.omega0 * p};
  }
};

using CaupinTableIIITwoState = CaupinTwoState<caupin::CAUPIN_TABLE_III>;
using CaupinTableIITwoState = CaupinTwoState<caupin::CAUPIN_TABLE_II>;

// Duska: reduced by the liquid-vapour critical point; entropy weight tau.
struct DuskaTwoState {
  static TwoStateParams two_state_params(double T, double P) noexcept {
    const double tau = T / 647.096;
    const double pi = P / 22.064;
    const double L = -0.43743227 + 0.018525106 * pi + 0.43306058 * tau -
                     0.013836753 * pi * tau + 2.1944047 * tau * tau -
                     1.630174e-05 * pi * pi + 7.6204693e-06 * pi * pi * pi;
    const double W =
        0.41420925 * (1 + 0.036615174 * pi + 1.6181775 * tau + 0.007147719 * tau * pi);
    return {L, tau, W};
  }
};

}  // namespace tessarin::phase
