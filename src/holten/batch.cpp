// compute_batch_holten: the liquid-model batch procedure with Holten blocks,
// four lanes per vector where the processor has AVX2, two otherwise.
#include "batch.hpp"
#include "cpu.hpp"
#include "entry_points.hpp"
#include "holten/block.hpp"

namespace tessarin {
namespace {

void holten_points(const double* t, const double* p, std::size_t count, PointResult* out,
                   const void*) {
#if defined(TESSARIN_HOLTEN_WIDE)
  if (cpu::path() == cpu::Path::Avx2) return holten::holten_points_avx2(t, p, count, out);
#endif
  holten::holten_points<VectorMath, simd::V2>(t, p, count, out);
}

}  // namespace

PyObject* py_compute_batch_holten(ArgValue* args) {
  return model_batch(args, holten_points, nullptr, true);
}

}  // namespace tessarin
