// The tessarin_rs extension module: its function table and initialisation.
#define TESSARIN_IMPORT_NUMPY
#include "np.hpp"

#include <array>
#include <cstdint>
#include <string>
#include <utility>

#include "args.hpp"
#include "entry_points.hpp"
#include "pyref.hpp"

namespace tessarin {
namespace {

// Registration order is the order of this table (and of __all__).
constexpr FunctionSpec TABLE[] = {
    function_spec("compute_batch_caupin", MODEL_PARAMS,
                  "Caupin (2019) Table III fit \xE2\x80\x94 without Kim et al. kT data (default).",
                  py_compute_batch_caupin),
    function_spec("compute_batch_caupin_kim", MODEL_PARAMS,
                  "Caupin (2019) Table II fit \xE2\x80\x94 with Kim et al. kT data.",
                  py_compute_batch_caupin_kim),
    function_spec("compute_batch_holten", MODEL_PARAMS, "", py_compute_batch_holten),
    function_spec("compute_batch_duska", MODEL_PARAMS, "", py_compute_batch_duska),
    function_spec("compute_batch_shi_tanaka", MODEL_PARAMS, "", py_compute_batch_shi_tanaka),
    function_spec("compute_spinodal_caupin", SPINODAL_PARAMS, "", py_compute_spinodal_caupin),
    function_spec("compute_spinodal_caupin_kim", SPINODAL_PARAMS, "", py_compute_spinodal_caupin_kim),
    function_spec("compute_spinodal_holten", SPINODAL_PARAMS, "", py_compute_spinodal_holten),
    function_spec("compute_spinodal_duska", SPINODAL_PARAMS, "", py_compute_spinodal_duska),
    function_spec("compute_binodal_caupin", BINODAL_PARAMS, "", py_compute_binodal_caupin),
    function_spec("compute_binodal_caupin_kim", BINODAL_PARAMS, "", py_compute_binodal_caupin_kim),
    function_spec("compute_binodal_holten", BINODAL_PARAMS, "", py_compute_binodal_holten),
    function_spec("compute_binodal_duska", BINODAL_PARAMS, "", py_compute_binodal_duska),
    function_spec("sf_getprop_grid", SF_PROP_PARAMS,
                  "Native equivalent of seafreeze.getProp(...) for grid input.\n\n"
                  "PT is an ndarray of [P_arr, T_arr]; output arrays are shape (n_P, n_T).",
                  py_sf_getprop_grid),
    function_spec("sf_getprop_scatter", SF_PROP_PARAMS,
                  "Native equivalent of seafreeze.getProp(...) for scatter input\n"
                  "(matched P and T arrays; output is 1D of length n).",
                  py_sf_getprop_scatter),
    function_spec("sf_eval_raw", SF_RAW_PARAMS,
                  "Debug entry: raw spline derivative at a grid of points.", py_sf_eval_raw),
    function_spec_noargs("sf_phases", "", py_sf_phases),
};
constexpr std::size_t N_FUNCTIONS = std::size(TABLE);

template <std::size_t I>
PyObject* call_entry(PyObject*, PyObject* args, PyObject* kwargs) {
  return call_with_args(TABLE[I], args, kwargs);
}
template <std::size_t I>
PyObject* call_entry_noargs(PyObject*, PyObject*) {
  return call_without_args(TABLE[I]);
}

// Doc strings: the signature line, "--", an empty line, then the description.
// CPython turns the first part into __text_signature__.
std::string make_doc(const FunctionSpec& fn) {
  std::string doc = std::string(fn.name) + "(";
  for (std::size_t i = 0; i < fn.nparams; ++i) {
    if (i) doc += ", ";
    doc += fn.params[i].name;
  }
  return doc + ")\n--\n\n" + fn.doc_text;
}

template <std::size_t... I>
std::array<PyMethodDef, N_FUNCTIONS> make_methods(std::index_sequence<I...>) {
  return {PyMethodDef{
      TABLE[I].name,
      TABLE[I].nparams == 0
          ? reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&call_entry_noargs<I>))
          : reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&call_entry<I>)),
      TABLE[I].nparams == 0 ? METH_NOARGS : (METH_VARARGS | METH_KEYWORDS), nullptr}...};
}

// Method definitions and doc strings must outlive the function objects, which
// live as long as the process.
std::array<std::string, N_FUNCTIONS> g_docs;
std::array<PyMethodDef, N_FUNCTIONS> g_methods;

// m_size 0 (not -1): CPython then calls the initialisation function on every
// import instead of copying the first module's dict, so a second interpreter
// reaches the check below.
PyModuleDef g_module_def = {PyModuleDef_HEAD_INIT, "tessarin_rs", "", 0, nullptr,
                            nullptr, nullptr, nullptr, nullptr};

PyObject* g_module = nullptr;
bool g_have_interpreter = false;
std::int64_t g_interpreter_id = -1;

PyObject* create_module() {
  g_methods = make_methods(std::make_index_sequence<N_FUNCTIONS>{});
  for (std::size_t i = 0; i < N_FUNCTIONS; ++i) {
    g_docs[i] = make_doc(TABLE[i]);
    g_methods[i].ml_doc = g_docs[i].c_str();
  }
  PyRef module(PyModule_Create(&g_module_def));
  if (!module) return nullptr;
  PyRef name(PyUnicode_FromString("tessarin_rs"));
  PyRef all(PyList_New(0));
  if (!name || !all) return nullptr;
  for (std::size_t i = 0; i < N_FUNCTIONS; ++i) {
    PyRef fn(PyCFunction_NewEx(&g_methods[i], module.get(), name.get()));
    if (!fn) return nullptr;
    PyRef fn_name(PyUnicode_FromString(TABLE[i].name));
    if (!fn_name || PyList_Append(all.get(), fn_name.get()) != 0) return nullptr;
    if (PyObject_SetAttr(module.get(), fn_name.get(), fn.get()) != 0) return nullptr;
  }
  if (PyObject_SetAttrString(module.get(), "__all__", all.get()) != 0) return nullptr;
  return module.release();
}

}  // namespace
}  // namespace tessarin

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_tessarin_rs() {
  using namespace tessarin;
  PyInterpreterState* interp = PyInterpreterState_Get();
  std::int64_t id = PyInterpreterState_GetID(interp);
  if (id == -1) {
    if (!PyErr_Occurred())
      PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    return nullptr;
  }
  if (!g_have_interpreter) {
    g_have_interpreter = true;
    g_interpreter_id = id;
  } else if (id != g_interpreter_id) {
    PyErr_SetString(PyExc_ImportError,
                    "tessarin_rs does not support sub-interpreters: it can only be "
                    "imported in the interpreter that first imported it");
    return nullptr;
  }
  if (g_module) {
    Py_INCREF(g_module);
    return g_module;
  }
  if (PyArray_ImportNumPyAPI() < 0) return nullptr;
  PyObject* module = create_module();
  if (!module) return nullptr;
  g_module = module;
  Py_INCREF(g_module);
  return module;
}
