// Tensor-product B-spline of a phase's specific Gibbs energy G(P, T) and its
// evaluation with partial derivatives.
//
// Pure C++: no Python types, no allocation, never throws. Working storage is
// fixed 12-entry arrays on the stack, 12 being the largest supported order.
// A spline whose orders or counts cannot be evaluated safely gives NaN; points
// outside the knot range are extrapolated with the end polynomial pieces.
#pragma once
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <vector>

namespace tessarin::seafreeze {

inline constexpr std::size_t MAX_ORDER = 12;

// The largest derivative order the phase properties take along one axis.
inline constexpr std::size_t MAX_DERIV = 3;

// Constants of one knot interval that the basis evaluation of the phase
// properties needs and that do not depend on the evaluation point: the
// reciprocal knot differences 1 / (knots[span + r + 1] - knots[span + 1 - j + r])
// of the Cox-de Boor triangle (steps j = 1 .. k - 1, r < j), then the factors
// (k - r) / (knots[span + 1 + j] - knots[span + 1 - k + r + j]) of the
// derivative steps r = 1 .. min(MAX_DERIV, k - 1), j < k - r. A zero-length
// difference gives 0 in both (the 0/0 = 0 convention of B-splines).
inline constexpr std::size_t span_factor_stride(std::size_t k) noexcept {
  std::size_t n = k * (k - 1) / 2;
  for (std::size_t r = 1; r <= MAX_DERIV && r < k; ++r) n += k - r;
  return n;
}

// Writes the constants of knot interval `span` of an order-k axis to out
// (span_factor_stride(k) values). Requires k - 1 <= span, span + k <= knots.size().
inline void fill_span_factors(std::span<const double> knots, std::size_t k, std::size_t span,
                              double* out) noexcept {
  for (std::size_t j = 1; j < k; ++j)
    for (std::size_t r = 0; r < j; ++r) {
      const double den = knots[span + r + 1] - knots[span + 1 - j + r];
      *out++ = den > 0 ? 1.0 / den : 0.0;
    }
  for (std::size_t r = 1; r <= MAX_DERIV && r < k; ++r)
    for (std::size_t j = 0; j + r < k; ++j) {
      const double den = knots[span + 1 + j] - knots[span + 1 - k + r + j];
      *out++ = den > 0 ? static_cast<double>(k - r) / den : 0.0;
    }
}

// The constants of every knot interval a point can be assigned to (spans
// k - 1 .. n - 1), computed once when the phase table is built so that a
// point's basis evaluation needs no division. Tagged with the order and knot
// count it was built for; a table that does not match its spline is ignored
// and the constants are computed per point instead (same values).
struct SpanFactors {
  std::size_t order = 0;
  std::size_t knot_count = 0;
  std::vector<double> values;  // span_factor_stride(order) per span

  // The constants of `span`, or null when the table was not built for an
  // order-k axis of `knot_count` knots.
  const double* find(std::size_t k, std::size_t knots, std::size_t span) const noexcept {
    if (k != order || knots != knot_count || values.empty()) return nullptr;
    return values.data() + (span - (k - 1)) * span_factor_stride(k);
  }
};

// The table of an order-k axis; empty when the order or the knot count
// cannot be evaluated (see `evaluable`).
inline SpanFactors make_span_factors(std::span<const double> knots, std::size_t k) {
  SpanFactors f;
  if (k < 1 || k > MAX_ORDER || knots.size() < 2 * k) return f;
  const std::size_t n = knots.size() - k, stride = span_factor_stride(k);
  f.values.resize((n - k + 1) * stride);
  for (std::size_t span = k - 1; span < n; ++span)
    fill_span_factors(knots, k, span, f.values.data() + (span - (k - 1)) * stride);
  f.order = k;
  f.knot_count = knots.size();
  return f;
}

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

// Knot interval of x for order k: knots[span] <= x < knots[span + 1], with the
// right end of the range in the last interval and points outside the range in
// the end intervals (so they are extrapolated). NaN fails every comparison
// and lands in the first interval. Requires knots.size() >= 2k.
inline std::size_t find_span(std::span<const double> knots, std::size_t k, double x) noexcept {
  const std::size_t n = knots.size() - k;
  if (knots[k - 1] >= x) return k - 1;
  if (x >= knots[n]) return n - 1;
  std::size_t lo = k - 1, hi = n;
  while (hi - lo > 1) {
    const std::size_t mid = (lo + hi) / 2;
    if (x >= knots[mid]) lo = mid; else hi = mid;
  }
  return lo;
}

// The same interval as find_span for a non-decreasing knot vector (the
// largest span in k - 1 .. n - 1 with knots[span] <= x, or k - 1), found
// without data-dependent branches inside the range: the halving steps depend
// only on the knot count and each step is a conditional move, so scattered
// points cost no branch mispredictions. Requires knots.size() >= 2k.
inline std::size_t locate_span(std::span<const double> knots, std::size_t k, double x) noexcept {
  const std::size_t n = knots.size() - k;
  if (!(knots[k - 1] < x)) return k - 1;
  if (x >= knots[n]) return n - 1;
  // knots[lo] <= x < knots[lo + len] throughout.
  std::size_t lo = k - 1, len = n - lo;
  while (len > 1) {
    const std::size_t half = len / 2;
    lo += knots[lo + half] <= x ? half : 0;
    len -= half;
  }
  return lo;
}

// Step r of differentiating an order-k spline on knot interval `span`: the
// k - r + 1 local coefficients of its (r - 1)-th derivative in c become the
// k - r of its r-th derivative, an order k - r spline on the same knots. A
// zero-length knot difference contributes nothing (0/0 taken as 0, the usual
// B-spline convention). Requires 1 <= r < k and span + k <= knots.size().
inline void differentiate_step(std::span<const double> knots, double* c, std::size_t k,
                               std::size_t span, std::size_t r) noexcept {
  for (std::size_t j = 0; j + r < k; ++j) {
    const double den = knots[span + 1 + j] - knots[span + 1 - k + r + j];
    c[j] = den > 0 ? (c[j + 1] - c[j]) * static_cast<double>(k - r) / den : 0.0;
  }
}

// Replaces the k local coefficients c[0..k-1] by those of the d-th
// derivative (d < k).
inline void differentiate(std::span<const double> knots, double* c, std::size_t k,
                          std::size_t span, std::size_t d) noexcept {
  for (std::size_t r = 1; r <= d; ++r) differentiate_step(knots, c, k, span, r);
}

// Value at x of the polynomial piece on knot interval `span` of an order-k
// spline whose k active coefficients are c[0..k-1] (de Boor's recursion of
// convex combinations, stable also a little outside the interval). Works on a
// copy of c. Out-of-range orders or spans give NaN instead of a stray read.
inline double de_boor_1d(std::span<const double> knots, const double (&c)[MAX_ORDER],
                         std::size_t k, std::size_t span, double x) noexcept {
  if (k < 1 || k > MAX_ORDER) return std::numeric_limits<double>::quiet_NaN();
  if (k == 1) return c[0];
  if (span + 2 < k || span + k > knots.size()) return std::numeric_limits<double>::quiet_NaN();
  double d[MAX_ORDER];
  for (std::size_t j = 0; j < k; ++j) d[j] = c[j];
  for (std::size_t r = 1; r < k; ++r) {
    for (std::size_t j = k - 1; j >= r; --j) {
      const double lo = knots[j + span - k + 1];
      const double den = knots[j + span + 1 - r] - lo;
      if (den > 0) {
        const double alpha = (x - lo) / den;
        d[j] = (1.0 - alpha) * d[j - 1] + alpha * d[j];
      }
    }
  }
  return d[k - 1];
}

// d^(deriv_p + deriv_t) G / dP^deriv_p dT^deriv_t at (p, t), in J/kg per
// MPa^deriv_p per K^deriv_t. Orders at or above the spline's order give 0 (a
// piecewise polynomial of degree k - 1 has no such derivative), whatever p and
// t are; otherwise a NaN coordinate gives NaN. The T direction is reduced row
// by row first, then P.
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

  double q[MAX_ORDER] = {};
  const double* first = s.coefs.data() + (span_p + 1 - kp) * s.n_t + (span_t + 1 - kt);
  for (std::size_t i = 0; i < kp; ++i) {
    double c[MAX_ORDER] = {};
    const double* row = first + i * s.n_t;
    for (std::size_t j = 0; j < kt; ++j) c[j] = row[j];
    differentiate(kn_t, c, kt, span_t, dt);
    q[i] = de_boor_1d(kn_t, c, kt - dt, span_t, t);
  }
  differentiate(kn_p, q, kp, span_p, dp);
  return de_boor_1d(kn_p, q, kp - dp, span_p, p);
}

}  // namespace tessarin::seafreeze
