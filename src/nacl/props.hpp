// Properties of aqueous NaCl from its Gibbs-energy spline g(P, T, m): those
// of the solution as a phase, and the partial molar and apparent quantities
// of salt and water.
//
// Per kg of water the solution has the Gibbs energy f g, with f = 1 + m M_s
// kg of solution, so the chemical potentials are the m derivative of f g
// (salt) and M_w (f g - m d(f g)/dm) (water); the partial molar volumes and
// heat capacities follow from them by P and T derivatives. Pure water is
// represented by water's own partial quantities in the spline at the
// baseline molality c.
//
// Pure C++: no Python types, no allocation, never throws.
#pragma once
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>
#include <numbers>

#include "nacl/spline.hpp"
#include "seafreeze/props.hpp"

namespace tessarin::nacl {

inline constexpr double WATER_MOLAR_MASS = 0.018015268;  // kg/mol
inline constexpr double GAS_CONSTANT = 8.3144;           // J/(mol K)

// One point's properties. Units: G H U A J/kg, rho kg/m3, V m3/kg, S Cp Cv
// J/(kg K), alpha 1/K, Kt Ks MPa, Kp dimensionless, vel m/s, Js K/MPa,
// gamma_Gruneisen dimensionless; mus muw J/mol, Vm Vw Va Vex cm3/mol, Cpm Cpa
// J/(mol K), aw phi xs xw dimensionless, f kg of solution per kg of water.
struct SolutionProps {
  double G, rho, V, S, H, U, A, Cp, Cv, alpha, Kt, Kp, Ks, vel, Js, gamma_Gruneisen;
  double mus, muw, Vm, Vw, Cpm, Va, Cpa, aw, phi, Vex, xs, xw, f;
};
inline constexpr std::size_t SOLUTION_PROPS_SIZE = 29;
static_assert(sizeof(SolutionProps) == SOLUTION_PROPS_SIZE * sizeof(double));

// Dictionary keys in field order.
inline constexpr const char* SOLUTION_KEYS[SOLUTION_PROPS_SIZE] = {
    "G",   "rho", "V",  "S",  "H",   "U",  "A",  "Cp", "Cv", "alpha",
    "Kt",  "Kp",  "Ks", "vel", "Js", "gamma_Gruneisen",
    "mus", "muw", "Vm", "Vw", "Cpm", "Va", "Cpa", "aw", "phi", "Vex", "xs", "xw", "f"};

// x / y, NaN when y is exactly zero (the divisor guards of the pure phases).
inline double guarded_div(double x, double y) noexcept {
  return y == 0 ? std::numeric_limits<double>::quiet_NaN() : x / y;
}

// Of a quantity f x per kg of water (x per kg of solution, f = 1 + m M_s kg
// of solution per kg of water), the water's partial specific part:
// f x - m d(f x)/dm = x - m f x_m.
inline double water_share(double x, double xm, double m, double f) noexcept {
  return x - m * f * xm;
}

// The chemical potential of water in the solution, J/mol, and its slopes:
// in pressure the partial molar volume of water (cm3/mol, which is
// J/(mol MPa)), in temperature minus its partial molar entropy (J/(mol K)).
struct WaterPotential {
  double mu, mu_p, mu_t;
};

inline WaterPotential water_potential(const Spline3D& s, const SolutionDerivs& d,
                                      double m) noexcept {
  const double mw = WATER_MOLAR_MASS, f = 1 + m * s.solute_molar_mass;
  return {mw * water_share(d.g, d.gm, m, f), mw * water_share(d.gp, d.gpm, m, f),
          mw * water_share(d.gt, d.gtm, m, f)};
}

// The properties of one spline at (p, t, m) from its derivatives there.
inline SolutionProps props_from_derivs(const Spline3D& s, const SolutionDerivs& d, double p,
                                       double t, double m) noexcept {
  // The solution as a phase: the pure-phase formulas, unit factors included.
  const seafreeze::Props ph = seafreeze::props_from_derivs(
      {d.g, d.gp, d.gt, d.gpp, d.gtt, d.gpt, d.gppp}, p, t, nullptr);
  SolutionProps r;
  r.G = ph.G;
  r.rho = ph.rho;
  r.V = ph.V;
  r.S = ph.S;
  r.H = ph.H;
  r.U = ph.U;
  r.A = ph.A;
  r.Cp = ph.Cp;
  r.Cv = ph.Cv;
  r.alpha = ph.alpha;
  r.Kt = ph.Kt;
  r.Kp = ph.Kp;
  r.Ks = ph.Ks;
  r.vel = ph.vel;
  r.Js = guarded_div(-d.gpt, d.gtt);  // (dT/dP) at constant entropy
  r.gamma_Gruneisen = guarded_div(1e6 * r.alpha * r.Ks, r.rho * r.Cp);

  const double ms = s.solute_molar_mass, mw = WATER_MOLAR_MASS;
  const double c = BASELINE_MOLALITY;
  const double f = 1 + m * ms;
  const double fc = 1 + c * ms;
  // Of a quantity f x per kg of water, the salt's partial molar part is
  // d(f x)/dm = M_s x + f x_m (the water's is water_share).
  const auto salt = [ms](double x, double xm, double fm) { return ms * x + fm * xm; };
  const WaterPotential w = water_potential(s, d, m);
  r.f = f;
  r.mus = salt(d.g, d.gm, f);
  r.muw = w.mu;
  r.Vm = salt(d.gp, d.gpm, f);
  r.Vw = w.mu_p;
  r.Cpm = -t * salt(d.gtt, d.gttm, f);
  // Per mole of salt against pure water, for which water's own partial
  // quantities at c stand. The solution's g, g_P and Cp at c would not do:
  // they hold the salt's share too (with its ideal-mixing c ln c), which
  // biases phi by about -0.0017/m and makes Va and Cpa tend to M_s g_P and
  // M_s Cp as m -> c instead of to Vm and Cpm there.
  r.Va = guarded_div(f * d.gp - water_share(d.gp_c, d.gpm_c, c, fc), m);
  r.Cpa = guarded_div(f * r.Cp - (-t * water_share(d.gtt_c, d.gttm_c, c, fc)), m);
  const double ln_aw = (r.muw - mw * water_share(d.g_c, d.gm_c, c, fc)) / (GAS_CONSTANT * t);
  r.aw = std::exp(ln_aw);
  r.phi = guarded_div(-ln_aw, s.ions * m * mw);
  r.Vex = r.Va - salt(d.gp_c, d.gpm_c, fc);
  const double ions = s.ions * m;
  r.xs = ions / (ions + 1 / mw);
  r.xw = 1 - r.xs;
  return r;
}

// A NaN coordinate gives NaN in every field, the composition terms included.
inline SolutionProps solution_props(const Spline3D& s, double p, double t, double m) noexcept {
  if (std::isnan(p) || std::isnan(t) || std::isnan(m)) return all_nan<SolutionProps>();
  return props_from_derivs(s, solution_derivs(s, p, t, m), p, t, m);
}

// A material: one spline, or the low- and high-pressure splines joined
// across the pressure range they share.
struct Material {
  const char* name;
  const Spline3D* low;
  const Spline3D* high;  // null for a single spline
};

// Weight w of the high-pressure spline at (p, t), and its slope dw/dP in
// 1/MPa: 0 up to the first pressure knot of `high`, 1 from the last pressure
// knot of `low` on, and between them a half cosine in pressure, whose slope
// vanishes at both ends so that the blended properties join each spline
// smoothly. Where `low` is not defined in temperature (outside its knot
// range) `high` is used alone.
struct Blend {
  double w, slope;
};

inline Blend blend_weight(const Spline3D& low, const Spline3D& high, double p, double t) noexcept {
  const double lo = high.knots[0].front(), hi = low.knots[0].back();
  if (p <= lo) return {0.0, 0.0};
  if (p >= hi) return {1.0, 0.0};
  if (t < low.knots[1].front() || t > low.knots[1].back()) return {1.0, 0.0};
  const double x = std::numbers::pi * (p - lo) / (hi - lo);
  return {0.5 * (1 - std::cos(x)), 0.5 * std::numbers::pi * std::sin(x) / (hi - lo)};
}

// A blended output: (1 - w) x_low + w x_high.
inline double mix(double x_low, double x_high, double w) noexcept {
  return (1 - w) * x_low + w * x_high;
}

// The properties of a material at (p, t, m); a joined material blends every
// property, X = (1 - w) X_low + w X_high, evaluating each spline only where
// its weight is not zero.
inline SolutionProps material_props(const Material& mat, double p, double t, double m) noexcept {
  if (!mat.high) return solution_props(*mat.low, p, t, m);
  const double w = blend_weight(*mat.low, *mat.high, p, t).w;
  if (w == 0) return solution_props(*mat.low, p, t, m);
  if (w == 1) return solution_props(*mat.high, p, t, m);
  const SolutionProps a = solution_props(*mat.low, p, t, m);
  const SolutionProps b = solution_props(*mat.high, p, t, m);
  double x[SOLUTION_PROPS_SIZE], y[SOLUTION_PROPS_SIZE], out[SOLUTION_PROPS_SIZE];
  std::memcpy(x, &a, sizeof a);
  std::memcpy(y, &b, sizeof b);
  for (std::size_t k = 0; k < SOLUTION_PROPS_SIZE; ++k) out[k] = mix(x[k], y[k], w);
  SolutionProps r;
  std::memcpy(&r, out, sizeof r);
  return r;
}

// The chemical potential of water in a material at (p, t, m), NaN for a NaN
// coordinate. Where a joined material blends, mu is blended like every
// property (so it is the "muw" of material_props) and its slopes are those
// of the blended mu: the temperature slope is the blend of the slopes, the
// pressure slope gains w'(P) (mu_high - mu_low), without which it would not
// be the derivative that a root search on mu needs.
inline WaterPotential material_water_potential(const Material& mat, double p, double t,
                                               double m) noexcept {
  const auto one = [&](const Spline3D& s) {
    return water_potential(s, solution_derivs(s, p, t, m), m);
  };
  if (!mat.high) return one(*mat.low);
  const Blend b = blend_weight(*mat.low, *mat.high, p, t);
  if (b.w == 0) return one(*mat.low);
  if (b.w == 1) return one(*mat.high);
  const WaterPotential x = one(*mat.low), y = one(*mat.high);
  return {mix(x.mu, y.mu, b.w), mix(x.mu_p, y.mu_p, b.w) + b.slope * (y.mu - x.mu),
          mix(x.mu_t, y.mu_t, b.w)};
}

}  // namespace tessarin::nacl
