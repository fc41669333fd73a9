#include "batch.hpp"

#include <algorithm>
#include <limits>
#include <new>

#include "buffers.hpp"

namespace tessarin {

bool require_contiguous(PyArrayObject* arr) {
  bool ok = (PyArray_IS_C_CONTIGUOUS(arr) || PyArray_IS_F_CONTIGUOUS(arr)) &&
            PyArray_DATA(arr) != nullptr;
  if (!ok) PyErr_SetString(PyExc_TypeError, "The given array is not contiguous");
  return ok;
}

bool require_at_least(PyArrayObject* arr, const char* name, std::size_t n,
                      const char* ref_name) {
  std::size_t have = array_len(arr);
  if (have >= n) return true;
  PyErr_Format(PyExc_ValueError, "%s has %zu elements but %s has %zu; it needs at least as many",
               name, have, ref_name, n);
  return false;
}

std::vector<double> copy_f64(PyArrayObject* arr, std::size_t n) {
  std::vector<double> out(n);
  if (n) std::memcpy(out.data(), PyArray_DATA(arr), n * sizeof(double));
  return out;
}

PyRef new_f64_array(std::size_t n) {
  const std::size_t shape[1] = {n};
  return new_f64_array_nd(shape);
}

namespace {

constexpr const char* RESULT_MEMORY = "tessarin result memory";

void release_result_memory(PyObject* capsule) {
  auto* data = PyCapsule_GetPointer(capsule, RESULT_MEMORY);
  auto bytes = reinterpret_cast<std::size_t>(PyCapsule_GetContext(capsule));
  buffers::release({data, bytes});
}

}  // namespace

PyRef new_f64_array_2d(std::size_t rows, std::size_t cols) {
  const std::size_t shape[2] = {rows, cols};
  return new_f64_array_nd(shape);
}

PyRef new_f64_array_nd(std::span<const std::size_t> shape) {
  // The element count (and each extent) must stay below the largest byte
  // count NumPy can address, whatever the order of the factors.
  const std::size_t limit = static_cast<std::size_t>(NPY_MAX_INTP) / sizeof(double);
  npy_intp dims[NPY_MAXDIMS];
  if (shape.size() > NPY_MAXDIMS) {
    PyErr_SetString(PyExc_ValueError, "too many dimensions");
    return PyRef();
  }
  std::size_t cells = 1;
  bool empty = false;
  for (std::size_t k = 0; k < shape.size(); ++k) {
    if (shape[k] > limit || (!empty && shape[k] && cells > limit / shape[k])) {
      PyErr_NoMemory();
      return PyRef();
    }
    empty |= shape[k] == 0;
    if (!empty) cells *= shape[k];
    dims[k] = static_cast<npy_intp>(shape[k]);
  }
  const int nd = static_cast<int>(shape.size());
  const std::size_t bytes = empty ? 0 : cells * sizeof(double);
  if (bytes < buffers::MIN_BYTES) return PyRef(PyArray_EMPTY(nd, dims, NPY_DOUBLE, 0));

  // A large array lives in a recycled block, owned by a capsule set as the
  // array's base: when the last view of the array is gone, the capsule's
  // destructor hands the block back.
  const buffers::Block block = buffers::acquire(bytes);
  if (!block.data) {
    PyErr_NoMemory();
    return PyRef();
  }
  PyRef owner(PyCapsule_New(block.data, RESULT_MEMORY, nullptr));
  if (!owner || PyCapsule_SetContext(owner.get(), reinterpret_cast<void*>(block.bytes)) != 0 ||
      PyCapsule_SetDestructor(owner.get(), release_result_memory) != 0) {
    buffers::release(block);
    return PyRef();
  }
  PyRef arr(PyArray_NewFromDescr(&PyArray_Type, PyArray_DescrFromType(NPY_DOUBLE), nd, dims,
                                 nullptr, block.data, NPY_ARRAY_CARRAY, nullptr));
  if (!arr ||
      PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(arr.get()), owner.release()) != 0)
    return PyRef();
  return arr;
}

PyRef f64_array_from(const std::vector<double>& values) {
  PyRef arr = new_f64_array(values.size());
  if (arr && !values.empty())
    std::memcpy(f64_data(arr), values.data(), values.size() * sizeof(double));
  return arr;
}

bool dict_set(PyObject* dict, const char* key, PyObject* value) {
  PyRef k(PyUnicode_FromString(key));
  return k && PyDict_SetItem(dict, k.get(), value) == 0;
}

namespace {

struct ModelRun {
  BlockFn block;
  const void* params;
  const char* t;
  const char* p;
  double* out[POINT_RESULT_SIZE];

  void operator()(std::size_t begin, std::size_t end) const {
    double tb[MODEL_BLOCK], pb[MODEL_BLOCK];
    PointResult rb[MODEL_BLOCK];
    for (std::size_t i = begin; i < end; i += MODEL_BLOCK) {
      const std::size_t count = std::min(MODEL_BLOCK, end - i);
      for (std::size_t j = 0; j < count; ++j) {
        tb[j] = load_f64(t, i + j);
        pb[j] = load_f64(p, i + j);
      }
      block(tb, pb, count, rb, params);
      double v[MODEL_BLOCK][POINT_RESULT_SIZE];
      std::memcpy(v, rb, count * sizeof(PointResult));
      // One column at a time: the forty columns start at the same offset
      // within their pages, so writing across all of them for every point
      // makes the stores evict each other from the cache.
      // Every NaN is stored as the one quiet NaN: the sign and payload of a
      // NaN depend on the order of operands, which the compiler may choose
      // differently for a point evaluated alone or beside others.
      for (std::size_t k = 0; k < POINT_RESULT_SIZE; ++k) {
        double* col = out[k] + i;
        for (std::size_t j = 0; j < count; ++j)
          col[j] = (v[j][k] == v[j][k]) ? v[j][k] : std::numeric_limits<double>::quiet_NaN();
      }
    }
  }
};

// A liquid-model point costs microseconds; below this many points waking the
// workers costs more than it saves.
constexpr std::size_t MODEL_MIN_CHUNK = 8;

}  // namespace

PyObject* model_batch(const ArgValue* args, BlockFn block, const void* params, bool parallel) {
  PyArrayObject* t = args[0].array();
  PyArrayObject* p = args[1].array();
  if (!require_contiguous(t) || !require_contiguous(p)) return nullptr;
  const std::size_t n = array_len(t);
  if (!require_at_least(p, "p_mpa", n, "t_k")) return nullptr;

  // The results are written straight into the arrays that are returned, so
  // a batch needs no second copy of its forty columns.
  PyRef arrays[POINT_RESULT_SIZE];
  ModelRun run{block, params, static_cast<const char*>(PyArray_DATA(t)),
               static_cast<const char*>(PyArray_DATA(p)), {}};
  for (std::size_t k = 0; k < POINT_RESULT_SIZE; ++k) {
    arrays[k] = new_f64_array(n);
    if (!arrays[k]) return nullptr;
    run.out[k] = f64_data(arrays[k]);
  }

  if (parallel) {
    GilRelease unlocked;
    parallel_for(n, MODEL_MIN_CHUNK, run);
  } else {
    run(0, n);
  }

  PyRef dict(PyDict_New());
  if (!dict) return nullptr;
  for (std::size_t k = 0; k < POINT_RESULT_SIZE; ++k)
    if (!dict_set(dict.get(), POINT_RESULT_KEYS[k], arrays[k].get())) return nullptr;
  return dict.release();
}

}  // namespace tessarin
