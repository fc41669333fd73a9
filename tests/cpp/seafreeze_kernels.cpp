// The spline kernels without Python, unoptimised so that the C++ semantics
// alone are checked: the branch-free span search against the bisection, the
// per-interval table against constants computed per point, the lane kernels
// against single points, the basis route against eval_point (shipped phases,
// and splines of the same orders with repeated knots), splines of other
// orders (the de Boor route throughout) against eval_point, and the
// one-dimensional basis functions of any order against de Boor's recursion.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "check.hpp"
#include "seafreeze/block.hpp"
#include "seafreeze/table.hpp"

using namespace tessarin;
using namespace tessarin::seafreeze;

static bool same(const Props& a, const Props& b) { return std::memcmp(&a, &b, sizeof a) == 0; }
static bool same(const GibbsDerivs& a, const GibbsDerivs& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// Points on, next to and between the knots of both axes, outside the range,
// and the special values.
static std::vector<double> axis_points(const std::vector<double>& kn, std::mt19937_64& rng) {
  std::vector<double> v(kn);
  for (double k : kn) { v.push_back(std::nextafter(k, -INFINITY)); v.push_back(std::nextafter(k, INFINITY)); }
  std::uniform_real_distribution<double> in(kn.front(), kn.back());
  for (int i = 0; i < 200; ++i) v.push_back(in(rng));
  const double w = kn.back() - kn.front();
  for (double x : {kn.front() - w, kn.back() + w, double(NAN), double(INFINITY), -double(INFINITY), 0.0})
    v.push_back(x);
  return v;
}

// The properties of a whole batch through the lane kernels, point by point.
static std::vector<Props> batch(const Spline2D& s, const std::vector<double>& p, const std::vector<double>& t) {
  std::vector<Props> out(p.size());
  scatter_props(s, p.data(), t.data(), 0, p.size(), [&](std::size_t i, const auto& r, std::size_t count) {
    for (std::size_t l = 0; l < count; ++l) {
      double* f = &out[i + l].G;
      for (std::size_t k = 0; k < PROPS_SIZE; ++k) f[k] = r.f[k][l];
    }
  });
  return out;
}

// |B^(d)_i(x)| of the k active functions by de Boor on unit coefficients.
static void abs_basis(std::span<const double> kn, std::size_t k, std::size_t span, double x, std::size_t d, double* out) {
  for (std::size_t i = 0; i < k; ++i) {
    double c[MAX_ORDER] = {};
    c[i] = 1;
    if (d >= k) { out[i] = 0; continue; }
    differentiate(kn, c, k, span, d);
    out[i] = std::fabs(de_boor_1d(kn, c, k - d, span, x));
  }
}

static void check_spline(const char* name, const Spline2D& s, std::mt19937_64& rng, bool vs_deboor) {
  const std::vector<double> xp = axis_points(s.knots_p, rng), xt = axis_points(s.knots_t, rng);
  // The span search without branches finds the intervals of the bisection.
  for (double x : xp)
    CHECK(std::isnan(x) || x <= s.knots_p.front() || x >= s.knots_p.back() ||
              locate_span(s.knots_p, s.order_p, x) == find_span(s.knots_p, s.order_p, x), "%s p=%.17g", name, x);
  for (double x : xt)
    CHECK(std::isnan(x) || x <= s.knots_t.front() || x >= s.knots_t.back() ||
              locate_span(s.knots_t, s.order_t, x) == find_span(s.knots_t, s.order_t, x), "%s t=%.17g", name, x);
  // Constants computed per point (no table) give the table's bits.
  Spline2D bare = s;
  bare.factors_p = bare.factors_t = SpanFactors{};
  std::uniform_int_distribution<std::size_t> pick_p(0, xp.size() - 1), pick_t(0, xt.size() - 1);
  std::vector<double> p, t;
  for (int i = 0; i < 3001; ++i) { p.push_back(xp[pick_p(rng)]); t.push_back(xt[pick_t(rng)]); }
  const std::vector<Props> lanes = batch(s, p, t);
  const double orders[7][2] = {{0, 0}, {1, 0}, {0, 1}, {2, 0}, {0, 2}, {1, 1}, {3, 0}};
  double worst = 0;
  for (std::size_t i = 0; i < p.size(); ++i) {
    const GibbsDerivs d = gibbs_derivs(s, p[i], t[i]);
    CHECK(same(d, gibbs_derivs(bare, p[i], t[i])), "%s table vs per point at %.17g %.17g", name, p[i], t[i]);
    CHECK(same(lanes[i], point_props(s, p[i], t[i])), "%s lanes vs single at %.17g %.17g", name, p[i], t[i]);
    if (!p_inside(s, p[i]) || !t_inside(s, t[i])) {
      // Outside the knot range the derivatives are eval_point's, bit for bit.
      if (std::isnan(p[i]) || std::isnan(t[i])) continue;
      const double* dv = &d.g;
      for (int o = 0; o < 7; ++o) {
        const auto dp = static_cast<std::size_t>(orders[o][0]), dt = static_cast<std::size_t>(orders[o][1]);
        const double ref = eval_point(s, dp, dt, p[i], t[i]);
        CHECK(std::memcmp(&dv[o], &ref, sizeof ref) == 0 || (std::isnan(dv[o]) && std::isnan(ref)),
              "%s outside (%zu,%zu) at %.17g %.17g: %.17g vs %.17g", name, dp, dt, p[i], t[i], dv[o], ref);
      }
      continue;
    }
    if (!vs_deboor) continue;
    const std::size_t sp = find_span(s.knots_p, s.order_p, p[i]), st = find_span(s.knots_t, s.order_t, t[i]);
    const double* c0 = s.coefs.data() + (sp + 1 - s.order_p) * s.n_t + (st + 1 - s.order_t);
    const double* dv = &d.g;
    for (int o = 0; o < 7; ++o) {
      const auto dp = static_cast<std::size_t>(orders[o][0]), dt = static_cast<std::size_t>(orders[o][1]);
      double bp[MAX_ORDER], bt[MAX_ORDER], scale = 0;
      abs_basis(s.knots_p, s.order_p, sp, p[i], dp, bp);
      abs_basis(s.knots_t, s.order_t, st, t[i], dt, bt);
      for (std::size_t a = 0; a < s.order_p; ++a)
        for (std::size_t b = 0; b < s.order_t; ++b) scale += std::fabs(c0[a * s.n_t + b]) * bp[a] * bt[b];
      const double ref = eval_point(s, dp, dt, p[i], t[i]);
      const double err = scale > 0 ? std::fabs(dv[o] - ref) / scale : std::fabs(dv[o] - ref);
      worst = std::fmax(worst, err);
      CHECK(err <= 1e-13, "%s (%zu,%zu) at %.17g %.17g: %.17g vs %.17g", name, dp, dt, p[i], t[i], dv[o], ref);
    }
  }
  std::printf("%s worst %.2e\n", name, worst);
}

// A clamped spline of orders kp x kt with random coefficients; every fourth
// interior P knot is doubled and one T knot has multiplicity kt - 1.
static Spline2D synthetic(std::size_t kp, std::size_t kt, std::mt19937_64& rng) {
  Spline2D s;
  s.order_p = kp;
  s.order_t = kt;
  auto clamped = [](std::size_t k, std::size_t interior, double lo, double hi, std::size_t repeat_every, std::size_t mult) {
    std::vector<double> kn(k, lo);
    for (std::size_t i = 1; i <= interior; ++i) {
      const double x = lo + (hi - lo) * static_cast<double>(i) / static_cast<double>(interior + 1);
      for (std::size_t m = 0; m < (i % repeat_every == 0 ? mult : 1); ++m) kn.push_back(x);
    }
    kn.insert(kn.end(), k, hi);
    return kn;
  };
  s.knots_p = clamped(kp, 9, -3.0, 40.0, 4, 2);
  s.knots_t = clamped(kt, 7, 100.0, 250.0, 5, kt > 2 ? kt - 1 : 1);
  s.n_p = s.knots_p.size() - kp;
  s.n_t = s.knots_t.size() - kt;
  std::uniform_real_distribution<double> c(-1000.0, 1000.0);
  for (std::size_t i = 0; i < s.n_p * s.n_t; ++i) s.coefs.push_back(c(rng));
  prepare(s);
  return s;
}

// basis_derivs with the order taken at run time (K = 0) against de Boor's
// recursion on unit coefficients, derivatives 0 .. MAX_DERIV, relative to the
// largest basis value of each derivative.
static void check_basis(const char* name, const std::vector<double>& kn, std::size_t k,
                        std::mt19937_64& rng) {
  std::uniform_real_distribution<double> in(kn.front(), kn.back());
  double worst = 0;
  for (int i = 0; i < 300; ++i) {
    const double x = in(rng);
    const std::size_t span[1] = {locate_span(kn, k, x)};
    double local[span_factor_stride(MAX_ORDER)];
    fill_span_factors(kn, k, span[0], local);
    const double* fac[1] = {local};
    simd::Vec<1> b[MAX_DERIV + 1][MAX_ORDER];
    basis_derivs<0, MAX_DERIV, 1>(kn.data(), k, span, simd::Vec<1>{x}, fac, b);
    for (std::size_t d = 0; d <= MAX_DERIV; ++d) {
      double ref[MAX_ORDER], scale = 0;
      abs_basis(kn, k, span[0], x, d, ref);  // magnitudes only for the scale
      for (std::size_t j = 0; j < k; ++j) scale = std::fmax(scale, ref[j]);
      for (std::size_t j = 0; j < k; ++j) {
        double c[MAX_ORDER] = {};
        c[j] = 1;
        double want = 0;
        if (d < k) {
          differentiate(kn, c, k, span[0], d);
          want = de_boor_1d(kn, c, k - d, span[0], x);
        }
        const double err = std::fabs(b[d][j][0] - want) / (scale > 0 ? scale : 1);
        worst = std::fmax(worst, err);
        CHECK(err <= 1e-13, "%s d=%zu j=%zu x=%.17g: %.17g vs %.17g", name, d, j, x, b[d][j][0], want);
      }
    }
  }
  std::printf("%s basis worst %.2e\n", name, worst);
}

int main() {
  std::mt19937_64 rng(3);
  for (const char* name : {"water1", "water_IAPWS95", "Ih", "V", "VI", "VII_X_French"})
    check_spline(name, *get_phase(name), rng, true);
  const std::size_t orders[][2] = {{6, 6}, {6, 8}, {1, 1}, {2, 3}, {3, 4}, {4, 2},
                                   {5, 6}, {8, 8}, {12, 3}, {6, 7}};
  for (const auto& o : orders) {
    char name[32];
    std::snprintf(name, sizeof name, "order %zux%zu", o[0], o[1]);
    const Spline2D s = synthetic(o[0], o[1], rng);
    CHECK(evaluable(s), "%s", name);
    check_spline(name, s, rng, true);
    check_basis(name, s.knots_p, s.order_p, rng);
    check_basis(name, s.knots_t, s.order_t, rng);
  }
  return finish();
}
