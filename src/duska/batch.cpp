#include "batch.hpp"
#include "duska/duska.hpp"
#include "entry_points.hpp"

namespace tessarin {

PyObject* py_compute_batch_duska(ArgValue* args) {
  return model_batch(
      args,
      [](const double* t, const double* p, std::size_t count, PointResult* out, const void*) {
        duska::duska_points(t, p, count, out);
      },
      nullptr, true);
}

}  // namespace tessarin
