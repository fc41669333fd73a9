// Thermodynamic properties of a phase from its Gibbs-energy spline.
//
// The seven derivatives a point needs (G, Gp, Gt, Gpp, Gtt, Gpt, Gppp) share
// both knot spans and all coefficients, so instead of seven separate de Boor
// evaluations the point computes the active B-spline basis functions and their
// derivatives once per axis and contracts them with the kP x kT coefficient
// block. The derivative basis is built with the same knot differences and
// factors as the coefficient-differencing rule of eval_point, so both agree
// to rounding (a few ulps of the summed terms |c| |B_P| |B_T|).
//
// Pure C++: no Python types, no allocation, never throws.
#pragma once
#include <cmath>
#include <cstddef>
#include <limits>
#include <span>

#include "seafreeze/spline.hpp"

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

// The largest derivative order the properties take along one axis.
inline constexpr std::size_t MAX_DERIV = 3;

// Values at x of the k B-splines of order k that are active on knot interval
// `span` (basis indices span - k + 1 .. span), and of their derivatives up to
// order nd: out[d][i]. Rows d >= k are zero. Requires a span from find_span
// on a spline that passed `evaluable`, and nd <= MAX_DERIV.
inline void basis_derivs(std::span<const double> knots, std::size_t k, std::size_t span,
                         double x, std::size_t nd, double (&out)[MAX_DERIV + 1][MAX_ORDER]) noexcept {
  // Cox-de Boor triangle: after step j, n[0..j] are the order j + 1 basis
  // functions active on the span. The orders k - d (d = 0..nd) are kept.
  double n[MAX_ORDER];
  n[0] = 1.0;
  for (std::size_t d = 0; d <= nd; ++d)
    for (std::size_t i = 0; i < MAX_ORDER; ++i) out[d][i] = 0.0;
  if (k - 1 <= nd) out[k - 1][0] = 1.0;
  for (std::size_t j = 1; j < k; ++j) {
    double saved = 0.0;
    for (std::size_t r = 0; r < j; ++r) {
      const double hi = knots[span + r + 1], lo = knots[span + 1 - j + r];
      const double den = hi - lo;
      const double w = den > 0 ? n[r] / den : 0.0;
      n[r] = saved + (hi - x) * w;
      saved = (x - lo) * w;
    }
    n[j] = saved;
    const std::size_t d = k - 1 - j;  // the order j + 1 = k - d
    if (d <= nd)
      for (std::size_t i = 0; i <= j; ++i) out[d][i] = n[i];
  }
  // Row d holds the order k - d basis; turn it into the d-th derivative of the
  // order k basis by applying the transposed differencing steps r = d .. 1.
  // Step r maps coefficients c (order k - r + 1) to c'_j = f_j (c_{j+1} - c_j)
  // with f_j = (k - r) / (knots[span+1+j] - knots[span+1-k+r+j]), zero for a
  // zero-length difference; its transpose spreads w_j onto positions j, j + 1.
  // The factors of step r are shared by all derivative orders d >= r.
  double f[MAX_DERIV + 1][MAX_ORDER];
  for (std::size_t r = 1; r <= nd && r < k; ++r)
    for (std::size_t j = 0; j + r < k; ++j) {
      const double den = knots[span + 1 + j] - knots[span + 1 - k + r + j];
      f[r][j] = den > 0 ? static_cast<double>(k - r) / den : 0.0;
    }
  for (std::size_t d = 1; d <= nd && d < k; ++d) {
    double* w = out[d];
    for (std::size_t r = d; r >= 1; --r) {
      const std::size_t len = k - r;  // entries of w before this step
      double next[MAX_ORDER];
      for (std::size_t m = 0; m <= len; ++m) {
        const double up = m >= 1 ? f[r][m - 1] * w[m - 1] : 0.0;
        const double down = m < len ? f[r][m] * w[m] : 0.0;
        next[m] = up - down;
      }
      for (std::size_t m = 0; m <= len; ++m) w[m] = next[m];
    }
  }
}

// The seven derivatives at (p, t) from the basis functions, in one pass; NaN
// in all of them for a spline that cannot be evaluated, zero for orders at or
// above the spline's. Meant for points inside the knot range: there every
// basis value is bounded, whereas far outside it the basis values grow like
// powers of the distance and their sum cancels badly.
inline GibbsDerivs gibbs_derivs_basis(const Spline2D& s, double p, double t) noexcept {
  if (!evaluable(s)) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    return {nan, nan, nan, nan, nan, nan, nan};
  }
  const std::size_t kp = s.order_p, kt = s.order_t;
  const std::span<const double> kn_p(s.knots_p), kn_t(s.knots_t);
  const std::size_t span_p = find_span(kn_p, kp, p);
  const std::size_t span_t = find_span(kn_t, kt, t);
  double bp[MAX_DERIV + 1][MAX_ORDER];
  double bt[MAX_DERIV + 1][MAX_ORDER];
  basis_derivs(kn_p, kp, span_p, p, 3, bp);
  basis_derivs(kn_t, kt, span_t, t, 2, bt);

  // Contract T first (three row sums per P basis function), then P.
  const double* first = s.coefs.data() + (span_p + 1 - kp) * s.n_t + (span_t + 1 - kt);
  GibbsDerivs r{0, 0, 0, 0, 0, 0, 0};
  for (std::size_t i = 0; i < kp; ++i) {
    const double* row = first + i * s.n_t;
    double r0 = 0.0, r1 = 0.0, r2 = 0.0;
    for (std::size_t j = 0; j < kt; ++j) {
      r0 += row[j] * bt[0][j];
      r1 += row[j] * bt[1][j];
      r2 += row[j] * bt[2][j];
    }
    r.g += bp[0][i] * r0;
    r.gp += bp[1][i] * r0;
    r.gpp += bp[2][i] * r0;
    r.gppp += bp[3][i] * r0;
    r.gt += bp[0][i] * r1;
    r.gpt += bp[1][i] * r1;
    r.gtt += bp[0][i] * r2;
  }
  return r;
}

// The seven derivatives by de Boor's recursion, exactly as eval_point computes
// each of them (same operations in the same order, so the same bits), but
// sharing the work: every coefficient row is reduced along T once for the
// orders 0, 1 and 2, and each of those columns along P for the orders needed.
inline GibbsDerivs gibbs_derivs_deboor(const Spline2D& s, double p, double t) noexcept {
  if (!evaluable(s)) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    return {nan, nan, nan, nan, nan, nan, nan};
  }
  const std::size_t kp = s.order_p, kt = s.order_t;
  const std::span<const double> kn_p(s.knots_p), kn_t(s.knots_t);
  const std::size_t span_p = find_span(kn_p, kp, p);
  const std::size_t span_t = find_span(kn_t, kt, t);

  // q[d][i]: row i of the block reduced to the d-th T derivative at t.
  double q[3][MAX_ORDER] = {};
  const double* first = s.coefs.data() + (span_p + 1 - kp) * s.n_t + (span_t + 1 - kt);
  for (std::size_t i = 0; i < kp; ++i) {
    double c[MAX_ORDER] = {};
    const double* row = first + i * s.n_t;
    for (std::size_t j = 0; j < kt; ++j) c[j] = row[j];
    for (std::size_t d = 0; d < 3 && d < kt; ++d) {
      if (d > 0) differentiate_step(kn_t, c, kt, span_t, d);
      q[d][i] = de_boor_1d(kn_t, c, kt - d, span_t, t);
    }
  }
  // out[dt][dp]: the P reduction of column dt up to order max_dp.
  double out[3][4] = {};
  const std::size_t max_dp[3] = {3, 1, 0};
  for (std::size_t dt = 0; dt < 3 && dt < kt; ++dt) {
    double c[MAX_ORDER];
    for (std::size_t i = 0; i < MAX_ORDER; ++i) c[i] = q[dt][i];
    for (std::size_t dp = 0; dp <= max_dp[dt] && dp < kp; ++dp) {
      if (dp > 0) differentiate_step(kn_p, c, kp, span_p, dp);
      out[dt][dp] = de_boor_1d(kn_p, c, kp - dp, span_p, p);
    }
  }
  return {out[0][0], out[0][1], out[1][0], out[0][2], out[2][0], out[1][1], out[0][3]};
}

// The seven derivatives at (p, t): the basis route inside the knot range, the
// de Boor route (identical to eval_point) outside it, where extrapolation
// makes the convex-combination form the accurate one.
inline GibbsDerivs gibbs_derivs(const Spline2D& s, double p, double t) noexcept {
  if (std::isnan(p) || std::isnan(t)) {
    // As eval_point: NaN, except the orders the spline does not have.
    const double nan = std::numeric_limits<double>::quiet_NaN();
    auto v = [&](std::size_t dp, std::size_t dt) {
      return dp >= s.order_p || dt >= s.order_t ? 0.0 : nan;
    };
    return {v(0, 0), v(1, 0), v(0, 1), v(2, 0), v(0, 2), v(1, 1), v(3, 0)};
  }
  const bool inside = !s.knots_p.empty() && !s.knots_t.empty() && p >= s.knots_p.front() &&
                      p <= s.knots_p.back() && t >= s.knots_t.front() && t <= s.knots_t.back();
  return inside ? gibbs_derivs_basis(s, p, t) : gibbs_derivs_deboor(s, p, t);
}

// Properties from the derivatives at pressure p (MPa) and temperature t (K).
// The only guards are the exact zero tests on divisors listed below; NaN
// passes them and propagates, and extrapolated points are returned as they
// are. `shear` is s0..s5 or null (then shear, Vp and Vs are NaN).
inline Props props_from_derivs(const GibbsDerivs& d, double p, double t,
                               const double* shear) noexcept {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  Props o;
  o.G = d.g;
  o.V = d.gp * 1e-6;  // J/(kg MPa) -> m3/kg
  o.alpha = d.gp == 0 ? nan : d.gpt / d.gp;
  const double kt_pa = d.gpp == 0 ? nan : (-d.gp / d.gpp) * 1e6;
  o.Kp = d.gpp == 0 ? nan : (d.gp * d.gppp) / (d.gpp * d.gpp) - 1;
  o.Cp = d.gtt * (-t);
  o.Cv = o.Cp - t * o.V * o.alpha * o.alpha * kt_pa;
  o.rho = o.V == 0 ? nan : 1 / o.V;
  const double ks_pa = o.Cv == 0 ? nan : (o.Cp * kt_pa) / o.Cv;
  o.Kt = kt_pa / 1e6;
  o.Ks = ks_pa / 1e6;
  o.vel = (o.rho > 0 && ks_pa > 0) ? std::sqrt(ks_pa / o.rho) : nan;
  o.S = -d.gt;
  o.H = d.g - t * d.gt;
  const double pv = (p * 1e6) * o.V;
  o.U = o.H - pv;
  o.A = d.g - pv;
  o.shear = o.Vp = o.Vs = nan;
  if (shear) {
    // Empirical shear modulus in GPa, quadratic in density about s4 and
    // linear in temperature about s5; wave speeds in m/s from GPa and g/cm3.
    const double dr = o.rho - shear[4];
    const double mu = (shear[2] * dr * dr + (shear[1] * dr + shear[0])) + (t - shear[5]) * shear[3];
    const double r = o.rho / 1000;
    if (r > 0) {
      const double m = mu * 1.3333333333333333 + o.Ks / 1000;
      o.Vp = m > 0 ? std::sqrt(m / r) * 1000 : nan;
      o.Vs = mu > 0 ? std::sqrt(mu / r) * 1000 : nan;
    }
    o.shear = mu * 1000;
  }
  return o;
}

// One point of a phase: the seven derivatives, then the properties.
inline Props point_props(const Spline2D& s, double p, double t) noexcept {
  const double* shear = s.shear_params ? s.shear_params->data() : nullptr;
  return props_from_derivs(gibbs_derivs(s, p, t), p, t, shear);
}

}  // namespace tessarin::seafreeze
