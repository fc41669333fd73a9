// Lane-wise arithmetic on short vectors of doubles, and the same helpers on
// plain doubles.
//
// The kernels evaluate several points at once to overlap the latency of their
// dependent divisions, square roots and library calls. Their formulas are
// written once, as templates over the number type F: a double for one point,
// or Vec<W>, W doubles whose +, -, *, / and comparisons act on each lane with
// IEEE semantics. A lane performs exactly the operations of the scalar
// formula, in the same order (floating-point contraction is off), so a
// point's result never depends on the other points it was evaluated with.
//
// Pure C++, header only.
#pragma once
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace tessarin::simd {

template <int W>
struct VecOf;
template <>
struct VecOf<1> {
  typedef double type __attribute__((vector_size(8)));
};
template <>
struct VecOf<2> {
  typedef double type __attribute__((vector_size(16)));
};
template <>
struct VecOf<4> {
  typedef double type __attribute__((vector_size(32)));
};

// W doubles, one per point. A comparison of two gives a Mask: in each lane
// all bits set where it holds, none where it does not.
template <int W>
using Vec = typename VecOf<W>::type;
using V2 = Vec<2>;

// The mask type of F: bool for a double.
template <class F>
using Mask = decltype(F{} < F{});

// Lanes of F: 1 for a double.
template <class F>
inline constexpr int width = sizeof(F) / sizeof(double);

template <class F>
inline F splat(double a) noexcept {
  if constexpr (std::is_same_v<F, double>) {
    return a;
  } else {
    F v;
    for (int l = 0; l < width<F>; ++l) v[l] = a;
    return v;
  }
}

// a where m holds, otherwise b. Bits are moved, not computed, and the scalar
// form has no branch either: the kernels take it where the condition is as
// good as random, and a mispredicted branch would also stop the steps of
// other points from overlapping.
inline double select(bool m, double a, double b) noexcept {
  const std::uint64_t mask = 0 - static_cast<std::uint64_t>(m);
  return std::bit_cast<double>((std::bit_cast<std::uint64_t>(a) & mask) |
                               (std::bit_cast<std::uint64_t>(b) & ~mask));
}
template <class V>
inline V select(Mask<V> m, V a, V b) noexcept {
  using M = Mask<V>;
  return reinterpret_cast<V>((reinterpret_cast<M>(a) & m) | (reinterpret_cast<M>(b) & ~m));
}
template <class V>
inline V select(Mask<V> m, V a, double b) noexcept {
  return select(m, a, splat<V>(b));
}
template <class V>
inline V select(Mask<V> m, double a, V b) noexcept {
  return select(m, splat<V>(a), b);
}

// The larger (smaller) of x and a bound b that is not NaN, and b where x is
// NaN: the values of std::fmax and std::fmin, which are library calls, by a
// comparison (for a double, one the compiler turns into minsd/maxsd or a
// conditional move).
inline double fmax(double x, double b) noexcept { return x > b ? x : b; }
inline double fmin(double x, double b) noexcept { return x < b ? x : b; }
template <class V>
inline V fmax(V x, double b) noexcept {
  return select(x > b, x, splat<V>(b));
}
template <class V>
inline V fmin(V x, double b) noexcept {
  return select(x < b, x, splat<V>(b));
}

// Both / either of two conditions, lane by lane.
inline bool both(bool a, bool b) noexcept { return a && b; }
inline bool either(bool a, bool b) noexcept { return a || b; }
template <class M>
inline M both(M a, M b) noexcept {
  return a & b;
}
template <class M>
inline M either(M a, M b) noexcept {
  return a | b;
}

// The opposite condition, lane by lane.
inline bool invert(bool a) noexcept { return !a; }
template <class M>
inline M invert(M a) noexcept {
  return ~a;
}

// Whether any lane holds.
inline bool any(bool m) noexcept { return m; }
template <class M>
inline bool any(M m) noexcept {
  bool r = false;
  for (std::size_t l = 0; l < sizeof(M) / sizeof(m[0]); ++l) r |= m[l] != 0;
  return r;
}

// Whether every lane holds.
inline bool all(bool m) noexcept { return m; }
template <class M>
inline bool all(M m) noexcept {
  auto r = m[0];
  for (std::size_t l = 1; l < sizeof(M) / sizeof(m[0]); ++l) r &= m[l];
  return r != 0;
}

// |x|: the sign bit cleared.
inline double abs(double x) noexcept { return std::fabs(x); }
template <class V>
inline V abs(V x) noexcept {
  using M = Mask<V>;
  return reinterpret_cast<V>(reinterpret_cast<M>(x) & ~reinterpret_cast<M>(splat<V>(-0.0)));
}

// W consecutive doubles, from memory of any alignment.
template <class V>
inline V load(const double* p) noexcept {
  V v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
template <class V>
inline void store(double* p, const V& v) noexcept {
  std::memcpy(p, &v, sizeof v);
}
// Lane l from base[l][off].
template <class V>
inline V gather(const double* const (&base)[width<V>], std::ptrdiff_t off) noexcept {
  V v = {};
  for (int l = 0; l < width<V>; ++l) v[l] = base[l][off];
  return v;
}

// The 64-bit patterns of F's lanes as unsigned integers: std::uint64_t for
// a double, W of them for a Vec<W>. Arithmetic on them wraps modulo 2^64 and
// shifts are logical, lane by lane.
template <int W>
struct UVecOf {
  typedef unsigned long long type __attribute__((vector_size(8 * W)));
};
template <class F>
struct BitsOf {
  using type = typename UVecOf<width<F>>::type;
};
template <>
struct BitsOf<double> {
  using type = std::uint64_t;
};
template <class F>
using Bits = typename BitsOf<F>::type;

inline std::uint64_t bits(double x) noexcept { return std::bit_cast<std::uint64_t>(x); }
template <class V>
inline Bits<V> bits(V x) noexcept {
  return reinterpret_cast<Bits<V>>(x);
}
template <class F>
inline F from_bits(Bits<F> b) noexcept {
  if constexpr (std::is_same_v<F, double>) {
    return std::bit_cast<double>(b);
  } else {
    return reinterpret_cast<F>(b);
  }
}

// Row i[l] of a table of rows of K doubles, in lane l: out[m] holds column m.
// Whole rows are loaded and transposed where the width allows it.
template <class F, int K>
inline void lookup_rows(const double* table, Bits<F> i, F (&out)[K]) noexcept {
  if constexpr (std::is_same_v<F, double>) {
    for (int m = 0; m < K; ++m) out[m] = table[i * K + m];
  } else if constexpr (width<F> == 4 && K == 4) {
    using L = Mask<F>;
    const F r0 = load<F>(table + i[0] * 4), r1 = load<F>(table + i[1] * 4);
    const F r2 = load<F>(table + i[2] * 4), r3 = load<F>(table + i[3] * 4);
    const F t0 = __builtin_shuffle(r0, r1, L{0, 4, 2, 6}), t1 = __builtin_shuffle(r0, r1, L{1, 5, 3, 7});
    const F t2 = __builtin_shuffle(r2, r3, L{0, 4, 2, 6}), t3 = __builtin_shuffle(r2, r3, L{1, 5, 3, 7});
    out[0] = __builtin_shuffle(t0, t2, L{0, 1, 4, 5});
    out[1] = __builtin_shuffle(t1, t3, L{0, 1, 4, 5});
    out[2] = __builtin_shuffle(t0, t2, L{2, 3, 6, 7});
    out[3] = __builtin_shuffle(t1, t3, L{2, 3, 6, 7});
  } else if constexpr (width<F> == 4 && K == 2) {
    using L = Mask<F>;
    const Vec<2> r0 = load<Vec<2>>(table + i[0] * 2), r1 = load<Vec<2>>(table + i[1] * 2);
    const Vec<2> r2 = load<Vec<2>>(table + i[2] * 2), r3 = load<Vec<2>>(table + i[3] * 2);
    const F a = {r0[0], r0[1], r2[0], r2[1]}, b = {r1[0], r1[1], r3[0], r3[1]};
    out[0] = __builtin_shuffle(a, b, L{0, 4, 2, 6});
    out[1] = __builtin_shuffle(a, b, L{1, 5, 3, 7});
  } else if constexpr (width<F> == 2 && K % 2 == 0) {
    using L = Mask<F>;
    for (int m = 0; m < K; m += 2) {
      const F a = load<F>(table + i[0] * K + m), b = load<F>(table + i[1] * K + m);
      out[m] = __builtin_shuffle(a, b, L{0, 2});
      out[m + 1] = __builtin_shuffle(a, b, L{1, 3});
    }
  } else {
    for (int m = 0; m < K; ++m) {
      out[m] = F{};
      for (int l = 0; l < width<F>; ++l) out[m][l] = table[i[l] * K + m];
    }
  }
}

// Correctly rounded square root, lane by lane (as std::sqrt). The vector
// forms use the processor's packed square root directly (the builtins behind
// _mm_sqrt_pd and _mm256_sqrt_pd, without the intrinsics headers).
inline double sqrt(double x) noexcept { return std::sqrt(x); }
inline Vec<1> sqrt(Vec<1> x) noexcept { return Vec<1>{std::sqrt(x[0])}; }
inline Vec<2> sqrt(Vec<2> x) noexcept {
#if defined(__SSE2__)
  return __builtin_ia32_sqrtpd(x);
#else
  return Vec<2>{std::sqrt(x[0]), std::sqrt(x[1])};
#endif
}
#if defined(__x86_64__) && defined(__GNUC__)
// Only for code built for AVX (the wide kernels).
__attribute__((target("avx"))) inline Vec<4> sqrt(Vec<4> x) noexcept {
  return __builtin_ia32_sqrtpd256(x);
}
#endif

// f applied to the first n lanes of x; the lanes after them, which repeat
// the point of lane 0 (a block's last, lone point fills a whole vector), copy
// its value instead of calling f again.
template <class V, class Fn>
inline V each_lane(V x, int n, Fn f) noexcept {
  V r;
  for (int l = 0; l < width<V>; ++l) r[l] = l < n ? f(x[l]) : r[0];
  return r;
}

// The library logarithm and exponential, lane by lane, for all lanes or the
// first n as each_lane.
inline double log(double x) noexcept { return std::log(x); }
inline double exp(double x) noexcept { return std::exp(x); }
template <class V>
inline V log(V x, int n = width<V>) noexcept {
  return each_lane(x, n, [](double a) { return std::log(a); });
}
template <class V>
inline V exp(V x, int n = width<V>) noexcept {
  return each_lane(x, n, [](double a) { return std::exp(a); });
}

}  // namespace tessarin::simd
