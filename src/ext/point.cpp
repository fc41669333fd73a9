// A single point through any evaluator, with 0-d results: the package's route
// for a call with plain numbers. It builds the one-element float64 arrays the
// evaluator (a core function behind a thin adapter) takes and turns each
// one-element result into a 0-d array, the work that would otherwise cost a
// Python-level operation per result key.
#include <cstring>

#include "batch.hpp"
#include "ext/entry_points.hpp"

namespace tessarin::ext {

namespace {
// The evaluators take one array per variable; none has more than this.
constexpr Py_ssize_t MAX_VARIABLES = 4;
}  // namespace

PyObject* py_at_point(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs < 1 || nargs > 1 + MAX_VARIABLES) {
    PyErr_SetString(PyExc_TypeError,
                    "at_point(evaluate, x0, ...) takes a callable and one to four numbers");
    return nullptr;
  }
  PyRef arrays[MAX_VARIABLES];
  PyObject* call_args[MAX_VARIABLES];
  for (Py_ssize_t i = 1; i < nargs; ++i) {
    const double v = PyFloat_AsDouble(args[i]);
    if (v == -1.0 && PyErr_Occurred()) return nullptr;
    arrays[i - 1] = new_f64_array(1);
    if (!arrays[i - 1]) return nullptr;
    f64_data(arrays[i - 1])[0] = v;
    call_args[i - 1] = arrays[i - 1].get();
  }
  PyRef result(PyObject_Vectorcall(args[0], call_args, static_cast<size_t>(nargs - 1), nullptr));
  if (!result) return nullptr;
  if (!PyDict_Check(result.get())) {
    PyErr_SetString(PyExc_TypeError, "at_point: the evaluator must return a dict");
    return nullptr;
  }
  PyRef out(PyDict_New());
  if (!out) return nullptr;
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  while (PyDict_Next(result.get(), &pos, &key, &value)) {
    auto* arr = reinterpret_cast<PyArrayObject*>(value);
    if (!PyArray_Check(value) || PyArray_TYPE(arr) != NPY_DOUBLE || PyArray_SIZE(arr) != 1) {
      PyErr_SetString(PyExc_TypeError,
                      "at_point: the evaluator must return one-element float64 arrays");
      return nullptr;
    }
    PyRef zero(PyArray_SimpleNew(0, nullptr, NPY_DOUBLE));
    if (!zero) return nullptr;
    // Byte copy: the value keeps its bits, and the source may be unaligned.
    std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(zero.get())), PyArray_DATA(arr),
                sizeof(double));
    if (PyDict_SetItem(out.get(), key, zero.get()) != 0) return nullptr;
  }
  return out.release();
}

}  // namespace tessarin::ext
