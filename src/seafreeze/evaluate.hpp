// The spline evaluations of the entry points, run on the worker pool: the
// properties of matched points or of the cells of a grid, and raw spline
// derivatives. They read only their arguments and the immutable spline, touch
// no Python object and run without the interpreter lock; each point is
// written to its own slot, so the results do not depend on the thread count.
#pragma once
#include <cstddef>
#include <cstdint>

#include "seafreeze/props.hpp"
#include "seafreeze/spline.hpp"

namespace tessarin::seafreeze {

// Output slots of the property columns; null for columns the phase does not
// return (shear, Vp, Vs of the liquid phases).
struct PropsColumns {
  double* col[PROPS_SIZE] = {};
};

// Properties of the matched points (p[i], t[i]), i < n: field k of point i to
// columns.col[k][i].
void scatter_columns(const Spline2D& spline, const double* p, const double* t, std::size_t n,
                     const PropsColumns& columns);

// Properties of the cells of the grid p x t: cell (i, k), that is (p[i], t[k]),
// to slot i * n_t + k.
void grid_columns(const Spline2D& spline, const double* p, std::size_t n_p, const double* t,
                  std::size_t n_t, const PropsColumns& columns);

// eval_point at the matched points (p[i], t[i]), i < n_p, or, when `grid`,
// at the cells of the grid p x t in row-major order, into out.
void raw_values(const Spline2D& spline, std::uint64_t deriv_p, std::uint64_t deriv_t,
                const double* p, std::size_t n_p, const double* t, std::size_t n_t, bool grid,
                double* out);

}  // namespace tessarin::seafreeze
