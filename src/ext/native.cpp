// tessarin._native: the compiled part of the tessarin package. It is built
// from the same kernels as tessarin_rs and holds what the package needs in
// compiled form beyond the core's seventeen functions.
#define TESSARIN_IMPORT_NUMPY
#include "np.hpp"

#include "args.hpp"
#include "ext/entry_points.hpp"
#include "module_def.hpp"

namespace tessarin::ext {
namespace {

constexpr Param CRITICAL_POINT_PARAMS[] = {{"model", ArgKind::String}};
constexpr Param WHICHPHASE_PARAMS[] = {{"p", ArgKind::F64Vector}, {"t", ArgKind::F64Vector}};
constexpr Param PHASE_LINE_PARAMS[] = {{"a", ArgKind::String},
                                       {"b", ArgKind::String},
                                       {"values", ArgKind::F64Vector},
                                       {"solve_pressure", ArgKind::Flag}};
constexpr Param NACL_PARAMS[] = {{"material", ArgKind::String},
                                  {"p", ArgKind::F64Vector},
                                  {"t", ArgKind::F64Vector},
                                  {"m", ArgKind::F64Vector},
                                  {"grid", ArgKind::Flag}};
constexpr Param BRINE_WHICHPHASE_PARAMS[] = {{"material", ArgKind::String},
                                             {"p", ArgKind::F64Vector},
                                             {"t", ArgKind::F64Vector},
                                             {"m", ArgKind::F64Vector}};
constexpr Param BRINE_LINE_PARAMS[] = {{"ice", ArgKind::String},
                                       {"material", ArgKind::String},
                                       {"values", ArgKind::F64Vector},
                                       {"m", ArgKind::F64Vector},
                                       {"solve_pressure", ArgKind::Flag}};
constexpr Param FREEZING_PARAMS[] = {{"material", ArgKind::String},
                                     {"p", ArgKind::F64Vector},
                                     {"m", ArgKind::F64Vector}};

constexpr Function TABLE[] = {
    make_function_noargs("build_info",
                         "The compiler, C library and processor features of this build and "
                         "machine, as a dict of str.",
                         py_build_info),
    make_function("critical_point", CRITICAL_POINT_PARAMS,
                  "Liquid-liquid critical point (T in K, P in MPa) of the two-state model "
                  "'holten', 'caupin', 'caupin_kim' or 'duska': where its field is zero and its "
                  "interaction is twice its entropy weight.",
                  py_critical_point),
    make_function_noargs("knot_ranges",
                         "First and last knots of every SeaFreeze phase, as a dict of "
                         "(P first, P last, T first, T last) in MPa and K.",
                         py_knot_ranges),
    make_function_noargs("phase_numbers",
                         "The phases that compete for stability and their numbers, as a dict "
                         "of name -> int.",
                         py_phase_numbers),
    make_function("whichphase", WHICHPHASE_PARAMS,
                  "Number of the stable phase at the matched points (p[i], t[i]), MPa and K: "
                  "the least Gibbs energy among the phases whose knot range contains the "
                  "point; NaN where none does.",
                  py_whichphase),
    make_function("phase_line", PHASE_LINE_PARAMS,
                  "Coexistence of phases a and b at the temperatures `values` (solving for "
                  "pressure when solve_pressure is True) or at the pressures `values` "
                  "(solving for temperature): dict of 'P' (MPa), 'T' (K) and 'stable' (no "
                  "third phase lower), NaN and False where there is no root.",
                  py_phase_line),
    make_function_noargs("triple_points",
                         "Every point where three phases coexist and no fourth is lower, as a "
                         "list of (name, name, name, P in MPa, T in K) ordered by pressure.",
                         py_triple_points),
    make_function("nacl_properties", NACL_PARAMS,
                  "Properties of aqueous NaCl from its SeaFreeze Gibbs-energy spline.\n\n"
                  "p (MPa), t (K) and m (mol/kg of water) are 1-D float64 arrays: of equal "
                  "length\n(matched points, 1-D results) or, with grid true, the axes of a "
                  "grid\n(results of shape (len(p), len(t), len(m))). Returns a dict of "
                  "float64\narrays: the solution's G, rho, V, S, H, U, A, Cp, Cv, alpha, Kt, "
                  "Kp, Ks, vel,\nJs, gamma_Gruneisen and the mixing quantities mus, muw, Vm, "
                  "Vw, Cpm, Va, Cpa,\naw, phi, Vex, xs, xw, f. Points outside the knot range "
                  "are extrapolated.",
                  py_nacl_properties),
    make_function_noargs("nacl_materials",
                         "The NaCl(aq) materials: name -> {'P': (lo, hi), 'T': (lo, hi), "
                         "'m': (lo, hi), 'M_s': kg/mol}, the knot ranges in MPa, K and "
                         "mol/kg.",
                         py_nacl_materials),
    make_function("brine_whichphase", BRINE_WHICHPHASE_PARAMS,
                  "Number of the stable phase at the matched points (p[i], t[i]), MPa and K, "
                  "with the liquid of NaCl(aq) `material` at molality m[i] (mol/kg) in place "
                  "of pure water: 0 for the brine, where the chemical potential of its water "
                  "is below M_w times the least Gibbs energy of the ices, otherwise that ice's "
                  "number; NaN where no phase's range contains the point or m lies outside "
                  "the material's molality range.",
                  py_brine_whichphase),
    make_function("brine_phase_line", BRINE_LINE_PARAMS,
                  "Coexistence of `ice` with the liquid of NaCl(aq) `material` at molalities "
                  "m (mol/kg), where the chemical potential of its water equals M_w G_ice, at "
                  "the temperatures `values` (solving for pressure when solve_pressure is "
                  "True) or the pressures `values` (solving for temperature): dict of 'P' "
                  "(MPa), 'T' (K) and 'stable' (no other ice lower), NaN and False where "
                  "there is no root.",
                  py_brine_phase_line),
    make_function("freezing_temperature", FREEZING_PARAMS,
                  "Temperature (K) at which the liquid of NaCl(aq) `material` at molalities "
                  "m (mol/kg) freezes at the pressures p (MPa): its coexistence with the ice "
                  "that is stable there. NaN where it coexists with no ice in its range.",
                  py_freezing_temperature),
};

// Functions whose arguments the table's conversions do not cover, called by
// CPython with the arguments as they come.
PyMethodDef g_fastcall[] = {
    {"at_point", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&py_at_point)),
     METH_FASTCALL,
     "at_point(evaluate, x0, ...)\n--\n\nCalls evaluate with one-element float64 arrays holding "
     "the numbers x0, ... and returns its dict with every one-element array turned into a 0-d "
     "array."},
    {nullptr, nullptr, 0, nullptr}};

PyModuleDef g_module_def = {PyModuleDef_HEAD_INIT, "tessarin._native", "", 0, nullptr,
                            nullptr, nullptr, nullptr, nullptr};
PyObject* g_module = nullptr;

}  // namespace
}  // namespace tessarin::ext

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__native() {
  using namespace tessarin;
  using tessarin::ext::TABLE;
  if (!first_interpreter_only("tessarin._native")) return nullptr;
  if (ext::g_module) {
    Py_INCREF(ext::g_module);
    return ext::g_module;
  }
  if (PyArray_ImportNumPyAPI() < 0) return nullptr;
  static MethodTable<TABLE> methods;
  PyObject* module = create_module_with(&ext::g_module_def, "tessarin._native", methods.defs(),
                                        MethodTable<TABLE>::N);
  if (!module) return nullptr;
  if (PyModule_AddFunctions(module, ext::g_fastcall) != 0) {
    Py_DECREF(module);
    return nullptr;
  }
  ext::g_module = module;
  Py_INCREF(ext::g_module);
  return module;
}
