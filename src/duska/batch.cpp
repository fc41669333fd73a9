#include "batch.hpp"
#include "duska/duska.hpp"
#include "entry_points.hpp"

namespace tessarin {

PyObject* py_compute_batch_duska(ArgValue* args) {
  return model_batch(args, each_point<duska::duska_point>, nullptr, true);
}

}  // namespace tessarin
