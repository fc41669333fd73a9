// One-dimensional B-splines on a knot vector: the span search, de Boor's
// recursion with the coefficient-differencing rule for derivatives, and the
// values and derivatives of the active basis functions. The tensor-product
// splines (spline.hpp, kernel.hpp) apply these along each axis.
//
// An order-k spline (degree k - 1) on knots t_0 .. t_{m-1} has n = m - k
// basis functions; on knot interval `span` (t_span <= x < t_{span+1}) the k
// functions span - k + 1 .. span are active, and their coefficients are the
// "local coefficients" c[0 .. k-1] below.
//
// Pure C++: no Python types, no allocation, never throws. Working storage is
// fixed MAX_ORDER-entry arrays on the stack.
#pragma once
#include <cmath>
#include <cstddef>
#include <limits>
#include <span>
#include <vector>

#include "simd.hpp"

namespace tessarin::seafreeze {

inline constexpr std::size_t MAX_ORDER = 12;

// The largest derivative order the span constants (and basis_derivs) serve.
inline constexpr std::size_t MAX_DERIV = 3;

// ---------------------------------------------------------------------------
// Span search.

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

// ---------------------------------------------------------------------------
// De Boor's recursion and derivatives of local coefficients. Both act on
// `rows` sets of local coefficients at once, stored as c[j][i] (coefficient
// j of set i, i < rows <= R): the sets share the knots, the span and x, and
// each set sees exactly the operations it would alone.

// Step r of differentiating an order-k spline on knot interval `span`: the
// k - r + 1 local coefficients of its (r - 1)-th derivative become the k - r
// of its r-th derivative, an order k - r spline on the same knots. A
// zero-length knot difference contributes nothing (0/0 taken as 0, the usual
// B-spline convention). Requires 1 <= r < k and span + k <= knots.size().
template <std::size_t R>
inline void differentiate_step(std::span<const double> knots, double (&c)[MAX_ORDER][R],
                               std::size_t rows, std::size_t k, std::size_t span,
                               std::size_t r) noexcept {
  const double order = static_cast<double>(k - r);
  for (std::size_t j = 0; j + r < k; ++j) {
    const double den = knots[span + 1 + j] - knots[span + 1 - k + r + j];
    for (std::size_t i = 0; i < rows; ++i)
      c[j][i] = den > 0 ? (c[j + 1][i] - c[j][i]) * order / den : 0.0;
  }
}

// The weights of de Boor's recursion for an order-k piece on knot interval
// `span` at x: step r, position j mixes d[j - 1] and d[j] with weight
// alpha[r][j] = (x - knots[j + span - k + 1]) / (knot difference) when the
// difference is positive (mix[r][j]), and leaves d[j] alone otherwise. They
// depend on the axis alone, not on the coefficients, so they are computed
// once for all the sets of coefficients evaluated at x.
struct DeBoorWeights {
  std::size_t k = 0;
  bool valid = false;  // the order and the interval admit the recursion
  double alpha[MAX_ORDER][MAX_ORDER];
  bool mix[MAX_ORDER][MAX_ORDER];
};

inline void de_boor_weights(std::span<const double> knots, std::size_t k, std::size_t span,
                            double x, DeBoorWeights& w) noexcept {
  w.k = k;
  w.valid = k >= 1 && k <= MAX_ORDER && (k == 1 || (span + 2 >= k && span + k <= knots.size()));
  if (!w.valid || k == 1) return;
  for (std::size_t r = 1; r < k; ++r) {
    for (std::size_t j = k - 1; j >= r; --j) {
      const double lo = knots[j + span - k + 1];
      const double den = knots[j + span + 1 - r] - lo;
      w.mix[r][j] = den > 0;
      w.alpha[r][j] = den > 0 ? (x - lo) / den : 0.0;
    }
  }
}

// The value at x of each set's polynomial piece (de Boor's recursion of convex
// combinations, stable also a little outside the interval) into out[i]. Works
// on a copy of c. Out-of-range orders or spans give NaN instead of a stray
// read.
template <std::size_t R>
inline void de_boor(const DeBoorWeights& w, const double (&c)[MAX_ORDER][R], std::size_t rows,
                    double (&out)[R]) noexcept {
  if (!w.valid) {
    for (std::size_t i = 0; i < rows; ++i) out[i] = std::numeric_limits<double>::quiet_NaN();
    return;
  }
  const std::size_t k = w.k;
  double d[MAX_ORDER][R];
  for (std::size_t j = 0; j < k; ++j)
    for (std::size_t i = 0; i < rows; ++i) d[j][i] = c[j][i];
  for (std::size_t r = 1; r < k; ++r) {
    for (std::size_t j = k - 1; j >= r; --j) {
      if (!w.mix[r][j]) continue;
      const double alpha = w.alpha[r][j];
      for (std::size_t i = 0; i < rows; ++i) d[j][i] = (1.0 - alpha) * d[j - 1][i] + alpha * d[j][i];
    }
  }
  for (std::size_t i = 0; i < rows; ++i) out[i] = d[k - 1][i];
}

// One set: the value at x of the order-k piece on knot interval `span` whose
// local coefficients are c[0 .. k-1].
inline double de_boor_1d(std::span<const double> knots, const double (&c)[MAX_ORDER], std::size_t k,
                         std::size_t span, double x) noexcept {
  DeBoorWeights w;
  de_boor_weights(knots, k, span, x, w);
  double d[MAX_ORDER][1], out[1];
  for (std::size_t j = 0; j < MAX_ORDER; ++j) d[j][0] = c[j];
  de_boor(w, d, 1, out);
  return out[0];
}

// Replaces the k local coefficients c[0 .. k-1] of one set by those of the
// d-th derivative (d < k), an order k - d piece.
inline void differentiate(std::span<const double> knots, double (&c)[MAX_ORDER], std::size_t k,
                          std::size_t span, std::size_t d) noexcept {
  double m[MAX_ORDER][1];
  for (std::size_t j = 0; j < MAX_ORDER; ++j) m[j][0] = c[j];
  for (std::size_t r = 1; r <= d; ++r) differentiate_step(knots, m, 1, k, span, r);
  for (std::size_t j = 0; j < MAX_ORDER; ++j) c[j] = m[j][0];
}

// ---------------------------------------------------------------------------
// Active basis functions and their derivatives.

// Constants of one knot interval that basis_derivs needs and that do not
// depend on the evaluation point: the reciprocal knot differences
// 1 / (knots[span + r + 1] - knots[span + 1 - j + r]) of the Cox-de Boor
// triangle (steps j = 1 .. k - 1, r < j), then the factors
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
// k - 1 .. n - 1), computed once per axis so that a point's basis evaluation
// needs no division. Tagged with the order and knot count it was built for;
// a table that does not match its axis is ignored and the constants are
// computed per point instead (same values).
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

// The table of an order-k axis; empty when the order is not 1 .. MAX_ORDER
// or there are fewer than k basis functions.
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

// The constants of `span` from the axis's table, or computed into `local`
// (span_factor_stride(MAX_ORDER) values) when the table does not belong to it.
inline const double* span_factors(const SpanFactors& table, std::span<const double> knots,
                                  std::size_t k, std::size_t span, double* local) noexcept {
  if (const double* f = table.find(k, knots.size(), span)) return f;
  fill_span_factors(knots, k, span, local);
  return local;
}

// Values at x of the k B-splines of order k that are active on knot interval
// `span`, and of their derivatives up to order ND: out[d][i] for i < k; rows
// d >= k are zero. For L points at once (lane l with its own span and
// interval constants fac[l], from span_factors). K is the order when it is
// known at compile time (the loops then unroll), or 0 to take it from k; both
// perform the same operations. Requires spans from locate_span on knots
// with at least k basis functions.
template <std::size_t K, std::size_t ND, std::size_t L>
inline void basis_derivs(const double* knots, std::size_t k, const std::size_t (&span)[L],
                         const simd::Vec<L>& x, const double* const (&fac)[L],
                         simd::Vec<L> (&out)[ND + 1][MAX_ORDER]) noexcept {
  static_assert(ND <= MAX_DERIV && K <= MAX_ORDER);
  using V = simd::Vec<L>;
  if constexpr (K != 0) k = K;
  const V zero = simd::splat<V>(0.0);
  for (std::size_t d = k; d <= ND; ++d)
    for (std::size_t i = 0; i < MAX_ORDER; ++i) out[d][i] = zero;
  // Distances to the knots around the interval: left[m] = x - knots[span + 1 - m]
  // and right[m] = knots[span + m] - x, m = 1 .. k - 1.
  const double* at[L];
  for (std::size_t l = 0; l < L; ++l) at[l] = knots + span[l];
  V left[MAX_ORDER], right[MAX_ORDER];
  if constexpr (K == 0)  // the compiler cannot match reads to writes for a run-time k
    for (std::size_t m = 0; m < MAX_ORDER; ++m) left[m] = right[m] = zero;
#pragma GCC unroll 12
  for (std::size_t m = 1; m < k && m < MAX_ORDER; ++m) {
    const auto off = static_cast<std::ptrdiff_t>(m);
    left[m] = x - simd::gather<V>(at, 1 - off);
    right[m] = simd::gather<V>(at, off) - x;
  }
  // Cox-de Boor triangle: after step j, n[0..j] are the order j + 1 basis
  // functions active on the span; the orders k - d (d = 0..ND) are kept.
  // Term r of step j divides by the knot difference knots[span + r + 1] -
  // knots[span + 1 - j + r]; the interval's stored reciprocal turns that into
  // a product, one more rounding. Inside the knot range every term is a
  // product of non-negative factors, so each value carries only a few
  // roundings relative to itself.
  V n[MAX_ORDER];
  n[0] = simd::splat<V>(1.0);
  if (k - 1 <= ND) out[k - 1][0] = n[0];
  std::size_t tri = 0;  // offset of step j's reciprocals in fac
#pragma GCC unroll 12
  for (std::size_t j = 1; j < k && j < MAX_ORDER; ++j) {
    V saved = zero;
#pragma GCC unroll 12
    for (std::size_t r = 0; r < j; ++r) {
      const V w = n[r] * simd::gather<V>(fac, tri + r);
      n[r] = saved + right[r + 1] * w;
      saved = left[j - r] * w;
    }
    tri += j;
    n[j] = saved;
    const std::size_t d = k - 1 - j;  // the order j + 1 = k - d
    if (d <= ND)
#pragma GCC unroll 12
      for (std::size_t i = 0; i <= j; ++i) out[d][i] = n[i];
  }
  // Row d holds the order k - d basis; turn it into the d-th derivative of
  // the order k basis by applying the transposed differencing steps r = d..1.
  // Step r maps coefficients c (order k - r + 1) to c'_j = f_j (c_{j+1} - c_j)
  // with the interval's factors f_j = (k - r) / (knot difference); its
  // transpose spreads w_j onto positions j and j + 1.
  std::size_t f[MAX_DERIV + 1] = {};  // offsets of the factors of step r
  for (std::size_t r = 1; r <= ND && r < k; ++r) {
    f[r] = tri;
    tri += k - r;
  }
  // In place from the top: entry m needs the old entries m - 1 and m only.
#pragma GCC unroll 4
  for (std::size_t d = 1; d <= ND && d < k; ++d) {
    V (&w)[MAX_ORDER] = out[d];
#pragma GCC unroll 4
    for (std::size_t r = d; r >= 1; --r) {
      const std::size_t len = k - r;  // entries of w before this step
      const std::size_t fr = f[r];
      w[len] = simd::gather<V>(fac, fr + len - 1) * w[len - 1] - zero;
#pragma GCC unroll 12
      for (std::size_t q = 2; q <= len && q <= MAX_ORDER; ++q) {
        const std::size_t m = len + 1 - q;  // len - 1 .. 1
        w[m] = simd::gather<V>(fac, fr + m - 1) * w[m - 1] - simd::gather<V>(fac, fr + m) * w[m];
      }
      w[0] = zero - simd::gather<V>(fac, fr) * w[0];
    }
  }
}

}  // namespace tessarin::seafreeze
