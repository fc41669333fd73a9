// Tensor-product B-spline of the Gibbs energy of aqueous NaCl, g(P, T, m),
// and its evaluation with the partial derivatives the solution properties
// take.
//
// g is the specific Gibbs energy of the solution in J per kg of solution,
// over pressure P in MPa, temperature T in K and molality m in mol per kg of
// water. A point evaluates the active B-splines of each axis and their
// derivatives once (the 1-D basis code of the pure-phase splines), then
// contracts the coefficient block axis by axis: along m first, at m and at
// the baseline molality c, then along T, then along P, so that every
// derivative shares the work of the axes it does not differentiate.
//
// Pure C++: no Python types, no allocation, never throws.
#pragma once
#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>
#include <vector>

#include "seafreeze/kernel.hpp"
#include "seafreeze/spline.hpp"

namespace tessarin::nacl {

using seafreeze::MAX_ORDER;

// Baseline molality (mol/kg) standing in for pure water. Below its first
// interior knot the spline is a single polynomial in m, which cannot follow
// the m ln m of ideal mixing down to m = 0, so m = 0 is not a usable
// pure-water limit; the properties that compare with pure water evaluate the
// spline here instead.
inline constexpr double BASELINE_MOLALITY = 2e-4;

// The derivative orders taken along each axis.
inline constexpr std::size_t DERIV_P = 3, DERIV_T = 2, DERIV_M = 1;

struct Spline3D {
  std::array<std::vector<double>, 3> knots;  // P (MPa), T (K), m (mol/kg); clamped
  std::array<std::size_t, 3> order{};        // degree + 1 along each axis
  std::array<std::size_t, 3> count{};        // coefficients along each axis
  std::vector<double> coefs;                 // index (i * count[1] + j) * count[2] + l
  double solute_molar_mass = 0.0;            // kg/mol
  double ions = 0.0;                         // ions per formula unit (nu)
  // Derived by `prepare`: the per-interval constants of each axis and the m
  // basis at the baseline molality, which is the same for every point.
  std::array<seafreeze::SpanFactors, 3> factors;
  seafreeze::AxisBasis<DERIV_M, 1> baseline;
};

// True when every index that evaluation can form lies inside the arrays:
// orders 1..12, exactly order + count knots on each axis and a full
// coefficient block.
inline bool evaluable(const Spline3D& s) noexcept {
  std::size_t total = 1;
  for (std::size_t a = 0; a < 3; ++a) {
    const std::size_t k = s.order[a], n = s.count[a];
    if (k < 1 || k > MAX_ORDER || n < k || s.knots[a].size() != n + k) return false;
    if (total > s.coefs.size() / n) return false;
    total *= n;
  }
  return total == s.coefs.size();
}

// (Re)builds the derived members after the knots or orders changed.
inline void prepare(Spline3D& s) {
  for (std::size_t a = 0; a < 3; ++a) s.factors[a] = seafreeze::make_span_factors(s.knots[a], s.order[a]);
  s.baseline = {};
  if (!evaluable(s)) return;
  const double c[1] = {BASELINE_MOLALITY};
  seafreeze::axis_basis<0, DERIV_M, 1>(s.factors[2], s.knots[2], s.order[2], c, s.baseline);
}

// g and its partial derivatives (subscripts) at (P, T, m), and the ones the
// pure-water references need at (P, T, c): water's chemical potential,
// partial volume and partial heat capacity there, and the salt's partial
// molar volume. g_Tm gives the partial molar entropy of water, which the
// ice-brine equilibrium takes as the temperature slope of water's chemical
// potential. Units: J/kg per MPa, K and mol/kg to the power of each order.
struct SolutionDerivs {
  double g, gp, gt, gm, gpp, gtt, gpt, gppp, gpm, gtm, gttm;
  double g_c, gp_c, gtt_c, gm_c, gpm_c, gttm_c;
};
static_assert(sizeof(SolutionDerivs) == 17 * sizeof(double));

// A record of doubles with NaN in every field.
template <class Record>
inline Record all_nan() noexcept {
  constexpr std::size_t n = sizeof(Record) / sizeof(double);
  static_assert(n * sizeof(double) == sizeof(Record));
  double nan[n];
  std::fill_n(nan, n, std::numeric_limits<double>::quiet_NaN());
  Record r;
  std::memcpy(&r, nan, sizeof r);
  return r;
}

// The derivatives at one point. KP, KT, KM are the orders when fixed at
// compile time (the loops then unroll), 0 to take them from the spline; both
// perform the same operations. Requires evaluable(s) and no NaN coordinate.
template <std::size_t KP, std::size_t KT, std::size_t KM>
inline SolutionDerivs solution_derivs_k(const Spline3D& s, double p, double t, double m) noexcept {
  const std::size_t kp = KP ? KP : s.order[0], kt = KT ? KT : s.order[1];
  const std::size_t km = KM ? KM : s.order[2];
  seafreeze::AxisBasis<DERIV_P, 1> bp;
  seafreeze::AxisBasis<DERIV_T, 1> bt;
  seafreeze::AxisBasis<DERIV_M, 1> bm;
  const double pp[1] = {p}, tt[1] = {t}, mm[1] = {m};
  seafreeze::axis_basis<KP, DERIV_P, 1>(s.factors[0], s.knots[0], s.order[0], pp, bp);
  seafreeze::axis_basis<KT, DERIV_T, 1>(s.factors[1], s.knots[1], s.order[1], tt, bt);
  seafreeze::axis_basis<KM, DERIV_M, 1>(s.factors[2], s.knots[2], s.order[2], mm, bm);
  const seafreeze::AxisBasis<DERIV_M, 1>& bc = s.baseline;

  const std::size_t nt = s.count[1], nm = s.count[2];
  const double* block =
      s.coefs.data() + ((bp.span[0] + 1 - kp) * nt + (bt.span[0] + 1 - kt)) * nm;
  const std::size_t at_m = bm.span[0] + 1 - km, at_c = bc.span[0] + 1 - km;

  // Per P index i: the T and m reductions the derivatives need (rXY: m order
  // X at m, T order Y; qXY the same at c).
  double r00[MAX_ORDER] = {}, r01[MAX_ORDER] = {}, r02[MAX_ORDER] = {}, r10[MAX_ORDER] = {},
         r11[MAX_ORDER] = {}, r12[MAX_ORDER] = {}, q00[MAX_ORDER] = {}, q02[MAX_ORDER] = {}, q10[MAX_ORDER] = {},
         q12[MAX_ORDER] = {};
#pragma GCC unroll 12
  for (std::size_t i = 0; i < kp; ++i) {
#pragma GCC unroll 12
    for (std::size_t j = 0; j < kt; ++j) {
      const double* c = block + (i * nt + j) * nm;
      double a0 = 0, a1 = 0, c0 = 0, c1 = 0;
#pragma GCC unroll 12
      for (std::size_t l = 0; l < km; ++l) {
        a0 += c[at_m + l] * bm.b[0][l][0];
        a1 += c[at_m + l] * bm.b[1][l][0];
        c0 += c[at_c + l] * bc.b[0][l][0];
        c1 += c[at_c + l] * bc.b[1][l][0];
      }
      const double t0 = bt.b[0][j][0], t1 = bt.b[1][j][0], t2 = bt.b[2][j][0];
      r00[i] += a0 * t0;
      r01[i] += a0 * t1;
      r02[i] += a0 * t2;
      r10[i] += a1 * t0;
      r11[i] += a1 * t1;
      r12[i] += a1 * t2;
      q00[i] += c0 * t0;
      q02[i] += c0 * t2;
      q10[i] += c1 * t0;
      q12[i] += c1 * t2;
    }
  }
  SolutionDerivs d{};
#pragma GCC unroll 12
  for (std::size_t i = 0; i < kp; ++i) {
    const double p0 = bp.b[0][i][0], p1 = bp.b[1][i][0], p2 = bp.b[2][i][0], p3 = bp.b[3][i][0];
    d.g += p0 * r00[i];
    d.gp += p1 * r00[i];
    d.gpp += p2 * r00[i];
    d.gppp += p3 * r00[i];
    d.gt += p0 * r01[i];
    d.gpt += p1 * r01[i];
    d.gtt += p0 * r02[i];
    d.gm += p0 * r10[i];
    d.gpm += p1 * r10[i];
    d.gtm += p0 * r11[i];
    d.gttm += p0 * r12[i];
    d.g_c += p0 * q00[i];
    d.gp_c += p1 * q00[i];
    d.gtt_c += p0 * q02[i];
    d.gm_c += p0 * q10[i];
    d.gpm_c += p1 * q10[i];
    d.gttm_c += p0 * q12[i];
  }
  return d;
}

// The derivatives at (p, t, m): NaN in all of them for a NaN coordinate or a
// spline that cannot be evaluated. Points outside the knot range are
// extrapolated with the polynomial pieces of the end intervals. The basis
// values then grow like powers of the distance and their sum cancels more,
// so accuracy falls off with it; a tenth of the range outside, values still
// agree with de Boor's recursion to about 1e-11 of the largest one.
inline SolutionDerivs solution_derivs(const Spline3D& s, double p, double t, double m) noexcept {
  if (std::isnan(p) || std::isnan(t) || std::isnan(m) || !evaluable(s)) {
    return all_nan<SolutionDerivs>();
  }
  // The orders of the shipped splines, fixed at compile time.
  if (s.order[0] == 6 && s.order[1] == 6 && s.order[2] == 4)
    return solution_derivs_k<6, 6, 4>(s, p, t, m);
  if (s.order[0] == 6 && s.order[1] == 6 && s.order[2] == 5)
    return solution_derivs_k<6, 6, 5>(s, p, t, m);
  return solution_derivs_k<0, 0, 0>(s, p, t, m);
}

}  // namespace tessarin::nacl
