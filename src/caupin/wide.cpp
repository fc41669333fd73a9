// The Caupin block kernel with four lanes per vector, compiled for AVX2 in
// this function only; `flatten` inlines every stage, so that the whole block
// is built with the wider instruction set and nothing of it is shared with
// the portable code.
#include "caupin/block.hpp"

#if defined(TESSARIN_CAUPIN_WIDE)
namespace tessarin::caupin {

__attribute__((target("avx2"), flatten)) void caupin_block_avx2(const double* T, const double* P,
                                                                std::size_t count,
                                                                PointResult* out,
                                                                const CaupinParams& c) noexcept {
  caupin_block<VectorMath, simd::Vec<4>>(T, P, count, out, c);
}

}  // namespace tessarin::caupin
#endif
