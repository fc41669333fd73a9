// The two-state quantities (L, theta, W) of each model variant at one
// (T in K, P in MPa), for the phase-boundary searches: the model's own field
// and interaction, never their derivatives.
#pragma once
#include "caupin/model.hpp"
#include "duska/model.hpp"
#include "holten/model.hpp"
#include "phase/roots.hpp"

namespace tessarin::phase {

// Holten: entropy weight 1. The searches reduce the temperature as
// (T - Tc)/Tc, which for T near Tc, where the liquid-liquid region lies, is
// exact to the last bit; the point evaluation forms T/Tc first and then
// subtracts 1, which rounds differently.
struct HoltenTwoState {
  static TwoStateParams two_state_params(double T, double P) noexcept {
    const double dT = (T - holten::Tc) / holten::Tc;
    const double dP = P * 1e6 / holten::P_STAR;
    return {holten::field_value(dT, dP), 1.0, holten::interaction(dP)};
  }
};

// Caupin: entropy weight T/Tc. The model's interaction parameter omega is
// W/theta, so that F is the model's own equilibrium condition.
template <const caupin::CaupinParams& C>
struct CaupinTwoState {
  static TwoStateParams two_state_params(double T, double P) noexcept {
    const caupin::Coords<double> r = caupin::reduce(T, P, C);
    return {caupin::field(r.dT, r.dP, C), r.Th, caupin::interaction_W(r.dP, C)};
  }
};

using CaupinTableIIITwoState = CaupinTwoState<caupin::CAUPIN_TABLE_III>;
using CaupinTableIITwoState = CaupinTwoState<caupin::CAUPIN_TABLE_II>;

// Duska: reduced by the liquid-vapour critical point; entropy weight tau.
struct DuskaTwoState {
  static TwoStateParams two_state_params(double T, double P) noexcept {
    const double tau = duska::reduced_temperature(T), pi = duska::reduced_pressure(P);
    return {duska::field_value_by_pressure(tau, pi), tau, duska::interaction_value_by_pressure(tau, pi)};
  }
};

}  // namespace tessarin::phase
