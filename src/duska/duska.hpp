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
#include <limits>

#include "point_result.hpp"

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

inline PointResult duska_point(double T, double P_MPa) noexcept {
  const double tau = T / 647.096;
  const double pi = P_MPa / 22.064;
  const double P = P_MPa * 1000000.0;

  const Background bg = background(tau, pi);
  const Field f = field(tau, pi);
  const Interaction w = interaction(tau, pi);
  const double x = clamp_fraction(equilibrium_fraction(tau, f.L, w.W));

  // Response of x to tau and pi through the implicit equation F(x) = 0.
  double Fx = tau / ((1 - x) * x) - 2 * w.W;
  if (std::fabs(Fx) <= 1e-30) Fx = 1e30;
  const double logit = std::log(x / (1 - x));
  const double Ft = w.W_t * (1 - 2 * x) + logit + f.L_t;
  const double x_t = -Ft / Fx;
  const double a =
      (x > X_LO && x < X_HI) ? std::log((1 - x) / x) - f.L_t - w.W_t * (1 - 2 * x) : 0.0;
  const double Fp = (1 - 2 * x) * w.W_p + f.L_p;
  const double mix_ent = (1 - x) * std::log(1 - x) + x * std::log(x);

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

}  // namespace tessarin::duska
