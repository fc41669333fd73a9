// Thermodynamic properties of a phase from its Gibbs-energy spline.
//
// The seven derivatives a point needs (G, Gp, Gt, Gpp, Gtt, Gpt, Gppp) share
// both knot spans and all coefficients, so instead of seven separate de Boor
// evaluations the point computes the active B-spline basis functions and their
// derivatives once per axis and contracts them with the kP x kT coefficient
// block. The constants of each knot interval (reciprocal knot differences of
// the basis recursion, factors of the derivative rule) come from the table
// built with the spline, so a point needs no division until the properties.
// The derivative factors are those of the coefficient-differencing rule of
// eval_point, and both routes agree to rounding, a few ulps of the summed
// terms |c| |B_P| |B_T| (against a quad-precision evaluation the basis route
// stays within 6e-15 of that sum on the shipped phases).
//
// The batch functions at the end run several points (or grid columns) in
// lockstep and share the work of a grid's rows and columns; every point still
// gets the bits of the single-point evaluation, wherever it sits in a batch.
//
// Pure C++: no Python types, no allocation, never throws.
#pragma once
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>

#include "seafreeze/spline.hpp"
#include "simd.hpp"

namespace tessarin::seafreeze {

// One point's properties. Units: G H U A J/kg, V m3/kg, rho kg/m3, S Cp Cv
// J/(kg K), Kt Ks shear MPa, Kp dimensionless, alpha 1/K, vel Vp Vs m/s.
struct Props {
  double G, V, rho, S, H, U, A, Cp, Cv, Kt, Ks, Kp, alpha, vel, shear, Vp, Vs;
};
inline constexpr std::size_t PROPS_SIZE = 17;
static_assert(sizeof(Props) == PROPS_SIZE * sizeof(double));

// Dictionary keys in field order; the last three exist only for phases with
// shear-modulus parameters.
inline constexpr const char* PROPS_KEYS[PROPS_SIZE] = {
    "G", "V", "rho", "S", "H", "U", "A", "Cp", "Cv", "Kt", "Ks", "Kp", "alpha", "vel",
    "shear", "Vp", "Vs"};
inline constexpr std::size_t PROPS_WITHOUT_SHEAR = 14;

// G and the partial derivatives the properties use; P in MPa, T in K.
struct GibbsDerivs {
  double g, gp, gt, gpp, gtt, gpt, gppp;
};

// The derivative orders the properties take along P and along T.
inline constexpr std::size_t DERIV_P = 3;
inline constexpr std::size_t DERIV_T = 2;
static_assert(DERIV_P <= MAX_DERIV && DERIV_T <= MAX_DERIV);

// The kernels below work on L points at once ("lanes"): every value is a
// simd::Vec<L>, one double per point, and every arithmetic operation acts on
// each lane separately. The lanes never mix, so each lane performs exactly
// the operations of the single-point kernel (L = 1) and gets its bits; more
// lanes only share instructions between points and let their independent
// dependency chains overlap.
// The seven derivatives of L points, one vector each.
template <std::size_t L>
struct DerivLanes {
  simd::Vec<L> g, gp, gt, gpp, gtt, gpt, gppp;
};

// The properties of L points: field k of Props (in its order) for every lane.
template <std::size_t L>
struct PropsLanes {
  simd::Vec<L> f[PROPS_SIZE];

  // Lane l takes the fields of one point's record.
  void set(std::size_t l, const Props& r) noexcept {
    const double* v = &r.G;
    for (std::size_t k = 0; k < PROPS_SIZE; ++k) f[k][l] = v[k];
  }
};

// Values at x of the k B-splines of order k that are active on knot interval
// `span` (basis indices span - k + 1 .. span), and of their derivatives up to
// order ND: out[d][i] for i < k; rows d >= k are zero. `fac` holds the
// interval's constants (fill_span_factors). K is the order when it is known
// at compile time (the loops then unroll), or 0 to take it from k; both
// perform the same operations. Requires spans from locate_span on a spline
// that passed `evaluable`.
template <std::size_t K, std::size_t ND, std::size_t L>
inline void basis_derivs(const double* knots, std::size_t k, const std::size_t (&span)[L],
                         const simd::Vec<L>& x, const double* const (&fac)[L],
                         simd::Vec<L> (&out)[ND + 1][MAX_ORDER]) noexcept {
  static_assert(ND <= MAX_DERIV && K <= MAX_ORDER);
  using V = simd::Vec<L>;
  if constexpr (K != 0) k = K;
  const V zero = simd::splat<simd::Vec<L>>(0.0);
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
    left[m] = x - simd::gather<simd::Vec<L>>(at, 1 - off);
    right[m] = simd::gather<simd::Vec<L>>(at, off) - x;
  }
  // Cox-de Boor triangle: after step j, n[0..j] are the order j + 1 basis
  // functions active on the span; the orders k - d (d = 0..ND) are kept.
  // Term r of step j divides by the knot difference knots[span + r + 1] -
  // knots[span + 1 - j + r]; the interval's stored reciprocal turns that into
  // a product, one more rounding. Inside the knot range every term is a
  // product of non-negative factors, so each value carries only a few
  // roundings relative to itself.
  V n[MAX_ORDER];
  n[0] = simd::splat<simd::Vec<L>>(1.0);
  if (k - 1 <= ND) out[k - 1][0] = n[0];
  std::size_t tri = 0;  // offset of step j's reciprocals in fac
#pragma GCC unroll 12
  for (std::size_t j = 1; j < k && j < MAX_ORDER; ++j) {
    V saved = zero;
#pragma GCC unroll 12
    for (std::size_t r = 0; r < j; ++r) {
      const V w = n[r] * simd::gather<simd::Vec<L>>(fac, tri + r);
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
      w[len] = simd::gather<simd::Vec<L>>(fac, fr + len - 1) * w[len - 1] - zero;
#pragma GCC unroll 12
      for (std::size_t q = 2; q <= len && q <= MAX_ORDER; ++q) {
        const std::size_t m = len + 1 - q;  // len - 1 .. 1
        w[m] = simd::gather<simd::Vec<L>>(fac, fr + m - 1) * w[m - 1] - simd::gather<simd::Vec<L>>(fac, fr + m) * w[m];
      }
      w[0] = zero - simd::gather<simd::Vec<L>>(fac, fr) * w[0];
    }
  }
}

// One axis of L points inside the knot range: their knot intervals and the
// basis values and derivatives there.
template <std::size_t ND, std::size_t L = 1>
struct AxisBasis {
  std::size_t span[L];
  simd::Vec<L> b[ND + 1][MAX_ORDER];
};

// The constants of `span` from the spline's table, or computed into `local`
// when the table does not belong to this axis.
inline const double* span_factors(const SpanFactors& table, std::span<const double> knots,
                                  std::size_t k, std::size_t span, double* local) noexcept {
  if (const double* f = table.find(k, knots.size(), span)) return f;
  fill_span_factors(knots, k, span, local);
  return local;
}

template <std::size_t K, std::size_t ND, std::size_t L>
inline void axis_basis(const SpanFactors& table, std::span<const double> knots, std::size_t k,
                       const double (&x)[L], AxisBasis<ND, L>& out) noexcept {
  if constexpr (K != 0) k = K;
  simd::Vec<L> xv = {};
  double local[L][span_factor_stride(MAX_ORDER)];
  const double* fac[L];
  for (std::size_t l = 0; l < L; ++l) {
    xv[l] = x[l];
    out.span[l] = locate_span(knots, k, x[l]);
    fac[l] = span_factors(table, knots, k, out.span[l], local[l]);
  }
  basis_derivs<K, ND, L>(knots.data(), k, out.span, xv, fac, out.b);
}

// The kP coefficient rows of the block selected by span_p, each reduced
// along T with the T basis of the same point: r[d][i] = sum_j c(i, j) B_T^(d)(j).
template <std::size_t L = 1>
struct RowSums {
  simd::Vec<L> r[DERIV_T + 1][MAX_ORDER];
};

template <std::size_t KP, std::size_t KT, std::size_t L>
inline void row_sums(const Spline2D& s, const std::size_t (&span_p)[L],
                     const AxisBasis<DERIV_T, L>& bt, RowSums<L>& out) noexcept {
  using V = simd::Vec<L>;
  const std::size_t kp = KP ? KP : s.order_p, kt = KT ? KT : s.order_t;
  const double* first[L];
  for (std::size_t l = 0; l < L; ++l)
    first[l] = s.coefs.data() + (span_p[l] + 1 - kp) * s.n_t + (bt.span[l] + 1 - kt);
  const V zero = simd::splat<simd::Vec<L>>(0.0);
#pragma GCC unroll 12
  for (std::size_t i = 0; i < kp; ++i) {
    V r0 = zero, r1 = zero, r2 = zero;
#pragma GCC unroll 12
    for (std::size_t j = 0; j < kt; ++j) {
      const V c = simd::gather<simd::Vec<L>>(first, i * s.n_t + j);
      r0 += c * bt.b[0][j];
      r1 += c * bt.b[1][j];
      r2 += c * bt.b[2][j];
    }
    out.r[0][i] = r0;
    out.r[1][i] = r1;
    out.r[2][i] = r2;
  }
}

// The seven derivatives from the row sums and the P basis.
template <std::size_t KP, std::size_t L>
inline void combine(std::size_t kp, const AxisBasis<DERIV_P, L>& bp, const RowSums<L>& rows,
                    DerivLanes<L>& out) noexcept {
  using V = simd::Vec<L>;
  if constexpr (KP != 0) kp = KP;
  const V zero = simd::splat<simd::Vec<L>>(0.0);
  V g = zero, gp = zero, gt = zero, gpp = zero, gtt = zero, gpt = zero, gppp = zero;
#pragma GCC unroll 12
  for (std::size_t i = 0; i < kp; ++i) {
    const V r0 = rows.r[0][i], r1 = rows.r[1][i], r2 = rows.r[2][i];
    g += bp.b[0][i] * r0;
    gp += bp.b[1][i] * r0;
    gpp += bp.b[2][i] * r0;
    gppp += bp.b[3][i] * r0;
    gt += bp.b[0][i] * r1;
    gpt += bp.b[1][i] * r1;
    gtt += bp.b[0][i] * r2;
  }
  out = {g, gp, gt, gpp, gtt, gpt, gppp};
}

// The stages of the basis route for one pair of orders: basis along each
// axis, T reduction of the coefficient rows, P contraction. KP, KT are the
// orders when fixed at compile time, 0 otherwise; every instantiation and
// every lane count performs the same operations per point, so which one runs
// never changes a bit.
template <std::size_t KP, std::size_t KT>
struct BasisKernel {
  template <std::size_t L>
  static void p_basis(const Spline2D& s, const double (&p)[L],
                      AxisBasis<DERIV_P, L>& out) noexcept {
    axis_basis<KP, DERIV_P, L>(s.factors_p, s.knots_p, s.order_p, p, out);
  }
  template <std::size_t L>
  static void t_basis(const Spline2D& s, const double (&t)[L],
                      AxisBasis<DERIV_T, L>& out) noexcept {
    axis_basis<KT, DERIV_T, L>(s.factors_t, s.knots_t, s.order_t, t, out);
  }
  template <std::size_t L>
  static void rows(const Spline2D& s, const std::size_t (&span_p)[L],
                   const AxisBasis<DERIV_T, L>& bt, RowSums<L>& out) noexcept {
    row_sums<KP, KT, L>(s, span_p, bt, out);
  }
  template <std::size_t L>
  static void derivs(const Spline2D& s, const AxisBasis<DERIV_P, L>& bp, const RowSums<L>& rows,
                     DerivLanes<L>& out) noexcept {
    combine<KP, L>(s.order_p, bp, rows, out);
  }
  // L points inside the knot range of an evaluable spline.
  template <std::size_t L>
  static void points(const Spline2D& s, const double (&p)[L], const double (&t)[L],
                     DerivLanes<L>& out) noexcept {
    AxisBasis<DERIV_P, L> bp;
    AxisBasis<DERIV_T, L> bt;
    p_basis(s, p, bp);
    t_basis(s, t, bt);
    RowSums<L> rs;
    // With the orders known only at run time the compiler cannot see that
    // combine reads only the kP rows written; the fixed-order kernels of the
    // shipped splines skip the clearing.
    if constexpr (KP == 0) rs = RowSums<L>{};
    row_sums<KP, KT, L>(s, bp.span, bt, rs);
    combine<KP, L>(s.order_p, bp, rs, out);
  }
  static GibbsDerivs point(const Spline2D& s, double p, double t) noexcept {
    const double pp[1] = {p}, tt[1] = {t};
    DerivLanes<1> d;
    points<1>(s, pp, tt, d);
    return {d.g[0], d.gp[0], d.gt[0], d.gpp[0], d.gtt[0], d.gpt[0], d.gppp[0]};
  }
};

// Calls fn.template operator()<KP, KT>() with the compile-time orders of the
// shipped splines (6 x 6 and 6 x 8), or with 0, 0 for any other.
template <class Fn>
inline decltype(auto) with_orders(const Spline2D& s, Fn&& fn) {
  if (s.order_p == 6 && s.order_t == 6) return fn.template operator()<6, 6>();
  if (s.order_p == 6 && s.order_t == 8) return fn.template operator()<6, 8>();
  return fn.template operator()<0, 0>();
}

// The interpolation weights of de Boor's recursion for an order-k piece on
// knot interval `span` at x: step r, position j mixes d[j - 1] and d[j] with
// weight alpha[r][j] when the knot difference is positive (mix[r][j]), and
// leaves d[j] alone otherwise. They depend on the axis alone, not on the
// coefficients, so a point computes them once per order instead of once per
// coefficient row; each weight is the same division de_boor_1d performs, so
// the result keeps its bits.
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

// de_boor_1d(knots, c, w.k, span, x) with the weights computed beforehand.
inline double de_boor_weighted(const DeBoorWeights& w, const double (&c)[MAX_ORDER]) noexcept {
  if (!w.valid) return std::numeric_limits<double>::quiet_NaN();
  const std::size_t k = w.k;
  if (k == 1) return c[0];
  double d[MAX_ORDER];
  for (std::size_t j = 0; j < k; ++j) d[j] = c[j];
  for (std::size_t r = 1; r < k; ++r) {
    for (std::size_t j = k - 1; j >= r; --j) {
      if (w.mix[r][j]) {
        const double alpha = w.alpha[r][j];
        d[j] = (1.0 - alpha) * d[j - 1] + alpha * d[j];
      }
    }
  }
  return d[k - 1];
}

// The seven derivatives by de Boor's recursion, exactly as eval_point computes
// each of them (same operations in the same order, so the same bits), but
// sharing the work: every coefficient row is reduced along T once for the
// orders 0, 1 and 2, and each of those columns along P for the orders needed,
// with the recursion weights of each order computed once per point. This is
// the route of points outside the knot range. KP, KT as for BasisKernel: with
// the orders fixed at compile time the short loops unroll instead of going
// through block copies.
template <std::size_t KP = 0, std::size_t KT = 0>
inline GibbsDerivs gibbs_derivs_deboor(const Spline2D& s, double p, double t) noexcept {
  if (!evaluable(s)) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    return {nan, nan, nan, nan, nan, nan, nan};
  }
  const std::size_t kp = KP ? KP : s.order_p, kt = KT ? KT : s.order_t;
  const std::span<const double> kn_p(s.knots_p), kn_t(s.knots_t);
  const std::size_t span_p = find_span(kn_p, kp, p);
  const std::size_t span_t = find_span(kn_t, kt, t);

  // Weights of the T recursion for the orders kt, kt - 1, kt - 2 and of the
  // P recursion for kp .. kp - 3.
  DeBoorWeights wt[3], wp[4];
  for (std::size_t d = 0; d < 3 && d < kt; ++d) de_boor_weights(kn_t, kt - d, span_t, t, wt[d]);
  for (std::size_t d = 0; d < 4 && d < kp; ++d) de_boor_weights(kn_p, kp - d, span_p, p, wp[d]);

  // q[d][i]: row i of the block reduced to the d-th T derivative at t. The
  // recursion is a chain of dependent multiply-adds, so the kp rows are
  // stepped together (rows innermost) to keep several chains in flight; each
  // row still sees exactly the operations of its own recursion.
  double q[3][MAX_ORDER] = {};
  const double* first = s.coefs.data() + (span_p + 1 - kp) * s.n_t + (span_t + 1 - kt);
  double c[MAX_ORDER][MAX_ORDER] = {};  // c[j][i]: coefficient j of row i
  for (std::size_t i = 0; i < kp; ++i)
    for (std::size_t j = 0; j < kt; ++j) c[j][i] = first[i * s.n_t + j];
  for (std::size_t d = 0; d < 3 && d < kt; ++d) {
    if (d > 0) {
      // differentiate_step on every row.
      for (std::size_t j = 0; j + d < kt; ++j) {
        const double den = kn_t[span_t + 1 + j] - kn_t[span_t + 1 - kt + d + j];
        const double order = static_cast<double>(kt - d);
        for (std::size_t i = 0; i < kp; ++i)
          c[j][i] = den > 0 ? (c[j + 1][i] - c[j][i]) * order / den : 0.0;
      }
    }
    const DeBoorWeights& w = wt[d];
    if (!w.valid) {
      for (std::size_t i = 0; i < kp; ++i) q[d][i] = std::numeric_limits<double>::quiet_NaN();
      continue;
    }
    const std::size_t k = w.k;
    double dd[MAX_ORDER][MAX_ORDER];
    for (std::size_t j = 0; j < k; ++j)
      for (std::size_t i = 0; i < kp; ++i) dd[j][i] = c[j][i];
    for (std::size_t r = 1; r < k; ++r) {
      for (std::size_t j = k - 1; j >= r; --j) {
        if (!w.mix[r][j]) continue;
        const double alpha = w.alpha[r][j];
        for (std::size_t i = 0; i < kp; ++i)
          dd[j][i] = (1.0 - alpha) * dd[j - 1][i] + alpha * dd[j][i];
      }
    }
    for (std::size_t i = 0; i < kp; ++i) q[d][i] = dd[k - 1][i];
  }
  // out[dt][dp]: the P reduction of column dt up to order max_dp.
  double out[3][4] = {};
  const std::size_t max_dp[3] = {3, 1, 0};
  for (std::size_t dt = 0; dt < 3 && dt < kt; ++dt) {
    double c[MAX_ORDER];
    for (std::size_t i = 0; i < MAX_ORDER; ++i) c[i] = q[dt][i];
    for (std::size_t dp = 0; dp <= max_dp[dt] && dp < kp; ++dp) {
      if (dp > 0) differentiate_step(kn_p, c, kp, span_p, dp);
      out[dt][dp] = de_boor_weighted(wp[dp], c);
    }
  }
  return {out[0][0], out[0][1], out[1][0], out[0][2], out[2][0], out[1][1], out[0][3]};
}

// Whether p (t) lies in the knot range of its axis; false for NaN. A point
// is evaluated by the basis route when both hold.
inline bool p_inside(const Spline2D& s, double p) noexcept {
  return !s.knots_p.empty() && p >= s.knots_p.front() && p <= s.knots_p.back();
}
inline bool t_inside(const Spline2D& s, double t) noexcept {
  return !s.knots_t.empty() && t >= s.knots_t.front() && t <= s.knots_t.back();
}

// The derivatives of a point with a NaN coordinate, as eval_point gives them:
// NaN, except the orders the spline does not have.
inline GibbsDerivs nan_point_derivs(const Spline2D& s) noexcept {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  auto v = [&](std::size_t dp, std::size_t dt) {
    return dp >= s.order_p || dt >= s.order_t ? 0.0 : nan;
  };
  return {v(0, 0), v(1, 0), v(0, 1), v(2, 0), v(0, 2), v(1, 1), v(3, 0)};
}

// The seven derivatives at (p, t): the basis route inside the knot range
// (NaN in all of them for a spline that cannot be evaluated), the de Boor
// route (identical to eval_point) outside it, where the basis values grow
// like powers of the distance and their sum would cancel badly, and the
// convex-combination form stays accurate. KP, KT as for BasisKernel (the
// orders of s, or 0).
template <std::size_t KP, std::size_t KT>
inline GibbsDerivs gibbs_derivs_k(const Spline2D& s, double p, double t) noexcept {
  if (std::isnan(p) || std::isnan(t)) return nan_point_derivs(s);
  if (p_inside(s, p) && t_inside(s, t)) {
    if (!evaluable(s)) {
      const double nan = std::numeric_limits<double>::quiet_NaN();
      return {nan, nan, nan, nan, nan, nan, nan};
    }
    return BasisKernel<KP, KT>::point(s, p, t);
  }
  return gibbs_derivs_deboor<KP, KT>(s, p, t);
}

inline GibbsDerivs gibbs_derivs(const Spline2D& s, double p, double t) noexcept {
  return with_orders(s, [&]<std::size_t KP, std::size_t KT>() {
    return gibbs_derivs_k<KP, KT>(s, p, t);
  });
}

// Properties from the derivatives at pressure p (MPa) and temperature t (K),
// for L points at once (each lane exactly as a single point).
// The only guards are the exact zero tests on divisors listed below; NaN
// passes them and propagates, and extrapolated points are returned as they
// are. `shear` is s0..s5 or null (then shear, Vp and Vs are NaN). Every
// guarded quotient is computed in all lanes and then selected, so a lane that
// fails a guard gets the NaN constant just as the branch would give it.
template <std::size_t L>
inline void props_lanes(const DerivLanes<L>& d, const simd::Vec<L>& p,
                        const simd::Vec<L>& t, const double* shear,
                        PropsLanes<L>& out) noexcept {
  using V = simd::Vec<L>;
  if constexpr (L == 4) {
    // Without wider vector registers GCC turns four-lane comparisons into
    // element-by-element branches; two-lane halves keep them in registers.
    using H = simd::Vec<2>;
    const auto half = [](const V& x, std::size_t o) { return H{x[o], x[o + 1]}; };
    for (std::size_t o = 0; o < 4; o += 2) {
      const DerivLanes<2> dh{half(d.g, o),   half(d.gp, o),  half(d.gt, o),  half(d.gpp, o),
                             half(d.gtt, o), half(d.gpt, o), half(d.gppp, o)};
      PropsLanes<2> r;
      props_lanes<2>(dh, half(p, o), half(t, o), shear, r);
      for (std::size_t k = 0; k < PROPS_SIZE; ++k) {
        out.f[k][o] = r.f[k][0];
        out.f[k][o + 1] = r.f[k][1];
      }
    }
    return;
  }
  const V nan = simd::splat<simd::Vec<L>>(std::numeric_limits<double>::quiet_NaN());
  const V v = d.gp * 1e-6;  // J/(kg MPa) -> m3/kg
  using simd::select;
  const V alpha = select(d.gp == 0, nan, d.gpt / d.gp);
  const V kt_pa = select(d.gpp == 0, nan, (-d.gp / d.gpp) * 1e6);
  const V kp = select(d.gpp == 0, nan, (d.gp * d.gppp) / (d.gpp * d.gpp) - 1);
  const V cp = d.gtt * (-t);
  const V cv = cp - t * v * alpha * alpha * kt_pa;
  const V rho = select(v == 0, nan, 1.0 / v);
  const V ks_pa = select(cv == 0, nan, (cp * kt_pa) / cv);
  const V kt = kt_pa / 1e6;
  const V ks = ks_pa / 1e6;
  const V vel = select((rho > 0) & (ks_pa > 0), simd::sqrt(ks_pa / rho), nan);
  const V h = d.g - t * d.gt;
  const V pv = (p * 1e6) * v;
  const V u = h - pv;
  const V a = d.g - pv;
  V mu_mpa = nan, vp = nan, vs = nan;
  if (shear) {
    // Empirical shear modulus in GPa, quadratic in density about s4 and
    // linear in temperature about s5; wave speeds in m/s from GPa and g/cm3.
    const V dr = rho - shear[4];
    const V mu = (shear[2] * dr * dr + (shear[1] * dr + shear[0])) + (t - shear[5]) * shear[3];
    const V r = rho / 1000;
    const V m = mu * 1.3333333333333333 + ks / 1000;
    vp = select((r > 0) & (m > 0), simd::sqrt(m / r) * 1000, nan);
    vs = select((r > 0) & (mu > 0), simd::sqrt(mu / r) * 1000, nan);
    mu_mpa = mu * 1000;
  }
  out = {{d.g, v, rho, -d.gt, h, u, a, cp, cv, kt, ks, kp, alpha, vel, mu_mpa, vp, vs}};
}

// The same for one point.
inline Props props_from_derivs(const GibbsDerivs& d, double p, double t,
                               const double* shear) noexcept {
  DerivLanes<1> v;
  v.g[0] = d.g;
  v.gp[0] = d.gp;
  v.gt[0] = d.gt;
  v.gpp[0] = d.gpp;
  v.gtt[0] = d.gtt;
  v.gpt[0] = d.gpt;
  v.gppp[0] = d.gppp;
  const double pp[1] = {p}, tt[1] = {t};
  PropsLanes<1> o;
  props_lanes<1>(v, simd::load<simd::Vec<1>>(pp), simd::load<simd::Vec<1>>(tt), shear, o);
  Props r;
  double* f = &r.G;
  for (std::size_t k = 0; k < PROPS_SIZE; ++k) f[k] = o.f[k][0];
  return r;
}

inline const double* shear_of(const Spline2D& s) noexcept {
  return s.shear_params ? s.shear_params->data() : nullptr;
}

// One point of a phase: the seven derivatives, then the properties.
inline Props point_props(const Spline2D& s, double p, double t) noexcept {
  return props_from_derivs(gibbs_derivs(s, p, t), p, t, shear_of(s));
}

// point_props for the points the batch functions do not send through the
// basis route: a NaN coordinate, a point outside the knot range, a spline
// that cannot be evaluated. Their properties may combine NaNs of different
// signs (a NaN input, its negation, the NaN of an invalid operation), and
// which one an operation passes on depends on the operand order the compiler
// picked; a single out-of-line copy keeps those bits the same for every
// caller, so a grid cell matches the matched-point result exactly.
[[gnu::noinline]] inline Props edge_point_props(const Spline2D& s, double p, double t) noexcept {
  return point_props(s, p, t);
}

// Points evaluated together by scatter_props, and grid columns by grid_props
// (see the lanes above). Four lanes suit the basis evaluation of scattered points; on
// a grid the bases are shared and the properties dominate, where two lanes
// (one SSE2 register) do better.
inline constexpr std::size_t BATCH_LANES = 4;
inline constexpr std::size_t GRID_LANES = 2;

// The properties of the matched points (p[i], t[i]), i = begin .. end - 1,
// in order: out(i, r, count) receives the points i .. i + count - 1 in the
// lanes of r. The orders are resolved once per range. Groups of BATCH_LANES
// points that all lie inside the knot range go through the basis route
// together; the points of other groups, and the last few, one by one (with
// the same bits either way).
template <class Out>
inline void scatter_props(const Spline2D& s, const double* p, const double* t, std::size_t begin,
                          std::size_t end, Out&& out) {
  constexpr std::size_t L = BATCH_LANES;
  const double* shear = shear_of(s);
  const bool ok = evaluable(s);
  with_orders(s, [&]<std::size_t KP, std::size_t KT>() {
    auto one = [&](double pv, double tv) {
      if (ok && p_inside(s, pv) && t_inside(s, tv))
        return props_from_derivs(BasisKernel<KP, KT>::point(s, pv, tv), pv, tv, shear);
      return edge_point_props(s, pv, tv);
    };
    for (std::size_t i = begin; i < end; i += L) {
      const std::size_t count = std::min(L, end - i);
      double pp[L], tt[L];
      bool inside = ok && count == L;
      for (std::size_t l = 0; l < count; ++l) {
        pp[l] = p[i + l];
        tt[l] = t[i + l];
        inside &= p_inside(s, pp[l]) & t_inside(s, tt[l]);
      }
      PropsLanes<L> r;
      if (inside) {
        DerivLanes<L> d;
        BasisKernel<KP, KT>::template points<L>(s, pp, tt, d);
        props_lanes<L>(d, simd::load<simd::Vec<L>>(pp), simd::load<simd::Vec<L>>(tt), shear, r);
      } else {
        for (std::size_t l = 0; l < count; ++l) r.set(l, one(pp[l], tt[l]));
      }
      out(i, r, count);
    }
  });
}

// Columns of a grid tile handled together: their T bases and row sums stay
// in the first cache levels while the tile's rows pass over them.
inline constexpr std::size_t GRID_BLOCK = 128;

// The properties of the grid cells (p[i], t[k]) for rows row0 .. row1 - 1 and
// columns col0 .. col1 - 1 (at most GRID_BLOCK of them): out(i * n_t + k, r,
// count) receives the cells (i, k) .. (i, k + count - 1) in the lanes of r.
// Every cell gets exactly the bits the matched-point evaluation gives it. The
// columns are taken GRID_LANES at a time; the T basis of each column is
// evaluated once for the tile, the P basis once per row, and the T reduction
// of the coefficient rows once per column and P knot interval (consecutive
// rows in the same interval share it). Each of these is the computation a
// single point performs, only not repeated. A lane whose column lies outside
// the knot range computes a copy of an inside column of its group, and its
// cells are replaced by edge_point_props.
template <class Out>
inline void grid_props(const Spline2D& s, const double* p, const double* t, std::size_t n_t,
                       std::size_t row0, std::size_t row1, std::size_t col0, std::size_t col1,
                       Out&& out) {
  constexpr std::size_t L = GRID_LANES;
  constexpr std::size_t GROUPS = (GRID_BLOCK + L - 1) / L;
  using V = simd::Vec<L>;
  const double* shear = shear_of(s);
  const bool ok = evaluable(s);
  with_orders(s, [&]<std::size_t KP, std::size_t KT>() {
    using Kernel = BasisKernel<KP, KT>;
    const std::size_t kp = KP ? KP : s.order_p;
    const std::size_t groups = (col1 - col0 + L - 1) / L;
    bool used[GROUPS][L];  // column inside the tile and the knot range
    bool any[GROUPS];      // some lane of the group is used
    V tv[GROUPS];
    AxisBasis<DERIV_T, L> bt[GROUPS];
    RowSums<L> rows[GROUPS];
    for (std::size_t g = 0; g < groups; ++g) {
      double tl[L];
      std::size_t fill = L;  // a used lane to copy into the others
      for (std::size_t l = 0; l < L; ++l) {
        const std::size_t k = col0 + g * L + l;
        used[g][l] = ok && k < col1 && t_inside(s, t[k]);
        tl[l] = k < col1 ? t[k] : 0.0;
        if (used[g][l] && fill == L) fill = l;
      }
      any[g] = fill != L;
      if (!any[g]) continue;
      for (std::size_t l = 0; l < L; ++l)
        if (!used[g][l]) tl[l] = tl[fill];
      tv[g] = simd::load<simd::Vec<L>>(tl);
      Kernel::t_basis(s, tl, bt[g]);
    }
    std::size_t rows_span = SIZE_MAX;  // P interval the row sums belong to
    for (std::size_t i = row0; i < row1; ++i) {
      const double pv = p[i];
      const bool p_in = ok && p_inside(s, pv);
      AxisBasis<DERIV_P, L> bp;
      if (p_in) {
        // The row's P basis, the same in every lane.
        const double pl[1] = {pv};
        AxisBasis<DERIV_P, 1> b1;
        Kernel::p_basis(s, pl, b1);
        for (std::size_t l = 0; l < L; ++l) bp.span[l] = b1.span[0];
        for (std::size_t d = 0; d <= DERIV_P; ++d)
          for (std::size_t j = 0; j < kp; ++j) bp.b[d][j] = simd::splat<simd::Vec<L>>(b1.b[d][j][0]);
        if (b1.span[0] != rows_span) {
          for (std::size_t g = 0; g < groups; ++g)
            if (any[g]) Kernel::rows(s, bp.span, bt[g], rows[g]);
          rows_span = b1.span[0];
        }
      }
      const V pvv = simd::splat<simd::Vec<L>>(pv);
      for (std::size_t g = 0; g < groups; ++g) {
        const std::size_t k0 = col0 + g * L;
        const std::size_t count = std::min(L, col1 - k0);
        PropsLanes<L> r;
        const bool lanes = p_in && any[g];
        if (lanes) {
          DerivLanes<L> d;
          Kernel::derivs(s, bp, rows[g], d);
          props_lanes<L>(d, pvv, tv[g], shear, r);
        }
        for (std::size_t l = 0; l < count; ++l)
          if (!lanes || !used[g][l]) r.set(l, edge_point_props(s, pv, t[k0 + l]));
        out(i * n_t + k0, r, count);
      }
    }
  });
}

}  // namespace tessarin::seafreeze
