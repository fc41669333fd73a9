// The process-wide phase table: phase name -> Spline2D, parsed once from the
// embedded container on first use and immutable afterwards.
#pragma once
#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>

#include "seafreeze/spline.hpp"

namespace tessarin::seafreeze {

using PhaseTable = std::unordered_map<std::string, Spline2D>;

// Parses a container ("TSF1", record count, records) into a new table. Every
// read is checked against bytes.size(): a record that would run past the end
// throws std::out_of_range, a name that is not UTF-8 throws
// std::runtime_error("invalid utf-8 phase name"); nothing outside `bytes` is
// read. A later record with an existing name replaces the earlier one.
PhaseTable parse_splines(std::span<const unsigned char> bytes);

// The table of the embedded container. The first call, from any thread,
// parses it; concurrent first callers wait for that parse and then share its
// result. The reference stays valid until the process ends.
const PhaseTable& phases();

// The spline stored under `name` (exact, case-sensitive), or null. The
// pointer stays valid for the life of the process, so it may be handed to
// worker threads.
const Spline2D* get_phase(std::string_view name);

// How many times the embedded container has been parsed (0 or 1 once the
// table exists); lets the one-time initialisation be checked.
std::size_t parse_count() noexcept;

}  // namespace tessarin::seafreeze
