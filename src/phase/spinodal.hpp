// Liquid-liquid spinodal of a two-state model.
//
// At each pressure the spinodal temperatures bound the interval in which the
// equilibrium condition has three roots. The search is derivative-free: a
// coarse downward scan from the critical point finds one temperature inside
// the interval, bisection against a point above the critical temperature
// gives the upper bound, and geometric stepping downward followed by
// bisection gives the lower bound. A continuity filter then keeps only the
// run of pressures at the end of the input along which the upper branch does
// not jump up, which removes spurious far-away islands of the region.
//
// Pure C++; the model enters as a type with a static
// two_state_params(T, P) (see models.hpp).
#pragma once
#include <cmath>
#include <cstddef>
#include <limits>
#include <vector>

#include "phase/roots.hpp"
#include "two_state.hpp"

namespace tessarin::phase {

struct SpinodalResult {
  std::vector<double> T_K;    // closed curve: critical point, upper branch, lower branch reversed, critical point
  std::vector<double> p_MPa;  // pressures matching T_K
  std::vector<double> T_upper;
  std::vector<double> T_lower;
  std::vector<double> x_lo_upper;  // stable roots 0.001 K below T_upper
  std::vector<double> x_hi_upper;
  std::vector<double> x_lo_lower;  // stable roots 0.001 K above T_lower
  std::vector<double> x_hi_lower;
  std::vector<double> p_array;  // the kept pressures, in input order

  static SpinodalResult critical_point_only(double t_llcp, double p_llcp) {
    SpinodalResult r;
    r.T_K = {t_llcp};
    r.p_MPa = {p_llcp};
    return r;
  }
};

// The temperatures of the coarse scan, generated in order: three runs
// descending from the critical temperature, fine near it (0.005 K down to
// t_llcp - 1.5), coarser further out (0.5 K down to t_llcp - 5, then 2 K down
// to 50 K). Each run is produced by repeated addition with a strict bound, so
// the values carry the rounding of that addition (the first run ends a hair
// above t_llcp - 1.5, next to the first value of the second run).
//
// They are generated one at a time rather than stored: the scan usually stops
// after a few values. A run also ends when adding its step no longer lowers
// the temperature (an infinite or astronomically large t_llcp), where it
// would otherwise repeat one value without end, and after MAX_RUN_VALUES
// values: the 2 K run from a t_llcp of 1e12 K would otherwise evaluate the
// model some 5e11 times per pressure, with the interpreter lock held. The cap
// leaves every run complete for t_llcp below about 200,000 K.
class ScanTemperatures {
 public:
  explicit ScanTemperatures(double t_llcp) noexcept
      : runs_{{t_llcp - 0.005, -0.005, t_llcp - 1.5},
              {t_llcp - 1.5, -0.5, t_llcp - 5},
              {t_llcp - 5, -2, 50}} {}

  static constexpr std::size_t MAX_RUN_VALUES = 100000;

  bool next(double& out) noexcept {
    while (run_ < 3) {
      const Run& r = runs_[run_];
      double cand = r.start;
      if (started_) {
        cand = current_ + r.step;
        if (!(cand < current_) || count_ == MAX_RUN_VALUES) {
          end_run();
          continue;
        }
      }
      if (cand > r.bound) {
        current_ = cand;
        started_ = true;
        ++count_;
        out = cand;
        return true;
      }
      end_run();
    }
    return false;
  }

 private:
  struct Run {
    double start, step, bound;
  };
  void end_run() noexcept {
    ++run_;
    started_ = false;
    count_ = 0;
  }
  Run runs_[3];
  int run_ = 0;
  bool started_ = false;
  double current_ = 0.0;
  std::size_t count_ = 0;  // values of the current run so far
};

template <class Model>
bool inside_region(double T, double P) noexcept {
  return has_three_roots(Model::two_state_params(T, P));
}

// Spinodal at every pressure of P; t_llcp and p_llcp close the curve.
template <class Model>
SpinodalResult compute_spinodal(const std::vector<double>& P, double t_llcp, double p_llcp) {
  constexpr double nan = std::numeric_limits<double>::quiet_NaN();
  const std::size_t n = P.size();

  // Coarse scan: the first scan temperature inside the region, per pressure.
  // A pressure is not evaluated again once found.
  std::vector<double> T_first(n, nan);
  std::vector<char> found(n, 0);
  std::size_t remaining = n;
  ScanTemperatures scan(t_llcp);
  double T;
  while (remaining > 0 && scan.next(T)) {
    for (std::size_t i = 0; i < n; ++i) {
      if (!found[i] && inside_region<Model>(T, P[i])) {
        T_first[i] = T;
        found[i] = 1;
        --remaining;
      }
    }
  }
  std::vector<std::size_t> idx;
  for (std::size_t i = 0; i < n; ++i)
    if (found[i]) idx.push_back(i);
  if (idx.empty()) return SpinodalResult::critical_point_only(t_llcp, p_llcp);

  std::vector<double> T_upper(n, nan), T_lower(n, nan);
  for (std::size_t i : idx) {
    const auto inside = [&](double T) { return inside_region<Model>(T, P[i]); };
    // Upper bound: the region lies below the critical temperature, so
    // t_llcp + 5 is outside; 45 halvings of at most a few kelvin reach the
    // resolution of double.
    T_upper[i] = two_state::bisect(T_first[i], t_llcp + 5, 45, inside);

    // Lower bracket: step down from the first inside temperature with a
    // doubling step (0.01 K, 0.02 K, ...), never below 5 K, until a step
    // lands outside. Pressures do not interact here, so each is stepped to
    // completion on its own.
    double current = T_first[i], inside_low = T_first[i], outside_low = 5.0, step = 0.01;
    for (int pass = 0; pass < 40; ++pass) {
      const double Tn = std::fmax(current - step, 5.0);
      if (inside(Tn)) {
        current = Tn;
        inside_low = Tn;
        step = 2 * step;
        if (Tn <= 5.0) {
          outside_low = 5.0;
          break;
        }
      } else {
        outside_low = Tn;
        break;
      }
    }
    // Lower bound. When 5 K itself is inside, both ends are 5.0 and so is
    // the result.
    T_lower[i] = two_state::bisect(inside_low, outside_low, 50, inside);
  }

  // Continuity filter: walking down from the last found pressure, a rise of
  // the upper branch by more than 30 K to the next found pressure drops
  // everything before it. A fall of any size is kept.
  std::size_t first_kept = idx.size() - 1;
  while (first_kept > 0 && !(T_upper[idx[first_kept]] - T_upper[idx[first_kept - 1]] > 30.0))
    --first_kept;

  SpinodalResult r;
  const std::size_t m = idx.size() - first_kept;
  r.T_upper.reserve(m);
  r.T_lower.reserve(m);
  r.p_array.reserve(m);
  r.x_lo_upper.reserve(m);
  r.x_hi_upper.reserve(m);
  r.x_lo_lower.reserve(m);
  r.x_hi_lower.reserve(m);
  for (std::size_t k = first_kept; k < idx.size(); ++k) {
    const std::size_t i = idx[k];
    r.T_upper.push_back(T_upper[i]);
    r.T_lower.push_back(T_lower[i]);
    r.p_array.push_back(P[i]);
    // Compositions just inside each bound, where the outer roots are
    // distinct from the merging middle one.
    const auto up = find_roots_from_params(Model::two_state_params(T_upper[i] - 0.001, P[i]));
    const auto low = find_roots_from_params(Model::two_state_params(T_lower[i] + 0.001, P[i]));
    r.x_lo_upper.push_back(up.first);
    r.x_hi_upper.push_back(up.second);
    r.x_lo_lower.push_back(low.first);
    r.x_hi_lower.push_back(low.second);
  }

  r.T_K.reserve(2 * m + 2);
  r.p_MPa.reserve(2 * m + 2);
  r.T_K.push_back(t_llcp);
  r.p_MPa.push_back(p_llcp);
  r.T_K.insert(r.T_K.end(), r.T_upper.begin(), r.T_upper.end());
  r.p_MPa.insert(r.p_MPa.end(), r.p_array.begin(), r.p_array.end());
  r.T_K.insert(r.T_K.end(), r.T_lower.rbegin(), r.T_lower.rend());
  r.p_MPa.insert(r.p_MPa.end(), r.p_array.rbegin(), r.p_array.rend());
  r.T_K.push_back(t_llcp);
  r.p_MPa.push_back(p_llcp);
  return r;
}

}  // namespace tessarin::phase
