// Caupin kernel: blocks of 1 to 8 points, whose solves are packed into lanes
// in ever different ways, give the bits of caupin_point; the vector math
// keeps the accuracy rule (envelope.hpp).
#include <cmath>
#include <cstdio>
#include <random>

#include "caupin/block.hpp"
#include "check.hpp"
#include "envelope.hpp"

using namespace tessarin;
using namespace tessarin::caupin;

int main() {
  // Liquid range, far outside it, at the liquid-vapour spinodal, next to the
  // liquid-liquid critical point (flat F, solves that use all their steps)
  // and special values.
  std::mt19937_64 rng(5);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  const double specials[] = {NAN, INFINITY, -INFINITY, 0.0, -0.0, 182.0, -462.0, 1e300};
  __builtin_cpu_init();
  const bool avx2 = __builtin_cpu_supports("avx2");
  long mismatches = 0, points = 0;
  for (int rep = 0; rep < 6000; ++rep) {
    const CaupinParams& c = (rep % 2) ? CAUPIN_TABLE_II : CAUPIN_TABLE_III;
    double t[8], p[8];
    for (int j = 0; j < 8; ++j) {
      switch ((rep / 2 + j) % 5) {
        case 0: t[j] = 180 + 200 * u(rng); p[j] = -200 + 600 * u(rng); break;
        case 1: t[j] = 3000 * u(rng) - 500; p[j] = 8000 * u(rng) - 3000; break;
        case 2: {
          t[j] = 150 + 300 * u(rng);
          const double v = t[j] - c.Ts;
          p[j] = (c.Ps0 + c.Ps1 * v + c.Ps2 * v * v) * (1 + 1e-9 * (u(rng) - 0.5));
          break;
        }
        case 3: t[j] = c.Tc * (1 + 1e-4 * (u(rng) - 0.5)); p[j] = c.Pc + 0.2 * (u(rng) - 0.5); break;
        default: t[j] = specials[rng() % 8]; p[j] = specials[rng() % 8];
      }
    }
    const std::size_t count = 1 + rng() % 8;
    PointResult two[8], four[8];
    caupin_block<VectorMath, simd::V2>(t, p, count, two, c);
    if (avx2) caupin_block_avx2(t, p, count, four, c);
    for (std::size_t j = 0; j < count; ++j, ++points) {
      const PointResult one = caupin_point(t[j], p[j], c);
      mismatches += differing_values(one, two[j], t[j], p[j], mismatches);
      if (avx2) mismatches += differing_values(one, four[j], t[j], p[j], mismatches);
    }
  }
  std::printf("points %ld\nmismatches %ld (avx2 %s)\n", points, mismatches,
              avx2 ? "checked" : "absent");
  CHECK(points > 20000, "%ld", points);
  CHECK(mismatches == 0, "%ld", mismatches);

  for (const CaupinParams* c : {&CAUPIN_TABLE_III, &CAUPIN_TABLE_II}) {
    envelope::Tally tally;
    for (int i = 0; i < 1500; ++i) {
      double t, p;
      if (i % 4 == 3) {  // next to the liquid-liquid critical point
        t = c->Tc * (1 + 1e-3 * (u(rng) - 0.5));
        p = c->Pc + 2 * (u(rng) - 0.5);
      } else if (i % 4 == 2) {
        t = 3000 * u(rng) - 500;
        p = 8000 * u(rng) - 3000;
      } else {
        t = 180 + 200 * u(rng);
        p = -200 + 600 * u(rng);
      }
      envelope::check_point([&]<class M>() { return caupin_point<M>(t, p, *c); }, t, p, tally);
    }
    envelope::report(c == &CAUPIN_TABLE_III ? "caupin" : "caupin_kim", tally);
  }
  return finish();
}
