// Embeds data/seafreeze_nacl.bin into the module's read-only data.
#include "nacl/container.hpp"

#include <cstddef>

#include "seafreeze/incbin.hpp"

#ifndef TESSARIN_NACL_CONTAINER_PATH
#error "TESSARIN_NACL_CONTAINER_PATH must name data/seafreeze_nacl.bin (set by CMakeLists.txt)"
#endif

TESSARIN_INCBIN(tessarin_nacl_container, tessarin_nacl_container_begin,
                tessarin_nacl_container_end, TESSARIN_NACL_CONTAINER_PATH)

namespace tessarin::nacl {

std::span<const unsigned char> container_bytes() noexcept {
  return {tessarin_nacl_container_begin,
          static_cast<std::size_t>(tessarin_nacl_container_end - tessarin_nacl_container_begin)};
}

}  // namespace tessarin::nacl
