// Bodies of the module's Python functions, one per table row. Each receives
// its converted arguments in parameter order.
#pragma once
#include <Python.h>

#include "args.hpp"

namespace tessarin {

PyObject* py_compute_batch_caupin(ArgValue* args);
PyObject* py_compute_batch_caupin_kim(ArgValue* args);
PyObject* py_compute_batch_holten(ArgValue* args);
PyObject* py_compute_batch_duska(ArgValue* args);
PyObject* py_compute_batch_shi_tanaka(ArgValue* args);

PyObject* py_compute_spinodal_caupin(ArgValue* args);
PyObject* py_compute_spinodal_caupin_kim(ArgValue* args);
PyObject* py_compute_spinodal_holten(ArgValue* args);
PyObject* py_compute_spinodal_duska(ArgValue* args);

PyObject* py_compute_binodal_caupin(ArgValue* args);
PyObject* py_compute_binodal_caupin_kim(ArgValue* args);
PyObject* py_compute_binodal_holten(ArgValue* args);
PyObject* py_compute_binodal_duska(ArgValue* args);

PyObject* py_sf_getprop_grid(ArgValue* args);
PyObject* py_sf_getprop_scatter(ArgValue* args);
PyObject* py_sf_eval_raw(ArgValue* args);
PyObject* py_sf_phases(ArgValue* args);

}  // namespace tessarin
