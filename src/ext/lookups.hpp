// Helpers shared by the bodies of tessarin._native: arguments that name a
// phase or a material, and result arrays of the phase functions.
#pragma once
#include <Python.h>

#include <cstddef>

#include "args.hpp"
#include "nacl/props.hpp"
#include "phase_eq/equilibria.hpp"
#include "pyref.hpp"

namespace tessarin::ext {

// The SeaFreeze phase named by `arg`; null with ValueError naming the phases
// that compete otherwise.
const phase_eq::Phase* phase_arg(const ArgValue& arg);

// The NaCl(aq) material named by `arg`; null with ValueError naming the
// materials otherwise.
const nacl::Material* material_arg(const ArgValue& arg);

// A new one-dimensional NumPy bool array of n elements (null with an
// exception on failure).
PyRef new_bool_array(std::size_t n);

// Threads of the worker pool pay off for at least this many coexistence
// points (a few dozen Gibbs energies each) per chunk.
inline constexpr std::size_t LINE_MIN_CHUNK = 4;

}  // namespace tessarin::ext
