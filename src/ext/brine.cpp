// Ice-brine equilibria for the tessarin package: the stable phase with the
// liquid of aqueous NaCl at given molalities, the coexistence line of an ice
// with it, and its freezing temperature (kernels in phase_eq/brine.hpp).
//
// Every point has its own molality, so every point builds its own brine
// phase (on the stack). The functions read the caller's arrays (held for the
// call) and write straight into new result arrays, evaluating on the worker
// pool with the interpreter lock released.
#include <cstddef>
#include <limits>

#include "batch.hpp"
#include "ext/entry_points.hpp"
#include "ext/helpers.hpp"
#include "phase_eq/brine.hpp"
#include "pool.hpp"

namespace tessarin::ext {

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

// A stable-phase point costs a brine evaluation and a few ice ones (about
// two microseconds), a freezing point a dozen brine evaluations.
constexpr std::size_t WHICH_MIN_CHUNK = 32;
constexpr std::size_t FREEZE_MIN_CHUNK = 4;

// Contiguous arrays `a` and `b` of one length, stored in n; false with an
// exception otherwise.
bool same_length(PyArrayObject* a, const char* name_a, PyArrayObject* b, const char* name_b,
                 std::size_t& n) {
  if (!require_contiguous(a) || !require_contiguous(b)) return false;
  n = array_len(a);
  if (array_len(b) == n) return true;
  PyErr_Format(PyExc_ValueError, "%s and %s need equal lengths (len(%s) = %zu, len(%s) = %zu)",
               name_a, name_b, name_a, n, name_b, array_len(b));
  return false;
}

const char* data(PyArrayObject* a) { return static_cast<const char*>(PyArray_DATA(a)); }

}  // namespace

PyObject* py_brine_whichphase(ArgValue* args) {
  const nacl::Material* mat = material_arg(args[0]);
  if (!mat) return nullptr;
  PyArrayObject *p = args[1].array(), *t = args[2].array(), *m = args[3].array();
  std::size_t n = 0, n_m = 0;
  if (!same_length(p, "p", t, "t", n) || !same_length(p, "p", m, "m", n_m)) return nullptr;
  const phase_eq::Phases ices = phase_eq::seafreeze_ices();
  PyRef out = new_f64_array(n);
  if (!out) return nullptr;
  double* dst = f64_data(out);
  const char *pv = data(p), *tv = data(t), *mv = data(m);
  {
    GilRelease unlocked;
    parallel_for(n, WHICH_MIN_CHUNK, [&](std::size_t begin, std::size_t end) {
      for (std::size_t i = begin; i < end; ++i) {
        const int k = phase_eq::stable_with_brine(ices, *mat, load_f64(pv, i), load_f64(tv, i),
                                                  load_f64(mv, i));
        dst[i] = k < 0 ? NaN : k;
      }
    });
  }
  return out.release();
}

PyObject* py_brine_phase_line(ArgValue* args) {
  const phase_eq::Phase* ice = phase_arg(args[0]);
  if (!ice) return nullptr;
  if (ice->number == 0) {
    PyErr_SetString(PyExc_ValueError,
                    "'water1' is not an ice; the ices are 'Ih', 'II', 'III', 'V', 'VI' and "
                    "'VII_X_French'");
    return nullptr;
  }
  const nacl::Material* mat = material_arg(args[1]);
  if (!mat) return nullptr;
  PyArrayObject *values = args[2].array(), *m = args[3].array();
  std::size_t n = 0;
  if (!same_length(values, "values", m, "m", n)) return nullptr;
  const phase_eq::Solve solve =
      args[4].flag ? phase_eq::Solve::Pressure : phase_eq::Solve::Temperature;
  const phase_eq::Phases ices = phase_eq::seafreeze_ices();
  const char *src = data(values), *mv = data(m);
  return line_result(n, [&](std::size_t i) {
    return phase_eq::ice_brine(*ice, ices, *mat, load_f64(mv, i), solve, load_f64(src, i));
  });
}

PyObject* py_freezing_temperature(ArgValue* args) {
  const nacl::Material* mat = material_arg(args[0]);
  if (!mat) return nullptr;
  PyArrayObject *p = args[1].array(), *m = args[2].array();
  std::size_t n = 0;
  if (!same_length(p, "p", m, "m", n)) return nullptr;
  const phase_eq::Phases ices = phase_eq::seafreeze_ices();
  PyRef out = new_f64_array(n);
  if (!out) return nullptr;
  double* dst = f64_data(out);
  const char *pv = data(p), *mv = data(m);
  {
    GilRelease unlocked;
    parallel_for(n, FREEZE_MIN_CHUNK, [&](std::size_t begin, std::size_t end) {
      for (std::size_t i = begin; i < end; ++i)
        dst[i] = phase_eq::freezing_point(ices, *mat, load_f64(pv, i), load_f64(mv, i));
    });
  }
  return out.release();
}

}  // namespace tessarin::ext
