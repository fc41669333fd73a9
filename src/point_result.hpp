// The per-point record of the liquid-water models and the names of its
// forty values.
#pragma once
#include <cstddef>

namespace tessarin {

// The thirteen properties of one state, in dictionary order: of one point
// (F = double) or of several at once (F a simd::Vec, one lane per point).
// Units: rho kg/m3, V m3/kg, S Cp Cv J/(kg K), G H U A J/kg, Kt Ks MPa
// (bulk moduli), alpha 1/K, vel m/s.
template <class F>
struct PropsOf {
  F rho, V, S, G, H, U, A, Cp, Cv, Kt, Ks, alpha, vel;
};
using Props13 = PropsOf<double>;

// The properties of the point in lane l.
template <class V>
inline Props13 lane_of(const PropsOf<V>& s, int l) noexcept {
  return {s.rho[l], s.V[l],  s.S[l],  s.G[l],  s.H[l],     s.U[l],  s.A[l],
          s.Cp[l],  s.Cv[l], s.Kt[l], s.Ks[l], s.alpha[l], s.vel[l]};
}

// Equilibrium mixture, fraction x of state B, pure state A, pure state B.
struct PointResult {
  Props13 mix;
  double x;
  Props13 a;
  Props13 b;
};

inline constexpr std::size_t POINT_RESULT_SIZE = 40;
static_assert(sizeof(Props13) == 13 * sizeof(double));
static_assert(sizeof(PointResult) == POINT_RESULT_SIZE * sizeof(double));

inline constexpr const char* POINT_RESULT_KEYS[POINT_RESULT_SIZE] = {
    "rho",   "V",    "S",    "G",    "H",    "U",    "A",    "Cp",   "Cv",   "Kt",
    "Ks",    "alpha", "vel", "x",    "rho_A", "V_A", "S_A",  "G_A",  "H_A",  "U_A",
    "A_A",   "Cp_A", "Cv_A", "Kt_A", "Ks_A", "alpha_A", "vel_A", "rho_B", "V_B", "S_B",
    "G_B",   "H_B",  "U_B",  "A_B",  "Cp_B", "Cv_B", "Kt_B", "Ks_B", "alpha_B", "vel_B"};

}  // namespace tessarin
