// The tessarin_rs extension module: its function table and initialisation.
#define TESSARIN_IMPORT_NUMPY
#include "np.hpp"

#include "args.hpp"
#include "entry_points.hpp"
#include "module_def.hpp"

namespace tessarin {
namespace {

// Registration order is the order of this table (and of __all__).
constexpr Function TABLE[] = {
    make_function("compute_batch_caupin", MODEL_PARAMS,
                  "Caupin (2019) Table III fit \xE2\x80\x94 without Kim et al. kT data (default).",
                  py_compute_batch_caupin),
    make_function("compute_batch_caupin_kim", MODEL_PARAMS,
                  "Caupin (2019) Table II fit \xE2\x80\x94 with Kim et al. kT data.",
                  py_compute_batch_caupin_kim),
    make_function("compute_batch_holten", MODEL_PARAMS, "", py_compute_batch_holten),
    make_function("compute_batch_duska", MODEL_PARAMS, "", py_compute_batch_duska),
    make_function("compute_batch_shi_tanaka", MODEL_PARAMS, "", py_compute_batch_shi_tanaka),
    make_function("compute_spinodal_caupin", SPINODAL_PARAMS, "", py_compute_spinodal_caupin),
    make_function("compute_spinodal_caupin_kim", SPINODAL_PARAMS, "", py_compute_spinodal_caupin_kim),
    make_function("compute_spinodal_holten", SPINODAL_PARAMS, "", py_compute_spinodal_holten),
    make_function("compute_spinodal_duska", SPINODAL_PARAMS, "", py_compute_spinodal_duska),
    make_function("compute_binodal_caupin", BINODAL_PARAMS, "", py_compute_binodal_caupin),
    make_function("compute_binodal_caupin_kim", BINODAL_PARAMS, "", py_compute_binodal_caupin_kim),
    make_function("compute_binodal_holten", BINODAL_PARAMS, "", py_compute_binodal_holten),
    make_function("compute_binodal_duska", BINODAL_PARAMS, "", py_compute_binodal_duska),
    make_function("sf_getprop_grid", SF_PROP_PARAMS,
                  "Native equivalent of seafreeze.getProp(...) for grid input.\n\n"
                  "PT is an ndarray of [P_arr, T_arr]; output arrays are shape (n_P, n_T).",
                  py_sf_getprop_grid),
    make_function("sf_getprop_scatter", SF_PROP_PARAMS,
                  "Native equivalent of seafreeze.getProp(...) for scatter input\n"
                  "(matched P and T arrays; output is 1D of length n).",
                  py_sf_getprop_scatter),
    make_function("sf_eval_raw", SF_RAW_PARAMS,
                  "Debug entry: raw spline derivative at a grid of points.", py_sf_eval_raw),
    make_function_noargs("sf_phases", "", py_sf_phases),
};
// m_size 0 (not -1): CPython then calls the initialisation function on every
// import instead of copying the first module's dict, so a second interpreter
// reaches the check in PyInit_tessarin_rs.
PyModuleDef g_module_def = {PyModuleDef_HEAD_INIT, "tessarin_rs", "", 0, nullptr,
                            nullptr, nullptr, nullptr, nullptr};

PyObject* g_module = nullptr;

}  // namespace
}  // namespace tessarin

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_tessarin_rs() {
  using namespace tessarin;
  if (!first_interpreter_only("tessarin_rs")) return nullptr;
  if (g_module) {
    Py_INCREF(g_module);
    return g_module;
  }
  if (PyArray_ImportNumPyAPI() < 0) return nullptr;
  static MethodTable<TABLE> methods;
  PyObject* module =
      create_module_with(&g_module_def, "tessarin_rs", methods.defs(), MethodTable<TABLE>::N);
  if (!module) return nullptr;
  g_module = module;
  Py_INCREF(g_module);
  return module;
}
