// The liquid-liquid critical point of a two-state model, from the model's own
// two-state quantities.
//
// At the critical point the equilibrium condition
//     F(x) = L + theta ln(x/(1-x)) + W (1 - 2x)
// has a triple root at x = 1/2: F(1/2) = L = 0, and F'(1/2) = 4 theta - 2 W
// = 0, so W = 2 theta. In all four variants theta does not depend on P and W
// is linear in P, so at every temperature one pressure satisfies W = 2 theta;
// along that line the critical point is the temperature where L changes sign.
//
// Pure C++: no Python types, no allocation, never throws. NaN when L does not
// change sign over the bracket or the line is undefined.
#pragma once
#include <cmath>
#include <limits>
#include <utility>

#include "phase/models.hpp"
#include "two_state.hpp"

namespace tessarin::phase {

// Pressure (MPa) on the line W = 2 theta at temperature T. W being linear in
// P, two evaluations (at 0 and 1 MPa) give its intercept and slope.
template <class Model>
double pressure_on_critical_line(double T) noexcept {
  const TwoStateParams at0 = Model::two_state_params(T, 0.0);
  const TwoStateParams at1 = Model::two_state_params(T, 1.0);
  const double slope = at1.interaction - at0.interaction;
  return (2 * at0.entropy_weight - at0.interaction) / slope;
}

// (T in K, P in MPa) of the critical point between t_lo and t_hi. 64
// halvings take a bracket of a few hundred kelvin below the spacing of doubles
// near any temperature of interest; further halvings leave it unchanged.
template <class Model>
std::pair<double, double> critical_point(double t_lo, double t_hi) noexcept {
  constexpr double nan = std::numeric_limits<double>::quiet_NaN();
  auto field = [](double T) {
    return Model::two_state_params(T, pressure_on_critical_line<Model>(T)).field;
  };
  const double f_lo = field(t_lo);
  if (!(f_lo * field(t_hi) <= 0)) return {nan, nan};
  const double T = two_state::bisect_sign_change(t_lo, t_hi, f_lo, 64, field);
  return {T, pressure_on_critical_line<Model>(T)};
}

}  // namespace tessarin::phase
