#include "phase_eq/spline_phases.hpp"

#include <vector>

#include "seafreeze/kernel.hpp"
#include "seafreeze/table.hpp"

namespace tessarin::phase_eq {

namespace {

// The spline's G with its first derivatives, from the same evaluation the
// phase properties use, so that energies compared here are those that
// tessarin reports. Inside the knot range (where a phase competes) this is
// the basis route, the fastest one.
Gibbs spline_gibbs(const void* ctx, double p, double t) noexcept {
  const auto d = seafreeze::gibbs_derivs(*static_cast<const seafreeze::Spline2D*>(ctx), p, t);
  return {d.g, d.gp, d.gt};
}

std::vector<Phase> build() {
  std::vector<Phase> out;
  for (const PhaseName& entry : SEAFREEZE_PHASES) {
    const seafreeze::Spline2D* s = seafreeze::get_phase(entry.name);
    if (!s || s->knots_p.empty() || s->knots_t.empty()) continue;
    out.push_back({entry.number,
                   {s->knots_p.front(), s->knots_p.back(), s->knots_t.front(), s->knots_t.back()},
                   s,
                   &spline_gibbs});
  }
  return out;
}

}  // namespace

const char* seafreeze_phase_name(int number) noexcept {
  for (const PhaseName& entry : SEAFREEZE_PHASES)
    if (entry.number == number) return entry.name;
  return nullptr;
}

Phases seafreeze_phases() {
  static const std::vector<Phase> phases = build();
  return phases;
}

}  // namespace tessarin::phase_eq
