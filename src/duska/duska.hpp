// Duska equation of state of liquid water.
//
// A two-state model whose background (state A) is tied to the liquid-vapour
// spinodal: the volume of A follows a square-root law in the distance to the
// spinodal pressure Ps(tau), its Gibbs energy is the integral of its
// zero-pressure entropy from the critical temperature plus the integral of
// its volume from zero pressure, and state B differs from A by a polynomial
// field L. The fraction x of B minimises the reduced mixing energy
// x L + tau [x ln x + (1-x) ln(1-x)] + W x (1-x).
//
// Pure C++: no Python types, no allocation, never throws. Points beyond the
// spinodal show as NaN in every volume-dependent output; x is still solved.
#pragma once
#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>
#if defined(__x86_64__) && defined(__GNUC__)
// Blocks of points use AVX2 where the processor has it.
#define TESSARIN_DUSKA_WIDE 1
#endif

#include "point_result.hpp"
#include "simd.hpp"

namespace tessarin::duska {

inline constexpr double TC = 647.096;        // K, reducing temperature
inline constexpr double PC_MPA = 22.064;     // MPa, reducing pressure
inline constexpr double PC_PA = 2.2064e7;    // Pa
inline constexpr double R = 461.523;         // J/(kg K)
inline constexpr double R_TC = 298649.68720800005;  // J/kg, energy scale as stored
inline constexpr double S0 = -13463.3332601599;     // J/(kg K)
inline constexpr double G0 = -9540603.21228428;     // J/kg
inline constexpr double G1 = 13463.3332601599;      // J/(kg K)

inline constexpr double X_LO = 1e-15;
inline constexpr double X_HI = 0.999999999999999;

// Half-step of the central difference that gives dS_A/dtau. With S_A of
// order 10 and rounding near 1e-15, the step balances truncation (~h^2)
// against cancellation (~eps/h); Cp is good to about 1e-8 relative.
inline constexpr double DTAU = 1e-7;

// 16-point Gauss-Legendre rule on [-1, 1], nodes ascending. Both integrands
// are smooth on their intervals away from the spinodal, where the rule is
// exact to far below the precision of the reference data.
inline constexpr double GL_NODE[16] = {
    -0.9894009349916499, -0.9445750230732326, -0.8656312023878318, -0.755404408355003,
    -0.6178762444026438, -0.4580167776572274, -0.2816035507792589, -0.0950125098376374,
    0.0950125098376374,  0.2816035507792589,  0.4580167776572274,  0.6178762444026438,
    0.755404408355003,   0.8656312023878318,  0.9445750230732326,  0.9894009349916499};
inline constexpr double GL_WEIGHT[16] = {
    0.0271524594117541, 0.0622535239386479, 0.0951585116824928, 0.1246289712555339,
    0.1495959888165767, 0.1691565193950025, 0.1826034150449236, 0.1894506104550685,
    0.1894506104550685, 0.1826034150449236, 0.1691565193950025, 0.1495959888165767,
    0.1246289712555339, 0.0951585116824928, 0.0622535239386479, 0.0271524594117541};

// ---------------------------------------------------------------------------
// Two-state quantities. Also used on their own by the liquid-liquid
// phase-boundary searches.

inline double reduced_temperature(double T) noexcept { return T / TC; }
inline double reduced_pressure(double P_MPa) noexcept { return P_MPa / PC_MPA; }

// Field L: reduced Gibbs energy of state B relative to state A, with its
// derivatives in tau and pi.
struct Field {
  double L, L_t, L_p, L_tt, L_tp, L_pp;
};

// Interaction W (reduced non-ideality of mixing) and its derivatives. W is
// linear in tau and in pi separately, so only the mixed second derivative
// is non-zero.
struct Interaction {
  double W, W_t, W_p, W_tp;
};

inline double field_L(double tau, double pi) noexcept {
  return -0.43743227 + 0.43306058 * tau + 2.1944047 * (tau * tau) + 0.018525106 * pi -
         0.013836753 * tau * pi - 1.630174e-5 * (pi * pi) + 7.6204693e-6 * (pi * pi * pi);
}

inline Field field(double tau, double pi) noexcept {
  Field f;
  f.L = field_L(tau, pi);
  f.L_t = 0.43306058 + 4.3888094 * tau - 0.013836753 * pi;
  f.L_p = 0.018525106 - 0.013836753 * tau - 3.260348e-5 * pi + 2.28614079e-5 * (pi * pi);
  f.L_tt = 4.3888094;
  f.L_tp = -0.013836753;
  f.L_pp = -3.260348e-5 + 4.57228158e-5 * pi;
  return f;
}

inline double interaction_W(double tau, double pi) noexcept {
  return 0.41420925 * (1 + 1.6181775 * tau + 0.036615174 * pi + 0.007147719 * tau * pi);
}

inline Interaction interaction(double tau, double pi) noexcept {
  Interaction w;
  w.W = interaction_W(tau, pi);
  w.W_t = 0.41420925 * (1.6181775 + 0.007147719 * pi);
  w.W_p = 0.41420925 * (0.036615174 + 0.007147719 * tau);
  w.W_tp = 0.00296065132620075;
  return w;
}

// Factor of the ideal mixing term: the reduced temperature itself.
inline double entropy_weight(double tau) noexcept { return tau; }

// Equilibrium residual: the x-derivative of the reduced mixing energy. Its
// roots in (0, 1) are the equilibrium fractions.
inline double residual(double x, double tau, double L, double W) noexcept {
  return tau * std::log(x / (1 - x)) + L + W * (1 - 2 * x);
}

// ---------------------------------------------------------------------------
// Background (state A).

// The spinodal functions of tau that the background needs at one
// temperature: pressure Ps, volume Vs, the square-root scale r = sqrt|D| and
// their tau-derivatives, plus c(tau), the temperature part of the entropy.
struct Spinodal {
  double tau, Ps, dPs, Vs, dVs, r, dr, c;
};

inline Spinodal spinodal(double tau) noexcept {
  Spinodal sp;
  sp.tau = tau;
  const double o = tau - 1;
  const double o2 = o * o;
  sp.Ps = 1 + 12.756957 * o - 2.6960321 * o2 + 28.548221 * (o2 * o);
  sp.dPs = 12.756957 - 5.3920642 * o + 85.644663 * o2;

  const double t2 = tau * tau;
  const double t3 = t2 * tau;
  const double t4 = t3 * tau;
  sp.Vs = 0.073009898 - 0.0089096098 * tau + 0.057261662 * t2 - 0.01308456 * t3 +
          0.0077905108 * t4;
  sp.dVs = -0.0089096098 + 0.114523324 * tau - 0.03925368 * t2 + 0.0311620432 * t3;
  const double Qs =
      26.732998 - 104.05443 * tau + 213.64435 * t2 - 235.82144 * t3 + 107.83316 * t4;
  const double dQs = -104.05443 + 427.2887 * tau - 707.46432 * t2 + 431.33264 * t3;

  const double Vs2 = sp.Vs * sp.Vs;
  const double D = -Qs / (2 * sp.Ps * Vs2);
  sp.r = std::sqrt(std::fabs(D));
  if (D != 0) {
    const double dD = (-dQs * sp.Ps * Vs2 + Qs * sp.dPs * Vs2 + 2 * sp.Ps * Qs * sp.Vs * sp.dVs) /
                      (2 * (sp.Ps * sp.Ps) * (Vs2 * Vs2));
    // Taken as D'/(2r) for either sign of D. Where Ps > 0 (above about
    // 598 K) D is negative and this is not the slope of sqrt|D|, but the
    // model's values there are defined with it.
    sp.dr = dD / (2 * sp.r);
  } else {
    sp.dr = 0;
  }

  sp.c = 37.36705333333333 * t3 - 86.07352 * t2 + 87.732559 * tau - 6.3674996 * std::log(tau);
  return sp;
}

// Distance factor s = sqrt(1 - pi/Ps); NaN beyond the spinodal.
inline double spinodal_distance(const Spinodal& sp, double pi) noexcept {
  return std::sqrt(1 - pi / sp.Ps);
}

inline double volume_a(const Spinodal& sp, double s) noexcept {
  return sp.Vs * sp.r / (s + sp.r);
}

// Reduced entropy of state A at the spinodal's temperature, given its
// reduced volume there.
inline double entropy_a(const Spinodal& sp, double Va) noexcept {
  const double ratio = Va / sp.Vs;
  const double lam = (ratio > 0) ? std::log(ratio) : 0.0;
  const double r2 = sp.r * sp.r;
  return sp.c + (Va - sp.Vs) * sp.dPs +
         (2 * sp.Vs * lam + sp.Vs * sp.Vs / Va - Va) * (2 * sp.Ps * sp.r * sp.dr + sp.dPs * r2) +
         (lam + sp.Vs / Va - 1) * sp.dVs * 2 * sp.Ps * r2;
}

inline double entropy_a(double tau, double pi) noexcept {
  const Spinodal sp = spinodal(tau);
  return entropy_a(sp, volume_a(sp, spinodal_distance(sp, pi)));
}

// Reduced background quantities at (tau, pi).
struct Background {
  double V, V_p, V_t;  // volume and its derivatives
  double S, dS_t;      // entropy and its tau-derivative
  double G;            // Gibbs energy
};

inline Background background(double tau, double pi) noexcept {
  constexpr double inf = std::numeric_limits<double>::infinity();
  constexpr double nan = std::numeric_limits<double>::quiet_NaN();
  const Spinodal sp = spinodal(tau);
  const double Ps = sp.Ps, Vs = sp.Vs, r = sp.r;
  const double s = spinodal_distance(sp, pi);

  Background b;
  b.V = volume_a(sp, s);
  const double sr = s + r;
  if (std::isnan(s)) {
    b.V_p = nan;
  } else if (s <= 1e-30) {
    b.V_p = inf;  // at the spinodal itself
  } else {
    b.V_p = Vs * r / (2 * Ps * (sr * sr) * s);
  }
  if (s > 1e-30) {
    b.V_t = ((sp.dr * Vs + r * sp.dVs) * sr -
             (pi * sp.dPs / (2 * (Ps * Ps) * s) + sp.dr) * Vs * r) /
            (sr * sr);
  } else {
    b.V_t = 0;
  }
  b.S = entropy_a(sp, b.V);

  // The analytic tau-derivative of S_A would need second derivatives of the
  // spinodal functions; a central difference is accurate enough for Cp.
  b.dS_t = (entropy_a(tau + DTAU, pi) - entropy_a(tau - DTAU, pi)) / 2e-7;

  // G_A = -integral of S_A(t, 0) from 1 to tau + integral of V_A(tau, p)
  // from 0 to pi, both by Gauss-Legendre on the mapped interval.
  double IT = 0;
  if (!(std::fabs(tau - 1) <= 1e-30)) {
    double sum = 0;
    for (int k = 0; k < 16; ++k) {
      const double X = (GL_NODE[k] + 1) * (tau - 1) / 2 + 1;
      sum += GL_WEIGHT[k] * entropy_a(X, 0.0);
    }
    IT = -((tau - 1) / 2) * sum;
  }
  double IP = 0;
  if (!(std::fabs(pi) <= 1e-30)) {
    double sum = 0;
    for (int k = 0; k < 16; ++k) {
      // A node beyond the spinodal gives NaN, and with it a NaN G.
      const double sk = std::sqrt(1 - (pi / 2) * (1 + GL_NODE[k]) / Ps);
      sum += GL_WEIGHT[k] * Vs * r / (sk + r);
    }
    IP = (pi / 2) * sum;
  }
  b.G = IT + IP;
  return b;
}

// ---------------------------------------------------------------------------
// Equilibrium fraction.

// min(max(g, 1e-15), 0.999999999999999) with the fmin/fmax rule that a NaN
// operand yields the bound, written as selects so that it stays inline (the
// library fmin/fmax are calls on the Newton chain's critical path).
inline double clamp_fraction(double g) noexcept {
  const double lo = (g >= X_LO) ? g : X_LO;
  return (lo <= X_HI) ? lo : X_HI;
}

// One step of Newton on the residual from `g`, kept inside (0, 1) by halving
// towards the nearer bound. Returns false when the run has stopped, with its
// result in g.
inline bool newton_step(double& g, double tau, double L, double W) noexcept {
  const double c = clamp_fraction(g);
  const double Fx = tau / ((1 - c) * c) - 2 * W;
  if (std::fabs(Fx) < 1e-30) {
    g = c;
    return false;
  }
  const double rc = (1 - 2 * c) * W + (std::log(c / (1 - c)) * tau + L);
  g = c - rc / Fx;
  if (g < X_LO) {
    g = 0.5 * c;
  } else if (g > X_HI) {
    g = ((c + 1) - 1e-15) * 0.5;
  }
  return !(std::fabs(rc) < 1e-12);
}

inline double mixing_energy(double x, double tau, double L, double W) noexcept {
  return W * x * (1 - x) + ((1 - x) * std::log(1 - x) + x * std::log(x)) * tau + L * x;
}

// Runs Newton (at most 50 steps each) from 0.05 and from 0.95 and keeps the
// root of lower mixing energy, so that inside the two-phase region the
// stable branch is reported. A tie keeps the low root; a NaN comparison
// takes the high one. The two runs are independent, so they advance in the
// same loop and the latency of one run's step hides behind the other's.
inline double equilibrium_fraction(double tau, double L, double W) noexcept {
  double g1 = 0.05, g2 = 0.95;
  bool live1 = true, live2 = true;
  for (int it = 0; it < 50 && (live1 || live2); ++it) {
    if (live1) live1 = newton_step(g1, tau, L, W);
    if (live2) live2 = newton_step(g2, tau, L, W);
  }
  const double x1 = clamp_fraction(g1);
  const double x2 = clamp_fraction(g2);
  return (mixing_energy(x1, tau, L, W) <= mixing_energy(x2, tau, L, W)) ? x1 : x2;
}

// ---------------------------------------------------------------------------
// Properties.

// Reduced description of one state: volume with its pi- and tau-derivatives,
// entropy, Gibbs energy, and Cp in J/(kg K).
struct State {
  double V, V_p, V_t, S, G, Cp;
};

inline Props13 properties(const State& st, double T, double P_pa) noexcept {
  constexpr double inf = std::numeric_limits<double>::infinity();
  constexpr double nan = std::numeric_limits<double>::quiet_NaN();
  Props13 o;
  o.V = 461.523 * st.V * 647.096 / 2.2064e7;
  o.rho = std::isnan(o.V) ? nan : (o.V > 0 ? 1 / o.V : inf);
  o.S = R * st.S + S0;
  o.G = R_TC * st.G + (G1 * T + G0);
  o.H = o.G + T * o.S;
  o.U = o.H - P_pa * o.V;
  o.A = o.G - P_pa * o.V;
  o.Cp = st.Cp;

  double kT;
  if (std::isnan(st.V_p) || std::isnan(st.V)) {
    kT = nan;
  } else if (std::fabs(st.V_p) <= 1e-30) {
    kT = inf;
  } else {
    kT = (-st.V_p / st.V) / 2.2064e7;
  }
  if (std::isnan(kT)) {
    o.Kt = nan;
  } else if (std::fabs(kT) > 1e-30 && std::isfinite(kT)) {
    o.Kt = 1 / kT / 1000000.0;  // negative where the state is mechanically unstable
  } else {
    o.Kt = 0;
  }

  o.Cv = o.Ks = o.vel = nan;
  if (std::isnan(st.V)) {
    o.alpha = nan;
    return o;
  }
  if (st.V > 0) {
    o.alpha = (1 / st.V) * st.V_t / 647.096;
    if (std::isnan(kT) || std::isnan(o.alpha)) return o;
  } else {
    o.alpha = 0;
    if (std::isnan(kT)) return o;
  }

  const double tva2 = T * o.V * (o.alpha * o.alpha);
  o.Cv = (kT > 0 && kT < inf) ? o.Cp - tva2 / kT : o.Cp;
  double kS;
  if (o.Cp > 0) {
    kS = kT - tva2 / o.Cp;
    o.Ks = std::isnan(kS) ? nan : (kS > 0 ? 1 / kS / 1000000.0 : inf);
  } else {
    kS = kT;
    o.Ks = kT > 0 ? 1 / kT / 1000000.0 : inf;
  }
  o.vel = (o.rho > 0 && kS > 0) ? std::sqrt(1 / (kS * o.rho)) : nan;
  return o;
}

// The record of one point from its background, field, interaction and
// equilibrium fraction x (already clamped); mix_ent is the ideal mixing
// entropy (1 - x) ln(1 - x) + x ln x of x.
inline PointResult assemble_point(double T, double P_MPa, double tau, const Background& bg,
                                  const Field& f, const Interaction& w, double x,
                                  double mix_ent) noexcept {
  const double P = P_MPa * 1000000.0;

  // Response of x to tau and pi through the implicit equation F(x) = 0.
  double Fx = tau / ((1 - x) * x) - 2 * w.W;
  if (std::fabs(Fx) <= 1e-30) Fx = 1e30;
  const double logit = std::log(x / (1 - x));
  const double Ft = w.W_t * (1 - 2 * x) + logit + f.L_t;
  const double x_t = -Ft / Fx;
  const double a =
      (x > X_LO && x < X_HI) ? std::log((1 - x) / x) - f.L_t - w.W_t * (1 - 2 * x) : 0.0;
  const double Fp = (1 - 2 * x) * w.W_p + f.L_p;

  State mix;
  mix.V = bg.V + x * f.L_p + x * (1 - x) * w.W_p;
  mix.V_p = bg.V_p + x * f.L_pp - Fp * Fp / Fx;
  mix.V_t = bg.V_t + x * f.L_tp + x * (1 - x) * w.W_tp + Fp * x_t;
  mix.S = bg.S - x * f.L_t - mix_ent - (1 - x) * x * w.W_t;
  mix.G = (1 - x) * x * w.W + tau * mix_ent + bg.G + x * f.L;
  mix.Cp = R * tau * (bg.dS_t - x * f.L_tt + a * x_t);

  const State sa{bg.V, bg.V_p, bg.V_t, bg.S, bg.G, R * tau * bg.dS_t};
  const State sb{bg.V + f.L_p,  bg.V_p + f.L_pp, bg.V_t + f.L_tp,
                 bg.S - f.L_t,  bg.G + f.L,      R * tau * (bg.dS_t - 4.3888094)};

  PointResult res;
  res.mix = properties(mix, T, P);
  res.x = x;
  res.a = properties(sa, T, P);
  res.b = properties(sb, T, P);
  return res;
}

// One point evaluated directly from the definitions above. The batches use
// duska_points, which gives the same bits faster.
inline PointResult duska_point(double T, double P_MPa) noexcept {
  const double tau = T / 647.096;
  const double pi = P_MPa / 22.064;
  const Background bg = background(tau, pi);
  const Field f = field(tau, pi);
  const Interaction w = interaction(tau, pi);
  const double x = clamp_fraction(equilibrium_fraction(tau, f.L, w.W));
  const double mix_ent = (1 - x) * std::log(1 - x) + x * std::log(x);
  return assemble_point(T, P_MPa, tau, bg, f, w, x, mix_ent);
}

// ---------------------------------------------------------------------------
// Blocks of points.
//
// A point needs 19 entropy evaluations, 16 square roots for the pressure
// integral and two Newton runs; each is a chain of dependent divisions,
// square roots and logarithms, and they are independent of one another.
// duska_points evaluates up to eight points together, stage by stage over
// all their evaluations, with the arithmetic in SIMD vectors of W lanes (2
// with SSE2, 4 where the processor has AVX2) and the logarithms in loops of
// library calls. Every value goes through exactly the operations of
// duska_point, in the same order and without contraction into fused
// multiply-adds, and IEEE arithmetic and square root are correctly rounded
// at every width. So a point's bits do not depend on the block it lands in
// nor on the vector width, and match duska_point's.

namespace lanes {

using simd::abs;
using simd::load;
using simd::select;
using simd::splat;
using simd::sqrt;
using simd::store;
template <int W>
using Vec = simd::Vec<W>;
template <class V>
inline constexpr int WIDTH = simd::width<V>;

// Largest number of points per block.
inline constexpr std::size_t LANES = 8;

// Spinodal functions at m temperatures, as in spinodal(); m is a multiple of
// the width and N at least m.
template <std::size_t N>
struct SpinodalSet {
  alignas(64) double Ps[N], dPs[N], Vs[N], dVs[N], r[N], dr[N], c[N];
};

template <class V, std::size_t N>
inline void spinodal_set(const double* tau_in, std::size_t m, SpinodalSet<N>& sp) noexcept {
  // The logarithms first, in a loop of nothing but library calls.
  for (std::size_t i = 0; i < m; ++i) sp.c[i] = std::log(tau_in[i]);
  for (std::size_t i = 0; i < m; i += WIDTH<V>) {
    const V tau = load<V>(tau_in + i);
    const V o = tau - 1;
    const V o2 = o * o;
    const V Ps = 1 + 12.756957 * o - 2.6960321 * o2 + 28.548221 * (o2 * o);
    const V dPs = 12.756957 - 5.3920642 * o + 85.644663 * o2;

    const V t2 = tau * tau;
    const V t3 = t2 * tau;
    const V t4 = t3 * tau;
    const V Vs = 0.073009898 - 0.0089096098 * tau + 0.057261662 * t2 - 0.01308456 * t3 +
                 0.0077905108 * t4;
    const V dVs = -0.0089096098 + 0.114523324 * tau - 0.03925368 * t2 + 0.0311620432 * t3;
    const V Qs = 26.732998 - 104.05443 * tau + 213.64435 * t2 - 235.82144 * t3 + 107.83316 * t4;
    const V dQs = -104.05443 + 427.2887 * tau - 707.46432 * t2 + 431.33264 * t3;

    const V Vs2 = Vs * Vs;
    const V D = -Qs / (2 * Ps * Vs2);
    const V r = sqrt(abs(D));
    const V dD = (-dQs * Ps * Vs2 + Qs * dPs * Vs2 + 2 * Ps * Qs * Vs * dVs) /
                 (2 * (Ps * Ps) * (Vs2 * Vs2));
    store(sp.Ps + i, Ps);
    store(sp.dPs + i, dPs);
    store(sp.Vs + i, Vs);
    store(sp.dVs + i, dVs);
    store(sp.r + i, r);
    store(sp.dr + i, select(D != 0, dD / (2 * r), 0.0));
    store(sp.c + i, 37.36705333333333 * t3 - 86.07352 * t2 + 87.732559 * tau -
                        6.3674996 * load<V>(sp.c + i));
  }
}

// Entropy of state A (as entropy_a) at m points of a spinodal set, given the
// distance factors s; also gives the volumes.
template <class V, std::size_t N>
inline void entropy_set(const SpinodalSet<N>& sp, const double* s, std::size_t m, double* Va_out,
                        double* S_out) noexcept {
  alignas(64) double lam_of[N];
  for (std::size_t i = 0; i < m; i += WIDTH<V>) {
    const V Vs = load<V>(sp.Vs + i), r = load<V>(sp.r + i);
    const V Va = Vs * r / (load<V>(s + i) + r);
    store(Va_out + i, Va);
    store(lam_of + i, Va / Vs);
  }
  for (std::size_t i = 0; i < m; ++i) lam_of[i] = (lam_of[i] > 0) ? std::log(lam_of[i]) : 0.0;
  for (std::size_t i = 0; i < m; i += WIDTH<V>) {
    const V Vs = load<V>(sp.Vs + i), r = load<V>(sp.r + i);
    const V Va = load<V>(Va_out + i), lam = load<V>(lam_of + i);
    const V Ps = load<V>(sp.Ps + i), dPs = load<V>(sp.dPs + i);
    const V dVs = load<V>(sp.dVs + i), dr = load<V>(sp.dr + i);
    const V r2 = r * r;
    store(S_out + i, load<V>(sp.c + i) + (Va - Vs) * dPs +
                         (2 * Vs * lam + Vs * Vs / Va - Va) * (2 * Ps * r * dr + dPs * r2) +
                         (lam + Vs / Va - 1) * dVs * 2 * Ps * r2);
  }
}

// Background quantities of the points of a block, lane j for point j.
struct BackgroundSet {
  alignas(64) double V[LANES], V_p[LANES], V_t[LANES], S[LANES], dS_t[LANES], G[LANES];
};

// The background of n <= LANES points (tau and pi padded to np, a multiple
// of the width; so is the result) as a sequence of stages: the temperature
// integral of each point, then the entropies at tau and tau -+ DTAU of all
// points, then the pressure integral of each point. The block runs a Newton
// step of the same points after each stage, so that the chains of dependent
// divisions and logarithms of the solver overlap this work.
template <class V>
struct BackgroundWork {
  static constexpr int w = WIDTH<V>;
  static constexpr double inf = std::numeric_limits<double>::infinity();
  static constexpr double nan = std::numeric_limits<double>::quiet_NaN();
  const double* tau;
  const double* pi;
  std::size_t n, np;
  BackgroundSet& bg;
  // Evaluation e of point j of the entropies at tau, tau + DTAU, tau - DTAU
  // is at e np + j.
  SpinodalSet<3 * LANES> sp;

  std::size_t stages() const noexcept { return 2 * n + 1; }

  void run(std::size_t stage) noexcept {
    if (stage < n) {
      temperature_integral(stage);
    } else if (stage == n) {
      entropies();
    } else {
      pressure_integral(stage - n - 1);
    }
  }

  // Zero-pressure entropy at the 16 nodes of the temperature integral. With
  // pi = 0 the distance factor sqrt(1 - 0/Ps) is exactly 1, or NaN where
  // 0/Ps is (Ps zero or NaN).
  void temperature_integral(std::size_t j) noexcept {
    alignas(64) double X[16], s[16], Va[16], S[16];
    SpinodalSet<16> node;
    const V h = splat<V>(tau[j] - 1);
    for (int k = 0; k < 16; k += w) store(X + k, (load<V>(GL_NODE + k) + 1) * h / 2 + 1);
    spinodal_set<V>(X, 16, node);
    for (int k = 0; k < 16; k += w) {
      const V Ps = load<V>(node.Ps + k);
      store(s + k, select((Ps == 0) | (Ps != Ps), nan, splat<V>(1.0)));
    }
    entropy_set<V>(node, s, 16, Va, S);
    double IT = 0;
    if (!(std::fabs(tau[j] - 1) <= 1e-30)) {
      double sum = 0;
      for (int k = 0; k < 16; ++k) sum += GL_WEIGHT[k] * S[k];
      IT = -((tau[j] - 1) / 2) * sum;
    }
    bg.G[j] = IT;
  }

  // Entropy at (tau, pi) and at tau -+ DTAU for the central difference; the
  // first also gives the volume and its derivatives.
  void entropies() noexcept {
    if (np > LANES) return;  // never; tells the compiler the arrays suffice
    const std::size_t m = 3 * np;
    alignas(64) double T3[3 * LANES], s[3 * LANES], Va[3 * LANES], S[3 * LANES];
    for (std::size_t j = 0; j < np; j += w) {
      const V t = load<V>(tau + j);
      store(T3 + j, t);
      store(T3 + np + j, t + DTAU);
      store(T3 + 2 * np + j, t - DTAU);
    }
    spinodal_set<V>(T3, m, sp);
    for (std::size_t i = 0; i < m; i += w)
      store(s + i, sqrt(1 - load<V>(pi + i % np) / load<V>(sp.Ps + i)));
    entropy_set<V>(sp, s, m, Va, S);

    for (std::size_t j = 0; j < np; j += w) {
      const V Ps = load<V>(sp.Ps + j), dPs = load<V>(sp.dPs + j), Vs = load<V>(sp.Vs + j);
      const V dVs = load<V>(sp.dVs + j), r = load<V>(sp.r + j), dr = load<V>(sp.dr + j);
      const V sj = load<V>(s + j), p = load<V>(pi + j);
      const V sr = sj + r;
      const V V_p = select(sj != sj, nan,
                           select(sj <= 1e-30, inf, Vs * r / (2 * Ps * (sr * sr) * sj)));
      const V V_t = select(
          sj > 1e-30,
          ((dr * Vs + r * dVs) * sr - (p * dPs / (2 * (Ps * Ps) * sj) + dr) * Vs * r) / (sr * sr),
          0.0);
      store(bg.V + j, load<V>(Va + j));
      store(bg.V_p + j, V_p);
      store(bg.V_t + j, V_t);
      store(bg.S + j, load<V>(S + j));
      store(bg.dS_t + j, (load<V>(S + np + j) - load<V>(S + 2 * np + j)) / 2e-7);
    }
  }

  // Integral of the volume over pressure: 16 square roots. Adds to the
  // temperature integral, so it comes after it.
  void pressure_integral(std::size_t j) noexcept {
    const V half_pi = splat<V>(pi[j] / 2), Ps = splat<V>(sp.Ps[j]);
    const V Vs = splat<V>(sp.Vs[j]), r = splat<V>(sp.r[j]);
    alignas(64) double term[16];
    for (int k = 0; k < 16; k += w) {
      const V sk = sqrt(1 - half_pi * (1 + load<V>(GL_NODE + k)) / Ps);
      store(term + k, load<V>(GL_WEIGHT + k) * Vs * r / (sk + r));
    }
    double IP = 0;
    if (!(std::fabs(pi[j]) <= 1e-30)) {
      double sum = 0;
      for (int k = 0; k < 16; ++k) sum += term[k];
      IP = (pi[j] / 2) * sum;
    }
    bg.G[j] = bg.G[j] + IP;
    if (j == 0)
      for (std::size_t l = n; l < np; ++l) bg.G[l] = bg.G[0];
  }
};

// Newton from 0.05 and from 0.95 for n <= LANES points, every run making
// exactly the steps of newton_step and stopping where it would. The runs
// still going are kept packed at the front of the arrays, so a step costs
// in proportion to the runs left rather than to the slowest one.
template <class V>
struct NewtonSet {
  static constexpr int w = WIDTH<V>;
  using M = decltype(V{} < V{});
  // Slack for the last, partial vector; its extra slots hold harmless values.
  static constexpr std::size_t SLOTS = 2 * LANES + 8;
  alignas(64) double gi[SLOTS], ct[SLOTS], cL[SLOTS], cW[SLOTS];
  alignas(64) double c[SLOTS], Fx[SLOTS], q[SLOTS];
  M stop[SLOTS / 2];  // one mask per vector
  std::size_t id[SLOTS];
  std::size_t k = 0;  // runs still going
  int steps = 0;
  double* g;          // results: g[j] from 0.05, g[LANES + j] from 0.95 (unclamped)

  NewtonSet(const double* tau, const double* L, const double* W, std::size_t n,
            double* out) noexcept
      : g(out) {
    for (std::size_t i = 0; i < SLOTS; ++i) {
      gi[i] = 0.5;
      ct[i] = 1;
      cL[i] = cW[i] = 0;
    }
    for (int start = 0; start < 2; ++start) {
      for (std::size_t j = 0; j < n; ++j, ++k) {
        gi[k] = start ? 0.95 : 0.05;
        ct[k] = tau[j];
        cL[k] = L[j];
        cW[k] = W[j];
        id[k] = start * LANES + j;
      }
    }
  }

  bool running() const noexcept { return k > 0; }

  // One Newton step of every run still going.
  void step() noexcept {
    if (k == 0) return;
    if (steps == 0) return advance<true>();
    advance<false>();
  }

  // The logarithm of the first step, ln(c/(1 - c)) at the start c: the same
  // for every point, so taken once, with the operations of the step itself
  // (through a volatile so that the compiler cannot fold it differently).
  static double first_log(double start) noexcept {
    volatile double g0 = start;
    const double c = clamp_fraction(g0);
    return std::log(c / (1 - c));
  }

  template <bool First>
  void advance() noexcept {
    if constexpr (First) {
      static const double log_lo = first_log(0.05), log_hi = first_log(0.95);
      const std::size_t n = k / 2;  // the runs from 0.05, then those from 0.95
      for (std::size_t i = 0; i < k; ++i) q[i] = i < n ? log_lo : log_hi;
    }
    for (std::size_t i = 0; i < k; i += w) {
      const V g0 = load<V>(gi + i);
      const V lo = select(g0 >= X_LO, g0, X_LO);
      const V ci = select(lo <= X_HI, lo, X_HI);
      store(c + i, ci);
      store(Fx + i, load<V>(ct + i) / ((1 - ci) * ci) - 2 * load<V>(cW + i));
      if constexpr (!First) store(q + i, ci / (1 - ci));
    }
    // (A run with a flat residual stops before its logarithm; taking it
    // anyway is harmless, the value is not used.)
    if constexpr (!First)
      for (std::size_t i = 0; i < k; ++i) q[i] = std::log(q[i]);
    M stopped{};
    for (std::size_t i = 0; i < k; i += w) {
      const V ci = load<V>(c + i), F = load<V>(Fx + i);
      const V rc =
          (1 - 2 * ci) * load<V>(cW + i) + (load<V>(q + i) * load<V>(ct + i) + load<V>(cL + i));
      const V s = ci - rc / F;
      const V gn = select(s < X_LO, 0.5 * ci, select(s > X_HI, ((ci + 1) - 1e-15) * 0.5, s));
      const M flat = abs(F) < 1e-30;
      store(gi + i, select(flat, ci, gn));
      const M done = flat | (abs(rc) < 1e-12);
      stop[i / w] = done;
      stopped |= done;
    }
    if (++steps == 50) {  // every run has made its last step
      for (std::size_t i = 0; i < k; ++i) g[id[i]] = gi[i];
      k = 0;
      return;
    }
    if (!simd::any(stopped)) return;
    // Finished runs hand over their result; the others move to the front.
    std::size_t kept = 0;
    for (std::size_t i = 0; i < k; ++i) {
      const bool done = stop[i / w][i % w] != 0;
      g[id[i]] = gi[i];
      gi[kept] = gi[i];
      ct[kept] = ct[i];
      cL[kept] = cL[i];
      cW[kept] = cW[i];
      id[kept] = id[i];
      kept += !done;
    }
    k = kept;
  }
};

// Properties of one state (as properties()) for the points of a block, W at
// a time: the branches become lane-wise selects between values that are all
// computed, so each lane ends with the value its branch gives. Writes lanes
// below `valid` to (out[l].*state).
template <class V>
struct StateSet {
  V V_, V_p, V_t, S, G, Cp;
};

template <class V>
inline void properties_set(const StateSet<V>& st, const V& T, const V& P_pa, PointResult* out,
                           Props13 PointResult::*state, int valid) noexcept {
  constexpr double inf = std::numeric_limits<double>::infinity();
  constexpr double nan = std::numeric_limits<double>::quiet_NaN();
  const V Vol = 461.523 * st.V_ * 647.096 / 2.2064e7;
  const V rho = select(Vol != Vol, nan, select(Vol > 0, 1 / Vol, inf));
  const V S = R * st.S + S0;
  const V G = R_TC * st.G + (G1 * T + G0);
  const V H = G + T * S;
  const V U = H - P_pa * Vol;
  const V A = G - P_pa * Vol;
  const V Cp = st.Cp;

  const V kT = select((st.V_p != st.V_p) | (st.V_ != st.V_), nan,
                      select(abs(st.V_p) <= 1e-30, inf, (-st.V_p / st.V_) / 2.2064e7));
  const V Kt =
      select(kT != kT, nan, select((abs(kT) > 1e-30) & (abs(kT) < inf), 1 / kT / 1000000.0, 0.0));

  // alpha is NaN where V is; where V > 0 the division, otherwise 0.
  const V alpha = select(st.V_ != st.V_, nan, select(st.V_ > 0, (1 / st.V_) * st.V_t / 647.096, 0.0));
  // Cv, Ks and vel stay NaN where kT or alpha is NaN (which covers a NaN V).
  const auto undefined = (kT != kT) | (alpha != alpha);
  const V tva2 = T * Vol * (alpha * alpha);
  const V Cv = select((kT > 0) & (kT < inf), Cp - tva2 / kT, Cp);
  // With Cp not positive kS is kT itself, and 1/kS/1e6 is then 1/kT/1e6.
  const auto cp_pos = Cp > 0;
  const V kS = select(cp_pos, kT - tva2 / Cp, kT);
  const V Ks = select(cp_pos & (kS != kS), nan, select(kS > 0, 1 / kS / 1000000.0, inf));
  const V vel = select((rho > 0) & (kS > 0), sqrt(1 / (kS * rho)), nan);

  const V values[13] = {rho, Vol, S,  G, H,  U, A, Cp, select(undefined, nan, Cv),
                        Kt,  select(undefined, nan, Ks), alpha, select(undefined, nan, vel)};
  for (int l = 0; l < valid; ++l) {
    double* d = &(out[l].*state).rho;
    for (int i = 0; i < 13; ++i) d[i] = values[i][l];
  }
}

// The records of n <= LANES points.
template <class V>
inline void duska_block(const double* T_in, const double* P_in, std::size_t n,
                        PointResult* out) noexcept {
  constexpr int w = WIDTH<V>;
  // Lanes past the last point, up to a multiple of the width, repeat the
  // first point; their results are dropped.
  const std::size_t np = (n + w - 1) / w * w;
  alignas(64) double T[LANES], P[LANES], tau[LANES], pi[LANES];
  alignas(64) double L[LANES], W[LANES], g[2 * LANES];
  for (std::size_t j = 0; j < np; ++j) {
    T[j] = T_in[j < n ? j : 0];
    P[j] = P_in[j < n ? j : 0];
  }
  for (std::size_t j = 0; j < np; j += w) {
    store(tau + j, load<V>(T + j) / 647.096);
    store(pi + j, load<V>(P + j) / 22.064);
  }
  for (std::size_t j = 0; j < np; j += w) {
    const V t = load<V>(tau + j), p = load<V>(pi + j);
    // field_L and interaction_W
    store(L + j, -0.43743227 + 0.43306058 * t + 2.1944047 * (t * t) + 0.018525106 * p -
                     0.013836753 * t * p - 1.630174e-5 * (p * p) + 7.6204693e-6 * (p * p * p));
    store(W + j, 0.41420925 * (1 + 1.6181775 * t + 0.036615174 * p + 0.007147719 * t * p));
  }
  NewtonSet<V> newton(tau, L, W, n, g);
  BackgroundSet bg;
  BackgroundWork<V> work{tau, pi, n, np, bg, {}};
  for (std::size_t stage = 0; stage < work.stages() || newton.running(); ++stage) {
    if (stage < work.stages()) work.run(stage);
    newton.step();
  }

  // The root of lower mixing energy, as in equilibrium_fraction, with the
  // ideal mixing entropy e of the chosen root kept for the properties.
  alignas(64) double x[LANES], e[LANES], logit[LANES], lx[LANES];
  alignas(64) double x1[LANES], x2[LANES], l1[4 * LANES];
  for (std::size_t j = 0; j < np; j += w) {
    const V a = load<V>(g + j), b = load<V>(g + LANES + j);
    const V a1 = select(a >= X_LO, a, X_LO), b1 = select(b >= X_LO, b, X_LO);
    const V xa = select(a1 <= X_HI, a1, X_HI), xb = select(b1 <= X_HI, b1, X_HI);
    store(x1 + j, xa);
    store(x2 + j, xb);
    store(l1 + j, 1 - xa);
    store(l1 + LANES + j, 1 - xb);
  }
  for (std::size_t j = 0; j < n; ++j) {
    l1[j] = std::log(l1[j]);
    l1[LANES + j] = std::log(l1[LANES + j]);
    l1[2 * LANES + j] = std::log(x1[j]);
    l1[3 * LANES + j] = std::log(x2[j]);
  }
  for (std::size_t j = n; j < np; ++j)
    for (int r = 0; r < 4; ++r) l1[r * LANES + j] = l1[r * LANES];
  for (std::size_t j = 0; j < np; j += w) {
    const V xa = load<V>(x1 + j), xb = load<V>(x2 + j), t = load<V>(tau + j);
    const V Wv = load<V>(W + j), Lv = load<V>(L + j);
    const V ea = (1 - xa) * load<V>(l1 + j) + xa * load<V>(l1 + 2 * LANES + j);
    const V eb = (1 - xb) * load<V>(l1 + LANES + j) + xb * load<V>(l1 + 3 * LANES + j);
    const V ma = Wv * xa * (1 - xa) + ea * t + Lv * xa;
    const V mb = Wv * xb * (1 - xb) + eb * t + Lv * xb;
    const auto low = ma <= mb;
    const V xs = select(low, xa, xb);  // already within the bounds
    store(x + j, xs);
    store(e + j, select(low, ea, eb));
    store(logit + j, xs / (1 - xs));
    store(lx + j, (1 - xs) / xs);
  }
  for (std::size_t j = 0; j < n; ++j) {
    logit[j] = std::log(logit[j]);
    lx[j] = std::log(lx[j]);
  }
  for (std::size_t j = n; j < np; ++j) {
    logit[j] = logit[0];
    lx[j] = lx[0];
  }

  for (std::size_t j = 0; j < np; j += w) {
    const V t = load<V>(tau + j), p = load<V>(pi + j), xv = load<V>(x + j);
    const V mix_ent = load<V>(e + j);
    const V bV = load<V>(bg.V + j), bV_p = load<V>(bg.V_p + j), bV_t = load<V>(bg.V_t + j);
    const V bS = load<V>(bg.S + j), bG = load<V>(bg.G + j), bdS = load<V>(bg.dS_t + j);

    // Field and interaction, as field() and interaction().
    const V fL = load<V>(L + j), wW = load<V>(W + j);
    const V L_t = 0.43306058 + 4.3888094 * t - 0.013836753 * p;
    const V L_p = 0.018525106 - 0.013836753 * t - 3.260348e-5 * p + 2.28614079e-5 * (p * p);
    const V L_pp = -3.260348e-5 + 4.57228158e-5 * p;
    const V W_t = 0.41420925 * (1.6181775 + 0.007147719 * p);
    const V W_p = 0.41420925 * (0.036615174 + 0.007147719 * t);
    constexpr double L_tt = 4.3888094, L_tp = -0.013836753, W_tp = 0.00296065132620075;

    // As assemble_point.
    V Fx = t / ((1 - xv) * xv) - 2 * wW;
    Fx = select(abs(Fx) <= 1e-30, 1e30, Fx);
    const V Ft = W_t * (1 - 2 * xv) + load<V>(logit + j) + L_t;
    const V x_t = -Ft / Fx;
    const V a = select((xv > X_LO) & (xv < X_HI), load<V>(lx + j) - L_t - W_t * (1 - 2 * xv), 0.0);
    const V Fp = (1 - 2 * xv) * W_p + L_p;

    StateSet<V> mix;
    mix.V_ = bV + xv * L_p + xv * (1 - xv) * W_p;
    mix.V_p = bV_p + xv * L_pp - Fp * Fp / Fx;
    mix.V_t = bV_t + xv * L_tp + xv * (1 - xv) * W_tp + Fp * x_t;
    mix.S = bS - xv * L_t - mix_ent - (1 - xv) * xv * W_t;
    mix.G = (1 - xv) * xv * wW + t * mix_ent + bG + xv * fL;
    mix.Cp = R * t * (bdS - xv * L_tt + a * x_t);
    const StateSet<V> sa{bV, bV_p, bV_t, bS, bG, R * t * bdS};
    const StateSet<V> sb{bV + L_p, bV_p + L_pp, bV_t + L_tp,
                         bS - L_t, bG + fL,     R * t * (bdS - 4.3888094)};

    const V Tv = load<V>(T + j), Pv = load<V>(P + j) * 1000000.0;
    const int valid = static_cast<int>(n - j < std::size_t(w) ? n - j : w);
    properties_set(mix, Tv, Pv, out + j, &PointResult::mix, valid);
    properties_set(sa, Tv, Pv, out + j, &PointResult::a, valid);
    properties_set(sb, Tv, Pv, out + j, &PointResult::b, valid);
    for (int l = 0; l < valid; ++l) out[j + l].x = xv[l];
  }
}

template <class V>
inline void points(const double* T, const double* P_MPa, std::size_t count,
                   PointResult* out) noexcept {
  for (std::size_t base = 0; base < count; base += LANES) {
    const std::size_t n = count - base < LANES ? count - base : LANES;
    duska_block<V>(T + base, P_MPa + base, n, out + base);
  }
}

#if defined(TESSARIN_DUSKA_WIDE)
// The same kernel compiled for wider vectors; `flatten` inlines every stage
// so that the whole block is built with the wider instruction set.
__attribute__((target("avx2"), flatten)) inline void points_avx2(
    const double* T, const double* P_MPa, std::size_t count, PointResult* out) noexcept {
  points<Vec<4>>(T, P_MPa, count, out);
}
#endif

}  // namespace lanes

// The records of `count` points: out[i] = duska_point(T[i], P_MPa[i]),
// bit for bit, evaluated eight at a time.
inline void duska_points(const double* T, const double* P_MPa, std::size_t count,
                         PointResult* out) noexcept {
#if defined(TESSARIN_DUSKA_WIDE)
  static const bool avx2 = __builtin_cpu_supports("avx2");
  if (avx2) return lanes::points_avx2(T, P_MPa, count, out);
#endif
  lanes::points<lanes::Vec<2>>(T, P_MPa, count, out);
}

}  // namespace tessarin::duska
