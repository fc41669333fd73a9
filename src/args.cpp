#include "args.hpp"

#include <cstring>
#include <exception>
#include <new>
#include <string>

namespace tessarin {
namespace {

constexpr std::size_t MAX_PARAMS = 8;

// The short name of an object's type ("list", "ndarray"): the part of tp_name
// after the last dot, which is what Python shows as the type's __name__.
std::string type_name(PyObject* obj) {
  const char* full = Py_TYPE(obj)->tp_name;
  const char* dot = std::strrchr(full, '.');
  return dot ? std::string(dot + 1) : std::string(full);
}

void raise_cannot_convert(const char* param, PyObject* obj, const char* target) {
  PyErr_Format(PyExc_TypeError, "argument '%s': '%s' object cannot be converted to '%s'",
               param, type_name(obj).c_str(), target);
}

// Replaces a pending TypeError by TypeError("argument '<param>': <message>"),
// carrying over the original error's cause. Other exceptions stay as they are.
void rewrap_type_error(const char* param) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  PyRef t(type), v(value), trace(tb);
  PyRef text(v ? PyObject_Str(v.get()) : PyUnicode_FromString(""));
  if (!text) return;  // the error of str() is pending instead
  PyRef wrapped(PyUnicode_FromFormat("argument '%s': %U", param, text.get()));
  if (!wrapped) return;
  PyRef exc(PyObject_CallOneArg(PyExc_TypeError, wrapped.get()));
  if (!exc) return;
  if (v) {
    PyObject* cause = PyException_GetCause(v.get());  // new reference or null
    if (cause) PyException_SetCause(exc.get(), cause);  // steals cause
  }
  PyErr_SetObject(PyExc_TypeError, exc.get());
}

bool is_native_f64_vector(PyObject* obj) {
  if (!PyArray_Check(obj)) return false;
  auto* arr = reinterpret_cast<PyArrayObject*>(obj);
  if (PyArray_NDIM(arr) != 1) return false;
  PyArray_Descr* want = PyArray_DescrFromType(NPY_DOUBLE);  // new reference
  bool same = PyArray_EquivTypes(PyArray_DESCR(arr), want);
  Py_DECREF(want);
  // A byte-swapped float64 array cannot be read as native doubles.
  return same && PyArray_ISNOTSWAPPED(arr);
}

bool convert(const Param& param, PyObject* obj, ArgValue& out) {
  switch (param.kind) {
    case ArgKind::F64Vector:
      if (!is_native_f64_vector(obj)) {
        raise_cannot_convert(param.name, obj, "PyArray<T, D>");
        return false;
      }
      out.obj = PyRef::borrow(obj);
      return true;
    case ArgKind::Float: {
      double v = PyFloat_AsDouble(obj);
      if (v == -1.0 && PyErr_Occurred()) {
        rewrap_type_error(param.name);
        return false;
      }
      out.number = v;
      return true;
    }
    case ArgKind::String: {
      if (!PyUnicode_Check(obj)) {
        raise_cannot_convert(param.name, obj, "PyString");
        return false;
      }
      Py_ssize_t len = 0;
      const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &len);
      if (!utf8) {
        rewrap_type_error(param.name);
        return false;
      }
      out.obj = PyRef::borrow(obj);  // keeps the UTF-8 buffer alive
      out.text = std::string_view(utf8, static_cast<std::size_t>(len));
      return true;
    }
    case ArgKind::Count: {
      PyRef index(PyNumber_Index(obj));
      if (!index) {
        rewrap_type_error(param.name);
        return false;
      }
      unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
      if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        rewrap_type_error(param.name);
        return false;
      }
      out.count = v;
      return true;
    }
    case ArgKind::Flag:
      if (PyBool_Check(obj)) {
        out.flag = (obj == Py_True);
        return true;
      }
      if (PyArray_IsScalar(obj, Bool)) {
        out.flag = PyArrayScalar_VAL(obj, Bool) != 0;
        return true;
      }
      raise_cannot_convert(param.name, obj, "PyBool");
      return false;
  }
  PyErr_SetString(PyExc_SystemError, "unknown argument kind");
  return false;
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'".
std::string quoted_list(const Function& fn, const bool* missing) {
  std::string names[MAX_PARAMS];
  std::size_t k = 0;
  for (std::size_t i = 0; i < fn.nparams; ++i)
    if (missing[i]) names[k++] = std::string("'") + fn.params[i].name + "'";
  std::string out;
  for (std::size_t i = 0; i < k; ++i) {
    if (i > 0) out += (k == 2) ? " and " : (i + 1 == k ? ", and " : ", ");
    out += names[i];
  }
  return out;
}

PyObject* run_body(const Function& fn, ArgValue* values) {
  try {
    return fn.body(values);
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_Format(PyExc_RuntimeError, "%s() failed: %s", fn.name, e.what());
    return nullptr;
  }
}

}  // namespace

PyObject* call_with_args(const Function& fn, PyObject* args, PyObject* kwargs) {
  PyObject* slots[MAX_PARAMS] = {};  // borrowed references
  const std::size_t n = fn.nparams;

  Py_ssize_t given = args ? PyTuple_GET_SIZE(args) : 0;
  if (static_cast<std::size_t>(given) > n) {
    PyErr_Format(PyExc_TypeError, "%s() takes %zu positional arguments but %zd %s given",
                 fn.name, n, given, given == 1 ? "was" : "were");
    return nullptr;
  }
  for (Py_ssize_t i = 0; i < given; ++i) slots[i] = PyTuple_GET_ITEM(args, i);

  if (kwargs) {
    Py_ssize_t pos = 0;
    PyObject *key = nullptr, *value = nullptr;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", fn.name);
        return nullptr;
      }
      std::size_t match = n;
      for (std::size_t i = 0; i < n; ++i) {
        if (PyUnicode_CompareWithASCIIString(key, fn.params[i].name) == 0) {
          match = i;
          break;
        }
      }
      if (match == n) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                     fn.name, key);
        return nullptr;
      }
      if (slots[match]) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'",
                     fn.name, fn.params[match].name);
        return nullptr;
      }
      slots[match] = value;
    }
  }

  bool missing[MAX_PARAMS] = {};
  std::size_t n_missing = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (!slots[i]) {
      missing[i] = true;
      ++n_missing;
    }
  }
  if (n_missing) {
    std::string list = quoted_list(fn, missing);
    PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional argument%s: %s",
                 fn.name, n_missing, n_missing > 1 ? "s" : "", list.c_str());
    return nullptr;
  }

  // Converted values hold their references until the call returns.
  ArgValue values[MAX_PARAMS];
  for (std::size_t i = 0; i < n; ++i)
    if (!convert(fn.params[i], slots[i], values[i])) return nullptr;
  return run_body(fn, values);
}

PyObject* call_without_args(const Function& fn) { return run_body(fn, nullptr); }

}  // namespace tessarin
