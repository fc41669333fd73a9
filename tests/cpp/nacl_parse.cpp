// Checks of the NaCl(aq) container parser and spline kernel that Python
// cannot reach: every truncation or corrupt count fails before a stray read
// (the sanitizer run instruments this program), and the run-time-order
// kernel gives the bits of the fixed-order one.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "nacl/container.hpp"
#include "nacl/props.hpp"
#include "nacl/table.hpp"

using namespace tessarin::nacl;

static int failures = 0;
#define CHECK(c)                                                  \
  do {                                                            \
    if (!(c)) {                                                   \
      std::printf("FAIL line %d: %s\n", __LINE__, #c);            \
      ++failures;                                                 \
    }                                                             \
  } while (0)

template <class E>
static bool throws(const std::vector<unsigned char>& v) {
  // An exactly sized heap copy, so a read past its end is caught by ASan.
  std::vector<unsigned char> copy(v);
  try {
    parse_nacl_splines(std::span<const unsigned char>(copy.data(), copy.size()));
  } catch (const E&) {
    return true;
  } catch (...) {
    return false;
  }
  return false;
}

int main() {
  const auto bytes = container_bytes();
  const std::vector<unsigned char> full(bytes.begin(), bytes.end());
  const SplineTable table = parse_nacl_splines(full);
  CHECK(table.size() == 3 && materials().size() == 4);
  CHECK(find_material("NaClaq") && !find_material("naclaq") && !find_material(""));

  // Record offsets 6, 130795 and 164384; header fields of the first record
  // start at 16 (orders), 19 (knot counts), 31 (coefficient counts).
  for (std::size_t cut : {0, 3, 5, 6, 16, 40, 60, 130794, 130795, 130800, 308019})
    CHECK(throws<std::out_of_range>(std::vector<unsigned char>(full.begin(), full.begin() + cut)));
  auto more = full;
  more[4] = 4;  // one record more than present
  CHECK(throws<std::out_of_range>(more));
  auto huge = full;
  std::memset(&huge[31], 0xFF, 12);  // coefficient counts near 2^32 each
  CHECK(throws<std::out_of_range>(huge));
  auto order = full;
  order[18] = 5;  // m order no longer matches the knot and coefficient counts
  CHECK(throws<std::runtime_error>(order));
  auto name = full;
  name[7] = 0xFF;
  CHECK(throws<std::runtime_error>(name));
  auto magic = full;
  magic[3] = '2';
  CHECK(throws<std::runtime_error>(magic));

  // Run-time orders perform the operations of the fixed-order kernel.
  const Spline3D& lp = table.at("NaClaq_LP");
  const Spline3D& br = table.at("NaClaq_5GPa_2024");
  const double pts[][3] = {{0.1, 298.15, 1.0}, {900, 230, 6.9}, {1001, 501, 7}, {-50, 600, 8}};
  for (const auto& x : pts) {
    const SolutionDerivs a = solution_derivs_k<6, 6, 4>(lp, x[0], x[1], x[2]);
    const SolutionDerivs b = solution_derivs_k<0, 0, 0>(lp, x[0], x[1], x[2]);
    const SolutionDerivs c = solution_derivs_k<6, 6, 5>(br, x[0], x[1], x[2]);
    const SolutionDerivs d = solution_derivs_k<0, 0, 0>(br, x[0], x[1], x[2]);
    CHECK(std::memcmp(&a, &b, sizeof a) == 0 && std::memcmp(&c, &d, sizeof c) == 0);
  }
  // A spline that cannot be evaluated gives NaN.
  Spline3D bad = lp;
  bad.coefs.pop_back();
  CHECK(std::isnan(solution_props(bad, 0.1, 298.15, 1.0).G));
  std::printf(failures ? "failed\n" : "ok\n");
  return failures != 0;
}
