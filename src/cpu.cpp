#include "cpu.hpp"

#include <cstdlib>
#include <cstring>

namespace tessarin::cpu {
namespace {

bool has_avx2() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2");
#else
  return false;
#endif
}

Path choose() noexcept {
  const char* want = std::getenv("TESSARIN_SIMD");
  if (want && std::strcmp(want, "portable") == 0) return Path::Portable;
  return has_avx2() ? Path::Avx2 : Path::Portable;
}

}  // namespace

Path path() noexcept {
  static const Path chosen = choose();
  return chosen;
}

const char* path_name(Path p) noexcept { return p == Path::Avx2 ? "avx2" : "portable"; }

}  // namespace tessarin::cpu
