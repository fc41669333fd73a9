// What the two-state models share about the fraction x of state B: its
// bounds, the safeguarded Newton step of their equilibrium solvers and the
// bracketed bisection of the phase-boundary searches.
//
// Pure C++, header only; F is a double or a simd::Vec (see simd.hpp).
#pragma once
#include "simd.hpp"

namespace tessarin::two_state {

// The fraction is kept in [X_LO, X_HI], strictly inside (0, 1), where
// ln x and ln(1 - x) are finite. X_HI is 1 - 1e-15 rounded to double.
inline constexpr double X_LO = 1e-15;
inline constexpr double X_HI = 0.999999999999999;

// x bounded to [X_LO, X_HI]; a NaN fraction becomes X_LO.
template <class F>
inline F clamp_fraction(F x) noexcept {
  return simd::fmin(simd::fmax(x, X_LO), X_HI);
}

// The Newton iterate c - r/d from a fraction c inside the bounds, with r the
// equilibrium residual at c and d its slope. An iterate that would leave
// [X_LO, X_HI] is replaced by the midpoint between c and the bound it
// crosses (0, or 1 - 1e-15 as (c + 1) - 1e-15 rounds), so the solvers stay
// where their logarithms are finite. A NaN iterate is returned as it is.
template <class F>
inline F newton_iterate(F c, F r, F d) noexcept {
  const F g = c - r / d;
  return simd::select(g < X_LO, c * 0.5, simd::select(g > X_HI, ((c + 1) - 1e-15) * 0.5, g));
}

// The Newton solvers of the Caupin and Duska models run from both ends of
// the composition range, from 0.05 and from 0.95 (which = 0, 1). The starts
// are read through a volatile so that the logarithm of the first step is
// the library's, taken at run time like every later one, and never a value
// the compiler folded (which could differ from the library's in the last
// place).
inline double newton_start(int which) noexcept {
  volatile double start[2] = {0.05, 0.95};
  return start[which];
}

// `steps` halvings of the bracket between a and b (in either order): the end
// a moves to the midpoint where toward_b(mid) holds, b otherwise. Returns
// the midpoint of the last bracket.
template <class Pred>
inline double bisect(double a, double b, int steps, Pred&& toward_b) {
  for (int i = 0; i < steps; ++i) {
    const double mid = (a + b) / 2;
    if (toward_b(mid)) {
      a = mid;
    } else {
      b = mid;
    }
  }
  return (a + b) / 2;
}

// Bisection for a sign change of f between lo and hi, f_lo being f(lo): lo
// moves while f keeps the sign of f_lo; a zero or NaN value moves hi.
template <class Fn>
inline double bisect_sign_change(double lo, double hi, double f_lo, int steps, Fn&& f) {
  return bisect(lo, hi, steps, [&](double mid) {
    const double f_mid = f(mid);
    if (f_lo * f_mid > 0) {
      f_lo = f_mid;
      return true;
    }
    return false;
  });
}

}  // namespace tessarin::two_state
