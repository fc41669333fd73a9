// The NaCl(aq) spline container: the raw bytes assembled into the module.
#pragma once
#include <span>

namespace tessarin::nacl {

// The embedded container, read-only for the life of the process.
std::span<const unsigned char> container_bytes() noexcept;

}  // namespace tessarin::nacl
