// Argument matching and conversion shared by every module function.
//
// Each function is described by a Function: its name, its parameters
// (all required, positional-or-keyword) with the kind of value each accepts,
// the text of its doc string and its body. Matching fills one slot per
// parameter from the positional tuple and the keyword dict; conversion then
// turns each slot into a typed ArgValue, and the body receives the array of
// converted values.
#pragma once
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "np.hpp"
#include "pyref.hpp"

namespace tessarin {

enum class ArgKind {
  F64Vector,  // one-dimensional float64 ndarray, borrowed read-only
  Float,      // anything CPython converts to a C double
  String,     // a Python str
  Count,      // non-negative integer that fits in 64 bits
  Flag,       // a Python bool or a NumPy boolean scalar
};

struct Param {
  const char* name;
  ArgKind kind;
};

// One converted argument. Only the member that matches the parameter's kind
// is meaningful.
struct ArgValue {
  PyRef obj;  // F64Vector: the caller's array; String: the str object
  double number = 0.0;
  std::string_view text;
  std::uint64_t count = 0;
  bool flag = false;

  PyArrayObject* array() const noexcept {
    return reinterpret_cast<PyArrayObject*>(obj.get());
  }
};

// A function body: receives the converted arguments (null for a function
// without parameters) and returns a new reference or null with an exception.
using Body = PyObject* (*)(ArgValue* args);

struct Function {
  const char* name;
  const Param* params;
  std::size_t nparams;
  const char* doc_text;  // description after the signature line, may be ""
  Body body;
};

template <std::size_t N>
constexpr Function make_function(const char* name, const Param (&params)[N],
                                     const char* doc_text, Body body) {
  return Function{name, params, N, doc_text, body};
}
constexpr Function make_function_noargs(const char* name, const char* doc_text,
                                            Body body) {
  return Function{name, nullptr, 0, doc_text, body};
}

// Parameter lists shared by several functions.
inline constexpr Param MODEL_PARAMS[] = {
    {"t_k", ArgKind::F64Vector}, {"p_mpa", ArgKind::F64Vector}};
inline constexpr Param SPINODAL_PARAMS[] = {
    {"p_arr", ArgKind::F64Vector}, {"t_llcp", ArgKind::Float}, {"p_llcp", ArgKind::Float}};
inline constexpr Param BINODAL_PARAMS[] = {{"spin_p", ArgKind::F64Vector},
                                               {"spin_t_upper", ArgKind::F64Vector},
                                               {"spin_t_lower", ArgKind::F64Vector},
                                               {"t_llcp", ArgKind::Float},
                                               {"p_llcp", ArgKind::Float}};
inline constexpr Param SF_PROP_PARAMS[] = {
    {"phase", ArgKind::String}, {"p", ArgKind::F64Vector}, {"t", ArgKind::F64Vector}};
inline constexpr Param SF_RAW_PARAMS[] = {
    {"phase", ArgKind::String},  {"p", ArgKind::F64Vector}, {"t", ArgKind::F64Vector},
    {"deriv_p", ArgKind::Count}, {"deriv_t", ArgKind::Count}, {"grid", ArgKind::Flag}};

// Matches args/kwargs to the parameters of `fn`, converts them and runs the
// body. C++ exceptions escaping the body become Python exceptions
// (std::bad_alloc becomes MemoryError).
PyObject* call_with_args(const Function& fn, PyObject* args, PyObject* kwargs);

// Runs a parameterless body with the same exception translation.
PyObject* call_without_args(const Function& fn);

}  // namespace tessarin
