// Holten two-state equation of state of supercooled and stable liquid water:
// the formulas of one point.
//
// Water is a mixture of two interconvertible structures A and B; the fraction
// x of B minimises the Gibbs energy. The reduced Gibbs energy is a 20-term
// background (state A) plus x times the field L and an ideal-mixing and
// interaction term. Pure C++: no Python types, no allocation, never throws;
// points outside the model's domain show as NaN or infinite values.
#pragma once
#include <cmath>
#include <limits>

#include "holten/params.hpp"
#include "point_result.hpp"
#include "simd.hpp"
#include "two_state.hpp"

namespace tessarin::holten {

// Reduced Gibbs energy of one state and its derivatives in tau and pi.
struct Reduced {
  double g, g_t, g_p, g_tt, g_tp, g_pp;
};

// Field L (Gibbs energy of B relative to A, reduced) and its derivatives in
// tau and in the reduced pressure.
struct Field {
  double L, L_t, L_p, L_tt, L_tp, L_pp;
};

// The background as a sum of c_i tau^a_i pi^b_i exp(-d_i pi): two powers and
// an exponential per term. Used where tau or pi is not a positive finite
// number, where the power function's special cases (pi = 0, negative pi) set
// the NaN and infinity pattern of the result.
inline Reduced background_pow(double tau, double pi) noexcept {
  Reduced s{0, 0, 0, 0, 0, 0};
  for (int i = 0; i < 20; ++i) {
    const double a = BG_A[i], b = BG_B[i], d = BG_D[i];
    const double term = BG_C[i] * std::pow(tau, a) * std::pow(pi, b) * std::exp(-d * pi);
    const double u = b - d * pi;
    s.g += term;
    s.g_t += a * term / tau;
    s.g_p += term * u / pi;
    s.g_tt += a * (a - 1) * term / (tau * tau);
    s.g_tp += a * term * u / (tau * pi);
    s.g_pp += term * (u * u - b) / (pi * pi);
  }
  return s;
}

// The same sums for positive finite tau and pi, where
// tau^a pi^b exp(-d pi) = exp(a ln tau + b ln pi - d pi): one exponential per
// term and two logarithms in all, instead of forty powers. The common factors
// 1/tau and 1/pi are applied once to each sum rather than to every term.
// Both change only the rounding: the results stay within a few units of 1e-15
// relative of the term-by-term form (checked by the test suite).
inline Reduced background(double tau, double pi) noexcept {
  constexpr double inf = std::numeric_limits<double>::infinity();
  if (!(tau > 0 && pi > 0 && tau < inf && pi < inf)) return background_pow(tau, pi);
  const double ln_tau = std::log(tau), ln_pi = std::log(pi);
  double g = 0, at = 0, tu = 0, aat = 0, atu = 0, tuu = 0;
  for (int i = 0; i < 20; ++i) {
    const double a = BG_A[i], b = BG_B[i], d = BG_D[i];
    const double term = BG_C[i] * std::exp(a * ln_tau + b * ln_pi - d * pi);
    const double u = b - d * pi;
    g += term;
    at += a * term;
    tu += term * u;
    aat += a * (a - 1) * term;
    atu += a * term * u;
    tuu += term * (u * u - b);
  }
  const double inv_tau = 1 / tau, inv_pi = 1 / pi;
  return Reduced{g,
                 at * inv_tau,
                 tu * inv_pi,
                 aat * (inv_tau * inv_tau),
                 atu * (inv_tau * inv_pi),
                 tuu * (inv_pi * inv_pi)};
}

// The field in the reduced variables dT = tau - 1 and dP = P / P*, through
// u = k2 dT and the square root K = sqrt((1 + k0 k2 + k1 (dP - u))^2 - 4 k0
// k1 k2 (dP - u)). The radicand is positive for every finite dP - u; it is
// not guarded, so infinite or NaN input gives a NaN field.
inline double field_root(double dT, double dP) noexcept {
  const double u = K2 * dT;
  const double q = ONE_PLUS_K0K2 + K1 * (dP - u);
  return std::sqrt(q * q + MINUS_4K0K1K2 * (dP - u));
}

// L itself, given field_root.
inline double field_value(double dT, double dP, double root) noexcept {
  return L0K2 * (K1 * (K2 * dT + dP) + (1 - root + K0K2)) / TWO_K1K2;
}

inline double field_value(double dT, double dP) noexcept {
  return field_value(dT, dP, field_root(dT, dP));
}

// L with its derivatives in tau and in dP.
inline Field field(double dT, double dP) noexcept {
  const double w = K1 * (dP - K2 * dT);
  const double K = field_root(dT, dP);
  const double K3 = K * K * K;
  Field f;
  f.L = field_value(dT, dP, K);
  f.L_t = HALF_L0K2 * (1 + (w + ONE_MINUS_K0K2) / K);
  f.L_p = L0K2 * (-K1 * dP + K0K2 + K + K1K2 * dT - 1) / (TWO_K2 * K);
  f.L_tt = L_TT_NUM / K3;
  f.L_tp = L_TP_NUM / K3;
  f.L_pp = L_PP_NUM / K3;
  return f;
}

// Interaction omega, linear in the reduced pressure.
inline double interaction(double dP) noexcept { return 2 + OMEGA0 * dP; }

using two_state::X_HI;
using two_state::X_LO;

// Equilibrium fraction of state B for field L and interaction omega: solves
// ln(x/(1-x)) + L + omega (1 - 2x) = 0 for |L|, whose wanted root lies in
// (0, 0.5], then mirrors it when L < 0.
//
// The solver advances one bisection (or Newton) step per call of step(), so
// that several points can be solved in lockstep: each step is a chain of a
// logarithm and a comparison that depends on the step before, and the steps of
// independent points overlap in the processor. A point's sequence of
// operations is the same whether it is solved alone or beside others.
class FractionSolver {
 public:
  FractionSolver() noexcept = default;  // a finished solver, for array storage
  FractionSolver(double L, double omega) noexcept : L_(L), lam_(std::fabs(L)), omega_(omega) {
    if ((LN_19 - lam_) * INV_0_9 > omega_) {
      lo_ = 0.049;
      hi_ = 0.5;
    } else if (omega_ < (LN_99 - lam_) * INV_0_98) {
      lo_ = 0.0099;
      hi_ = 0.051;
    } else {
      lo_ = SMALL_ROOT_LO * std::exp(-INV_0_98 * lam_ - omega_);
      hi_ = std::fmin(SMALL_ROOT_HI * std::exp(-lam_ - omega_), 0.0101);
    }
    lo_ = std::fmax(lo_, X_LO);
    hi_ = std::fmin(hi_, X_HI);

    f_lo_ = f(lo_);
    const double f_hi = f(hi_);
    if (f_lo_ * f_hi > 0) {
      // f(1e-15) in closed form.
      f_lo_ = ONE_MINUS_2X_LO * omega_ + (LN_X_LO + lam_);
      if (lam_ * f_lo_ > 0) {
        // No sign change in [1e-15, 0.5]: only far outside the model's
        // range. Newton from 0.05, with halving steps that keep the iterate
        // inside (0, 1).
        mode_ = Mode::Newton;
        root_ = 0.05;
        return;
      }
      lo_ = X_LO;
      hi_ = 0.5;
    }
    mode_ = Mode::Bisect;
  }

  // One step; false once the solution is final.
  bool step() noexcept {
    if (mode_ == Mode::Bisect) {
      const double mid = (hi_ + lo_) * 0.5;
      const double f_mid = f(mid);
      // The side taken is as good as random, so it is chosen with bitwise
      // selects rather than a branch that would be mispredicted half of the
      // time (a misprediction also stops the steps of other points from
      // overlapping with this one).
      const bool left = f_lo_ * f_mid < 0;  // the sign change is in [lo, mid]
      const bool stop = simd::select(left, mid - lo_, hi_ - mid) < 1e-14;
      hi_ = simd::select(left, mid, hi_);
      lo_ = simd::select(left, lo_, mid);
      f_lo_ = simd::select(left || stop, f_lo_, f_mid);
      if (stop || ++iter_ == 100) {
        root_ = (lo_ + hi_) * 0.5;
        mode_ = Mode::Done;
      }
    } else if (mode_ == Mode::Newton) {
      const double c = two_state::clamp_fraction(root_);
      const double d = 1 / ((1 - c) * c) - 2 * omega_;
      if (std::fabs(d) < 1e-30) {
        root_ = c;
        mode_ = Mode::Done;
        return false;
      }
      const double r = (std::log(c / (1 - c)) + lam_) + (1 - 2 * c) * omega_;
      root_ = two_state::newton_iterate(c, r, d);
      if (std::fabs(r) < 1e-13 || ++iter_ == 200) mode_ = Mode::Done;
    }
    return mode_ != Mode::Done;
  }

  double result() const noexcept { return L_ < 0 ? 1 - root_ : root_; }

 private:
  enum class Mode { Bisect, Newton, Done };

  double f(double x) const noexcept {
    if (x <= 0 || x >= 1) return std::numeric_limits<double>::infinity();
    return (std::log(x / (1 - x)) + lam_) + (1 - 2 * x) * omega_;
  }

  double L_ = 0, lam_ = 0, omega_ = 0;
  double lo_ = 0, hi_ = 0, f_lo_ = 0, root_ = 0;
  int iter_ = 0;
  Mode mode_ = Mode::Done;
};

inline double equilibrium_fraction(double L, double omega) noexcept {
  FractionSolver solver(L, omega);
  while (solver.step()) {
  }
  return solver.result();
}

// Properties of one state from its reduced Gibbs energy.
inline Props13 properties(const Reduced& s, double T, double P_pa) noexcept {
  constexpr double inf = std::numeric_limits<double>::infinity();
  Props13 o;
  o.rho = RHO0 / s.g_p;
  o.V = 1 / o.rho;
  o.S = -R * s.g_t - A1_REF;
  o.G = R_TC * s.g + (A1_REF * T + A0_REF);
  o.H = o.G + T * o.S;
  o.U = o.H - P_pa * o.V;
  o.A = o.G - P_pa * o.V;
  const double tau = T / Tc;
  o.Cp = -R * tau * s.g_tt;
  o.alpha = s.g_tp / s.g_p / Tc;
  const double kT = -s.g_pp / s.g_p / P_STAR;
  if (kT > 0) {
    o.Kt = (kT == inf) ? inf : 1 / kT / 1000000.0;
    o.Cv = (kT == inf) ? o.Cp : o.Cp - T * o.alpha * o.alpha / (o.rho * kT);
  } else {
    o.Kt = inf;
    o.Cv = o.Cp;
  }
  const double kS = (o.Cp > 0) ? kT - T * o.V * o.alpha * o.alpha / o.Cp : kT;
  o.Ks = (kS > 0) ? 1 / kS / 1000000.0 : inf;
  o.vel = (kS > 0 && o.rho > 0) ? std::sqrt(1 / (o.rho * kS))
                                 : std::numeric_limits<double>::quiet_NaN();
  return o;
}

// Everything of a point that does not depend on the fraction x.
struct PointSetup {
  double T, P, tau;
  Reduced gb;
  Field fl;
  double omega;
};

inline PointSetup setup(double T, double P_MPa) noexcept {
  const double P = P_MPa * 1000000.0;
  const double tau = T / Tc;
  const double pi = (P0 + P) / P_STAR;
  const double dT = tau - 1;
  const double dP = P / P_STAR;
  return PointSetup{T, P, tau, background(tau, pi), field(dT, dP), interaction(dP)};
}

// The three states' properties once the equilibrium fraction is known.
inline PointResult finish(const PointSetup& s, double x) noexcept {
  const double tau = s.tau;
  const Field& fl = s.fl;
  const Reduced& gb = s.gb;
  const double omega = s.omega;

  // Mixing terms. chi is the susceptibility of x: the shift of x with T and P
  // enters the second derivatives through it.
  const double y = (x + x) - 1;
  const double h = 1 - y * y;
  const double chi = (std::fabs(h) > 1e-30) ? 1 / (2 / h - omega) : 0.0;
  double gmix;
  if (x > 1e-300 && x < 1) {
    gmix = x * fl.L + x * std::log(x) + (1 - x) * std::log(1 - x) + omega * x * (1 - x);
  } else if (x <= 1e-300) {
    gmix = 0;
  } else {
    gmix = fl.L;
  }

  Reduced mix;
  mix.g = gb.g + tau * gmix;
  mix.g_t = gb.g_t + gmix + tau * x * fl.L_t;
  mix.g_p = 0.5 * tau * (2 * x * fl.L_p + HALF_OMEGA0 * h) + gb.g_p;
  mix.g_tt = gb.g_tt + 2 * x * fl.L_t + tau * x * fl.L_tt - tau * chi * fl.L_t * fl.L_t / 2;
  const double lp_shift = fl.L_p - OMEGA0 * y;
  mix.g_tp = gb.g_tp + x * fl.L_p + OMEGA0 * x * (1 - x) + tau * x * fl.L_tp -
             tau * chi * fl.L_t * lp_shift / 2;
  mix.g_pp = gb.g_pp + tau * (x * fl.L_pp - chi * lp_shift * lp_shift / 2);

  Reduced b;
  b.g = gb.g + tau * fl.L;
  b.g_t = gb.g_t + fl.L + tau * fl.L_t;
  b.g_p = gb.g_p + tau * fl.L_p;
  b.g_tt = gb.g_tt + 2 * fl.L_t + tau * fl.L_tt;
  b.g_tp = gb.g_tp + fl.L_p + tau * fl.L_tp;
  b.g_pp = gb.g_pp + tau * fl.L_pp;

  PointResult r;
  r.mix = properties(mix, s.T, s.P);
  r.x = x;
  r.a = properties(gb, s.T, s.P);
  r.b = properties(b, s.T, s.P);
  return r;
}

inline PointResult holten_point(double T, double P_MPa) noexcept {
  const PointSetup s = setup(T, P_MPa);
  return finish(s, equilibrium_fraction(s.fl.L, s.omega));
}

}  // namespace tessarin::holten
