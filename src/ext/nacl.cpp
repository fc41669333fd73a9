// Python entry points of the aqueous NaCl splines: the solution properties at
// matched (P, T, m) points or on a P x T x m grid, and the list of materials
// with their knot ranges.
//
// The properties call looks the material up, checks and copies p, t and m
// and creates its result arrays under the interpreter lock, then releases the
// lock and evaluates on the worker pool from the copies and the immutable
// splines only, writing every point straight into its slot of the arrays.
#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "batch.hpp"
#include "ext/entry_points.hpp"
#include "ext/helpers.hpp"
#include "nacl/props.hpp"
#include "nacl/table.hpp"
#include "pool.hpp"
#include "pyref.hpp"

namespace tessarin::ext {
namespace {

using nacl::SOLUTION_KEYS;
using nacl::SOLUTION_PROPS_SIZE;

// A point costs about a microsecond (two of them where the joined material
// blends), as much as waking the workers costs for a handful of points.
constexpr std::size_t NACL_MIN_CHUNK = 16;

// The properties of the points 0 .. n - 1, where point i is (p[i], t[i],
// m[i]) or, on a grid, cell i = (ip * n_t + it) * n_m + im of p x t x m.
// Runs without the interpreter lock; touches no Python object.
void evaluate(const nacl::Material& mat, const std::vector<double>& p,
              const std::vector<double>& t, const std::vector<double>& m, bool grid,
              std::size_t n, double* const (&out)[SOLUTION_PROPS_SIZE]) {
  const std::size_t n_t = t.size(), n_m = m.size();
  parallel_for(n, NACL_MIN_CHUNK, [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) {
      double pv, tv, mv;
      if (grid) {
        pv = p[i / (n_t * n_m)];
        tv = t[i / n_m % n_t];
        mv = m[i % n_m];
      } else {
        pv = p[i];
        tv = t[i];
        mv = m[i];
      }
      const nacl::SolutionProps r = nacl::material_props(mat, pv, tv, mv);
      double v[SOLUTION_PROPS_SIZE];
      std::memcpy(v, &r, sizeof r);
      for (std::size_t k = 0; k < SOLUTION_PROPS_SIZE; ++k) out[k][i] = v[k];
    }
  });
}

}  // namespace

const nacl::Material* material_arg(const ArgValue& arg) {
  if (const nacl::Material* mat = nacl::find_material(arg.text)) return mat;
  std::string valid;
  for (const nacl::Material& m : nacl::materials()) {
    if (!valid.empty()) valid += ", ";
    valid += std::string("'") + m.name + "'";
  }
  PyErr_Format(PyExc_ValueError, "unknown material '%U' (valid: %s)", arg.obj.get(),
               valid.c_str());
  return nullptr;
}

PyObject* py_nacl_properties(ArgValue* args) {
  const nacl::Material* mat = material_arg(args[0]);
  if (!mat) return nullptr;
  std::vector<double> in[3];
  for (std::size_t a = 0; a < 3; ++a) {
    if (!require_contiguous(args[1 + a].array())) return nullptr;
    in[a] = copy_f64(args[1 + a].array());
  }
  const bool grid = args[4].flag;
  const std::size_t n_p = in[0].size(), n_t = in[1].size(), n_m = in[2].size();
  if (!grid && (n_t != n_p || n_m != n_p)) {
    PyErr_Format(PyExc_ValueError,
                 "scatter mode needs equal-length P, T and m "
                 "(len(P) = %zu, len(T) = %zu, len(m) = %zu)",
                 n_p, n_t, n_m);
    return nullptr;
  }
  const std::size_t grid_shape[3] = {n_p, n_t, n_m};
  const std::span<const std::size_t> shape(grid_shape, grid ? 3 : 1);
  PyRef arrays[SOLUTION_PROPS_SIZE];
  double* out[SOLUTION_PROPS_SIZE];
  for (std::size_t k = 0; k < SOLUTION_PROPS_SIZE; ++k) {
    arrays[k] = new_f64_array_nd(shape);
    if (!arrays[k]) return nullptr;
    out[k] = f64_data(arrays[k]);
  }
  // Cannot overflow: the arrays of n cells exist.
  const std::size_t n = grid ? n_p * n_t * n_m : n_p;
  {
    GilRelease unlocked;
    evaluate(*mat, in[0], in[1], in[2], grid, n, out);
  }
  PyRef dict(PyDict_New());
  if (!dict) return nullptr;
  for (std::size_t k = 0; k < SOLUTION_PROPS_SIZE; ++k)
    if (!dict_set(dict.get(), SOLUTION_KEYS[k], arrays[k].get())) return nullptr;
  return dict.release();
}

PyObject* py_nacl_materials(ArgValue*) {
  static const char* const AXES[3] = {"P", "T", "m"};
  PyRef dict(PyDict_New());
  if (!dict) return nullptr;
  for (const nacl::Material& mat : nacl::materials()) {
    PyRef entry(PyDict_New());
    if (!entry) return nullptr;
    for (std::size_t a = 0; a < 3; ++a) {
      const auto [lo, hi] = nacl::knot_range(mat, a);
      PyRef range(Py_BuildValue("(dd)", lo, hi));
      if (!range || !dict_set(entry.get(), AXES[a], range.get())) return nullptr;
    }
    PyRef ms(PyFloat_FromDouble(mat.low->solute_molar_mass));
    if (!ms || !dict_set(entry.get(), "M_s", ms.get())) return nullptr;
    if (!dict_set(dict.get(), mat.name, entry.get())) return nullptr;
  }
  return dict.release();
}

}  // namespace tessarin::ext
