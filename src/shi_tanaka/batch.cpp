#include "batch.hpp"
#include "entry_points.hpp"
#include "shi_tanaka/block.hpp"

namespace tessarin {

namespace {

void points(const double* t_k, const double* p_mpa, std::size_t count, PointResult* out,
            const void*) {
  shi_tanaka::shi_tanaka_block(t_k, p_mpa, count, out);
}

}  // namespace

// A Shi–Tanaka point is a closed-form expression, so the batch runs serially
// on the calling thread and keeps the interpreter lock.
PyObject* py_compute_batch_shi_tanaka(ArgValue* args) {
  return model_batch(args, points, nullptr, /*parallel=*/false);
}

}  // namespace tessarin
