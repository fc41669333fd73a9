// Python entry points of the spline evaluator: properties on a P x T grid or
// at matched points, raw spline derivatives, and the list of phases.
//
// Each evaluating call looks the phase up, checks p and t and allocates its
// result arrays under the interpreter lock, then releases the lock and
// evaluates on the worker pool from the immutable spline and the caller's
// arrays, which the workers read piece by piece into storage of their own
// (see Coords), writing every point straight into its slot of the result
// arrays. The arrays stay alive meanwhile: the call holds references to them.
#include <cstddef>
#include <cstdint>
#include <string>

#include "batch.hpp"
#include "entry_points.hpp"
#include "pool.hpp"
#include "pyref.hpp"
#include "seafreeze/evaluate.hpp"
#include "seafreeze/table.hpp"

namespace tessarin {
namespace seafreeze {
namespace {

// Result arrays of one property call and the shape they were created with.
struct PropsArrays {
  PyRef arrays[PROPS_SIZE];
  std::size_t count = 0;  // 14 or 17
};

// Creates the result arrays, one-dimensional of length n_p (matched points)
// or (n_p, n_t) for a grid. Null with MemoryError set when they cannot be
// allocated, including a grid whose cell count overflows.
bool alloc_props_arrays(bool has_shear, bool grid, std::size_t n_p, std::size_t n_t,
                        PropsArrays& out, PropsColumns& columns) {
  out.count = has_shear ? PROPS_SIZE : PROPS_WITHOUT_SHEAR;
  for (std::size_t k = 0; k < out.count; ++k) {
    out.arrays[k] = grid ? new_f64_array_2d(n_p, n_t) : new_f64_array(n_p);
    if (!out.arrays[k]) return false;
    columns.col[k] = f64_data(out.arrays[k]);
  }
  return true;
}

// Stores the arrays under their keys, in field order. The dict and every
// array not yet stored are released on failure.
PyObject* fill_dict(PropsArrays& columns) {
  PyRef dict(PyDict_New());
  if (!dict) return nullptr;
  for (std::size_t k = 0; k < columns.count; ++k)
    if (!dict_set(dict.get(), PROPS_KEYS[k], columns.arrays[k].get())) return nullptr;
  return dict.release();
}

// The prologue shared by the evaluating functions: phase lookup, then
// contiguity of p, then of t.
struct Inputs {
  const Spline2D* spline = nullptr;
  Coords p, t;
};

Coords coords_of(PyArrayObject* arr) {
  return {static_cast<const char*>(PyArray_DATA(arr)), array_len(arr)};
}

bool read_inputs(ArgValue* args, Inputs& in) {
  in.spline = get_phase(args[0].text);
  if (!in.spline) {
    PyErr_Format(PyExc_ValueError, "unknown phase '%U'", args[0].obj.get());
    return false;
  }
  if (!require_contiguous(args[1].array())) return false;
  in.p = coords_of(args[1].array());
  if (!require_contiguous(args[2].array())) return false;
  in.t = coords_of(args[2].array());
  return true;
}

// Matched points need as many temperatures as pressures.
bool require_matched(const Inputs& in) {
  if (in.p.n == in.t.n) return true;
  PyErr_Format(PyExc_ValueError,
               "scatter mode needs equal-length P and T (len(P) = %zu, len(T) = %zu)",
               in.p.n, in.t.n);
  return false;
}

PyObject* getprop(ArgValue* args, bool grid) {
  Inputs in;
  if (!read_inputs(args, in)) return nullptr;
  if (!grid && !require_matched(in)) return nullptr;
  const std::size_t n_p = in.p.n, n_t = in.t.n;
  const bool has_shear = in.spline->shear_params.has_value();

  PropsArrays arrays;
  PropsColumns columns;
  if (!alloc_props_arrays(has_shear, grid, n_p, n_t, arrays, columns)) return nullptr;
  // Cannot overflow: the arrays of n cells exist.
  {
    GilRelease unlocked;
    if (grid)
      grid_columns(*in.spline, in.p, in.t, columns);
    else
      scatter_columns(*in.spline, in.p, in.t, columns);
  }
  return fill_dict(arrays);
}

}  // namespace
}  // namespace seafreeze

PyObject* py_sf_getprop_grid(ArgValue* args) { return seafreeze::getprop(args, true); }

PyObject* py_sf_getprop_scatter(ArgValue* args) { return seafreeze::getprop(args, false); }

PyObject* py_sf_eval_raw(ArgValue* args) {
  using namespace seafreeze;
  Inputs in;
  if (!read_inputs(args, in)) return nullptr;
  const std::uint64_t deriv_p = args[3].count, deriv_t = args[4].count;
  const bool grid = args[5].flag;
  if (!grid && !require_matched(in)) return nullptr;
  const std::size_t n_p = in.p.n, n_t = in.t.n;

  PyRef out = grid ? new_f64_array_2d(n_p, n_t) : new_f64_array(n_p);
  if (!out) return nullptr;
  {
    GilRelease unlocked;
    raw_values(*in.spline, deriv_p, deriv_t, in.p, in.t, grid, f64_data(out));
  }
  return out.release();
}

PyObject* py_sf_phases(ArgValue*) {
  PyRef dict(PyDict_New());
  if (!dict) return nullptr;
  for (const auto& entry : seafreeze::phases()) {
    const std::string& name = entry.first;
    PyRef key(PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), nullptr));
    if (!key || PyDict_SetItem(dict.get(), key.get(), Py_True) != 0) return nullptr;
  }
  return dict.release();
}

}  // namespace tessarin
