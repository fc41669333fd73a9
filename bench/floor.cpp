// Cost of the C math library calls that bound the liquid-model kernels from
// below. Prints nanoseconds per call of exp, log and pow as JSON, measured on
// arguments in the ranges the models use. Compiled and run by bench/run.py
// with the module's own optimisation flags (no fast-math).
#include <chrono>
#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

namespace {

constexpr int N = 1 << 16;
constexpr int ROUNDS = 200;

template <class F>
double ns_per_call(F&& f) {
  double best = 1e30;
  volatile double sink = 0;
  for (int rep = 0; rep < 5; ++rep) {
    auto t0 = std::chrono::steady_clock::now();
    double acc = 0;
    for (int r = 0; r < ROUNDS; ++r)
      for (int i = 0; i < N; ++i) acc += f(i);
    auto t1 = std::chrono::steady_clock::now();
    sink = sink + acc;
    double ns = std::chrono::duration<double, std::nano>(t1 - t0).count() / (double(N) * ROUNDS);
    if (ns < best) best = ns;
  }
  return best;
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
  // The loop over the same vectors keeps arguments in cache: this measures
  // the calls, not memory.
  double t_exp = ns_per_call([&](int i) { return std::exp(a[i]); });
  double t_log = ns_per_call([&](int i) { return std::log(b[i]); });
  double t_pow = ns_per_call([&](int i) { return std::pow(c[i], d[i]); });
  double t_add = ns_per_call([&](int i) { return a[i] + b[i]; });
  std::printf("{\"exp\": %.4f, \"log\": %.4f, \"pow\": %.4f, \"loop\": %.4f}\n", t_exp, t_log,
              t_pow, t_add);
  return 0;
}
