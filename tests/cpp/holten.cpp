// Holten kernels: the background as one exponential per term against the
// term-by-term powers, and lockstep blocks against single points.
#include <cmath>
#include <cstdio>
#include <random>

#include "check.hpp"
#include "holten/block.hpp"

using namespace tessarin;
using namespace tessarin::holten;

int main() {
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> T(120.0, 500.0), P(-299.999, 1000.0);
  // The exponential form agrees with the powers to within 1e-14 of the
  // summed magnitudes of the terms.
  double worst = 0;
  for (int i = 0; i < 200000; ++i) {
    const double tau = T(rng) / Tc, pi = (P0 + P(rng) * 1e6) / P_STAR;
    const Reduced fast = background(tau, pi), slow = background_pow(tau, pi);
    double scale[6] = {0, 0, 0, 0, 0, 0};
    for (int k = 0; k < 20; ++k) {
      const double a = BG_A[k], b = BG_B[k], d = BG_D[k];
      const double t = std::fabs(BG_C[k] * std::pow(tau, a) * std::pow(pi, b) * std::exp(-d * pi));
      const double u = std::fabs(b - d * pi);
      scale[0] += t;
      scale[1] += std::fabs(a) * t / tau;
      scale[2] += t * u / pi;
      scale[3] += std::fabs(a * (a - 1)) * t / (tau * tau);
      scale[4] += std::fabs(a) * t * u / (tau * pi);
      scale[5] += t * std::fabs(u * u - b) / (pi * pi);
    }
    const double f[6] = {fast.g, fast.g_t, fast.g_p, fast.g_tt, fast.g_tp, fast.g_pp};
    const double s[6] = {slow.g, slow.g_t, slow.g_p, slow.g_tt, slow.g_tp, slow.g_pp};
    for (int k = 0; k < 6; ++k) worst = std::fmax(worst, std::fabs(f[k] - s[k]) / scale[k]);
  }
  std::printf("background %.3g\n", worst);
  CHECK(worst <= 1e-14, "%.3g", worst);

  // Points solved in lockstep blocks give the bits of points solved alone,
  // whatever the block size and a point's lane.
  std::uniform_real_distribution<double> wideT(1.0, 8000.0), wideP(-400.0, 3000.0);
  const double specials[] = {NAN, INFINITY, -INFINITY, 0.0, -300.0, 228.2};
  long mismatches = 0;
  for (int rep = 0; rep < 3000; ++rep) {
    double t[8], p[8];
    for (int j = 0; j < 8; ++j) {
      t[j] = (rng() % 11 == 0) ? specials[rng() % 6] : (rep % 2 ? wideT(rng) : T(rng));
      p[j] = (rng() % 11 == 0) ? specials[rng() % 6] : (rep % 2 ? wideP(rng) : P(rng));
    }
    const std::size_t count = 1 + rng() % 8;
    PointResult block[8];
    holten_points(t, p, count, block);
    for (std::size_t j = 0; j < count; ++j)
      mismatches += differing_values(holten_point(t[j], p[j]), block[j], t[j], p[j], mismatches);
  }
  std::printf("mismatches %ld\n", mismatches);
  CHECK(mismatches == 0, "%ld", mismatches);
  return finish();
}
