// The accuracy rule for kernels that take their exponentials and logarithms
// from vmath.hpp instead of the C library: a point's results may move only as
// far as the model's own conditioning moves them under a change of one unit
// in the last place of its math calls.
//
// The envelope of an output is the sum, over every distinct argument of an
// exp or log call that the reference kernel (the C library's, LibraryMath)
// makes for the point, of how far that output moves when the function's
// result at that argument is moved by one unit in the last place up or down,
// whichever moves it more: to first order, the largest change that any
// combination of one-unit errors can make. A function is perturbed at an
// argument, not a call: calls with equal arguments (the two solves of a
// two-state model that meet at one root) keep returning equal values, as any
// math library's would. The kernel under test must then stay within twice the
// envelope of the reference, output by output, and keep its NaN and infinity
// pattern.
#pragma once
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "check.hpp"
#include "point_result.hpp"
#include "vmath.hpp"

namespace envelope {

// The function and argument that PerturbedMath moves, by one unit in the
// direction of `up`; `seen` collects the (function, argument) pairs of a run.
// Finite non-zero results only: a zero or an infinity has no neighbour one
// unit away that the math library could have returned instead.
struct Call {
  int fn;  // 0 exp, 1 log
  double arg;
  bool operator==(const Call& o) const { return fn == o.fn && std::memcmp(&arg, &o.arg, 8) == 0; }
};
struct Perturbation {
  Call target{-1, 0};
  bool up = true;
  std::vector<Call> seen;
};
inline Perturbation g_perturbation;

struct PerturbedMath {
  static double nudge(Call call, double y) {
    g_perturbation.seen.push_back(call);
    if (!(call == g_perturbation.target) || y == 0 || !std::isfinite(y)) return y;
    return std::nextafter(y, g_perturbation.up ? INFINITY : -INFINITY);
  }
  static double exp(double x) { return nudge({0, x}, std::exp(x)); }
  static double log(double x) { return nudge({1, x}, std::log(x)); }
};

inline void values(const tessarin::PointResult& r, double (&v)[40]) { std::memcpy(v, &r, sizeof v); }

// NaN, +inf, -inf or finite.
inline int kind(double v) { return std::isnan(v) ? 0 : v == INFINITY ? 1 : v == -INFINITY ? 2 : 3; }

// Worst |tested - reference| / envelope over the outputs checked so far, and
// the outputs that broke the rule.
struct Tally {
  double worst = 0;
  const char* worst_key = "";
  long points = 0, violations = 0, pattern_changes = 0;
  double worst_relative[40] = {};  // largest |tested/reference - 1| of each output
};

// Checks the kernel under test, `eval.template operator()<VectorMath>()`, at
// one point against the reference kernel `eval.template operator()<LibraryMath>()`
// and the envelope of the reference. `eval` is a generic lambda of the
// policy returning the point's PointResult.
template <class Eval>
void check_point(Eval&& eval, double T, double P, Tally& tally) {
  using tessarin::LibraryMath;
  using tessarin::VectorMath;
  double ref[40], tested[40], env[40] = {};
  g_perturbation = {};
  values(eval.template operator()<PerturbedMath>(), ref);
  std::vector<Call> distinct;
  for (const Call& c : g_perturbation.seen) {
    bool known = false;
    for (const Call& d : distinct) known = known || d == c;
    if (!known) distinct.push_back(c);
  }
  for (const Call& c : distinct) {
    for (bool up : {true, false}) {
      g_perturbation = {c, up, {}};
      double moved[40];
      values(eval.template operator()<PerturbedMath>(), moved);
      for (int k = 0; k < 40; ++k) {
        if (kind(ref[k]) != 3) continue;
        const double d = kind(moved[k]) == 3 ? std::fabs(moved[k] - ref[k]) : INFINITY;
        env[k] += d;
      }
    }
  }
  values(eval.template operator()<VectorMath>(), tested);
  ++tally.points;
  for (int k = 0; k < 40; ++k) {
    if (kind(ref[k]) != kind(tested[k])) {
      if (tally.pattern_changes++ < 5)
        std::printf("pattern of %s at T=%.17g P=%.17g: %.17g vs %.17g\n",
                    tessarin::POINT_RESULT_KEYS[k], T, P, tested[k], ref[k]);
      continue;
    }
    if (kind(ref[k]) != 3 || tested[k] == ref[k]) continue;
    tally.worst_relative[k] = std::fmax(tally.worst_relative[k], std::fabs(tested[k] / ref[k] - 1));
    const double ratio = std::fabs(tested[k] - ref[k]) / env[k];
    if (ratio > tally.worst) {
      tally.worst = ratio;
      tally.worst_key = tessarin::POINT_RESULT_KEYS[k];
    }
    if (!(ratio <= 2) && tally.violations++ < 5)
      std::printf("%s at T=%.17g P=%.17g moved %.3g, envelope %.3g\n",
                  tessarin::POINT_RESULT_KEYS[k], T, P, tested[k] - ref[k], env[k]);
  }
}

inline void report(const char* model, const Tally& t) {
  std::printf("%s envelope: %ld points, worst %.3g of the envelope (%s), %ld beyond twice it, "
              "%ld NaN/inf changes\n",
              model, t.points, t.worst, t.worst_key, t.violations, t.pattern_changes);
  std::printf("%s largest relative changes: rho %.2g, Cp %.2g, Ks %.2g, x %.2g\n", model,
              t.worst_relative[0], t.worst_relative[7], t.worst_relative[10], t.worst_relative[13]);
  CHECK(t.violations == 0 && t.pattern_changes == 0, "%s", model);
}

}  // namespace envelope
