// The phase table without Python: several threads race for the first lookup
// (no interpreter lock serialises them here), and damaged containers fail
// cleanly without reading past their end (checked under AddressSanitizer
// where available); splines that cannot be evaluated give NaN.
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <thread>
#include <vector>

#include "check.hpp"
#include "seafreeze/container.hpp"
#include "seafreeze/kernel.hpp"
#include "seafreeze/table.hpp"

using namespace tessarin::seafreeze;

template <class E>
static bool throws(std::vector<unsigned char> v, const char* what = nullptr) {
  // Exactly-sized heap copy, so any read past the end is caught by ASan.
  try { parse_splines(std::span<const unsigned char>(v.data(), v.size())); }
  catch (const E& e) { return !what || std::strcmp(e.what(), what) == 0; }
  catch (...) { return false; }
  return false;
}

int main() {
  std::atomic<bool> go{false};
  const Spline2D* seen[8] = {};
  std::vector<std::thread> ts;
  for (int i = 0; i < 8; ++i)
    ts.emplace_back([&, i] { while (!go.load()) {} seen[i] = get_phase("water1"); });
  go = true;
  for (auto& t : ts) t.join();
  CHECK(parse_count() == 1);
  for (auto* s : seen) CHECK(s != nullptr && s == seen[0]);
  CHECK(seen[0]->order_p == 6 && seen[0]->knots_p.size() == 86 && seen[0]->coefs.size() == 3200);
  CHECK(!get_phase("ice") && !get_phase("") && !get_phase("WATER1"));
  CHECK(parse_count() == 1);

  auto all = container_bytes();
  CHECK(all.size() == CONTAINER_SIZE);
  const std::vector<unsigned char> full(all.begin(), all.end());
  CHECK(parse_splines(full).size() == 8);

  // Truncated anywhere, including at record boundaries.
  for (std::size_t cut : {0, 3, 5, 6, 7, 25, 26687, 26688, 26689, 1174585, 1239118})
    CHECK(throws<std::out_of_range>(std::vector<unsigned char>(full.begin(), full.begin() + cut)));
  // One record more declared than present.
  auto more = full; more[4] = 9;
  CHECK(throws<std::out_of_range>(more));
  // A huge count must not wrap around or allocate before the check.
  auto huge = full; std::memset(&huge[6 + 1 + 6 + 2 + 8], 0xFF, 8);  // cP, cT of water1
  CHECK(throws<std::out_of_range>(huge));
  auto bad_name = full; bad_name[7] = 0xFF;
  CHECK(throws<std::runtime_error>(bad_name, "invalid utf-8 phase name"));
  auto bad_magic = full; bad_magic[3] = '2';
  CHECK(throws<std::runtime_error>(bad_magic));

  // A later record with the same name replaces the earlier one.
  const std::size_t w1 = 26682;
  std::vector<unsigned char> dup(full.begin(), full.begin() + 6 + w1);
  dup.insert(dup.end(), full.begin() + 6, full.begin() + 6 + w1);
  dup[4] = 2;
  const double marker = 12345.5;
  std::memcpy(&dup[dup.size() - 8], &marker, 8);  // last coefficient of the second copy
  auto tab = parse_splines(dup);
  CHECK(tab.size() == 1 && tab.at("water1").coefs.back() == marker);

  // Splines that cannot be evaluated safely give NaN, never a stray read.
  Spline2D s = tab.at("water1");
  CHECK(std::isfinite(eval_point(s, 0, 0, 0.1, 300)));
  Spline2D big = s; big.order_p = 13;
  CHECK(std::isnan(eval_point(big, 0, 0, 0.1, 300)) && std::isnan(point_props(big, 0.1, 300).G));
  Spline2D short_c = s; short_c.coefs.resize(3199);
  CHECK(std::isnan(eval_point(short_c, 0, 0, 0.1, 300)) &&
        std::isnan(gibbs_derivs(short_c, 0.1, 300).gp));
  Spline2D few = s; few.knots_t.resize(11);
  CHECK(std::isnan(eval_point(few, 0, 0, 0.1, 300)));
  CHECK(eval_point(big, 13, 0, 0.1, 300) == 0.0);
  return finish();
}
