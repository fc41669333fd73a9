// The NaCl(aq) splines parsed from the embedded container, and the materials
// built from them. Parsed once, on first use, and immutable afterwards.
#pragma once
#include <algorithm>
#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "nacl/props.hpp"
#include "nacl/spline.hpp"

namespace tessarin::nacl {

using SplineTable = std::unordered_map<std::string, Spline3D>;

// Parses a container ("TNC1", record count, records; layout in
// tools/build_nacl_container.py) into a new table. Every read is checked
// against bytes.size(): a record that would run past the end throws
// std::out_of_range; a name that is not UTF-8, or orders, knot and
// coefficient counts that do not make an evaluable spline, throw
// std::runtime_error. Nothing outside `bytes` is read. A later record with an
// existing name replaces the earlier one.
SplineTable parse_nacl_splines(std::span<const unsigned char> bytes);

// The materials, in this order: "NaClaq" (the low- and high-pressure splines
// joined), "NaClaq_LP", "NaClaq_HP", "NaClaq_5GPa_2024". The first call, from
// any thread, parses the embedded container; concurrent first callers wait
// for it. Throws std::runtime_error when the container lacks one of the
// splines (the next call tries again). The entries live as long as the
// process, so they may be handed to worker threads.
std::span<const Material> materials();

// The material called `name` (exact), or null.
const Material* find_material(std::string_view name);

// First and last knot of a material along axis 0 (P, MPa), 1 (T, K) or
// 2 (m, mol/kg); for a joined material, the range its two splines cover
// together.
inline std::pair<double, double> knot_range(const Material& mat, std::size_t axis) {
  const auto& a = mat.low->knots[axis];
  if (!mat.high) return {a.front(), a.back()};
  const auto& b = mat.high->knots[axis];
  return {std::min(a.front(), b.front()), std::max(a.back(), b.back())};
}

}  // namespace tessarin::nacl
