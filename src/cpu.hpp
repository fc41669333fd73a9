// Which vector instructions the kernels use.
//
// Kernels with a wide variant (compiled for AVX2 in functions marked with
// the target attribute) pick it at run time when the processor has it.
// Every variant gives the same bits as the portable code, so the choice
// changes speed only; the environment variable TESSARIN_SIMD lets a user or
// a test force a path:
//   TESSARIN_SIMD=portable   baseline x86-64 (or non-x86) code only
//   TESSARIN_SIMD=avx2       AVX2 where the processor has it
//   unset, "auto" or empty   the widest path the processor has
// Any other value is treated as "auto". The choice is made once per process.
#pragma once

namespace tessarin::cpu {

enum class Path { Portable, Avx2 };

// The path the kernels take in this process.
Path path() noexcept;

// "portable" or "avx2".
const char* path_name(Path p) noexcept;

}  // namespace tessarin::cpu
