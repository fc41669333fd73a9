// Phase equilibria of the SeaFreeze phases for the tessarin package: the
// numbering, the stable phase at points, coexistence lines and triple points
// (kernels in phase_eq/).
//
// The point-wise functions read the caller's arrays (held for the call) and
// write straight into new result arrays, evaluating on the worker pool with
// the interpreter lock released.
#include <cmath>
#include <cstddef>
#include <limits>
#include <string_view>
#include <vector>

#include "batch.hpp"
#include "ext/entry_points.hpp"
#include "ext/helpers.hpp"
#include "phase_eq/equilibria.hpp"
#include "phase_eq/spline_phases.hpp"
#include "pool.hpp"

namespace tessarin::ext {

namespace {

using phase_eq::Phase;

// A stable-phase point costs a few spline evaluations (about a microsecond);
// below this count waking the workers costs more than it saves.
constexpr std::size_t WHICH_MIN_CHUNK = 64;

const Phase* find_phase(std::string_view name) noexcept {
  for (const Phase& ph : phase_eq::seafreeze_phases())
    if (name == phase_eq::seafreeze_phase_name(ph.number)) return &ph;
  return nullptr;
}

}  // namespace

const Phase* phase_arg(const ArgValue& arg) {
  if (const Phase* ph = find_phase(arg.text)) return ph;
  PyErr_Format(PyExc_ValueError,
               "'%U' is not a phase that competes for stability; the phases are 'water1', "
               "'Ih', 'II', 'III', 'V', 'VI' and 'VII_X_French'",
               arg.obj.get());
  return nullptr;
}

PyRef new_bool_array(std::size_t n) {
  npy_intp dims[1] = {static_cast<npy_intp>(n)};
  return PyRef(PyArray_EMPTY(1, dims, NPY_BOOL, 0));
}

PyObject* py_phase_numbers(ArgValue*) {
  PyRef dict(PyDict_New());
  if (!dict) return nullptr;
  for (const Phase& ph : phase_eq::seafreeze_phases()) {
    PyRef number(PyLong_FromLong(ph.number));
    if (!number || !dict_set(dict.get(), phase_eq::seafreeze_phase_name(ph.number), number.get()))
      return nullptr;
  }
  return dict.release();
}

PyObject* py_whichphase(ArgValue* args) {
  PyArrayObject *p = args[0].array(), *t = args[1].array();
  if (!require_contiguous(p) || !require_contiguous(t)) return nullptr;
  const std::size_t n = array_len(p);
  if (array_len(t) != n) {
    PyErr_Format(PyExc_ValueError, "p and t need equal lengths (len(p) = %zu, len(t) = %zu)", n,
                 array_len(t));
    return nullptr;
  }
  PyRef out = new_f64_array(n);
  if (!out) return nullptr;
  double* dst = f64_data(out);
  const char *pv = static_cast<const char*>(PyArray_DATA(p)),
             *tv = static_cast<const char*>(PyArray_DATA(t));
  const phase_eq::Phases phases = phase_eq::seafreeze_phases();
  {
    GilRelease unlocked;
    parallel_for(n, WHICH_MIN_CHUNK, [&](std::size_t begin, std::size_t end) {
      for (std::size_t i = begin; i < end; ++i) {
        const int k = phase_eq::stable_index(phases, load_f64(pv, i), load_f64(tv, i));
        dst[i] = k < 0 ? std::numeric_limits<double>::quiet_NaN() : phases[k].number;
      }
    });
  }
  return out.release();
}

PyObject* py_phase_line(ArgValue* args) {
  const Phase* a = phase_arg(args[0]);
  if (!a) return nullptr;
  const Phase* b = phase_arg(args[1]);
  if (!b) return nullptr;
  PyArrayObject* values = args[2].array();
  if (!require_contiguous(values)) return nullptr;
  const phase_eq::Solve solve =
      args[3].flag ? phase_eq::Solve::Pressure : phase_eq::Solve::Temperature;
  const char* src = static_cast<const char*>(PyArray_DATA(values));
  const phase_eq::Phases phases = phase_eq::seafreeze_phases();
  const phase_eq::Box box = a->range.intersect(b->range);
  return line_result(array_len(values), [&](std::size_t i) {
    return phase_eq::coexistence(*a, *b, phases, box, solve, load_f64(src, i));
  });
}

PyObject* py_triple_points(ArgValue*) {
  const phase_eq::Phases phases = phase_eq::seafreeze_phases();
  std::vector<phase_eq::TriplePoint> found;
  {
    GilRelease unlocked;
    found = phase_eq::triple_points(phases);
  }
  PyRef list(PyList_New(0));
  if (!list) return nullptr;
  for (const auto& tp : found) {
    PyRef item(Py_BuildValue("(sssdd)", phase_eq::seafreeze_phase_name(phases[tp.a].number),
                             phase_eq::seafreeze_phase_name(phases[tp.b].number),
                             phase_eq::seafreeze_phase_name(phases[tp.c].number), tp.p, tp.t));
    if (!item || PyList_Append(list.get(), item.get()) != 0) return nullptr;
  }
  return list.release();
}

}  // namespace tessarin::ext
