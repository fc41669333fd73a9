#include "phase_eq/brine.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <iterator>
#include <limits>
#include <vector>

#include "nacl/table.hpp"
#include "phase_eq/spline_phases.hpp"

namespace tessarin::phase_eq {

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double INF = std::numeric_limits<double>::infinity();

// The number of the phase that stands for "the lowest ice" in the freezing
// search; no real phase has it.
constexpr int LOWEST_ICE = -2;

Gibbs brine_gibbs(const void* ctx, double p, double t) noexcept {
  const Brine& b = *static_cast<const Brine*>(ctx);
  const nacl::WaterPotential w = nacl::material_water_potential(*b.material, p, t, b.m);
  constexpr double mw = nacl::WATER_MOLAR_MASS;
  return {w.mu / mw, w.mu_p / mw, w.mu_t / mw};
}

// The ices followed by one brine, on the stack: the set of phases a point
// competes in. The brine comes last so that ties go to the ice.
class WithBrine {
 public:
  WithBrine(Phases ices, const Phase& brine) noexcept {
    for (const Phase& ice : ices)
      if (n_ + 1 < list_.size()) list_[n_++] = ice;
    list_[n_++] = brine;
  }
  Phases phases() const noexcept { return {list_.data(), n_}; }

 private:
  std::array<Phase, std::size(SEAFREEZE_PHASES)> list_;
  std::size_t n_ = 0;
};

// The least Gibbs energy among the ices (ctx: their Phases) whose range
// holds (p, t), with that ice's slopes; NaN where none does.
Gibbs lowest_ice_gibbs(const void* ctx, double p, double t) noexcept {
  const Phases& ices = *static_cast<const Phases*>(ctx);
  const int k = stable_index(ices, p, t);
  return k < 0 ? Gibbs{NaN, NaN, NaN} : ices[k].at(p, t);
}

Box hull(const Box& a, const Box& b) noexcept {
  return {std::min(a.p_lo, b.p_lo), std::max(a.p_hi, b.p_hi), std::min(a.t_lo, b.t_lo),
          std::max(a.t_hi, b.t_hi)};
}

constexpr Box NOTHING{INF, -INF, INF, -INF};

// The slice of the brine's range at one fixed temperature or pressure.
Box brine_slice(const nacl::Material& material, double m, Solve solve, double fixed) noexcept {
  const Box query = solve == Solve::Pressure ? Box{-INF, INF, fixed, fixed}
                                             : Box{fixed, fixed, -INF, INF};
  return brine_range(material, m, query);
}

}  // namespace

Phase Brine::phase(const Box& range) const noexcept { return {0, range, this, &brine_gibbs}; }

Box brine_range(const nacl::Material& material, double m, const Box& query) noexcept {
  Box out = NOTHING;
  for (const nacl::Spline3D* s : {material.low, material.high}) {
    if (!s) continue;
    const auto& k = s->knots;
    if (!(m >= k[2].front() && m <= k[2].back())) continue;
    const Box part =
        Box{k[0].front(), k[0].back(), k[1].front(), k[1].back()}.intersect(query);
    if (!part.empty()) out = hull(out, part);
  }
  return out;
}

Phases seafreeze_ices() {
  static const std::vector<Phase> ices = [] {
    std::vector<Phase> out;
    for (const Phase& ph : seafreeze_phases())
      if (ph.number != 0) out.push_back(ph);
    return out;
  }();
  return ices;
}

int stable_with_brine(Phases ices, const nacl::Material& material, double p, double t,
                      double m) noexcept {
  const auto [m_lo, m_hi] = nacl::knot_range(material, 2);
  if (!(m >= m_lo && m <= m_hi)) return -1;
  const Brine brine{&material, m};
  const WithBrine set(ices, brine.phase(brine_range(material, m, {p, p, t, t})));
  const Phases phases = set.phases();
  const int k = stable_index(phases, p, t);
  return k < 0 ? -1 : phases[k].number;
}

Coexistence ice_brine(const Phase& ice, Phases ices, const nacl::Material& material, double m,
                      Solve solve, double fixed) noexcept {
  const Box slice = brine_slice(material, m, solve, fixed);
  const Brine brine{&material, m};
  const Phase liquid = brine.phase(slice);
  const WithBrine set(ices, liquid);
  return coexistence(ice, liquid, set.phases(), ice.range.intersect(slice), solve, fixed);
}

double freezing_point(Phases ices, const nacl::Material& material, double p, double m) noexcept {
  const Box slice = brine_slice(material, m, Solve::Temperature, p);
  const Brine brine{&material, m};
  const Phase liquid = brine.phase(slice);
  // Where some ice competes at p: one interval in T, since every ice's
  // range reaches down to a few kelvin. The lowest ice is NaN outside it, so
  // a bracket search over a wider interval could lose its root to a NaN
  // sample.
  Box ice_range = NOTHING;
  for (const Phase& ice : ices) {
    const Box part = ice.range.intersect(slice);
    if (!part.empty()) ice_range = hull(ice_range, part);
  }
  const Phase lowest{LOWEST_ICE, ice_range, &ices, &lowest_ice_gibbs};
  const Phase pair[2] = {lowest, liquid};
  const Coexistence c =
      coexistence(lowest, liquid, pair, ice_range, Solve::Temperature, p);
  if (std::isnan(c.t)) return NaN;
  const double residual = lowest.at(p, c.t).g - liquid.at(p, c.t).g;
  return std::fabs(residual) <= FREEZING_RESIDUAL ? c.t : NaN;
}

}  // namespace tessarin::phase_eq
