// Shi–Tanaka kernel: blocks of 1 to 8 points, two per lane pair, give the
// bits of shi_tanaka_point; the vector math keeps the accuracy rule
// (envelope.hpp).
#include <cmath>
#include <cstdio>
#include <random>

#include "check.hpp"
#include "envelope.hpp"
#include "shi_tanaka/block.hpp"

using namespace tessarin;
using namespace tessarin::shi_tanaka;

int main() {
  // Liquid range, far outside it (clamped exponent, s of exactly 0 or 1),
  // temperatures at and below zero and special values.
  std::mt19937_64 rng(9);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  const double specials[] = {NAN, INFINITY, -INFINITY, 0.0, -0.0, 308.15, 200.0, 1e-300};
  long mismatches = 0, points = 0;
  for (int rep = 0; rep < 6000; ++rep) {
    double t[8], p[8];
    for (int j = 0; j < 8; ++j) {
      switch ((rep + j) % 4) {
        case 0: t[j] = 200 + 200 * u(rng); p[j] = -100 + 500 * u(rng); break;
        case 1: t[j] = 1e4 * u(rng) - 100; p[j] = 1e5 * (u(rng) - 0.5); break;
        case 2: t[j] = 1e-3 * (u(rng) - 0.5); p[j] = 1e3 * (u(rng) - 0.5); break;
        default: t[j] = specials[rng() % 8]; p[j] = specials[rng() % 8];
      }
    }
    const std::size_t count = 1 + rng() % 8;
    PointResult block[8];
    shi_tanaka_block(t, p, count, block);
    for (std::size_t j = 0; j < count; ++j, ++points)
      mismatches += differing_values(shi_tanaka_point(t[j], p[j]), block[j], t[j], p[j], mismatches);
  }
  std::printf("points %ld\nmismatches %ld\n", points, mismatches);
  CHECK(points > 20000, "%ld", points);
  CHECK(mismatches == 0, "%ld", mismatches);

  envelope::Tally tally;
  for (int i = 0; i < 3000; ++i) {
    const double t = i % 3 ? 200 + 200 * u(rng) : 1e4 * u(rng) - 100;
    const double p = i % 3 ? -100 + 500 * u(rng) : 1e5 * (u(rng) - 0.5);
    envelope::check_point([&]<class M>() { return shi_tanaka_point<M>(t, p); }, t, p, tally);
  }
  envelope::report("shi_tanaka", tally);
  return finish();
}
