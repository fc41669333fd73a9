// Ice and brine: the liquid water of aqueous NaCl at a given molality
// competing with the SeaFreeze ices.
//
// The brine enters the kernels of equilibria.hpp as one more phase, numbered
// 0 like the pure liquid, whose Gibbs energy per unit mass of water is the
// chemical potential of its water over the molar mass of water, muw / M_w,
// with the slopes Vw / M_w in pressure and -Sw / M_w in temperature (Vw and
// Sw water's partial molar volume and entropy). An ice is then stable where
// M_w G_ice < muw and its G is the least among the ices, and ice and brine
// coexist where muw = M_w G_ice: the comparisons and searches are those of
// the pure phases, unchanged.
//
// Where the brine competes: inside the union of the knot boxes of the
// material's splines whose molality range holds m (for the joined material,
// LP below 1001 MPa within 229.9-501 K and m up to 7 mol/kg, HP from
// 499.9 MPa). The ices compete inside their knot ranges, as without salt.
//
// Pure C++: no Python types, no allocation, never throws; numerical trouble
// and points outside the ranges give NaN (or -1 for a phase index).
#pragma once
#include "nacl/props.hpp"
#include "phase_eq/equilibria.hpp"

namespace tessarin::phase_eq {

// The liquid of `material` at molality m (mol/kg). Its phase points at the
// object, which must outlive every use of the phase.
struct Brine {
  const nacl::Material* material;
  double m;

  // The brine as phase number 0, competing inside `range` (normally a box
  // from brine_range).
  Phase phase(const Box& range) const noexcept;
};

// The part of `query` where the brine of `material` at molality m is valid:
// the bounding box of the intersections of `query` with the (P, T) knot
// boxes of the material's splines whose molality range holds m; empty when
// there is none (so for a NaN m). The joined material's two boxes overlap in
// both pressure and temperature, so any slice of their union at one pressure
// or one temperature is a single interval and this box is exactly the slice;
// for a point it is the point or empty.
Box brine_range(const nacl::Material& material, double m, const Box& query) noexcept;

// The ices of the SeaFreeze set (every phase but the pure liquid), built on
// first use from seafreeze_phases(); may throw there, as it does.
Phases seafreeze_ices();

// Number of the stable phase at (p, t) with brine of molality m: 0 for the
// brine, otherwise the ice's number (least Gibbs energy among the phases
// whose range holds the point; ties go to the ice). -1 where no phase
// competes there, and wherever m lies outside the material's molality range
// or a coordinate is NaN.
int stable_with_brine(Phases ices, const nacl::Material& material, double p, double t,
                      double m) noexcept;

// Coexistence of `ice` with brine of molality m at the fixed temperature
// (Solve::Pressure) or pressure (Solve::Temperature) `fixed`: the search of
// `coexistence` inside the overlap of the ice's range and the brine's at
// that value, with "stable" meaning that no other ice of `ices` is lower.
Coexistence ice_brine(const Phase& ice, Phases ices, const nacl::Material& material, double m,
                      Solve solve, double fixed) noexcept;

// Residual |G_ice - G_brine| (J/kg of water) below which a freezing point
// counts as an equality. Converged roots leave about 1e-6 J/kg (a step of
// 1e-12 relative in T times an entropy difference of about 1e3 J/(kg K));
// the jumps of the least ice's energy at the end of an ice's range are
// differences between two ices, normally joules per kilogram.
inline constexpr double FREEZING_RESIDUAL = 1e-4;

// Temperature (K) at which brine of molality m freezes at pressure p: the
// coexistence of the brine with the ice stable there, whichever of `ices`
// it is. NaN where the brine coexists with no ice inside its range at p.
//
// The stable ice is the one of least Gibbs energy, so the freezing point is
// a root in T of G_brine - min over the ices of G_ice: one coexistence
// search with "the lowest ice" as a phase, instead of one per ice. The
// difference falls with T (the liquid's water has the larger entropy), so
// there is normally one root; where the splines give more (the
// VII_X_French spline falls below the brine again above about 950 K at
// 1.7-3 GPa), the lowest is taken, as coexistence does. The lowest ice's
// energy jumps where an ice's range ends; a bracket that closes on such a
// jump instead of a root (residual above FREEZING_RESIDUAL) gives NaN.
double freezing_point(Phases ices, const nacl::Material& material, double p, double m) noexcept;

}  // namespace tessarin::phase_eq
