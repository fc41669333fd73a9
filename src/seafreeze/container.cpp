// Embeds data/seafreeze_splines.bin into the module's read-only data.
#include "seafreeze/container.hpp"

#include "seafreeze/incbin.hpp"

#ifndef TESSARIN_CONTAINER_PATH
#error "TESSARIN_CONTAINER_PATH must name data/seafreeze_splines.bin (set by CMakeLists.txt)"
#endif

TESSARIN_INCBIN(tessarin_sf_container, tessarin_sf_container_begin, tessarin_sf_container_end,
                TESSARIN_CONTAINER_PATH)

namespace tessarin::seafreeze {

std::span<const unsigned char> container_bytes() noexcept {
  return {tessarin_sf_container_begin,
          static_cast<std::size_t>(tessarin_sf_container_end - tessarin_sf_container_begin)};
}

}  // namespace tessarin::seafreeze
