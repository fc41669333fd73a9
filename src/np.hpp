// NumPy C API for every translation unit of the module. The API table is
// imported once, in the module's initialisation (module.cpp defines
// TESSARIN_IMPORT_NUMPY before including this header).
#pragma once
#include <Python.h>

#define PY_ARRAY_UNIQUE_SYMBOL tessarin_ARRAY_API
#ifndef TESSARIN_IMPORT_NUMPY
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
#include <numpy/arrayscalars.h>
