// Duska kernel: points evaluated in blocks give the bits of duska_point,
// whatever the block size, a point's lane and the vector width (pairs, and
// fours where the processor has AVX2); the vector math keeps the accuracy
// rule (envelope.hpp).
#include <cmath>
#include <cstdio>
#include <random>

#include "check.hpp"
#include "envelope.hpp"
#include "duska/block.hpp"

using namespace tessarin;
using namespace tessarin::duska;

int main() {
  // Liquid range, far outside it, next to the spinodal (where the square
  // roots turn NaN) and special values.
  std::mt19937_64 rng(11);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  const double specials[] = {NAN, INFINITY, -INFINITY, 0.0, -0.0, TC, 22.064, -300.0, 1e-300};
#if defined(TESSARIN_DUSKA_WIDE)
  const bool avx2 = __builtin_cpu_supports("avx2");
#else
  const bool avx2 = false;
#endif
  long mismatches = 0, points = 0, wide = 0;
  for (int rep = 0; rep < 4000; ++rep) {
    double t[8], p[8];
    for (int j = 0; j < 8; ++j) {
      switch ((rep + j) % 4) {
        case 0: t[j] = 180 + 220 * u(rng); p[j] = -300 + 700 * u(rng); break;
        case 1: t[j] = 2000 * u(rng); p[j] = -2000 + 5000 * u(rng); break;
        case 2: {
          t[j] = 180 + 480 * u(rng);
          const Spinodal<double> sp = spinodal(t[j] / TC, std::log(t[j] / TC));
          p[j] = sp.Ps * PC_MPA * (1 + 1e-3 * (u(rng) - 0.5));
          break;
        }
        default: t[j] = specials[rng() % 9]; p[j] = specials[rng() % 9];
      }
    }
    const std::size_t count = 1 + rng() % 8;
    for (int width : {2, 4}) {
      PointResult block[8];
      if (width == 2) {
        duska_points<VectorMath, simd::V2>(t, p, count, block);
      } else {
#if defined(TESSARIN_DUSKA_WIDE)
        if (!avx2) continue;
        duska_points_avx2(t, p, count, block);
        ++wide;
#else
        continue;
#endif
      }
      for (std::size_t j = 0; j < count; ++j, ++points) {
        const long before = mismatches;
        mismatches += differing_values(duska_point(t[j], p[j]), block[j], t[j], p[j], mismatches);
        if (mismatches != before && before < 5) std::printf("(vector width %d)\n", width);
      }
    }
  }
  std::printf("points %ld\navx2 %d\nwide_blocks %ld\nmismatches %ld\n", points, int(avx2), wide,
              mismatches);
  CHECK(points > 10000, "%ld", points);
  CHECK(!avx2 || wide > 1000, "%ld", wide);
  CHECK(mismatches == 0, "%ld", mismatches);

  envelope::Tally tally;
  for (int i = 0; i < 1000; ++i) {
    const double t = i % 3 ? 180 + 220 * u(rng) : 2000 * u(rng);
    const double p = i % 3 ? -300 + 700 * u(rng) : -2000 + 5000 * u(rng);
    envelope::check_point([&]<class M>() { return duska_point<M>(t, p); }, t, p, tally);
  }
  envelope::report("duska", tally);
  return finish();
}
