// Thermodynamic properties of a phase from G and six of its partial
// derivatives at a point (P in MPa, T in K).
//
// Pure C++: no Python types, no allocation, never throws.
#pragma once
#include <cstddef>
#include <limits>

#include "seafreeze/spline.hpp"
#include "simd.hpp"

namespace tessarin::seafreeze {

// One point's properties. Units: G H U A J/kg, V m3/kg, rho kg/m3, S Cp Cv
// J/(kg K), Kt Ks shear MPa, Kp dimensionless, alpha 1/K, vel Vp Vs m/s.
struct Props {
  double G, V, rho, S, H, U, A, Cp, Cv, Kt, Ks, Kp, alpha, vel, shear, Vp, Vs;
};
inline constexpr std::size_t PROPS_SIZE = 17;
static_assert(sizeof(Props) == PROPS_SIZE * sizeof(double));

// Dictionary keys in field order; the last three exist only for phases with
// shear-modulus parameters.
inline constexpr const char* PROPS_KEYS[PROPS_SIZE] = {
    "G", "V", "rho", "S", "H", "U", "A", "Cp", "Cv", "Kt", "Ks", "Kp", "alpha", "vel",
    "shear", "Vp", "Vs"};
inline constexpr std::size_t PROPS_WITHOUT_SHEAR = 14;

// G and the partial derivatives the properties use; P in MPa, T in K.
struct GibbsDerivs {
  double g, gp, gt, gpp, gtt, gpt, gppp;
};

// The functions below work on L points at once ("lanes"): every value is a
// simd::Vec<L>, one double per point, and every arithmetic operation acts on
// each lane separately. The lanes never mix, so each lane performs exactly
// the operations of the single-point form (L = 1) and gets its bits; more
// lanes only share instructions between points and let their independent
// dependency chains overlap.

// The seven derivatives of L points, one vector each.
template <std::size_t L>
struct DerivLanes {
  simd::Vec<L> g, gp, gt, gpp, gtt, gpt, gppp;
};

// The properties of L points: field k of Props (in its order) for every lane.
template <std::size_t L>
struct PropsLanes {
  simd::Vec<L> f[PROPS_SIZE];

  // Lane l takes the fields of one point's record.
  void set(std::size_t l, const Props& r) noexcept {
    const double* v = &r.G;
    for (std::size_t k = 0; k < PROPS_SIZE; ++k) f[k][l] = v[k];
  }
};

// Properties from the derivatives at pressure p (MPa) and temperature t (K),
// for L points at once (each lane exactly as a single point), computed in
// vectors of at most W lanes.
// The only guards are the exact zero tests on divisors listed below; NaN
// passes them and propagates, and extrapolated points are returned as they
// are. `shear` is s0..s5 or null (then shear, Vp and Vs are NaN). Every
// guarded quotient is computed in all lanes and then selected, so a lane that
// fails a guard gets the NaN constant just as the branch would give it.
template <std::size_t L, std::size_t W = L>
inline void props_lanes(const DerivLanes<L>& d, const simd::Vec<L>& p,
                        const simd::Vec<L>& t, const double* shear,
                        PropsLanes<L>& out) noexcept {
  using V = simd::Vec<L>;
  if constexpr (L > W) {
    // Comparisons of vectors wider than the processor's registers fall apart
    // into element-by-element branches: the lanes go through in parts of W.
    using H = simd::Vec<W>;
    const auto part = [](const V& x, std::size_t o) {
      H h;
      for (std::size_t l = 0; l < W; ++l) h[l] = x[o + l];
      return h;
    };
    for (std::size_t o = 0; o < L; o += W) {
      const DerivLanes<W> dh{part(d.g, o),   part(d.gp, o),  part(d.gt, o),  part(d.gpp, o),
                             part(d.gtt, o), part(d.gpt, o), part(d.gppp, o)};
      PropsLanes<W> r;
      props_lanes<W>(dh, part(p, o), part(t, o), shear, r);
      for (std::size_t k = 0; k < PROPS_SIZE; ++k)
        for (std::size_t l = 0; l < W; ++l) out.f[k][o + l] = r.f[k][l];
    }
  } else {
    const V nan = simd::splat<simd::Vec<L>>(std::numeric_limits<double>::quiet_NaN());
    const V v = d.gp * 1e-6;  // J/(kg MPa) -> m3/kg
    using simd::select;
    const V alpha = select(d.gp == 0, nan, d.gpt / d.gp);
    const V kt_pa = select(d.gpp == 0, nan, (-d.gp / d.gpp) * 1e6);
    const V kp = select(d.gpp == 0, nan, (d.gp * d.gppp) / (d.gpp * d.gpp) - 1);
    const V cp = d.gtt * (-t);
    const V cv = cp - t * v * alpha * alpha * kt_pa;
    const V rho = select(v == 0, nan, 1.0 / v);
    const V ks_pa = select(cv == 0, nan, (cp * kt_pa) / cv);
    const V kt = kt_pa / 1e6;
    const V ks = ks_pa / 1e6;
    const V vel = select((rho > 0) & (ks_pa > 0), simd::sqrt(ks_pa / rho), nan);
    const V h = d.g - t * d.gt;
    const V pv = (p * 1e6) * v;
    const V u = h - pv;
    const V a = d.g - pv;
    V mu_mpa = nan, vp = nan, vs = nan;
    if (shear) {
      // Empirical shear modulus in GPa, quadratic in density about s4 and
      // linear in temperature about s5; wave speeds in m/s from GPa and g/cm3.
      const V dr = rho - shear[4];
      const V mu = (shear[2] * dr * dr + (shear[1] * dr + shear[0])) + (t - shear[5]) * shear[3];
      const V r = rho / 1000;
      const V m = mu * 1.3333333333333333 + ks / 1000;
      vp = select((r > 0) & (m > 0), simd::sqrt(m / r) * 1000, nan);
      vs = select((r > 0) & (mu > 0), simd::sqrt(mu / r) * 1000, nan);
      mu_mpa = mu * 1000;
    }
    out = {{d.g, v, rho, -d.gt, h, u, a, cp, cv, kt, ks, kp, alpha, vel, mu_mpa, vp, vs}};
  }
}

// The same for one point.
inline Props props_from_derivs(const GibbsDerivs& d, double p, double t,
                               const double* shear) noexcept {
  DerivLanes<1> v;
  v.g[0] = d.g;
  v.gp[0] = d.gp;
  v.gt[0] = d.gt;
  v.gpp[0] = d.gpp;
  v.gtt[0] = d.gtt;
  v.gpt[0] = d.gpt;
  v.gppp[0] = d.gppp;
  const double pp[1] = {p}, tt[1] = {t};
  PropsLanes<1> o;
  props_lanes<1>(v, simd::load<simd::Vec<1>>(pp), simd::load<simd::Vec<1>>(tt), shear, o);
  Props r;
  double* f = &r.G;
  for (std::size_t k = 0; k < PROPS_SIZE; ++k) f[k] = o.f[k][0];
  return r;
}

inline const double* shear_of(const Spline2D& s) noexcept {
  return s.shear_params ? s.shear_params->data() : nullptr;
}

}  // namespace tessarin::seafreeze
