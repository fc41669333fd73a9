// Helpers shared by the bodies of tessarin._native: arguments that name a
// phase or a material, and the result of the coexistence-line functions.
#pragma once
#include <Python.h>

#include <cstddef>

#include "args.hpp"
#include "batch.hpp"
#include "nacl/props.hpp"
#include "phase_eq/equilibria.hpp"
#include "pool.hpp"
#include "pyref.hpp"

namespace tessarin::ext {

// The SeaFreeze phase named by `arg`; null with ValueError naming the phases
// that compete otherwise.
const phase_eq::Phase* phase_arg(const ArgValue& arg);

// The NaCl(aq) material named by `arg`; null with ValueError naming the
// materials otherwise.
const nacl::Material* material_arg(const ArgValue& arg);

// A new one-dimensional NumPy bool array of n elements (null with an
// exception on failure).
PyRef new_bool_array(std::size_t n);

// Threads of the worker pool pay off for at least this many coexistence
// points (a few dozen Gibbs energies each) per chunk.
inline constexpr std::size_t LINE_MIN_CHUNK = 4;

// The coexistence points point(i) for i = 0 .. n - 1, computed on the
// worker pool with the interpreter lock released (`point` must touch no
// Python object), as a dict of 'P' and 'T' (float64) and 'stable' (bool)
// arrays; null with an exception when the result cannot be built.
template <class PointFn>
PyObject* line_result(std::size_t n, const PointFn& point) {
  PyRef p_out = new_f64_array(n), t_out = new_f64_array(n), stable_out = new_bool_array(n);
  if (!p_out || !t_out || !stable_out) return nullptr;
  double *p = f64_data(p_out), *t = f64_data(t_out);
  auto* stable = static_cast<npy_bool*>(
      PyArray_DATA(reinterpret_cast<PyArrayObject*>(stable_out.get())));
  {
    GilRelease unlocked;
    parallel_for(n, LINE_MIN_CHUNK, [&](std::size_t begin, std::size_t end) {
      for (std::size_t i = begin; i < end; ++i) {
        const phase_eq::Coexistence c = point(i);
        p[i] = c.p;
        t[i] = c.t;
        stable[i] = c.stable;
      }
    });
  }
  PyRef dict(PyDict_New());
  if (!dict || !dict_set(dict.get(), "P", p_out.get()) || !dict_set(dict.get(), "T", t_out.get()) ||
      !dict_set(dict.get(), "stable", stable_out.get()))
    return nullptr;
  return dict.release();
}

}  // namespace tessarin::ext
