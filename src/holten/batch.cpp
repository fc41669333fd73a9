// compute_batch_holten: the liquid-model batch procedure with Holten blocks.
#include "batch.hpp"
#include "entry_points.hpp"
#include "holten/block.hpp"

namespace tessarin {

PyObject* py_compute_batch_holten(ArgValue* args) {
  return model_batch(
      args,
      [](const double* t, const double* p, std::size_t count, PointResult* out, const void*) {
        holten::holten_points(t, p, count, out);
      },
      nullptr, true);
}

}  // namespace tessarin
