// Python entry points of the Caupin model: one per published parameter set,
// both running the shared liquid-model batch procedure.
#include "batch.hpp"
#include "caupin/block.hpp"
#include "cpu.hpp"
#include "entry_points.hpp"

namespace tessarin {
namespace caupin {

namespace {

// A block of the batch is one kernel block, whose points' solves run together:
// four lanes per vector where the processor has AVX2, two otherwise.
void points(const double* t_k, const double* p_mpa, std::size_t count, PointResult* out,
            const void* params) {
  const CaupinParams& c = *static_cast<const CaupinParams*>(params);
#if defined(TESSARIN_CAUPIN_WIDE)
  if (cpu::path() == cpu::Path::Avx2) return caupin_block_avx2(t_k, p_mpa, count, out, c);
#endif
  caupin_block<VectorMath, simd::V2>(t_k, p_mpa, count, out, c);
}

}  // namespace

// Evaluates every (t_k[i], p_mpa[i]) with the given parameter set on the
// worker pool and returns the forty-entry result dictionary.
PyObject* caupin_compute_batch(const ArgValue* args, const CaupinParams& params) {
  return model_batch(args, points, &params, true);
}

}  // namespace caupin

PyObject* py_compute_batch_caupin(ArgValue* args) {
  return caupin::caupin_compute_batch(args, caupin::CAUPIN_TABLE_III);
}

PyObject* py_compute_batch_caupin_kim(ArgValue* args) {
  return caupin::caupin_compute_batch(args, caupin::CAUPIN_TABLE_II);
}

}  // namespace tessarin
