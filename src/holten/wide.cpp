// The Holten block kernel with four lanes per vector, compiled for AVX2 in
// this function only; `flatten` inlines every stage, so that the whole
// evaluation is built with the wider instruction set and nothing of it is
// shared with the portable code.
#include "holten/block.hpp"

#if defined(TESSARIN_HOLTEN_WIDE)
namespace tessarin::holten {

__attribute__((target("avx2"), flatten)) void holten_points_avx2(const double* T,
                                                                 const double* P_MPa,
                                                                 std::size_t count,
                                                                 PointResult* out) noexcept {
  holten_points<VectorMath, simd::Vec<4>>(T, P_MPa, count, out);
}

}  // namespace tessarin::holten
#endif
