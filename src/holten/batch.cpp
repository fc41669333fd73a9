#include "batch.hpp"
#include "entry_points.hpp"
#include "holten/holten.hpp"

namespace tessarin {

PyObject* py_compute_batch_holten(ArgValue* args) {
  return model_batch(args, each_point<holten::holten_point>, nullptr, true);
}

}  // namespace tessarin
