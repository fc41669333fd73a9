// The SeaFreeze spline container: the raw bytes assembled into the module.
#pragma once
#include <cstddef>
#include <span>

namespace tessarin::seafreeze {

// Length of the shipped container in bytes.
inline constexpr std::size_t CONTAINER_SIZE = 1'239'119;

// The embedded container, read-only for the life of the process.
std::span<const unsigned char> container_bytes() noexcept;

}  // namespace tessarin::seafreeze
