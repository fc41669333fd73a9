#include "phase_eq/equilibria.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace tessarin::phase_eq {

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

// Iteration caps. A bracketed root needs about five Newton steps; bisection
// alone would reach the resolution of a double within 60 halvings. The
// two-variable iteration starts from an interpolated crossing and converges
// in a handful of steps or not at all.
constexpr int LINE_MAX_STEPS = 64;
constexpr int TRIPLE_MAX_STEPS = 40;
constexpr int TRIPLE_MAX_HALVINGS = 30;

// Relative step at which an iteration counts as converged. The energies
// carry rounding errors of about 1e-11 J/kg against differences in volume of
// order 1e-4 m3/kg (1e2 J/(kg MPa)) and in entropy of order 1e2 J/(kg K), so
// Newton steps below a few 1e-13 of the variable are noise; 1e-12 of the
// variable plus 1e-12 of its unit leaves the energies equal to 1e-12 of
// their size wherever they are not near zero.
constexpr double STEP_TOL = 1e-12;

double step_tol(double x) noexcept { return STEP_TOL * (std::fabs(x) + 1.0); }

// dG = G_a - G_b at one value x of the free variable, its derivative along
// x, and G_a (G_b is G_a - f).
struct Sample {
  double x, f, df, g;
};

struct Line {
  const Phase& a;
  const Phase& b;
  Solve solve;
  double fixed;

  double p(double x) const noexcept { return solve == Solve::Pressure ? x : fixed; }
  double t(double x) const noexcept { return solve == Solve::Pressure ? fixed : x; }

  Sample at(double x) const noexcept {
    const double pv = p(x), tv = t(x);
    const Gibbs ga = a.at(pv, tv), gb = b.at(pv, tv);
    const double df = solve == Solve::Pressure ? ga.gp - gb.gp : ga.gt - gb.gt;
    return {x, ga.g - gb.g, df, ga.g};
  }
};

bool negative(const Sample& s) noexcept { return s.f < 0; }

// The root of dG between lo and hi, whose values have opposite signs (none
// zero): Newton steps from the secant point, each replaced by the bracket's
// midpoint when it would leave the bracket (or the derivative is zero or
// NaN), the bracket shrinking to every new point. Returns the point just
// evaluated once its Newton step falls below the tolerance; otherwise, once
// the bracket has shrunk below it or the cap is reached, the point of least
// |dG| met. Convergence is judged on the Newton step before the bracket
// test: a converged step can be below the spacing of doubles, so that it
// lands on the bracket's end and would otherwise be taken for one leaving
// it, and the bisection that followed would move away from the root.
Sample newton_in_bracket(const Line& line, Sample lo, Sample hi) noexcept {
  double x = lo.x - lo.f * (hi.x - lo.x) / (hi.f - lo.f);
  if (!(x > lo.x && x < hi.x)) x = lo.x + 0.5 * (hi.x - lo.x);
  Sample best = std::fabs(lo.f) < std::fabs(hi.f) ? lo : hi;
  for (int step = 0; step < LINE_MAX_STEPS; ++step) {
    const Sample s = line.at(x);
    if (std::isnan(s.f)) return {NaN, NaN, NaN, NaN};
    if (std::fabs(s.f) <= std::fabs(best.f)) best = s;
    if (s.f == 0) return s;
    if (negative(s) == negative(lo)) lo = s; else hi = s;
    double next = x - s.f / s.df;
    const double tol = step_tol(x);
    if (std::fabs(next - x) <= tol) return s;
    if (hi.x - lo.x <= tol) return best;
    if (!(next > lo.x && next < hi.x)) next = lo.x + 0.5 * (hi.x - lo.x);
    x = next;
  }
  return best;
}

// Whether the end slopes of an interval without a sign change both point
// towards zero: dG heads for zero at the left end and comes from it at the
// right end, so the interval may hold two roots.
bool may_hide_roots(const Sample& l, const Sample& r) noexcept {
  return l.f * l.df < 0 && r.f * r.df > 0;
}

}  // namespace

Box Box::intersect(const Box& o) const noexcept {
  return {std::max(p_lo, o.p_lo), std::min(p_hi, o.p_hi), std::max(t_lo, o.t_lo),
          std::min(t_hi, o.t_hi)};
}

int stable_index(Phases phases, double p, double t, double* g_min) noexcept {
  int best = -1;
  double g_best = NaN;
  for (std::size_t i = 0; i < phases.size(); ++i) {
    const Phase& ph = phases[i];
    if (!ph.range.contains(p, t)) continue;
    const double g = ph.at(p, t).g;
    if (best < 0 ? !std::isnan(g) : g < g_best) {
      best = static_cast<int>(i);
      g_best = g;
    }
  }
  if (g_min) *g_min = g_best;
  return best;
}

bool lowest(Phases phases, double p, double t, double g, int skip_a, int skip_b,
            int skip_c) noexcept {
  for (const Phase& ph : phases) {
    if (ph.number == skip_a || ph.number == skip_b || ph.number == skip_c) continue;
    if (ph.range.contains(p, t) && ph.at(p, t).g < g) return false;
  }
  return true;
}

namespace {

// The search for roots of one coexistence line at one fixed value.
struct LineSearch {
  const Line& line;
  Phases phases;
  Coexistence first{NaN, NaN, false};  // the first root, or the first stable one

  // Takes a root; true when it is stable, which ends the search.
  bool take(const Sample& s) noexcept {
    if (std::isnan(s.x)) return false;
    const double p = line.p(s.x), t = line.t(s.x);
    const double g = std::min(s.g, s.g - s.f);
    const bool stable = lowest(phases, p, t, g, line.a.number, line.b.number);
    if (stable || std::isnan(first.p)) first = {p, t, stable};
    return stable;
  }

  // The roots between samples l and r (dG finite and non-zero at both), in
  // increasing order: one per sign change; where the end slopes say two may
  // hide, the interval is halved, at most `splits` times.
  bool scan(const Sample& l, const Sample& r, int splits) noexcept {
    if (negative(l) != negative(r)) return take(newton_in_bracket(line, l, r));
    if (splits == 0 || !may_hide_roots(l, r)) return false;
    const Sample m = line.at(l.x + 0.5 * (r.x - l.x));
    if (std::isnan(m.f)) return false;
    if (m.f == 0) return take(m);
    return scan(l, m, splits - 1) || scan(m, r, splits - 1);
  }
};

}  // namespace

Coexistence coexistence(const Phase& a, const Phase& b, Phases phases, const Box& box,
                        Solve solve, double fixed) noexcept {
  const bool by_p = solve == Solve::Pressure;
  const double lo = by_p ? box.p_lo : box.t_lo, hi = by_p ? box.p_hi : box.t_hi;
  const double f_lo = by_p ? box.t_lo : box.p_lo, f_hi = by_p ? box.t_hi : box.p_hi;
  const Line line{a, b, solve, fixed};
  LineSearch search{line, phases};
  if (box.empty() || !(fixed >= f_lo && fixed <= f_hi)) return search.first;

  Sample s[LINE_INTERVALS + 1];
  for (int i = 0; i <= LINE_INTERVALS; ++i)
    s[i] = line.at(i == LINE_INTERVALS ? hi : lo + (hi - lo) * i / LINE_INTERVALS);
  if (s[0].f == 0 && search.take(s[0])) return search.first;
  for (int i = 0; i < LINE_INTERVALS; ++i) {
    const Sample &l = s[i], &r = s[i + 1];
    if (r.f == 0) {
      if (search.take(r)) break;
      continue;
    }
    if (std::isnan(l.f) || std::isnan(r.f) || l.f == 0) continue;
    if (search.scan(l, r, HIDDEN_ROOT_SPLITS)) break;
  }
  return search.first;
}

Point triple_newton(const Phase& a, const Phase& b, const Phase& c, const Box& box, double p0,
                    double t0) noexcept {
  const Point fail{NaN, NaN};
  double p = p0, t = t0;
  if (!box.contains(p, t)) return fail;
  for (int step = 0; step < TRIPLE_MAX_STEPS; ++step) {
    const Gibbs ga = a.at(p, t), gb = b.at(p, t), gc = c.at(p, t);
    // F = (G_a - G_b, G_a - G_c) and its Jacobian in (p, t).
    const double f0 = ga.g - gb.g, f1 = ga.g - gc.g;
    const double j00 = ga.gp - gb.gp, j01 = ga.gt - gb.gt;
    const double j10 = ga.gp - gc.gp, j11 = ga.gt - gc.gt;
    const double det = j00 * j11 - j01 * j10;
    if (!(det != 0) || !std::isfinite(det)) return fail;
    const double dp = (f0 * j11 - f1 * j01) / det;
    const double dt = (j00 * f1 - j10 * f0) / det;
    if (!std::isfinite(dp) || !std::isfinite(dt)) return fail;
    double scale = 1.0;
    int halvings = 0;
    while (!box.contains(p - scale * dp, t - scale * dt)) {
      if (++halvings > TRIPLE_MAX_HALVINGS) return fail;
      scale *= 0.5;
    }
    p -= scale * dp;
    t -= scale * dt;
    if (scale == 1.0 && std::fabs(dp) <= step_tol(p) && std::fabs(dt) <= step_tol(t))
      return {p, t};
  }
  return fail;
}

std::vector<TriplePoint> triple_points(Phases phases) {
  std::vector<TriplePoint> out;
  const int n = static_cast<int>(phases.size());
  for (int i = 0; i < n; ++i)
    for (int j = i + 1; j < n; ++j)
      for (int k = j + 1; k < n; ++k) {
        const Box box = phases[i].range.intersect(phases[j].range).intersect(phases[k].range);
        if (box.empty()) continue;
        // The pair whose line is followed, and the third phase.
        const int pairs[3][3] = {{i, j, k}, {i, k, j}, {j, k, i}};
        bool found = false;
        for (int q = 0; q < 3 && !found; ++q)
          for (Solve solve : {Solve::Pressure, Solve::Temperature}) {
            if (found) break;
            const Phase &u = phases[pairs[q][0]], &v = phases[pairs[q][1]],
                        &w = phases[pairs[q][2]];
            const bool by_p = solve == Solve::Pressure;
            const double lo = by_p ? box.t_lo : box.p_lo, hi = by_p ? box.t_hi : box.p_hi;
            Coexistence prev{NaN, NaN, false};
            double h_prev = NaN;
            for (int s = 0; s <= TRIPLE_SAMPLES && !found; ++s) {
              const double fixed = s == TRIPLE_SAMPLES ? hi : lo + (hi - lo) * s / TRIPLE_SAMPLES;
              const Coexistence c = coexistence(u, v, phases, box, solve, fixed);
              // The third phase against the pair along the line.
              const double h = std::isnan(c.p) ? NaN : w.at(c.p, c.t).g - u.at(c.p, c.t).g;
              if (!std::isnan(h) && !std::isnan(h_prev) && (h == 0 || (h < 0) != (h_prev < 0))) {
                const double frac = h_prev / (h_prev - h);
                const Point pt = triple_newton(u, v, w, box, prev.p + frac * (c.p - prev.p),
                                               prev.t + frac * (c.t - prev.t));
                if (!std::isnan(pt.p)) {
                  const double g = std::min({u.at(pt.p, pt.t).g, v.at(pt.p, pt.t).g,
                                             w.at(pt.p, pt.t).g});
                  if (lowest(phases, pt.p, pt.t, g, u.number, v.number, w.number)) {
                    out.push_back({i, j, k, pt.p, pt.t});
                    found = true;
                  }
                }
              }
              prev = c;
              h_prev = h;
            }
          }
      }
  std::sort(out.begin(), out.end(),
            [](const TriplePoint& x, const TriplePoint& y) { return x.p < y.p; });
  return out;
}

}  // namespace tessarin::phase_eq
