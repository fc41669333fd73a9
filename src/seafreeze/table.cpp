#include "seafreeze/table.hpp"

#include <atomic>
#include <bit>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>
#include <algorithm>

#include "seafreeze/container.hpp"
#include "seafreeze/reader.hpp"

namespace tessarin::seafreeze {
namespace {

std::atomic<std::size_t> g_parse_count{0};

}  // namespace

PhaseTable parse_splines(std::span<const unsigned char> bytes) {
  Reader r(bytes, 0);
  if (std::memcmp(r.take(4), "TSF1", 4) != 0)
    throw std::runtime_error("spline container: magic is not TSF1");
  const std::size_t count_lo = r.u8();
  const std::size_t count_hi = r.u8();
  const std::size_t count = count_lo | count_hi << 8;
  PhaseTable table;
  table.reserve(count);
  for (std::size_t rec = 0; rec < count; ++rec) {
    const std::size_t name_len = r.u8();
    const unsigned char* name = r.take(name_len);
    if (!valid_utf8(name, name_len)) throw std::runtime_error("invalid utf-8 phase name");
    Spline2D s;
    s.order_p = r.u8();
    s.order_t = r.u8();
    const std::uint32_t mp = r.u32(), mt = r.u32(), cp = r.u32(), ct = r.u32();
    const bool has_shear = r.u8() != 0;
    s.n_p = cp;
    s.n_t = ct;
    s.knots_p = r.f64_vec(mp);
    s.knots_t = r.f64_vec(mt);
    s.coefs = r.f64_vec(std::uint64_t{cp} * ct);
    if (has_shear) {
      const std::vector<double> sh = r.f64_vec(6);
      s.shear_params = std::array<double, 6>{sh[0], sh[1], sh[2], sh[3], sh[4], sh[5]};
    }
    prepare(s);
    table.insert_or_assign(std::string(reinterpret_cast<const char*>(name), name_len),
                           std::move(s));
  }
  return table;
}

const PhaseTable& phases() {
  // A function-local static is initialised exactly once even when several
  // threads arrive together: the others block until it is done. If parsing
  // throws, the next call tries again.
  static const PhaseTable table = [] {
    g_parse_count.fetch_add(1, std::memory_order_relaxed);
    return parse_splines(container_bytes());
  }();
  return table;
}

const Spline2D* get_phase(std::string_view name) {
  const PhaseTable& table = phases();
  auto it = table.find(std::string(name));
  return it == table.end() ? nullptr : &it->second;
}

std::size_t parse_count() noexcept { return g_parse_count.load(std::memory_order_relaxed); }

}  // namespace tessarin::seafreeze
