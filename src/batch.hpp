// Shared machinery of the entry points: contiguity and length checks,
// unaligned-safe reads of the caller's arrays, result arrays, and the batch
// procedure of the liquid-water models.
#pragma once
#include <Python.h>

#include <cstddef>
#include <cstring>
#include <span>
#include <vector>

#include "args.hpp"
#include "np.hpp"
#include "point_result.hpp"
#include "pool.hpp"
#include "pyref.hpp"

namespace tessarin {

// Raises TypeError "The given array is not contiguous" and returns false when
// `arr` is neither C- nor Fortran-contiguous or has no data pointer.
bool require_contiguous(PyArrayObject* arr);

// Raises ValueError and returns false when `longer` has fewer elements than
// `shorter_name`'s array, which sets the number of points.
bool require_at_least(PyArrayObject* arr, const char* name, std::size_t n,
                      const char* ref_name);

// Element i of a contiguous float64 array. The caller's buffer may be
// unaligned (for example np.frombuffer with an odd offset), so it is read
// byte-wise; compilers turn this into a plain load.
inline double load_f64(const char* base, std::size_t i) noexcept {
  double v;
  std::memcpy(&v, base + i * sizeof(double), sizeof(double));
  return v;
}

inline std::size_t array_len(PyArrayObject* arr) noexcept {
  return static_cast<std::size_t>(PyArray_SIZE(arr));
}

// Copies the first n values (by default all) of a contiguous float64 array,
// which must hold that many, into an owned vector.
std::vector<double> copy_f64(PyArrayObject* arr, std::size_t n);
inline std::vector<double> copy_f64(PyArrayObject* arr) { return copy_f64(arr, array_len(arr)); }

// New, uninitialised C-contiguous, writeable float64 arrays. Those of at
// least buffers::MIN_BYTES live in recycled memory (buffers.hpp), owned by
// the array's base object, which hands it back when the array and all its
// views are gone; smaller ones own NumPy-allocated data. Null with
// MemoryError (or another Python error) set on failure.
PyRef new_f64_array(std::size_t n);
PyRef new_f64_array_2d(std::size_t rows, std::size_t cols);
// The same with any number of dimensions (up to NumPy's limit).
PyRef new_f64_array_nd(std::span<const std::size_t> shape);
inline double* f64_data(const PyRef& arr) noexcept {
  return static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(arr.get())));
}
// A new float64 array holding a copy of `values`.
PyRef f64_array_from(const std::vector<double>& values);

// Inserts value under key (a new str) into dict; false with an error set on
// failure. Neither reference is stolen.
bool dict_set(PyObject* dict, const char* key, PyObject* value);

// A liquid model evaluated on a block of up to MODEL_BLOCK points at once:
// out[j] receives the record of point (t[j], p[j]) for j < count. Kernels
// that interleave several points (so that the latency of one point's
// dependent library calls overlaps another's) compute every lane with the same
// operations as a single point, so a point's bits never depend on its block.
inline constexpr std::size_t MODEL_BLOCK = 8;
using BlockFn = void (*)(const double* t_k, const double* p_mpa, std::size_t count,
                         PointResult* out, const void* params);

// The batch procedure shared by the liquid models: checks t_k and p_mpa, creates
// the forty result arrays, evaluates the model at every (t[i], p[i]) (in
// parallel with the interpreter lock released when `parallel`, otherwise
// serially under the lock) and returns the forty-entry dictionary.
PyObject* model_batch(const ArgValue* args, BlockFn block, const void* params, bool parallel);

}  // namespace tessarin
