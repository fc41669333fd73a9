// The equilibrium condition of a two-state model as the phase-boundary
// searches see it, and its root structure.
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

#include "two_state.hpp"

namespace tessarin::phase {

struct TwoStateParams {
  double field;           // L
  double entropy_weight;  // theta
  double interaction;     // W
};

using two_state::clamp_fraction;

// The root brackets reach from 1e-12 to 1 - 1e-12 (written 0.999999999999):
// roots closer to 0 or 1 do not count. ln(x/(1-x)) at both ends, as double
// arithmetic produces it; the two differ in magnitude because 1 - 1e-12 is
// not exactly representable.
inline constexpr double X_MIN = 1e-12;
inline constexpr double X_MAX = 0.999999999999;
inline constexpr double LOGIT_AT_1E_12 = 27.63102111592755;
inline constexpr double LOGIT_AT_1_MINUS_1E_12 = 27.63104323789236;
// 1 - 2x at x = 1e-12.
inline constexpr double ONE_MINUS_2E_12 = 0.999999999998;

// Halvings of each root bracket (shorter than 0.5): 35 pin a root to about
// 1.5e-11 in x.
inline constexpr int ROOT_HALVINGS = 35;

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

// The two stable roots of F: the lower one bisected between X_MIN and the
// left turning point, the upper one between the right turning point and
// X_MAX. F is monotonic on both brackets. Nothing checks for a sign change
// first; without one the result sits at an end of its bracket. (NaN, NaN)
// when F has no turning points (W <= 0 or 1 - 2 theta/W <= 0).
inline std::pair<double, double> find_roots_from_params(double L, double theta,
                                                         double W) noexcept {
  constexpr double nan = std::numeric_limits<double>::quiet_NaN();
  if (W <= 0) return {nan, nan};
  const double e = 1 - 2 * theta / W;
  if (e <= 0) return {nan, nan};
  const double s = std::sqrt(e);
  const auto F = [&](double x) { return residual(L, theta, W, clamp_fraction(x)); };
  const double x_lo = two_state::bisect_sign_change(
      X_MIN, (1 - s) / 2, L - LOGIT_AT_1E_12 * theta + ONE_MINUS_2E_12 * W, ROOT_HALVINGS, F);
  const double right = (1 + s) / 2;
  return {x_lo, two_state::bisect_sign_change(right, X_MAX, F(right), ROOT_HALVINGS, F)};
}

inline std::pair<double, double> find_roots_from_params(const TwoStateParams& q) noexcept {
  return find_roots_from_params(q.field, q.entropy_weight, q.interaction);
}

}  // namespace tessarin::phase
