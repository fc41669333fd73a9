// What a result's bits may depend on besides the inputs: the compiler, the C
// library's math functions and the vector instructions the processor offers,
// and the vector path the kernels take (see cpu.hpp).
#include <gnu/libc-version.h>

#include "batch.hpp"
#include "cpu.hpp"
#include "ext/entry_points.hpp"

namespace tessarin::ext {

namespace {
const char* cpu_features() {
#if defined(__x86_64__)
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx512f")) return "x86-64 sse2 avx avx2 fma avx512f";
  if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma"))
    return "x86-64 sse2 avx avx2 fma";
  if (__builtin_cpu_supports("avx")) return "x86-64 sse2 avx";
  return "x86-64 sse2";
#elif defined(__aarch64__)
  return "aarch64 neon";
#else
  return "generic";
#endif
}
}  // namespace

PyObject* py_build_info(ArgValue*) {
  PyRef dict(PyDict_New());
  if (!dict) return nullptr;
  const char* pairs[][2] = {{"compiler", __VERSION__},
                            {"libc", gnu_get_libc_version()},
                            {"cpu", cpu_features()},
                            {"simd", cpu::path_name(cpu::path())}};
  for (const auto& kv : pairs) {
    PyRef value(PyUnicode_FromString(kv[1]));
    if (!value || !dict_set(dict.get(), kv[0], value.get())) return nullptr;
  }
  return dict.release();
}

}  // namespace tessarin::ext
