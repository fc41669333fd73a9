// G and the six partial derivatives the properties need, at a point of a
// phase, by one of two routes.
//
// The basis route, inside the knot range: the seven derivatives (G, Gp, Gt,
// Gpp, Gtt, Gpt, Gppp) share both knot spans and all coefficients, so
// instead of seven separate de Boor evaluations a point computes the active
// B-spline basis functions and their derivatives once per axis and contracts
// them with the kP x kT coefficient block. The constants of each knot
// interval come from the table built with the spline, so a point needs no
// division until the properties. The derivative factors are those of the
// coefficient-differencing rule of eval_point, and both routes agree to
// rounding, a few ulps of the summed terms |c| |B_P| |B_T| (against a
// quad-precision evaluation the basis route stays within 6e-15 of that sum on
// the shipped phases). It is compiled for the orders of the shipped splines
// (6 x 6 and 6 x 8), with every loop unrolled.
//
// The de Boor route, outside the knot range and for splines of other orders:
// exactly eval_point's operations, so the same bits, with the work of the
// seven derivatives shared. Outside the range the basis values grow like
// powers of the distance and their sum would cancel badly, while the
// convex-combination form stays accurate.
//
// Pure C++: no Python types, no allocation, never throws.
#pragma once
#include <cmath>
#include <cstddef>
#include <limits>
#include <span>

#include "seafreeze/bspline.hpp"
#include "seafreeze/props.hpp"
#include "seafreeze/spline.hpp"
#include "simd.hpp"

namespace tessarin::seafreeze {

// The derivative orders the properties take along P and along T.
inline constexpr std::size_t DERIV_P = 3;
inline constexpr std::size_t DERIV_T = 2;
static_assert(DERIV_P <= MAX_DERIV && DERIV_T <= MAX_DERIV);

// ---------------------------------------------------------------------------
// Basis route, for L points at once (see props.hpp on lanes).

// One axis of L points inside the knot range: their knot intervals and the
// basis values and derivatives there.
template <std::size_t ND, std::size_t L = 1>
struct AxisBasis {
  std::size_t span[L];
  simd::Vec<L> b[ND + 1][MAX_ORDER];
};

// K is the order when known at compile time, or 0 to take it from k.
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
  const double* first[L];
  for (std::size_t l = 0; l < L; ++l)
    first[l] = s.coefs.data() + (span_p[l] + 1 - KP) * s.n_t + (bt.span[l] + 1 - KT);
  const V zero = simd::splat<V>(0.0);
#pragma GCC unroll 12
  for (std::size_t i = 0; i < KP; ++i) {
    V r0 = zero, r1 = zero, r2 = zero;
#pragma GCC unroll 12
    for (std::size_t j = 0; j < KT; ++j) {
      const V c = simd::gather<V>(first, i * s.n_t + j);
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
inline void combine(const AxisBasis<DERIV_P, L>& bp, const RowSums<L>& rows,
                    DerivLanes<L>& out) noexcept {
  using V = simd::Vec<L>;
  const V zero = simd::splat<V>(0.0);
  V g = zero, gp = zero, gt = zero, gpp = zero, gtt = zero, gpt = zero, gppp = zero;
#pragma GCC unroll 12
  for (std::size_t i = 0; i < KP; ++i) {
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

// The stages of the basis route for the orders KP x KT of the spline: basis
// along each axis, T reduction of the coefficient rows, P contraction. Every
// lane count performs the same operations per point, so which one runs never
// changes a bit.
template <std::size_t KP, std::size_t KT>
struct BasisKernel {
  static_assert(KP > 0 && KT > 0);
  template <std::size_t L>
  static void p_basis(const Spline2D& s, const double (&p)[L],
                      AxisBasis<DERIV_P, L>& out) noexcept {
    axis_basis<KP, DERIV_P, L>(s.factors_p, s.knots_p, KP, p, out);
  }
  template <std::size_t L>
  static void t_basis(const Spline2D& s, const double (&t)[L],
                      AxisBasis<DERIV_T, L>& out) noexcept {
    axis_basis<KT, DERIV_T, L>(s.factors_t, s.knots_t, KT, t, out);
  }
  template <std::size_t L>
  static void rows(const Spline2D& s, const std::size_t (&span_p)[L],
                   const AxisBasis<DERIV_T, L>& bt, RowSums<L>& out) noexcept {
    row_sums<KP, KT, L>(s, span_p, bt, out);
  }
  template <std::size_t L>
  static void derivs(const AxisBasis<DERIV_P, L>& bp, const RowSums<L>& rows,
                     DerivLanes<L>& out) noexcept {
    combine<KP, L>(bp, rows, out);
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
    rows(s, bp.span, bt, rs);
    derivs(bp, rs, out);
  }
  static GibbsDerivs point(const Spline2D& s, double p, double t) noexcept {
    const double pp[1] = {p}, tt[1] = {t};
    DerivLanes<1> d;
    points<1>(s, pp, tt, d);
    return {d.g[0], d.gp[0], d.gt[0], d.gpp[0], d.gtt[0], d.gpt[0], d.gppp[0]};
  }
};

// Calls fn.template operator()<KP, KT>() with the orders of the shipped
// splines fixed at compile time (6 x 6 and 6 x 8), or with 0, 0 for any
// other orders, which take the de Boor route throughout.
template <class Fn>
inline decltype(auto) with_orders(const Spline2D& s, Fn&& fn) {
  if (s.order_p == 6 && s.order_t == 6) return fn.template operator()<6, 6>();
  if (s.order_p == 6 && s.order_t == 8) return fn.template operator()<6, 8>();
  return fn.template operator()<0, 0>();
}

// The same for the shipped orders only: false, without calling fn, for any
// other.
template <class Fn>
inline bool with_fixed_orders(const Spline2D& s, Fn&& fn) {
  return with_orders(s, [&]<std::size_t KP, std::size_t KT>() {
    if constexpr (KP != 0) fn.template operator()<KP, KT>();
    return KP != 0;
  });
}

// ---------------------------------------------------------------------------
// De Boor route.

// The seven derivatives by de Boor's recursion, as eval_point computes each
// of them, sharing the work: the coefficient rows are reduced along T once
// for the orders 0, 1 and 2 (the rows stepped together keep several chains of
// dependent multiply-adds in flight), each of those columns along P for the
// orders needed, with the recursion weights of each order computed once. KP,
// KT are the orders when fixed at compile time (the short loops then
// unroll), or 0.
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
  DeBoorWeights wt[DERIV_T + 1], wp[DERIV_P + 1];
  for (std::size_t d = 0; d <= DERIV_T && d < kt; ++d) de_boor_weights(kn_t, kt - d, span_t, t, wt[d]);
  for (std::size_t d = 0; d <= DERIV_P && d < kp; ++d) de_boor_weights(kn_p, kp - d, span_p, p, wp[d]);

  // q[d][i]: row i of the block reduced to the d-th T derivative at t.
  double q[DERIV_T + 1][MAX_ORDER] = {};
  double c[MAX_ORDER][MAX_ORDER];
  coefficient_block(s, kp, kt, span_p, span_t, c);
  for (std::size_t d = 0; d <= DERIV_T && d < kt; ++d) {
    if (d > 0) differentiate_step(kn_t, c, kp, kt, span_t, d);
    de_boor(wt[d], c, kp, q[d]);
  }
  // out[dt][dp]: the P reduction of column dt up to order max_dp.
  double out[DERIV_T + 1][DERIV_P + 1] = {};
  const std::size_t max_dp[DERIV_T + 1] = {3, 1, 0};
  for (std::size_t dt = 0; dt <= DERIV_T && dt < kt; ++dt) {
    double col[MAX_ORDER][1];
    for (std::size_t i = 0; i < MAX_ORDER; ++i) col[i][0] = q[dt][i];
    for (std::size_t dp = 0; dp <= max_dp[dt] && dp < kp; ++dp) {
      if (dp > 0) differentiate_step(kn_p, col, 1, kp, span_p, dp);
      double v[1];
      de_boor(wp[dp], col, 1, v);
      out[dt][dp] = v[0];
    }
  }
  return {out[0][0], out[0][1], out[1][0], out[0][2], out[2][0], out[1][1], out[0][3]};
}

// ---------------------------------------------------------------------------
// One point.

// Whether p (t) lies in the knot range of its axis; false for NaN.
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

// The seven derivatives at (p, t): the basis route inside the knot range of
// a spline of the shipped orders (NaN in all of them for one that cannot be
// evaluated), the de Boor route otherwise. KP, KT as given by with_orders.
template <std::size_t KP, std::size_t KT>
inline GibbsDerivs gibbs_derivs_k(const Spline2D& s, double p, double t) noexcept {
  if (std::isnan(p) || std::isnan(t)) return nan_point_derivs(s);
  if constexpr (KP != 0) {
    if (p_inside(s, p) && t_inside(s, t)) {
      if (!evaluable(s)) {
        const double nan = std::numeric_limits<double>::quiet_NaN();
        return {nan, nan, nan, nan, nan, nan, nan};
      }
      return BasisKernel<KP, KT>::point(s, p, t);
    }
  }
  return gibbs_derivs_deboor<KP, KT>(s, p, t);
}

inline GibbsDerivs gibbs_derivs(const Spline2D& s, double p, double t) noexcept {
  return with_orders(s, [&]<std::size_t KP, std::size_t KT>() {
    return gibbs_derivs_k<KP, KT>(s, p, t);
  });
}

// One point of a phase: the seven derivatives, then the properties.
inline Props point_props(const Spline2D& s, double p, double t) noexcept {
  return props_from_derivs(gibbs_derivs(s, p, t), p, t, shear_of(s));
}

// point_props for the points the batch functions do not send through the
// basis route: a NaN coordinate, a point outside the knot range, a spline
// that cannot be evaluated or has other orders. Their properties may combine
// NaNs of different signs (a NaN input, its negation, the NaN of an invalid
// operation), and which one an operation passes on depends on the operand
// order the compiler picked; a single out-of-line copy keeps those bits the
// same for every caller, so a grid cell matches the matched-point result
// exactly.
[[gnu::noinline]] inline Props edge_point_props(const Spline2D& s, double p, double t) noexcept {
  return point_props(s, p, t);
}

}  // namespace tessarin::seafreeze
