#include "seafreeze/evaluate.hpp"

#include <algorithm>
#include <cstring>

#include "pool.hpp"
#include "seafreeze/block.hpp"

namespace tessarin::seafreeze {
namespace {

// A property point costs well under a microsecond, about as much as waking
// the workers costs for a few dozen points; smaller batches (in particular
// single points) stay on the calling thread.
constexpr std::size_t SF_MIN_CHUNK = 64;

// Cells per grid tile: a tile of up to GRID_BLOCK columns takes enough rows
// (at least 8) to make about this many cells, which amortises its column
// bases while the tiles stay many enough to share out over the pool.
constexpr std::size_t GRID_TILE_CELLS = 8192;

// Writes the points i .. i + count - 1, held in the lanes of r, to their
// slots of every column the phase returns.
template <std::size_t L>
inline void store(const PropsColumns& columns, std::size_t i, const PropsLanes<L>& r,
                  std::size_t count) {
  for (std::size_t k = 0; k < PROPS_SIZE; ++k) {
    double* col = columns.col[k];
    if (!col) continue;
    if (count == L) {
      std::memcpy(col + i, &r.f[k], sizeof r.f[k]);
    } else {
      for (std::size_t l = 0; l < count; ++l) col[i + l] = r.f[k][l];
    }
  }
}

}  // namespace

void scatter_columns(const Spline2D& spline, const double* p, const double* t, std::size_t n,
                     const PropsColumns& columns) {
  const auto out = [&](std::size_t i, const auto& r, std::size_t count) {
    store(columns, i, r, count);
  };
  parallel_for(n, SF_MIN_CHUNK, [&](std::size_t begin, std::size_t end) {
    scatter_props(spline, p, t, begin, end, out);
  });
}

void grid_columns(const Spline2D& spline, const double* p, std::size_t n_p, const double* t,
                  std::size_t n_t, const PropsColumns& columns) {
  if (n_p == 0 || n_t == 0) return;
  const std::size_t col_blocks = (n_t + GRID_BLOCK - 1) / GRID_BLOCK;
  const std::size_t cols = (n_t + col_blocks - 1) / col_blocks;  // even blocks
  const std::size_t rows = std::min(n_p, std::max<std::size_t>(8, GRID_TILE_CELLS / cols));
  const std::size_t row_blocks = (n_p + rows - 1) / rows;
  const auto out = [&](std::size_t i, const auto& r, std::size_t count) {
    store(columns, i, r, count);
  };
  // A grid of a single tile runs on the calling thread.
  parallel_for(row_blocks * col_blocks, 1, [&](std::size_t begin, std::size_t end) {
    for (std::size_t tile = begin; tile < end; ++tile) {
      const std::size_t r0 = (tile / col_blocks) * rows, c0 = (tile % col_blocks) * cols;
      grid_props(spline, p, t, n_t, r0, std::min(n_p, r0 + rows), c0, std::min(n_t, c0 + cols),
                 out);
    }
  });
}

void raw_values(const Spline2D& spline, std::uint64_t deriv_p, std::uint64_t deriv_t,
                const double* p, std::size_t n_p, const double* t, std::size_t n_t, bool grid,
                double* out) {
  const std::size_t n = grid ? n_p * n_t : n_p;
  parallel_for(n, SF_MIN_CHUNK, [&](std::size_t begin, std::size_t end) {
    if (!grid) {
      for (std::size_t i = begin; i < end; ++i) out[i] = eval_point(spline, deriv_p, deriv_t, p[i], t[i]);
      return;
    }
    std::size_t row = begin / n_t, col = begin % n_t;
    for (std::size_t i = begin; i < end; ++i) {
      out[i] = eval_point(spline, deriv_p, deriv_t, p[row], t[col]);
      if (++col == n_t) {
        col = 0;
        ++row;
      }
    }
  });
}

}  // namespace tessarin::seafreeze
