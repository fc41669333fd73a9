// The SeaFreeze phases as competitors for stability: liquid water ("water1",
// the liquid the ice splines were fitted against) and the ices, each with
// its Gibbs-energy spline over its knot range, numbered as SeaFreeze numbers
// them.
#pragma once
#include <span>

#include "phase_eq/equilibria.hpp"

namespace tessarin::phase_eq {

struct PhaseName {
  int number;
  const char* name;
};

// In order of number; ice IV is not represented, so 4 is unused.
inline constexpr PhaseName SEAFREEZE_PHASES[] = {{0, "water1"}, {1, "Ih"}, {2, "II"},
                                                 {3, "III"},    {5, "V"},  {6, "VI"},
                                                 {7, "VII_X_French"}};

// The name of phase `number`, or null.
const char* seafreeze_phase_name(int number) noexcept;

// The set in the order of SEAFREEZE_PHASES, built from the embedded splines on
// first use (thread-safe) and unchanged afterwards.
Phases seafreeze_phases();

}  // namespace tessarin::phase_eq
