// Exponentials, logarithms and powers per point that each liquid-model
// kernel really evaluates on the benchmark's points, printed as JSON.
//
// The kernels are the module's own block kernels (AVX2 blocks where the
// processor has them), instantiated with a math policy that counts every
// lane of every vector exp and log it is asked for (padding lanes and the
// lanes of solves that have ended included: the kernel pays for them) and
// then computes them as the module does. Calls of the C library's exp, log
// and pow, which the kernels still make in places, are counted through the
// linker's --wrap (bench/run.py links this program with
// -Wl,--wrap=exp,--wrap=log,--wrap=pow).
#include <cstdio>
#include <random>
#include <vector>

#include "caupin/block.hpp"
#include "duska/block.hpp"
#include "holten/block.hpp"
#include "shi_tanaka/block.hpp"

namespace {

struct Count {
  double vexp = 0, vlog = 0, exp = 0, log = 0, pow = 0;
};
Count g_count;

struct CountingMath {
  template <class F>
  static F exp(F x) noexcept {
    g_count.vexp += tessarin::simd::width<F>;
    return tessarin::vmath::exp(x);
  }
  template <class F>
  static F log(F x) noexcept {
    g_count.vlog += tessarin::simd::width<F>;
    return tessarin::vmath::log(x);
  }
};

}  // namespace

extern "C" {
double __real_exp(double);
double __real_log(double);
double __real_pow(double, double);
double __wrap_exp(double x) {
  g_count.exp += 1;
  return __real_exp(x);
}
double __wrap_log(double x) {
  g_count.log += 1;
  return __real_log(x);
}
double __wrap_pow(double x, double y) {
  g_count.pow += 1;
  return __real_pow(x, y);
}
}

namespace {

using namespace tessarin;
using Kernel = void (*)(const double*, const double*, std::size_t, PointResult*);

template <class V>
void holten_k(const double* t, const double* p, std::size_t n, PointResult* o) {
  holten::holten_points<CountingMath, V>(t, p, n, o);
}
template <class V, const caupin::CaupinParams& C>
void caupin_k(const double* t, const double* p, std::size_t n, PointResult* o) {
  caupin::caupin_block<CountingMath, V>(t, p, n, o, C);
}
template <class V>
void duska_k(const double* t, const double* p, std::size_t n, PointResult* o) {
  duska::duska_points<CountingMath, V>(t, p, n, o);
}
void shi_tanaka_k(const double* t, const double* p, std::size_t n, PointResult* o) {
  shi_tanaka::shi_tanaka_block<CountingMath>(t, p, n, o);
}

__attribute__((target("avx2"), flatten)) void holten4(const double* t, const double* p,
                                                      std::size_t n, PointResult* o) {
  holten_k<simd::Vec<4>>(t, p, n, o);
}
__attribute__((target("avx2"), flatten)) void caupin4(const double* t, const double* p,
                                                      std::size_t n, PointResult* o) {
  caupin_k<simd::Vec<4>, caupin::CAUPIN_TABLE_III>(t, p, n, o);
}
__attribute__((target("avx2"), flatten)) void caupin_kim4(const double* t, const double* p,
                                                          std::size_t n, PointResult* o) {
  caupin_k<simd::Vec<4>, caupin::CAUPIN_TABLE_II>(t, p, n, o);
}
__attribute__((target("avx2"), flatten)) void duska4(const double* t, const double* p,
                                                     std::size_t n, PointResult* o) {
  duska_k<simd::Vec<4>>(t, p, n, o);
}

}  // namespace

int main() {
  __builtin_cpu_init();
  const bool avx2 = __builtin_cpu_supports("avx2");
  struct Model {
    const char* name;
    Kernel portable, wide;
  } models[] = {
      {"compute_batch_holten", holten_k<simd::V2>, holten4},
      {"compute_batch_caupin", caupin_k<simd::V2, caupin::CAUPIN_TABLE_III>, caupin4},
      {"compute_batch_caupin_kim", caupin_k<simd::V2, caupin::CAUPIN_TABLE_II>, caupin_kim4},
      {"compute_batch_duska", duska_k<simd::V2>, duska4},
      {"compute_batch_shi_tanaka", shi_tanaka_k, shi_tanaka_k},
  };
  // The benchmark's points: T 200-360 K, P 0.1-200 MPa, in blocks of 8.
  const std::size_t n = 20000;
  std::mt19937_64 rng(1);
  std::uniform_real_distribution<double> T(200.0, 360.0), P(0.1, 200.0);
  std::vector<double> t(n), p(n);
  for (std::size_t i = 0; i < n; ++i) {
    t[i] = T(rng);
    p[i] = P(rng);
  }
  std::vector<PointResult> out(n);
  std::printf("{\"path\": \"%s\"", avx2 ? "avx2" : "portable");
  for (const Model& m : models) {
    g_count = {};
    const Kernel k = avx2 ? m.wide : m.portable;
    for (std::size_t i = 0; i < n; i += 8) k(&t[i], &p[i], 8, &out[i]);
    const double d = static_cast<double>(n);
    std::printf(",\n \"%s\": {\"vexp\": %.3f, \"vlog\": %.3f, \"exp\": %.3f, \"log\": %.3f, "
                "\"pow\": %.3f}",
                m.name, g_count.vexp / d, g_count.vlog / d, g_count.exp / d, g_count.log / d,
                g_count.pow / d);
  }
  std::printf("}\n");
  return 0;
}
