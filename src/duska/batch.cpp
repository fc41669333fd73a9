// compute_batch_duska: the liquid-model batch procedure with Duska blocks,
// four lanes per vector where the processor has AVX2, two otherwise.
#include "batch.hpp"
#include "cpu.hpp"
#include "duska/block.hpp"
#include "entry_points.hpp"

namespace tessarin {
namespace {

void duska_points(const double* t, const double* p, std::size_t count, PointResult* out,
                  const void*) {
#if defined(TESSARIN_DUSKA_WIDE)
  if (cpu::path() == cpu::Path::Avx2) return duska::duska_points_avx2(t, p, count, out);
#endif
  duska::duska_points<VectorMath, simd::V2>(t, p, count, out);
}

}  // namespace

PyObject* py_compute_batch_duska(ArgValue* args) {
  return model_batch(args, duska_points, nullptr, true);
}

}  // namespace tessarin
