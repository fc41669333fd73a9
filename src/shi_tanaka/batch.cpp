#include "batch.hpp"
#include "entry_points.hpp"
#include "shi_tanaka/shi_tanaka.hpp"

namespace tessarin {

// A Shi–Tanaka point is a closed-form expression, so the batch runs serially
// on the calling thread and keeps the interpreter lock.
PyObject* py_compute_batch_shi_tanaka(ArgValue* args) {
  return model_batch(args, each_point<shi_tanaka::shi_tanaka_point>, nullptr,
                     /*parallel=*/false);
}

}  // namespace tessarin
