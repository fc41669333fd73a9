// Liquid-liquid binodal (coexistence curve) of a two-state model.
//
// Between the two spinodal temperatures of a pressure the equilibrium
// condition has two stable roots x_lo < x_hi; they coexist where their mixing
// Gibbs energies are equal. The difference g(x_hi) - g(x_lo) is sampled on 30
// temperatures spaced geometrically downward from the upper spinodal (the
// coexistence temperature sits close to it near the critical point, where
// the interval is narrow), the first sign change from the top is taken as a
// bracket and refined by bisection.
//
// Pure C++; the model enters as a type with a static
// two_state_params(T, P) (see models.hpp).
#pragma once
#include <cmath>
#include <cstddef>
#include <limits>
#include <vector>

#include "phase/roots.hpp"
#include "two_state.hpp"

namespace tessarin::phase {

struct BinodalResult {
  std::vector<double> T_K;    // copy of T_binodal
  std::vector<double> p_MPa;  // copy of p_array
  std::vector<double> x;      // copy of x_lo
  std::vector<double> T_binodal;
  std::vector<double> x_lo;  // coexisting fractions at T_binodal
  std::vector<double> x_hi;
  std::vector<double> p_array;  // pressures of the points, in input order

  // The result when no point yields a coexistence temperature: the critical
  // point alone, where the two phases merge at x = 0.5.
  static BinodalResult empty(double t_llcp, double p_llcp) {
    BinodalResult r;
    r.T_K = {t_llcp};
    r.p_MPa = {p_llcp};
    r.x = {0.5};
    return r;
  }
};

// g(x_hi) - g(x_lo) at (T, P), the roots taken from find_roots_from_params
// and clamped into (0, 1) for the logarithms. NaN where F has no pair of
// stable roots (W <= 0, 1 - 2 theta/W <= 0) or a root is NaN.
template <class Model>
double branch_gibbs_difference(double T, double P) noexcept {
  const TwoStateParams q = Model::two_state_params(T, P);
  const auto [r_lo, r_hi] = find_roots_from_params(q);
  // Checked before clamping: the clamp would turn NaN into a bound.
  if (std::isnan(r_lo) || std::isnan(r_hi)) return std::numeric_limits<double>::quiet_NaN();
  const double L = q.field, theta = q.entropy_weight, W = q.interaction;
  return mixing_gibbs(L, theta, W, clamp_fraction(r_hi)) -
         mixing_gibbs(L, theta, W, clamp_fraction(r_lo));
}

// Sample temperatures per point, and the halvings that refine a bracket
// between two of them.
inline constexpr int BINODAL_SAMPLES = 30;
inline constexpr int BINODAL_HALVINGS = 25;

// Binodal for the spinodal points (S_p[k], S_u[k], S_l[k]), k < S_p.size();
// S_u and S_l must hold at least as many values. t_llcp and p_llcp serve only
// the empty result.
template <class Model>
BinodalResult compute_binodal(const std::vector<double>& S_p, const std::vector<double>& S_u,
                              const std::vector<double>& S_l, double t_llcp, double p_llcp) {
  constexpr double nan = std::numeric_limits<double>::quiet_NaN();
  const std::size_t n = S_p.size();
  if (n == 0) return BinodalResult::empty(t_llcp, p_llcp);

  BinodalResult r;
  // Each point is searched on its own; nothing carries over between points.
  for (std::size_t k = 0; k < n; ++k) {
    const double P = S_p[k];
    const double t_lo = S_l[k] + 1e-4;
    const double t_hi = S_u[k] - 1e-4;
    if (!(t_hi > t_lo)) continue;  // empty, inverted or NaN interval
    const double width = t_hi - t_lo;

    // Offsets below t_hi grow geometrically from 1e-4 K to the width (at
    // least 0.001 K): dense near the upper spinodal.
    const double span = std::fmax(width, 0.001) / 1e-4;
    double Ts[BINODAL_SAMPLES], D[BINODAL_SAMPLES];
    for (int j = 0; j < BINODAL_SAMPLES; ++j) {
      const double offset =
          1e-4 * std::pow(span, static_cast<double>(j) / (BINODAL_SAMPLES - 1));
      const double T = t_hi - offset;
      D[j] = nan;
      if (!(T > t_lo)) {
        // Below the interval (the last row always, several rows when the
        // interval is narrower than 0.001 K): not sampled.
        Ts[j] = t_llcp;
        continue;
      }
      Ts[j] = T;
      if (T == t_llcp) continue;
      D[j] = branch_gibbs_difference<Model>(T, P);
    }

    // The first sign change counted from the upper spinodal.
    int j_found = -1;
    for (int j = 0; j + 1 < BINODAL_SAMPLES; ++j) {
      if (!std::isnan(D[j]) && !std::isnan(D[j + 1]) && D[j] * D[j + 1] < 0) {
        j_found = j;
        break;
      }
    }
    if (j_found < 0) continue;

    const double lo = std::fmin(Ts[j_found], Ts[j_found + 1]);
    const double hi = std::fmax(Ts[j_found], Ts[j_found + 1]);
    // A NaN difference moves the upper end.
    const auto D_at = [&](double T) { return branch_gibbs_difference<Model>(T, P); };
    const double T_b = two_state::bisect_sign_change(lo, hi, D_at(lo), BINODAL_HALVINGS, D_at);
    const auto [x_lo, x_hi] = find_roots_from_params(Model::two_state_params(T_b, P));
    if (std::isnan(T_b) || std::isnan(x_lo) || std::isnan(x_hi)) continue;

    r.T_binodal.push_back(T_b);
    r.x_lo.push_back(x_lo);
    r.x_hi.push_back(x_hi);
    r.p_array.push_back(P);
  }
  if (r.T_binodal.empty()) return BinodalResult::empty(t_llcp, p_llcp);
  r.T_K = r.T_binodal;
  r.p_MPa = r.p_array;
  r.x = r.x_lo;
  return r;
}

}  // namespace tessarin::phase
