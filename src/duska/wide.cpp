// The Duska block kernel with four lanes per vector, compiled for AVX2 in a
// unit of its own; `flatten` inlines every stage, so that the whole block is
// built with the wider instruction set.
#include "duska/block.hpp"

#if defined(TESSARIN_DUSKA_WIDE)
namespace tessarin::duska {

__attribute__((target("avx2"), flatten)) void duska_points_avx2(const double* T,
                                                                const double* P_MPa,
                                                                std::size_t count,
                                                                PointResult* out) noexcept {
  duska_points<VectorMath, simd::Vec<4>>(T, P_MPa, count, out);
}

}  // namespace tessarin::duska
#endif
