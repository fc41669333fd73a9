// The spline evaluations of the entry points, run on the worker pool: the
// properties of matched points or of the cells of a grid, and raw spline
// derivatives. They read only their arguments and the immutable spline, touch
// no Python object and run without the interpreter lock; each point is
// written to its own slot, so the results do not depend on the thread count.
// The property kernels have a copy compiled for AVX2, taken when cpu::path()
// says so, with the same bits.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "seafreeze/props.hpp"
#include "seafreeze/spline.hpp"

namespace tessarin::seafreeze {

// The caller's coordinates along one axis: n contiguous float64 values that
// may be unaligned, and that another thread may change while the call runs
// (the caller's array is read in place, without a copy made beforehand).
// Every value is read once for each use by a worker, into its own storage,
// before the point (or grid tile) that needs it is evaluated; a kernel
// therefore never sees a coordinate change under it, and each result is the
// evaluation of the values it read. A result is only then a snapshot of the
// whole array when nobody writes to it during the call.
struct Coords {
  const char* data = nullptr;
  std::size_t n = 0;

  // Values begin .. begin + count - 1 into out.
  void copy(std::size_t begin, std::size_t count, double* out) const noexcept {
    if (count) std::memcpy(out, data + begin * sizeof(double), count * sizeof(double));
  }
  double at(std::size_t i) const noexcept {
    double v;
    std::memcpy(&v, data + i * sizeof(double), sizeof v);
    return v;
  }
};

// Output slots of the property columns; null for columns the phase does not
// return (shear, Vp, Vs of the liquid phases).
struct PropsColumns {
  double* col[PROPS_SIZE] = {};
};

// Properties of the matched points (p[i], t[i]), i < p.n (t has as many):
// field k of point i to columns.col[k][i].
void scatter_columns(const Spline2D& spline, Coords p, Coords t, const PropsColumns& columns);

// Properties of the cells of the grid p x t: cell (i, k), that is (p[i],
// t[k]), to slot i * t.n + k.
void grid_columns(const Spline2D& spline, Coords p, Coords t, const PropsColumns& columns);

// eval_point at the matched points (p[i], t[i]), i < p.n, or, when `grid`,
// at the cells of the grid p x t in row-major order, into out.
void raw_values(const Spline2D& spline, std::uint64_t deriv_p, std::uint64_t deriv_t, Coords p,
                Coords t, bool grid, double* out);

}  // namespace tessarin::seafreeze
