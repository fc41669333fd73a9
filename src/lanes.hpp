// Two-lane arithmetic shared by the kernels that evaluate points in pairs.
#pragma once
#include <cmath>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tessarin {

// Two-lane arithmetic. `V2` holds two doubles (one SSE2 register on x86-64,
// one NEON register on AArch64); +, -, *, / and comparisons act on each lane
// with IEEE semantics. The helpers below also accept a plain double, so the
// model's formulas can be written once for both.
namespace lanes {

typedef double V2 __attribute__((vector_size(16)));
using M2 = decltype(V2{} < V2{});  // lane masks: all bits set where true

template <class F>
inline F splat(double a) noexcept {
  return a;
}
template <>
inline V2 splat<V2>(double a) noexcept {
  return V2{a, a};
}

inline double select(bool m, double a, double b) noexcept { return m ? a : b; }
inline V2 select(M2 m, V2 a, V2 b) noexcept {
  return reinterpret_cast<V2>((m & reinterpret_cast<M2>(a)) | (~m & reinterpret_cast<M2>(b)));
}
inline bool both(bool a, bool b) noexcept { return a && b; }
inline M2 both(M2 a, M2 b) noexcept { return a & b; }
inline bool either(bool a, bool b) noexcept { return a || b; }
inline M2 either(M2 a, M2 b) noexcept { return a | b; }

inline double magnitude(double x) noexcept { return std::fabs(x); }
inline V2 magnitude(V2 x) noexcept {
  const M2 no_sign = {0x7fffffffffffffff, 0x7fffffffffffffff};
  return reinterpret_cast<V2>(reinterpret_cast<M2>(x) & no_sign);
}

inline V2 load(const double* p) noexcept { return V2{p[0], p[1]}; }
inline void store(double* p, V2 v) noexcept {
  p[0] = v[0];
  p[1] = v[1];
}

// The library logarithm and the square root, lane by lane.
inline double log_each(double x) noexcept { return std::log(x); }
inline V2 log_each(V2 x) noexcept { return V2{std::log(x[0]), std::log(x[1])}; }
// The same for a V2 whose lanes may hold one value twice (`twice`).
inline V2 log_each(V2 x, bool twice) noexcept {
  const double l0 = std::log(x[0]);
  return V2{l0, twice ? l0 : std::log(x[1])};
}
inline double sqrt_each(double x) noexcept { return std::sqrt(x); }
inline V2 sqrt_each(V2 x) noexcept {
#if defined(__SSE2__)
  return reinterpret_cast<V2>(_mm_sqrt_pd(reinterpret_cast<__m128d>(x)));  // IEEE, as std::sqrt
#else
  return V2{std::sqrt(x[0]), std::sqrt(x[1])};
#endif
}

}  // namespace lanes

}  // namespace tessarin
