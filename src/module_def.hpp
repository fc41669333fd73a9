// Building an extension module from a table of functions: method definitions
// with doc strings ("name(params)\n--\n\n" + description, from which CPython
// derives __text_signature__), one builtin function per row, and __all__ in
// table order. Shared by tessarin_rs and the tessarin package's native module.
#pragma once
#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

#include "args.hpp"
#include "pyref.hpp"

namespace tessarin {

std::string make_doc(const Function& fn);

// Method definitions for a constexpr table of Function rows. They must
// outlive the function objects, which live as long as the process, so each
// table has one static instance (`methods<Table>()`).
template <const auto& Table>
class MethodTable {
 public:
  static constexpr std::size_t N = std::size(Table);

  MethodTable() { fill(std::make_index_sequence<N>{}); }
  PyMethodDef* defs() noexcept { return defs_.data(); }

 private:
  template <std::size_t I>
  static PyObject* call(PyObject*, PyObject* args, PyObject* kwargs) {
    return call_with_args(Table[I], args, kwargs);
  }
  template <std::size_t I>
  static PyObject* call_noargs(PyObject*, PyObject*) {
    return call_without_args(Table[I]);
  }
  template <std::size_t... I>
  void fill(std::index_sequence<I...>) {
    ((docs_[I] = make_doc(Table[I]),
      defs_[I] = PyMethodDef{
          Table[I].name,
          Table[I].nparams == 0
              ? reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&call_noargs<I>))
              : reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&call<I>)),
          Table[I].nparams == 0 ? METH_NOARGS : (METH_VARARGS | METH_KEYWORDS),
          docs_[I].c_str()}),
     ...);
  }

  std::array<std::string, N> docs_;
  std::array<PyMethodDef, N + 1> defs_{};  // null-terminated
};

// Creates the module of `def` and adds the first `count` methods of `defs` as
// builtin functions (their __module__ is `name`) and __all__ listing them in
// order. A new reference, or null with the error set.
PyObject* create_module_with(PyModuleDef* def, const char* name, PyMethodDef* defs,
                             std::size_t count);

// Modules of this project live in the interpreter that first imported one of
// them: the worker pool and the spline table are process-wide and shared by
// no other interpreter. True when the current interpreter may import
// `module_name`; false with ImportError (or the error of the lookup) set.
bool first_interpreter_only(const char* module_name);

}  // namespace tessarin
