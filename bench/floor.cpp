// Cost of the math calls that bound the liquid-model kernels from below.
// Prints, as JSON, nanoseconds per value of the C library's exp, log and pow
// and of the vector exp and log of src/vmath.hpp (per lane, with SSE2
// vectors of two and, where the processor has AVX2, vectors of four),
// measured on arguments in the ranges the models use. Compiled and run by
// bench/run.py with the module's own optimisation flags (no fast-math, no
// contraction).
#include <chrono>
#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

#include "vmath.hpp"

namespace {

using namespace tessarin;

constexpr int N = 1 << 14;
constexpr int ROUNDS = 400;
volatile double g_sink;
volatile double g_zero = 0;  // added to every vector argument: no pass can be hoisted

// Best time per value over a few repetitions of ROUNDS passes over N values;
// `pass` evaluates all N values once and returns something that depends on
// them. The arguments stay in cache: this measures the calls, not memory.
template <class Pass>
double ns_per_value(Pass&& pass) {
  double best = 1e30;
  for (int rep = 0; rep < 5; ++rep) {
    const auto t0 = std::chrono::steady_clock::now();
    double acc = 0;
    for (int r = 0; r < ROUNDS; ++r) acc += pass();
    const auto t1 = std::chrono::steady_clock::now();
    g_sink = g_sink + acc;
    best = std::fmin(best, std::chrono::duration<double, std::nano>(t1 - t0).count() /
                               (double(N) * ROUNDS));
  }
  return best;
}

template <class V, class Fn>
double vector_pass(const double* x, Fn f) {
  V acc = simd::splat<V>(0.0);
  const double zero = g_zero;
  for (int i = 0; i < N; i += simd::width<V>) acc += f(simd::load<V>(x + i) + zero);
  double s = 0;
  for (int l = 0; l < simd::width<V>; ++l) s += acc[l];
  return s;
}

__attribute__((target("avx2"), flatten, noinline)) double exp4(const double* x) {
  return vector_pass<simd::Vec<4>>(x, [](simd::Vec<4> v) { return vmath::exp(v); });
}
__attribute__((target("avx2"), flatten, noinline)) double log4(const double* x) {
  return vector_pass<simd::Vec<4>>(x, [](simd::Vec<4> v) { return vmath::log(v); });
}

}  // namespace

int main() {
  std::mt19937_64 rng(12345);
  std::uniform_real_distribution<double> exp_arg(-8.0, 2.0), log_arg(1e-6, 30.0),
      pow_base(0.6, 3.0), pow_exp(-0.4, 9.0);
  std::vector<double> a(N), b(N), c(N), d(N);
  for (int i = 0; i < N; ++i) {
    a[i] = exp_arg(rng);
    b[i] = log_arg(rng);
    c[i] = pow_base(rng);
    d[i] = pow_exp(rng);
  }
  const auto scalar = [&](auto f) {
    return ns_per_value([&] {
      double acc = 0;
      for (int i = 0; i < N; ++i) acc += f(i);
      return acc;
    });
  };
  const double t_exp = scalar([&](int i) { return std::exp(a[i]); });
  const double t_log = scalar([&](int i) { return std::log(b[i]); });
  const double t_pow = scalar([&](int i) { return std::pow(c[i], d[i]); });
  const double t_add = scalar([&](int i) { return a[i] + b[i]; });
  const double v2_exp = ns_per_value(
      [&] { return vector_pass<simd::V2>(a.data(), [](simd::V2 v) { return vmath::exp(v); }); });
  const double v2_log = ns_per_value(
      [&] { return vector_pass<simd::V2>(b.data(), [](simd::V2 v) { return vmath::log(v); }); });
  __builtin_cpu_init();
  const bool avx2 = __builtin_cpu_supports("avx2");
  const double v4_exp = avx2 ? ns_per_value([&] { return exp4(a.data()); }) : v2_exp;
  const double v4_log = avx2 ? ns_per_value([&] { return log4(b.data()); }) : v2_log;
  std::printf(
      "{\"exp\": %.4f, \"log\": %.4f, \"pow\": %.4f, \"loop\": %.4f, \"vexp_portable\": %.4f, "
      "\"vlog_portable\": %.4f, \"vexp\": %.4f, \"vlog\": %.4f, \"vector_path\": \"%s\"}\n",
      t_exp, t_log, t_pow, t_add, v2_exp, v2_log, v4_exp, v4_log, avx2 ? "avx2" : "portable");
  return 0;
}
