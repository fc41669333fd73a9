// Python entry points of the spline evaluator: properties on a P x T grid or
// at matched points, raw spline derivatives, and the list of phases.
//
// Each evaluating call looks the phase up and copies p and t under the
// interpreter lock, allocates its result arrays, then releases the lock and
// evaluates on the worker pool from the copies and the immutable spline only,
// writing every point straight into its slot of the result arrays.
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <vector>

#include "batch.hpp"
#include "entry_points.hpp"
#include "pool.hpp"
#include "pyref.hpp"
#include "seafreeze/props.hpp"
#include "seafreeze/spline.hpp"
#include "seafreeze/table.hpp"

namespace tessarin {
namespace seafreeze {
namespace {

// A property point costs well under a microsecond, about as much as waking
// the workers costs for a few dozen points; smaller batches (in particular
// single points) stay on the calling thread.
constexpr std::size_t SF_MIN_CHUNK = 64;

// The points of a raw evaluation: matched pairs (p[i], t[i]), or the cells of
// the grid p x t in row-major order (cell i * n_t + k is (p[i], t[k])).
struct PointSource {
  const double* p;
  const double* t;
  std::size_t n_t;
  bool grid;

  // Calls fn(index, p, t) for the points begin .. end - 1, in order.
  template <class Fn>
  void for_range(std::size_t begin, std::size_t end, Fn&& fn) const {
    if (!grid) {
      for (std::size_t i = begin; i < end; ++i) fn(i, p[i], t[i]);
      return;
    }
    if (begin >= end) return;
    std::size_t row = begin / n_t, col = begin % n_t;
    for (std::size_t i = begin; i < end; ++i) {
      fn(i, p[row], t[col]);
      if (++col == n_t) {
        col = 0;
        ++row;
      }
    }
  }
};

// Output slots of the property columns; null for columns the phase does not
// return (shear, Vp, Vs of the liquid phases).
struct PropsColumns {
  double* col[PROPS_SIZE] = {};
};

// Result arrays of one property call and the shape they were created with.
struct PropsArrays {
  PyRef arrays[PROPS_SIZE];
  std::size_t count = 0;  // 14 or 17
};

// Writes the points i .. i + count - 1, held in the lanes of r, to their
// slots of every column the phase returns.
template <std::size_t L>
inline void store(const PropsColumns& columns, std::size_t i, const PropsLanes<L>& r,
                  std::size_t count) {
  for (std::size_t k = 0; k < PROPS_SIZE; ++k) {
    double* col = columns.col[k];
    if (!col) continue;
    if (count == L) {
      std::memcpy(col + i, &r.f[k], sizeof r.f[k]);
    } else {
      for (std::size_t l = 0; l < count; ++l) col[i + l] = r.f[k][l];
    }
  }
}

// Evaluates the properties of the matched points (p[i], t[i]), i < n, in
// parallel and writes field k of point i to columns.col[k][i]. Runs without
// the interpreter lock; touches no Python object.
void scatter_arrays(const Spline2D& spline, const double* p, const double* t, std::size_t n,
                    const PropsColumns& columns) {
  const auto out = [&](std::size_t i, const auto& r, std::size_t count) {
    store(columns, i, r, count);
  };
  parallel_for(n, SF_MIN_CHUNK, [&](std::size_t begin, std::size_t end) {
    scatter_props(spline, p, t, begin, end, out);
  });
}

// The same for the cells of the grid p x t (cell i * n_t + k is (p[i], t[k])).
// The grid is cut into tiles of up to GRID_BLOCK columns and enough rows to
// amortise the tile's column bases; the tiles are shared out over the pool.
void grid_arrays(const Spline2D& spline, const double* p, std::size_t n_p, const double* t,
                 std::size_t n_t, const PropsColumns& columns) {
  if (n_p == 0 || n_t == 0) return;
  const std::size_t col_blocks = (n_t + GRID_BLOCK - 1) / GRID_BLOCK;
  const std::size_t cols = (n_t + col_blocks - 1) / col_blocks;  // even blocks
  const std::size_t rows = std::min(n_p, std::max<std::size_t>(8, 8192 / cols));
  const std::size_t row_blocks = (n_p + rows - 1) / rows;
  const auto out = [&](std::size_t i, const auto& r, std::size_t count) {
    store(columns, i, r, count);
  };
  // A grid of a single tile runs on the calling thread.
  parallel_for(row_blocks * col_blocks, 1, [&](std::size_t begin, std::size_t end) {
    for (std::size_t tile = begin; tile < end; ++tile) {
      const std::size_t r0 = (tile / col_blocks) * rows, c0 = (tile % col_blocks) * cols;
      grid_props(spline, p, t, n_t, r0, std::min(n_p, r0 + rows), c0, std::min(n_t, c0 + cols),
                 out);
    }
  });
}

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
// contiguity and a private copy of p, then of t.
struct Inputs {
  const Spline2D* spline = nullptr;
  std::vector<double> p, t;
};

bool read_inputs(ArgValue* args, Inputs& in) {
  in.spline = get_phase(args[0].text);
  if (!in.spline) {
    PyErr_Format(PyExc_ValueError, "unknown phase '%U'", args[0].obj.get());
    return false;
  }
  if (!require_contiguous(args[1].array())) return false;
  in.p = copy_f64(args[1].array());
  if (!require_contiguous(args[2].array())) return false;
  in.t = copy_f64(args[2].array());
  return true;
}

// Matched points need as many temperatures as pressures.
bool require_matched(const Inputs& in) {
  if (in.p.size() == in.t.size()) return true;
  PyErr_Format(PyExc_ValueError,
               "scatter mode needs equal-length P and T (len(P) = %zu, len(T) = %zu)",
               in.p.size(), in.t.size());
  return false;
}

PyObject* getprop(ArgValue* args, bool grid) {
  Inputs in;
  if (!read_inputs(args, in)) return nullptr;
  if (!grid && !require_matched(in)) return nullptr;
  const std::size_t n_p = in.p.size(), n_t = in.t.size();
  const bool has_shear = in.spline->shear_params.has_value();

  PropsArrays arrays;
  PropsColumns columns;
  if (!alloc_props_arrays(has_shear, grid, n_p, n_t, arrays, columns)) return nullptr;
  // Cannot overflow: the arrays of n cells exist.
  {
    GilRelease unlocked;
    if (grid)
      grid_arrays(*in.spline, in.p.data(), n_p, in.t.data(), n_t, columns);
    else
      scatter_arrays(*in.spline, in.p.data(), in.t.data(), n_p, columns);
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
  const std::size_t n_p = in.p.size(), n_t = in.t.size();

  PyRef out = grid ? new_f64_array_2d(n_p, n_t) : new_f64_array(n_p);
  if (!out) return nullptr;
  double* values = f64_data(out);
  const std::size_t n = grid ? n_p * n_t : n_p;
  const PointSource src{in.p.data(), in.t.data(), n_t, grid};
  const Spline2D& spline = *in.spline;
  {
    GilRelease unlocked;
    parallel_for(n, SF_MIN_CHUNK, [&](std::size_t begin, std::size_t end) {
      src.for_range(begin, end, [&](std::size_t i, double p, double t) {
        values[i] = eval_point(spline, deriv_p, deriv_t, p, t);
      });
    });
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
