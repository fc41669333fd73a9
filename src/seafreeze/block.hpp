// The properties of many points of one phase: matched points and the cells
// of a P x T grid, several points (or grid columns) in lockstep, sharing the
// work of a grid's rows and columns. Every point still gets the bits of the
// single-point evaluation (point_props), wherever it sits in a batch.
//
// Pure C++: no Python types, no allocation, never throws.
#pragma once
#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "seafreeze/kernel.hpp"
#include "seafreeze/props.hpp"
#include "simd.hpp"

namespace tessarin::seafreeze {

// How many points (or grid columns) the batch kernels evaluate together, and
// the widest vector the properties take (see props.hpp on lanes), for one
// instruction set. On the baseline (SSE2, two doubles per register), four
// lanes suit the basis evaluation of scattered points, whose properties go
// two at a time; on a grid the bases are shared and the properties dominate,
// where two lanes do better. Any choice gives every point the same bits.
struct Lanes {
  std::size_t scatter;
  std::size_t grid;
  std::size_t props;
};
inline constexpr Lanes BASELINE_LANES{4, 2, 2};
// With AVX2's four doubles per register, four lanes everywhere: comparisons
// and selects of four lanes stay in registers. (Eight lanes, two registers
// per value, measured no faster.)
inline constexpr Lanes AVX2_LANES{4, 4, 4};

// The properties of the matched points (p[i], t[i]), i = begin .. end - 1,
// in order: out(i, r, count) receives the points i .. i + count - 1 in the
// lanes of r. The orders are resolved once per range. Groups of X.scatter
// points that all lie inside the knot range go through the basis route
// together; the points of other groups, and the last few, one by one (with
// the same bits either way). A spline of other orders takes the de Boor route
// for every point.
template <Lanes X = BASELINE_LANES, class Out>
inline void scatter_props(const Spline2D& s, const double* p, const double* t, std::size_t begin,
                          std::size_t end, Out&& out) {
  constexpr std::size_t L = X.scatter, W = std::min(L, X.props);
  using V = simd::Vec<L>;
  const double* shear = shear_of(s);
  const bool ok = evaluable(s);
  const bool fixed = with_fixed_orders(s, [&]<std::size_t KP, std::size_t KT>() {
    auto one = [&](double pv, double tv) {
      if (ok && p_inside(s, pv) && t_inside(s, tv))
        return props_from_derivs(BasisKernel<KP, KT>::point(s, pv, tv), pv, tv, shear);
      return edge_point_props(s, pv, tv);
    };
    for (std::size_t i = begin; i < end; i += L) {
      const std::size_t count = std::min(L, end - i);
      double pp[L], tt[L];
      bool inside = ok && count == L;
      for (std::size_t l = 0; l < count; ++l) {
        pp[l] = p[i + l];
        tt[l] = t[i + l];
        inside &= p_inside(s, pp[l]) & t_inside(s, tt[l]);
      }
      PropsLanes<L> r;
      if (inside) {
        DerivLanes<L> d;
        BasisKernel<KP, KT>::template points<L>(s, pp, tt, d);
        props_lanes<L, W>(d, simd::load<V>(pp), simd::load<V>(tt), shear, r);
      } else {
        for (std::size_t l = 0; l < count; ++l) r.set(l, one(pp[l], tt[l]));
      }
      out(i, r, count);
    }
  });
  if (fixed) return;
  for (std::size_t i = begin; i < end; i += L) {
    const std::size_t count = std::min(L, end - i);
    PropsLanes<L> r;
    for (std::size_t l = 0; l < count; ++l) r.set(l, edge_point_props(s, p[i + l], t[i + l]));
    out(i, r, count);
  }
}

// Columns of a grid tile handled together: their T bases and row sums stay
// in the first cache levels while the tile's rows pass over them.
inline constexpr std::size_t GRID_BLOCK = 128;

// The properties of the grid cells (p[i], t[k]) for rows i < n_rows and
// columns k < n_cols (at most GRID_BLOCK of them): out(i, k, r, count)
// receives the cells (i, k) .. (i, k + count - 1) in the lanes of r.
// Every cell gets exactly the bits the matched-point evaluation gives it. The
// columns are taken X.grid at a time; the T basis of each column is
// evaluated once for the tile, the P basis once per row, and the T reduction
// of the coefficient rows once per column and P knot interval (consecutive
// rows in the same interval share it). Each of these is the computation a
// single point performs, only not repeated. A lane whose column lies outside
// the knot range computes a copy of an inside column of its group, and its
// cells are replaced by edge_point_props, as are all cells of a spline of
// other orders.
template <Lanes X = BASELINE_LANES, class Out>
inline void grid_props(const Spline2D& s, const double* p, std::size_t n_rows, const double* t,
                       std::size_t n_cols, Out&& out) {
  constexpr std::size_t L = X.grid, W = std::min(L, X.props);
  constexpr std::size_t GROUPS = (GRID_BLOCK + L - 1) / L;
  using V = simd::Vec<L>;
  const double* shear = shear_of(s);
  const bool ok = evaluable(s);
  const bool fixed = with_fixed_orders(s, [&]<std::size_t KP, std::size_t KT>() {
    using Kernel = BasisKernel<KP, KT>;
    const std::size_t groups = (n_cols + L - 1) / L;
    bool used[GROUPS][L];  // column inside the tile and the knot range
    bool any[GROUPS];      // some lane of the group is used
    V tv[GROUPS];
    AxisBasis<DERIV_T, L> bt[GROUPS];
    RowSums<L> rows[GROUPS];
    for (std::size_t g = 0; g < groups; ++g) {
      double tl[L];
      std::size_t fill = L;  // a used lane to copy into the others
      for (std::size_t l = 0; l < L; ++l) {
        const std::size_t k = g * L + l;
        used[g][l] = ok && k < n_cols && t_inside(s, t[k]);
        tl[l] = k < n_cols ? t[k] : 0.0;
        if (used[g][l] && fill == L) fill = l;
      }
      any[g] = fill != L;
      if (!any[g]) continue;
      for (std::size_t l = 0; l < L; ++l)
        if (!used[g][l]) tl[l] = tl[fill];
      tv[g] = simd::load<V>(tl);
      Kernel::t_basis(s, tl, bt[g]);
    }
    std::size_t rows_span = SIZE_MAX;  // P interval the row sums belong to
    for (std::size_t i = 0; i < n_rows; ++i) {
      const double pv = p[i];
      const bool p_in = ok && p_inside(s, pv);
      AxisBasis<DERIV_P, L> bp;
      if (p_in) {
        // The row's P basis, the same in every lane.
        const double pl[1] = {pv};
        AxisBasis<DERIV_P, 1> b1;
        Kernel::p_basis(s, pl, b1);
        for (std::size_t l = 0; l < L; ++l) bp.span[l] = b1.span[0];
        for (std::size_t d = 0; d <= DERIV_P; ++d)
          for (std::size_t j = 0; j < KP; ++j) bp.b[d][j] = simd::splat<V>(b1.b[d][j][0]);
        if (b1.span[0] != rows_span) {
          for (std::size_t g = 0; g < groups; ++g)
            if (any[g]) Kernel::rows(s, bp.span, bt[g], rows[g]);
          rows_span = b1.span[0];
        }
      }
      const V pvv = simd::splat<V>(pv);
      for (std::size_t g = 0; g < groups; ++g) {
        const std::size_t k0 = g * L;
        const std::size_t count = std::min(L, n_cols - k0);
        PropsLanes<L> r;
        const bool lanes = p_in && any[g];
        if (lanes) {
          DerivLanes<L> d;
          Kernel::derivs(bp, rows[g], d);
          props_lanes<L, W>(d, pvv, tv[g], shear, r);
        }
        for (std::size_t l = 0; l < count; ++l)
          if (!lanes || !used[g][l]) r.set(l, edge_point_props(s, pv, t[k0 + l]));
        out(i, k0, r, count);
      }
    }
  });
  if (fixed) return;
  for (std::size_t i = 0; i < n_rows; ++i)
    for (std::size_t k0 = 0; k0 < n_cols; k0 += L) {
      const std::size_t count = std::min(L, n_cols - k0);
      PropsLanes<L> r;
      for (std::size_t l = 0; l < count; ++l) r.set(l, edge_point_props(s, p[i], t[k0 + l]));
      out(i, k0, r, count);
    }
}

}  // namespace tessarin::seafreeze
