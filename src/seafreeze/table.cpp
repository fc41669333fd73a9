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

namespace tessarin::seafreeze {
namespace {

// Sequential little-endian reader over the container. Values may start at any
// byte offset, so they are assembled byte-wise.
class Reader {
 public:
  Reader(std::span<const unsigned char> bytes, std::size_t pos) : bytes_(bytes), pos_(pos) {}

  std::size_t pos() const noexcept { return pos_; }

  const unsigned char* take(std::size_t n) {
    if (pos_ > bytes_.size() || n > bytes_.size() - pos_)
      throw std::out_of_range("spline container: " + std::to_string(n) + " bytes at offset " +
                              std::to_string(pos_) + " run past its end (" +
                              std::to_string(bytes_.size()) + " bytes)");
    const unsigned char* p = bytes_.data() + pos_;
    pos_ += n;
    return p;
  }

  std::uint8_t u8() { return *take(1); }

  std::uint32_t u32() {
    const unsigned char* b = take(4);
    return static_cast<std::uint32_t>(b[0]) | static_cast<std::uint32_t>(b[1]) << 8 |
           static_cast<std::uint32_t>(b[2]) << 16 | static_cast<std::uint32_t>(b[3]) << 24;
  }

  // `count` f64 values; the byte count is checked before it is formed, so a
  // huge count cannot wrap around.
  std::vector<double> f64_vec(std::uint64_t count) {
    if (count > (bytes_.size() - std::min(pos_, bytes_.size())) / 8)
      throw std::out_of_range("spline container: " + std::to_string(count) +
                              " values at offset " + std::to_string(pos_) +
                              " run past its end (" + std::to_string(bytes_.size()) + " bytes)");
    const unsigned char* b = take(static_cast<std::size_t>(count) * 8);
    std::vector<double> out(static_cast<std::size_t>(count));
    for (std::size_t k = 0; k < out.size(); ++k) {
      std::uint64_t bits = 0;
      for (int i = 7; i >= 0; --i) bits = bits << 8 | b[8 * k + static_cast<std::size_t>(i)];
      out[k] = std::bit_cast<double>(bits);
    }
    return out;
  }

 private:
  std::span<const unsigned char> bytes_;
  std::size_t pos_;
};

// Well-formed UTF-8 (no overlong forms, surrogates or values above U+10FFFF).
bool valid_utf8(const unsigned char* s, std::size_t n) {
  std::size_t i = 0;
  while (i < n) {
    const unsigned char c = s[i];
    std::size_t len;
    std::uint32_t cp;
    if (c < 0x80) { ++i; continue; }
    if (c >= 0xC2 && c <= 0xDF) { len = 2; cp = c & 0x1F; }
    else if (c >= 0xE0 && c <= 0xEF) { len = 3; cp = c & 0x0F; }
    else if (c >= 0xF0 && c <= 0xF4) { len = 4; cp = c & 0x07; }
    else return false;
    if (n - i < len) return false;
    for (std::size_t k = 1; k < len; ++k) {
      if ((s[i + k] & 0xC0) != 0x80) return false;
      cp = cp << 6 | (s[i + k] & 0x3F);
    }
    if ((len == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) ||
        (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)))
      return false;
    i += len;
  }
  return true;
}

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
