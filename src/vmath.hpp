// Exponential and natural logarithm of a double or of every lane of a
// simd::Vec, with the same bits at every width and on every machine.
//
// Both are built from IEEE-754 additions, subtractions and multiplications
// of doubles and from integer operations on their bit patterns, and nothing
// else: no library call, no fused multiply-add (the build turns contraction
// off), no instruction whose result the processor may approximate. A lane of
// a Vec<4> therefore gets exactly the bits of the same argument as a double,
// with SSE2 or AVX2 alike. Errors against the exact values, measured by
// tests/cpp/vmath.cpp and documented in docs/performance.md, stay within
// 0.52 units in the last place; special arguments give what the C library
// gives: exp of NaN, +inf, -inf is NaN, +inf, 0, results past the largest
// double are +inf and below the smallest subnormal 0; log of a negative
// number or NaN is NaN, of +-0 -inf, of +inf +inf, and subnormal arguments
// are exact inputs like any other.
//
// Method. exp: x = k ln2/N + r with N = 128 and |r| <= ln2/(2N); then
// exp(x) = 2^(k/N) exp(r), 2^(k/N) from a table of 2^(j/N) (with the rounding
// error of each entry kept as a relative tail) scaled by 2^floor(k/N) through
// the exponent bits, and exp(r) - 1 a degree-5 Taylor polynomial (its first
// omitted term is below 1e-18 relative). log: x = 2^k z with z in
// [0.687, 1.375); z falls in one of N intervals centred on c_i, a number of
// eight significant bits, so z - c_i is exact; with 1/c_i split into an
// 8-bit head and a tail, (z - c_i)/c_i = r comes as an exact product plus a
// small correction, and log(x) = k ln2 + ln c_i + log1p(r), log1p a degree-7
// Taylor polynomial (|r| <= 2^-8). The interval around 1 has c = 1, so near
// x = 1 the result is r + r^2 P(r) with r = x - 1 exact. The heads of k ln2
// and ln c_i are multiples of 2^-42 and add exactly; the large part of the
// sum is added last, with its rounding error carried.
//
// Pure C++, header only.
#pragma once
#include <cstdint>
#include <limits>

#include "simd.hpp"
#include "vmath_tables.hpp"

namespace tessarin::vmath {

namespace detail {

using simd::Bits;
using simd::bits;
using simd::from_bits;
using simd::select;
using simd::splat;
namespace t = tables;

inline constexpr double INF = std::numeric_limits<double>::infinity();
inline constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
inline constexpr std::uint64_t EXPONENT_ONE = std::uint64_t{1} << 52;

// 1.5 * 2^52: adding it to a number of magnitude below 2^51 rounds the sum to
// an integer (to nearest, ties to even) held in the low bits of its pattern.
inline constexpr double ROUNDING_SHIFT = 0x1.8p52;

// The polynomials are evaluated in Estrin's form, pairs of terms combined by
// powers of r, rather than by Horner's rule: the chain of dependent
// operations is half as long, and the solvers, whose iterations wait for
// their logarithms, run that much faster.

// exp(r) - 1 without its leading term r, divided by r^2.
template <class F>
inline F exp_poly(F r) noexcept {
  return (1.0 / 2 + r * (1.0 / 6)) + (r * r) * (1.0 / 24 + r * (1.0 / 120));
}

// log1p(r) - r, divided by r^2, to degree 7 in r (the first omitted term,
// r^8/8, is below 2^-59 |r|).
template <class F>
inline F log1p_poly(F r) noexcept {
  const F r2 = r * r;
  return ((-1.0 / 2 + r * (1.0 / 3)) + r2 * (-1.0 / 4 + r * (1.0 / 5))) +
         (r2 * r2) * (-1.0 / 6 + r * (1.0 / 7));
}

// The parts of exp(x) = scale (1 + tmp) for |x| below about 745: scale =
// 2^(k/N) rounded, with 2^floor(k/N) added to its exponent field as an
// integer (so that callers can shift the exponent further before forming
// the double), and tmp = tail + exp(r) - 1.
template <class F>
struct ExpParts {
  Bits<F> scale_bits;
  F tmp;
};

template <class F>
inline ExpParts<F> exp_parts(F x) noexcept {
  const F shifted = x * t::INV_LN2_N + ROUNDING_SHIFT;
  // The low bits of the pattern are k (two's complement); the pattern of
  // ROUNDING_SHIFT has its low 51 bits clear.
  const Bits<F> ki = bits(shifted);
  const F kd = shifted - ROUNDING_SHIFT;
  // kd LN2_N_HI is exact (|k| < 2^18, a 35-bit head) and so is the
  // subtraction (x and kd LN2_N_HI are within a factor 2 of each other).
  const F r = (x - kd * t::LN2_N_HI) - kd * t::LN2_N_LO;
  F row[2]{};
  simd::lookup_rows(&t::EXP[0][0], ki & std::uint64_t{t::N - 1}, row);
  // The table holds the bits of 2^(j/N) less j << 45, so adding k << 45 adds
  // floor(k/N) to the exponent.
  return {bits(row[0]) + (ki << 45), row[1] + (r + (r * r) * exp_poly(r))};
}

// exp where |x| >= 704 or x is NaN: the exponent is shifted by -1 (large x)
// or +1022 (small x) before the scale is formed, so that it stays a normal
// number, and shifted back by an exact product; a result below the smallest
// normal is rounded once, where it is formed in units of 2^-1074.
template <class F>
inline F exp_outside(F x, const ExpParts<F>& p) noexcept {
  const F big = from_bits<F>(p.scale_bits - EXPONENT_ONE);
  const F large = 2.0 * (big + big * p.tmp);
  const F a = from_bits<F>(p.scale_bits + 1022 * EXPONENT_ONE);
  const F b = a * p.tmp;
  // 2^1022 y where y would be subnormal: 1 + a + b rounded in [1, 2] rounds
  // a + b to a multiple of 2^-52, the spacing of subnormals at this scale.
  const F one_a = 1 + a;
  const F carried = (1 - one_a) + a;  // the rounding error of 1 + a (a < 1)
  const F sub = ((one_a + (carried + b)) - 1) * 0x1p-1022;
  const F ab = a + b;
  const F small = select(ab < 1, sub, ab * 0x1p-1022);
  F y = select(x > 0, large, small);
  y = select(x >= 710, splat<F>(INF), y);
  y = select(x <= -746, splat<F>(0.0), y);
  return select(x != x, x, y);
}

// log(z 2^k) for a positive normal x = z 2^k, plus kadj to k.
template <class F>
inline F log_normal(F x, F kadj) noexcept {
  const Bits<F> ix = bits(x);
  const Bits<F> tmp = ix - t::LOG_OFFSET;
  // k + 1023 in the top bits: the bias keeps the shift unsigned; k is then
  // formed as a double from its bit pattern, 2^52 + (k + 1023) less a constant.
  const Bits<F> kb = (tmp + (std::uint64_t{1023} << 52)) >> 52;
  const F kd =
      (from_bits<F>(kb | std::uint64_t{0x4330000000000000}) - (0x1p52 + 1023)) + kadj;
  const Bits<F> i = (tmp >> 45) & std::uint64_t{t::N - 1};
  const F z = from_bits<F>(ix - (tmp & std::uint64_t{0xfff0000000000000}));
  const F c = from_bits<F>((tmp & (std::uint64_t{t::N - 1} << 45)) + t::LOG_CENTRE0);
  F row[4]{};  // 1/c in two parts, ln c in two parts
  simd::lookup_rows(&t::LOG[0][0], i, row);
  const F d = z - c;  // exact: z and c within a factor 2
  const F r_hi = d * row[0];  // exact: d has at most 45 significant bits, row[0] 8
  const F r_lo = d * row[1];
  const F r = r_hi + r_lo;
  const F w = kd * t::LN2_HI + row[2];  // exact
  // hi + e = w + r_hi exactly: |w| >= |r_hi| wherever w is not 0.
  const F hi = w + r_hi;
  const F e = (w - hi) + r_hi;
  const F lo = (e + (r_lo + (kd * t::LN2_LO + row[3]))) + (r * r) * log1p_poly(r);
  return hi + lo;
}

// log where x is not a positive normal number.
template <class F>
inline F log_outside(F x) noexcept {
  const auto subnormal = x < 0x1p-1022;
  const F y = log_normal(select(subnormal, x * 0x1p52, x), select(subnormal, splat<F>(-52.0),
                                                                   splat<F>(0.0)));
  F s = select(x == INF, x, y);
  s = select(x == 0, splat<F>(-INF), s);
  return select(simd::either(x < 0, x != x), splat<F>(NaN), s);
}

}  // namespace detail

// e^x, lane by lane.
template <class F>
inline F exp(F x) noexcept {
  const detail::ExpParts<F> p = detail::exp_parts(x);
  const F scale = simd::from_bits<F>(p.scale_bits);
  const F y = scale + scale * p.tmp;
  // Inside +-704 the scale and every partial result are normal numbers.
  const auto inside = simd::abs(x) < 704;
  if (simd::all(inside)) return y;
  return simd::select(inside, y, detail::exp_outside(x, p));
}

// Natural logarithm, lane by lane.
template <class F>
inline F log(F x) noexcept {
  const F y = detail::log_normal(x, simd::splat<F>(0.0));
  const auto normal = simd::both(x >= 0x1p-1022, x <= std::numeric_limits<double>::max());
  if (simd::all(normal)) return y;
  return simd::select(normal, y, detail::log_outside(x));
}

}  // namespace tessarin::vmath

namespace tessarin {

// Where the kernels take their exponentials and logarithms from: each kernel
// is a template over such a policy M, with M::exp and M::log for a double
// and for a simd::Vec. VectorMath (the default) is vmath above; LibraryMath,
// the C library lane by lane, is the reference the accuracy checks and the
// benchmark's call counts use.
struct VectorMath {
  template <class F>
  static F exp(F x) noexcept {
    return vmath::exp(x);
  }
  template <class F>
  static F log(F x) noexcept {
    return vmath::log(x);
  }
};

struct LibraryMath {
  template <class F>
  static F exp(F x) noexcept {
    return simd::exp(x);
  }
  template <class F>
  static F log(F x) noexcept {
    return simd::log(x);
  }
};

}  // namespace tessarin
