// Embeds data/seafreeze_splines.bin into the module's read-only data. The
// assembler includes the file directly, so the bytes never pass through the
// C++ front end (a 1.2 MB array initialiser would cost seconds to compile) and
// nothing is read from disk at run time. The symbols are hidden so that the
// module exports nothing but its initialisation function.
#include "seafreeze/container.hpp"

#ifndef TESSARIN_CONTAINER_PATH
#error "TESSARIN_CONTAINER_PATH must name data/seafreeze_splines.bin (set by CMakeLists.txt)"
#endif

asm(".pushsection .rodata.tessarin_sf_container,\"a\",@progbits\n"
    ".balign 16\n"
    ".hidden tessarin_sf_container_begin\n"
    ".hidden tessarin_sf_container_end\n"
    ".globl tessarin_sf_container_begin\n"
    ".globl tessarin_sf_container_end\n"
    ".type tessarin_sf_container_begin, @object\n"
    "tessarin_sf_container_begin:\n"
    ".incbin \"" TESSARIN_CONTAINER_PATH "\"\n"
    "tessarin_sf_container_end:\n"
    ".size tessarin_sf_container_begin, tessarin_sf_container_end - tessarin_sf_container_begin\n"
    ".popsection\n");

extern "C" {
extern const unsigned char tessarin_sf_container_begin[];
extern const unsigned char tessarin_sf_container_end[];
}

namespace tessarin::seafreeze {

std::span<const unsigned char> container_bytes() noexcept {
  return {tessarin_sf_container_begin,
          static_cast<std::size_t>(tessarin_sf_container_end - tessarin_sf_container_begin)};
}

}  // namespace tessarin::seafreeze
