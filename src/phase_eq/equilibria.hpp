// Phase equilibria from Gibbs energies: the stable phase at a point, the
// coexistence of two phases along a line of fixed temperature or pressure,
// and the triple points where three phases coexist.
//
// A phase enters only through its Gibbs energy per unit mass of water and
// the box of (P, T) in which that energy is trusted, so the kernels do not
// know what the phases are: the SeaFreeze splines (spline_phases.hpp) are one
// set, and a liquid given by the chemical potential of its water (a solution,
// say) slots in as another Phase with its own evaluator.
//
// Pure C++: no Python types, no allocation per point, never throws (except
// std::bad_alloc from the triple-point list); numerical trouble gives NaN.
#pragma once
#include <cstddef>
#include <span>
#include <vector>

namespace tessarin::phase_eq {

// Gibbs energy per unit mass of water, J/kg, and its first derivatives:
// gp = dG/dP in J/(kg MPa) (the specific volume times 1e6), gt = dG/dT in
// J/(kg K) (minus the specific entropy). P in MPa, T in K.
struct Gibbs {
  double g, gp, gt;
};

// A closed box in (P, T), MPa and K; bounds included.
struct Box {
  double p_lo, p_hi, t_lo, t_hi;

  // False for NaN coordinates.
  bool contains(double p, double t) const noexcept {
    return p >= p_lo && p <= p_hi && t >= t_lo && t <= t_hi;
  }
  bool empty() const noexcept { return !(p_lo <= p_hi && t_lo <= t_hi); }
  Box intersect(const Box& o) const noexcept;
};

// One phase that competes for stability. `gibbs` must be safe to call from
// several threads at once with the same context, and give finite values
// everywhere in `range`.
struct Phase {
  int number;  // the phase's number in results
  Box range;   // where it competes
  const void* ctx;
  Gibbs (*gibbs)(const void* ctx, double p, double t) noexcept;

  Gibbs at(double p, double t) const noexcept { return gibbs(ctx, p, t); }
};

using Phases = std::span<const Phase>;

// Index in `phases` of the phase of least Gibbs energy at (p, t) among those
// whose range contains the point, or -1 when none does (or a coordinate is
// NaN). Ties go to the earlier phase. `g_min`, when given, receives the least
// energy (NaN for -1).
int stable_index(Phases phases, double p, double t, double* g_min = nullptr) noexcept;

// True when no phase of `phases` other than those numbered skip_a, skip_b
// (and skip_c) whose range contains (p, t) has a Gibbs energy below g.
bool lowest(Phases phases, double p, double t, double g, int skip_a, int skip_b,
            int skip_c = -1) noexcept;

// Which variable a coexistence search solves for; the other one is fixed.
enum class Solve { Pressure, Temperature };

struct Coexistence {
  double p, t;  // MPa, K; NaN where there is no root
  bool stable;  // no third phase of the set is lower there
};

// Intervals into which the free variable's range is cut when looking for
// sign changes of the Gibbs-energy difference, each sample costing one
// evaluation of both phases; an interval whose end slopes betray two hidden
// roots is halved up to HIDDEN_ROOT_SPLITS times (see coexistence). Eight
// intervals keep a coexistence point at about 25 evaluations, the sampling
// half of them.
inline constexpr int LINE_INTERVALS = 8;
inline constexpr int HIDDEN_ROOT_SPLITS = 3;

// The point where G_a = G_b at the fixed temperature (Solve::Pressure) or
// pressure (Solve::Temperature) `fixed`, inside `box` (normally the overlap of
// both phases' ranges; the fixed value must lie in its range too).
//
// The difference dG = G_a - G_b is sampled at LINE_INTERVALS + 1 evenly
// spaced values of the free variable over the box; every sign change
// brackets a root. An interval without a sign change whose end slopes point
// towards zero from both sides may hide two roots, so it is halved (its
// halves again, HIDDEN_ROOT_SPLITS deep) while that holds. In each bracket the root is found by Newton steps on dG with
// its exact derivative (the volume difference in P, minus the entropy
// difference in T), falling back to bisection whenever a step would leave
// the bracket. Of several roots the lowest one at which no third phase of
// `phases` has a lower Gibbs energy is returned; if there is none, the lowest
// root, marked not stable. No root in the box: NaN, not stable.
Coexistence coexistence(const Phase& a, const Phase& b, Phases phases, const Box& box,
                        Solve solve, double fixed) noexcept;

// (p, t) where G_a = G_b = G_c, by Newton's method in two variables from
// (p0, t0), every step kept inside `box` by halving it. NaN when the
// iteration does not converge there.
struct Point {
  double p, t;
};
Point triple_newton(const Phase& a, const Phase& b, const Phase& c, const Box& box, double p0,
                    double t0) noexcept;

struct TriplePoint {
  int a, b, c;  // indices into the phase set, a < b < c
  double p, t;
};

// Fixed-value samples of each pair's coexistence line per parametrisation
// when looking for triple points.
inline constexpr int TRIPLE_SAMPLES = 48;

// Every point where three phases of the set coexist and no fourth is lower.
// For each triple with a common range, each pair's coexistence line is
// followed at TRIPLE_SAMPLES + 1 fixed temperatures and then pressures across
// the common range; where the third phase's energy crosses the pair's, that
// crossing starts triple_newton. At most one point per triple (the first
// found); ordered by pressure.
std::vector<TriplePoint> triple_points(Phases phases);

}  // namespace tessarin::phase_eq
