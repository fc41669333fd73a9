// Bodies of the functions of tessarin._native, one per table row in
// src/ext/native.cpp. Each receives its converted arguments in parameter order.
#pragma once
#include <Python.h>

#include "args.hpp"

namespace tessarin::ext {

PyObject* py_build_info(ArgValue* args);
PyObject* py_critical_point(ArgValue* args);
PyObject* py_knot_ranges(ArgValue* args);
PyObject* py_phase_numbers(ArgValue* args);
PyObject* py_whichphase(ArgValue* args);
PyObject* py_phase_line(ArgValue* args);
PyObject* py_triple_points(ArgValue* args);

// Called by CPython directly (METH_FASTCALL): at_point(evaluate, x0, ...).
PyObject* py_at_point(PyObject* self, PyObject* const* args, Py_ssize_t nargs);
PyObject* py_nacl_properties(ArgValue* args);
PyObject* py_nacl_materials(ArgValue* args);
PyObject* py_brine_whichphase(ArgValue* args);
PyObject* py_brine_phase_line(ArgValue* args);
PyObject* py_freezing_temperature(ArgValue* args);

}  // namespace tessarin::ext
