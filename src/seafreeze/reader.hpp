// Bounds-checked reading of the embedded spline containers: a sequential
// little-endian reader whose every read is checked against the end of the
// bytes, and the UTF-8 check of the names stored in them.
#pragma once
#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace tessarin::seafreeze {

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
inline bool valid_utf8(const unsigned char* s, std::size_t n) {
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

}  // namespace tessarin::seafreeze
