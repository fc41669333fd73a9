#include "module_def.hpp"

namespace tessarin {

std::string make_doc(const Function& fn) {
  std::string doc = std::string(fn.name) + "(";
  for (std::size_t i = 0; i < fn.nparams; ++i) {
    if (i) doc += ", ";
    doc += fn.params[i].name;
  }
  return doc + ")\n--\n\n" + fn.doc_text;
}

PyObject* create_module_with(PyModuleDef* def, const char* name, PyMethodDef* defs,
                             std::size_t count) {
  PyRef module(PyModule_Create(def));
  if (!module) return nullptr;
  PyRef module_name(PyUnicode_FromString(name));
  PyRef all(PyList_New(0));
  if (!module_name || !all) return nullptr;
  for (std::size_t i = 0; i < count; ++i) {
    PyRef fn(PyCFunction_NewEx(&defs[i], module.get(), module_name.get()));
    if (!fn) return nullptr;
    PyRef fn_name(PyUnicode_FromString(defs[i].ml_name));
    if (!fn_name || PyList_Append(all.get(), fn_name.get()) != 0) return nullptr;
    if (PyObject_SetAttr(module.get(), fn_name.get(), fn.get()) != 0) return nullptr;
  }
  if (PyObject_SetAttrString(module.get(), "__all__", all.get()) != 0) return nullptr;
  return module.release();
}

namespace {
bool g_have_interpreter = false;
std::int64_t g_interpreter_id = -1;
}  // namespace

bool first_interpreter_only(const char* module_name) {
  PyInterpreterState* interp = PyInterpreterState_Get();
  std::int64_t id = PyInterpreterState_GetID(interp);
  if (id == -1) {
    if (!PyErr_Occurred())
      PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    return false;
  }
  if (!g_have_interpreter) {
    g_have_interpreter = true;
    g_interpreter_id = id;
  } else if (id != g_interpreter_id) {
    PyErr_Format(PyExc_ImportError,
                 "%s does not support sub-interpreters: it can only be "
                 "imported in the interpreter that first imported it",
                 module_name);
    return false;
  }
  return true;
}

}  // namespace tessarin
