// Knot ranges of the embedded SeaFreeze splines: the first and last knot of
// each axis, the range over which a phase is interpolated rather than
// extrapolated.
#include "batch.hpp"
#include "ext/entry_points.hpp"
#include "seafreeze/table.hpp"

namespace tessarin::ext {

PyObject* py_knot_ranges(ArgValue*) {
  PyRef dict(PyDict_New());
  if (!dict) return nullptr;
  for (const auto& [name, spline] : seafreeze::phases()) {
    if (spline.knots_p.empty() || spline.knots_t.empty()) continue;
    PyRef range(Py_BuildValue("(dddd)", spline.knots_p.front(), spline.knots_p.back(),
                              spline.knots_t.front(), spline.knots_t.back()));
    if (!range || !dict_set(dict.get(), name.c_str(), range.get())) return nullptr;
  }
  return dict.release();
}

}  // namespace tessarin::ext
