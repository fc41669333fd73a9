#include "seafreeze/evaluate.hpp"

#include <algorithm>
#include <cstring>

#include "cpu.hpp"
#include "pool.hpp"
#include "seafreeze/block.hpp"

namespace tessarin::seafreeze {
namespace {

// A property point costs well under a microsecond, about as much as waking
// the workers costs for a few dozen points; smaller batches (in particular
// single points) stay on the calling thread.
constexpr std::size_t SF_MIN_CHUNK = 64;

// Matched points copied from the caller's arrays at a time: a multiple of
// the lanes, small enough for the stack and the first cache level.
constexpr std::size_t SCATTER_STEP = 256;

// Cells per grid tile: a tile of up to GRID_BLOCK columns takes enough rows
// (at least 8, at most GRID_TILE_ROWS, which bounds the copy of its
// pressures) to make about GRID_TILE_CELLS cells, which amortises its column
// bases. Where the grid would then have fewer than GRID_MIN_TILES tiles, the
// tiles are shorter, down to about GRID_MIN_TILE_CELLS cells: the pool shares
// out whole tiles, and the last one taken keeps one thread busy while the
// others wait.
constexpr std::size_t GRID_TILE_CELLS = 8192;
constexpr std::size_t GRID_MIN_TILE_CELLS = 1024;
constexpr std::size_t GRID_TILE_ROWS = 256;
constexpr std::size_t GRID_MIN_TILES = 32;

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

// The tiles of a grid: column blocks of even width, rows per tile.
struct GridTiles {
  std::size_t n_p, n_t, cols, col_blocks, rows, row_blocks;

  GridTiles(std::size_t n_p_, std::size_t n_t_) : n_p(n_p_), n_t(n_t_) {
    col_blocks = (n_t + GRID_BLOCK - 1) / GRID_BLOCK;
    cols = (n_t + col_blocks - 1) / col_blocks;
    const std::size_t min_row_blocks = (GRID_MIN_TILES + col_blocks - 1) / col_blocks;
    const std::size_t full = std::max<std::size_t>(8, GRID_TILE_CELLS / cols);
    const std::size_t least = std::max<std::size_t>(8, GRID_MIN_TILE_CELLS / cols);
    const std::size_t spread = (n_p + min_row_blocks - 1) / min_row_blocks;
    rows = std::min({n_p, GRID_TILE_ROWS, std::max(least, std::min(full, spread))});
    row_blocks = (n_p + rows - 1) / rows;
  }
  std::size_t count() const { return row_blocks * col_blocks; }
};

// What one worker does with one range of matched points or of grid tiles,
// written once and compiled twice: for the baseline instruction set and, in
// the functions marked below, for AVX2. `flatten` inlines every stage into
// the AVX2 copy, so no function compiled for AVX2 exists outside it that
// the baseline code could ever call; the out-of-line edge_point_props stays
// the baseline one for both.
template <Lanes X>
struct Ranges {
  static void scatter(const Spline2D& s, Coords p, Coords t, std::size_t begin, std::size_t end,
                      const PropsColumns& columns) {
    double pb[SCATTER_STEP], tb[SCATTER_STEP];
    for (std::size_t i = begin; i < end; i += SCATTER_STEP) {
      const std::size_t count = std::min(SCATTER_STEP, end - i);
      p.copy(i, count, pb);
      t.copy(i, count, tb);
      scatter_props<X>(s, pb, tb, 0, count, [&](std::size_t j, const auto& r, std::size_t c) {
        store(columns, i + j, r, c);
      });
    }
  }

  static void tiles(const Spline2D& s, Coords p, Coords t, const GridTiles& g, std::size_t begin,
                    std::size_t end, const PropsColumns& columns) {
    double pb[GRID_TILE_ROWS], tb[GRID_BLOCK];
    for (std::size_t tile = begin; tile < end; ++tile) {
      const std::size_t r0 = (tile / g.col_blocks) * g.rows, c0 = (tile % g.col_blocks) * g.cols;
      const std::size_t n_rows = std::min(g.n_p - r0, g.rows), n_cols = std::min(g.n_t - c0, g.cols);
      p.copy(r0, n_rows, pb);
      t.copy(c0, n_cols, tb);
      grid_props<X>(s, pb, n_rows, tb, n_cols,
                    [&](std::size_t i, std::size_t k, const auto& r, std::size_t c) {
                      store(columns, (r0 + i) * g.n_t + c0 + k, r, c);
                    });
    }
  }
};

using Portable = Ranges<BASELINE_LANES>;

#if defined(__x86_64__) && defined(__GNUC__)
#define TESSARIN_SF_AVX2 1
__attribute__((target("avx2"), flatten)) void scatter_avx2(const Spline2D& s, Coords p, Coords t,
                                                           std::size_t begin, std::size_t end,
                                                           const PropsColumns& columns) {
  Ranges<AVX2_LANES>::scatter(s, p, t, begin, end, columns);
}

__attribute__((target("avx2"), flatten)) void tiles_avx2(const Spline2D& s, Coords p, Coords t,
                                                         const GridTiles& g, std::size_t begin,
                                                         std::size_t end,
                                                         const PropsColumns& columns) {
  Ranges<AVX2_LANES>::tiles(s, p, t, g, begin, end, columns);
}
#endif

}  // namespace

void scatter_columns(const Spline2D& spline, Coords p, Coords t, const PropsColumns& columns) {
  auto range = Portable::scatter;
#if defined(TESSARIN_SF_AVX2)
  if (cpu::path() == cpu::Path::Avx2) range = scatter_avx2;
#endif
  parallel_for(p.n, SF_MIN_CHUNK, [&](std::size_t begin, std::size_t end) {
    range(spline, p, t, begin, end, columns);
  });
}

void grid_columns(const Spline2D& spline, Coords p, Coords t, const PropsColumns& columns) {
  if (p.n == 0 || t.n == 0) return;
  const GridTiles tiles(p.n, t.n);
  auto range = Portable::tiles;
#if defined(TESSARIN_SF_AVX2)
  if (cpu::path() == cpu::Path::Avx2) range = tiles_avx2;
#endif
  // A grid of a single tile runs on the calling thread.
  parallel_for(tiles.count(), 1, [&](std::size_t begin, std::size_t end) {
    range(spline, p, t, tiles, begin, end, columns);
  });
}

void raw_values(const Spline2D& spline, std::uint64_t deriv_p, std::uint64_t deriv_t, Coords p,
                Coords t, bool grid, double* out) {
  const std::size_t n_t = t.n;
  const std::size_t n = grid ? p.n * n_t : p.n;
  parallel_for(n, SF_MIN_CHUNK, [&](std::size_t begin, std::size_t end) {
    if (!grid) {
      for (std::size_t i = begin; i < end; ++i)
        out[i] = eval_point(spline, deriv_p, deriv_t, p.at(i), t.at(i));
      return;
    }
    std::size_t row = begin / n_t, col = begin % n_t;
    double pv = p.at(row);
    for (std::size_t i = begin; i < end; ++i) {
      out[i] = eval_point(spline, deriv_p, deriv_t, pv, t.at(col));
      if (++col == n_t && i + 1 < end) {
        col = 0;
        pv = p.at(++row);
      }
    }
  });
}

}  // namespace tessarin::seafreeze
