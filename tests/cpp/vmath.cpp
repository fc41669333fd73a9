// The vector exponential and logarithm (vmath.hpp): error in units in the
// last place against long double references over the ranges the models
// use and beyond, the special values of the C library, and the same bits
// as a double, in two lanes and (where the processor has AVX2) in four.
#include <cmath>
#include <cstdio>
#include <random>

#include "check.hpp"
#include "vmath.hpp"

using namespace tessarin;
using simd::Vec;

namespace {

// |y - ref| in units of the last place of the double nearest ref.
double ulps(double y, long double ref) {
  if (std::isinf(ref) || ref == 0) return y == ref ? 0 : INFINITY;
  int e;
  std::frexp(static_cast<double>(ref), &e);  // |ref| in [2^(e-1), 2^e)
  const long double ulp = std::ldexp(1.0L, std::max(e - 53, -1074));
  return static_cast<double>(std::fabs(static_cast<long double>(y) - ref) / ulp);
}

__attribute__((target("avx2"), flatten)) void avx2_lanes(const double* x, double* e, double* l) {
  simd::store(e, vmath::exp(simd::load<Vec<4>>(x)));
  simd::store(l, vmath::log(simd::load<Vec<4>>(x)));
}

}  // namespace

int main() {
  std::mt19937_64 rng(11);
  // (lo, hi) of uniform arguments: the models' exponents (Holten's
  // background, the solvers' bracket) and logarithms (fractions, ratios,
  // reduced temperatures and pressures), then the whole finite range.
  const double exp_ranges[][2] = {{-40, 5}, {-1e-3, 1e-3}, {-745.2, -700}, {700, 709.78},
                                  {-745.2, 709.78}};
  const double log_ranges[][2] = {{1e-16, 1}, {0.99, 1.01}, {0.3, 40}, {0.5, 2}};
  double worst_exp = 0, worst_log = 0;
  for (const auto& r : exp_ranges) {
    std::uniform_real_distribution<double> u(r[0], r[1]);
    for (int i = 0; i < 200000; ++i) {
      const double x = u(rng);
      worst_exp = std::fmax(worst_exp, ulps(vmath::exp(x), std::exp(static_cast<long double>(x))));
    }
  }
  for (int k = 0; k < 5; ++k) {
    for (int i = 0; i < 200000; ++i) {
      double x;
      if (k < 4) {
        x = std::uniform_real_distribution<double>(log_ranges[k][0], log_ranges[k][1])(rng);
      } else {  // any positive double, subnormals included
        const std::uint64_t b = rng() >> 1;
        x = std::bit_cast<double>(b % 0x7ff0000000000000);
      }
      if (!(x > 0)) continue;
      worst_log = std::fmax(worst_log, ulps(vmath::log(x), std::log(static_cast<long double>(x))));
    }
  }
  // Largest errors on 4 million arguments per range: 0.5132 and 0.5200 ulp.
  std::printf("max error: exp %.4f ulp, log %.4f ulp\n", worst_exp, worst_log);
  CHECK(worst_exp < 0.53, "%.4f", worst_exp);
  CHECK(worst_log < 0.53, "%.4f", worst_log);

  // Special arguments give the C library's values (NaNs of any sign).
  const double specials[] = {NAN,       INFINITY,  -INFINITY, 0.0,       -0.0,    1.0,
                             -1.0,      709.78,    709.79,    710.0,     -745.13, -745.14,
                             -746.0,    -708.5,    5e-324,    1e-310,    0x1p-1022,
                             1.7976931348623157e308, 2.0,     0.5};
  for (double x : specials) {
    CHECK(same_value(vmath::exp(x), std::exp(x)), "exp(%g): %a vs %a", x, vmath::exp(x), std::exp(x));
    CHECK(same_value(vmath::log(x), std::log(x)), "log(%g): %a vs %a", x, vmath::log(x), std::log(x));
  }

  // Every width gives the bits of a double, whatever the other lanes hold.
  __builtin_cpu_init();
  const bool avx2 = __builtin_cpu_supports("avx2");
  std::uniform_real_distribution<double> wide(-800, 800);
  long mismatches = 0;
  for (int i = 0; i < 100000; ++i) {
    alignas(32) double x[4], e[4], l[4];
    for (double& v : x) v = (rng() % 7 == 0) ? specials[rng() % 20] : wide(rng);
    if (i % 2) x[rng() % 4] = std::fabs(x[0]);
    const Vec<2> e2 = vmath::exp(simd::load<Vec<2>>(x)), l2 = vmath::log(simd::load<Vec<2>>(x));
    if (avx2) avx2_lanes(x, e, l);
    for (int j = 0; j < 4; ++j) {
      const double es = vmath::exp(x[j]), ls = vmath::log(x[j]);
      if (j < 2) mismatches += !same_value(e2[j], es) + !same_value(l2[j], ls);
      if (avx2) mismatches += !same_value(e[j], es) + !same_value(l[j], ls);
    }
  }
  std::printf("lane mismatches %ld (avx2 %s)\n", mismatches, avx2 ? "checked" : "absent");
  CHECK(mismatches == 0, "%ld", mismatches);
  return finish();
}
