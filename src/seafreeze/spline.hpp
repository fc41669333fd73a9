// Tensor-product B-spline of a phase's specific Gibbs energy G(P, T) and its
// evaluation with partial derivatives, one derivative at a time.
//
// Pure C++: no Python types, no allocation, never throws. A spline whose
// orders or counts cannot be evaluated safely gives NaN; points outside the
// knot range are extrapolated with the end polynomial pieces.
#pragma once
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <vector>

#include "seafreeze/bspline.hpp"

namespace tessarin::seafreeze {

// One phase: G in J/kg over P in MPa (first axis) and T in K (second axis).
struct Spline2D {
  std::optional<std::array<double, 6>> shear_params;  // s0..s5 of the ice phases
  std::vector<double> knots_p;                        // MPa, non-decreasing, clamped
  std::vector<double> knots_t;                        // K, non-decreasing, clamped
  std::vector<double> coefs;                          // (P index) * n_t + (T index)
  std::size_t order_p = 0;                            // degree + 1 along P
  std::size_t order_t = 0;                            // degree + 1 along T
  std::size_t n_p = 0;                                // coefficient count along P
  std::size_t n_t = 0;                                // coefficient count along T, the row stride
  // Derived from the knots when the table is parsed; call `prepare` again
  // after changing the knots or orders of a copy.
  SpanFactors factors_p, factors_t;
};

// (Re)builds the per-interval constants of both axes.
inline void prepare(Spline2D& s) {
  s.factors_p = make_span_factors(s.knots_p, s.order_p);
  s.factors_t = make_span_factors(s.knots_t, s.order_t);
}

// True when every index that evaluation can form lies inside the arrays:
// orders 1..12, at least as many basis functions as the order on each axis
// (so every span has k active functions), a row stride that covers the basis
// functions along T, and a full coefficient matrix. Evaluation checks this
// once per call instead of at every access.
inline bool evaluable(const Spline2D& s) noexcept {
  const std::size_t kp = s.order_p, kt = s.order_t;
  const std::size_t mp = s.knots_p.size(), mt = s.knots_t.size();
  if (kp < 1 || kp > MAX_ORDER || kt < 1 || kt > MAX_ORDER) return false;
  if (mp < 2 * kp || mt < 2 * kt) return false;
  const std::size_t np = mp - kp, nt = mt - kt;
  if (s.n_t < nt) return false;
  // np * n_t without overflow, then against the stored coefficients.
  if (s.n_t != 0 && np > s.coefs.size() / s.n_t) return false;
  return np * s.n_t <= s.coefs.size();
}

// The kp x kt block of coefficients active on the knot intervals (span_p,
// span_t), as c[j][i]: coefficient j along T of row i along P.
inline void coefficient_block(const Spline2D& s, std::size_t kp, std::size_t kt,
                              std::size_t span_p, std::size_t span_t,
                              double (&c)[MAX_ORDER][MAX_ORDER]) noexcept {
  const double* first = s.coefs.data() + (span_p + 1 - kp) * s.n_t + (span_t + 1 - kt);
  for (std::size_t i = 0; i < kp; ++i)
    for (std::size_t j = 0; j < kt; ++j) c[j][i] = first[i * s.n_t + j];
}

// d^(deriv_p + deriv_t) G / dP^deriv_p dT^deriv_t at (p, t), in J/kg per
// MPa^deriv_p per K^deriv_t. Orders at or above the spline's order give 0 (a
// piecewise polynomial of degree k - 1 has no such derivative), whatever p and
// t are; otherwise a NaN coordinate gives NaN. The T direction is reduced row
// by row first (all rows together, each with its own operations), then P.
inline double eval_point(const Spline2D& s, std::uint64_t deriv_p, std::uint64_t deriv_t,
                         double p, double t) noexcept {
  const std::size_t kp = s.order_p, kt = s.order_t;
  if (deriv_p >= kp || deriv_t >= kt) return 0.0;
  // NaN would land in the first interval; where the derivative reduces to a
  // constant piece (deriv = order - 1) the coordinate is never used again, so
  // without this test a NaN point would return that interval's constant.
  if (!evaluable(s) || std::isnan(p) || std::isnan(t))
    return std::numeric_limits<double>::quiet_NaN();
  const std::span<const double> kn_p(s.knots_p), kn_t(s.knots_t);
  const std::size_t dp = static_cast<std::size_t>(deriv_p);
  const std::size_t dt = static_cast<std::size_t>(deriv_t);
  const std::size_t span_p = find_span(kn_p, kp, p);
  const std::size_t span_t = find_span(kn_t, kt, t);

  double c[MAX_ORDER][MAX_ORDER];
  coefficient_block(s, kp, kt, span_p, span_t, c);
  for (std::size_t r = 1; r <= dt; ++r) differentiate_step(kn_t, c, kp, kt, span_t, r);
  DeBoorWeights w;
  de_boor_weights(kn_t, kt - dt, span_t, t, w);
  double q[MAX_ORDER];
  de_boor(w, c, kp, q);

  double col[MAX_ORDER][1], out[1];
  for (std::size_t i = 0; i < kp; ++i) col[i][0] = q[i];
  for (std::size_t r = 1; r <= dp; ++r) differentiate_step(kn_p, col, 1, kp, span_p, r);
  de_boor_weights(kn_p, kp - dp, span_p, p, w);
  de_boor(w, col, 1, out);
  return out[0];
}

}  // namespace tessarin::seafreeze
