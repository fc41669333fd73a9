// Duska equation of state of liquid water: the formulas.
//
// A two-state model whose background (state A) is tied to the liquid-vapour
// spinodal: the volume of A follows a square-root law in the distance to the
// spinodal pressure Ps(tau), its Gibbs energy is the integral of its
// zero-pressure entropy from the critical temperature plus the integral of
// its volume from zero pressure, and state B differs from A by a polynomial
// field L. The fraction x of B minimises the reduced mixing energy
// x L + tau [x ln x + (1-x) ln(1-x)] + W x (1-x).
//
// The formulas are written once, as templates over the number type (a double
// for duska_point, a simd::Vec of points for the block kernel of block.hpp);
// a lane performs exactly the IEEE operations of the scalar formula. The
// logarithms come from the math policy M (vmath.hpp; VectorMath by default)
// and are taken by the callers and passed in, so that the block kernel can
// take them a vector at a time between its arithmetic stages.
//
// Pure C++: no Python types, no allocation, never throws. Points beyond the
// spinodal show as NaN in every volume-dependent output; x is still solved.
#pragma once
#include <cmath>
#include <limits>

#include "duska/params.hpp"
#include "point_result.hpp"
#include "simd.hpp"
#include "two_state.hpp"
#include "vmath.hpp"

namespace tessarin::duska {

using simd::select;
using simd::splat;
using two_state::X_HI;
using two_state::X_LO;

inline constexpr double INF = std::numeric_limits<double>::infinity();
inline constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

inline double reduced_temperature(double T) noexcept { return T / TC; }
inline double reduced_pressure(double P_MPa) noexcept { return P_MPa / PC_MPA; }

// ---------------------------------------------------------------------------
// Two-state quantities.

// Field L: reduced Gibbs energy of state B relative to state A, with its
// derivatives in tau and pi.
template <class F>
struct Field {
  F L, L_t, L_p, L_pp;  // L_tt = L_TT and L_tp = LTP are constants
};

template <class F>
inline F field_value(F tau, F pi) noexcept {
  return L0 + LT * tau + LTT * (tau * tau) + LP * pi + LTP * tau * pi + LPP * (pi * pi) +
         LPPP * (pi * pi * pi);
}

template <class F>
inline Field<F> field(F tau, F pi) noexcept {
  return {field_value(tau, pi), LT + L_TT * tau + LTP * pi,
          LP + LTP * tau + (2 * LPP) * pi + (3 * LPPP) * (pi * pi), (2 * LPP) + (6 * LPPP) * pi};
}

// Interaction W (reduced non-ideality of mixing) and its derivatives. W is
// linear in tau and in pi separately, so only the mixed second derivative
// W_TP is non-zero.
template <class F>
struct Interaction {
  F W, W_t, W_p;
};

template <class F>
inline F interaction_value(F tau, F pi) noexcept {
  return W0 * (1 + WT * tau + WP * pi + WTP * tau * pi);
}

template <class F>
inline Interaction<F> interaction(F tau, F pi) noexcept {
  return {interaction_value(tau, pi), W0 * (WT + WTP * pi), W0 * (WP + WTP * tau)};
}

// L and W with the terms summed in another order, pressure terms first: the
// form the liquid-liquid phase-boundary searches evaluate. The two orders
// round differently in the last place, and the searches' results are those
// of this one.
inline double field_value_by_pressure(double tau, double pi) noexcept {
  return L0 + LP * pi + LT * tau + LTP * pi * tau + LTT * tau * tau + LPP * pi * pi +
         LPPP * pi * pi * pi;
}
inline double interaction_value_by_pressure(double tau, double pi) noexcept {
  return W0 * (1 + WP * pi + WT * tau + WTP * tau * pi);
}

// ---------------------------------------------------------------------------
// Background (state A).

// The spinodal functions of tau that the background needs at one
// temperature: pressure Ps, volume Vs, the square-root scale r = sqrt|D| and
// their tau-derivatives, plus c(tau), the temperature part of the entropy.
// ln_tau is the logarithm of tau.
template <class F>
struct Spinodal {
  F Ps, dPs, Vs, dVs, r, dr, c;
};

template <class F>
inline Spinodal<F> spinodal(F tau, F ln_tau) noexcept {
  Spinodal<F> sp;
  const F o = tau - 1;
  const F o2 = o * o;
  sp.Ps = 1 + 12.756957 * o - 2.6960321 * o2 + 28.548221 * (o2 * o);
  sp.dPs = 12.756957 - 5.3920642 * o + 85.644663 * o2;

  const F t2 = tau * tau;
  const F t3 = t2 * tau;
  const F t4 = t3 * tau;
  sp.Vs = 0.073009898 - 0.0089096098 * tau + 0.057261662 * t2 - 0.01308456 * t3 +
          0.0077905108 * t4;
  sp.dVs = -0.0089096098 + 0.114523324 * tau - 0.03925368 * t2 + 0.0311620432 * t3;
  const F Qs = 26.732998 - 104.05443 * tau + 213.64435 * t2 - 235.82144 * t3 + 107.83316 * t4;
  const F dQs = -104.05443 + 427.2887 * tau - 707.46432 * t2 + 431.33264 * t3;

  const F Vs2 = sp.Vs * sp.Vs;
  const F D = -Qs / (2 * sp.Ps * Vs2);
  sp.r = simd::sqrt(simd::abs(D));
  const F dD = (-dQs * sp.Ps * Vs2 + Qs * sp.dPs * Vs2 + 2 * sp.Ps * Qs * sp.Vs * sp.dVs) /
               (2 * (sp.Ps * sp.Ps) * (Vs2 * Vs2));
  // Taken as D'/(2r) for either sign of D. Where Ps > 0 (above about 598 K)
  // D is negative and this is not the slope of sqrt|D|, but the model's
  // values there are defined with it.
  sp.dr = select(D != 0, dD / (2 * sp.r), splat<F>(0.0));
  sp.c = 37.36705333333333 * t3 - 86.07352 * t2 + 87.732559 * tau - 6.3674996 * ln_tau;
  return sp;
}

// Distance factor s = sqrt(1 - pi/Ps); NaN beyond the spinodal.
template <class F>
inline F distance(const Spinodal<F>& sp, F pi) noexcept {
  return simd::sqrt(1 - pi / sp.Ps);
}

// The same at pi = 0, without the square root: exactly 1, or NaN where 0/Ps
// is (Ps zero or NaN).
template <class F>
inline F distance_at_zero_pressure(F Ps) noexcept {
  return select(simd::either(Ps == 0, Ps != Ps), splat<F>(NaN), splat<F>(1.0));
}

template <class F>
inline F volume_a(const Spinodal<F>& sp, F s) noexcept {
  return sp.Vs * sp.r / (s + sp.r);
}

// ln(Va/Vs) as the entropy needs it: 0 where the ratio is not positive.
template <class M, class F>
inline F log_volume_ratio(F ratio) noexcept {
  return select(ratio > 0, M::log(ratio), splat<F>(0.0));
}

// Reduced entropy of state A from the spinodal functions of its temperature,
// its reduced volume Va and lam = log_volume_ratio(Va / Vs).
template <class F>
inline F entropy_a(const Spinodal<F>& sp, F Va, F lam) noexcept {
  const F r2 = sp.r * sp.r;
  return sp.c + (Va - sp.Vs) * sp.dPs +
         (2 * sp.Vs * lam + sp.Vs * sp.Vs / Va - Va) * (2 * sp.Ps * sp.r * sp.dr + sp.dPs * r2) +
         (lam + sp.Vs / Va - 1) * sp.dVs * 2 * sp.Ps * r2;
}

// dS_A/dtau by the central difference of the entropies at tau -+ DTAU: the
// analytic derivative would need second derivatives of the spinodal
// functions, and this is accurate enough for Cp.
template <class F>
inline F entropy_slope(F S_plus, F S_minus) noexcept {
  return (S_plus - S_minus) / (2 * DTAU);
}

// dV_A/dpi and dV_A/dtau at distance factor s: infinite compressibility at
// the spinodal itself (s = 0), NaN beyond it.
template <class F>
struct VolumeSlopes {
  F V_p, V_t;
};

template <class F>
inline VolumeSlopes<F> volume_slopes(const Spinodal<F>& sp, F s, F pi) noexcept {
  const F sr = s + sp.r;
  const F V_p = select(s != s, splat<F>(NaN),
                       select(s <= 1e-30, splat<F>(INF), sp.Vs * sp.r / (2 * sp.Ps * (sr * sr) * s)));
  const F V_t = select(s > 1e-30,
                       ((sp.dr * sp.Vs + sp.r * sp.dVs) * sr -
                        (pi * sp.dPs / (2 * (sp.Ps * sp.Ps) * s) + sp.dr) * sp.Vs * sp.r) /
                           (sr * sr),
                       splat<F>(0.0));
  return {V_p, V_t};
}

// G_A = -integral of S_A(t, 0) from 1 to tau + integral of V_A(tau, p) from
// 0 to pi, both by Gauss-Legendre on the mapped interval. Node k of the
// temperature integral, for tau_1 = tau - 1:
template <class F>
inline F temperature_node(F node, F tau_1) noexcept {
  return (node + 1) * tau_1 / 2 + 1;
}

// The temperature integral from the entropies S[k] at its nodes; 0 at tau = 1.
inline double temperature_integral(double tau, const double (&S)[GL_POINTS]) noexcept {
  if (std::fabs(tau - 1) <= 1e-30) return 0;
  double sum = 0;
  for (int k = 0; k < GL_POINTS; ++k) sum += GL_WEIGHT[k] * S[k];
  return -((tau - 1) / 2) * sum;
}

// Term k of the pressure integral, weight included, for half_pi = pi/2. A
// node beyond the spinodal gives NaN, and with it a NaN G.
template <class F>
inline F pressure_term(F weight, F node, F half_pi, const Spinodal<F>& sp) noexcept {
  const F sk = simd::sqrt(1 - half_pi * (1 + node) / sp.Ps);
  return weight * sp.Vs * sp.r / (sk + sp.r);
}

// The pressure integral from its terms; 0 at pi = 0.
inline double pressure_integral(double pi, const double (&term)[GL_POINTS]) noexcept {
  if (std::fabs(pi) <= 1e-30) return 0;
  double sum = 0;
  for (int k = 0; k < GL_POINTS; ++k) sum += term[k];
  return (pi / 2) * sum;
}

// Reduced background quantities at (tau, pi).
template <class F>
struct Background {
  F V, V_p, V_t;  // volume and its derivatives
  F S, dS_t;      // entropy and its tau-derivative
  F G;            // Gibbs energy
};

// ---------------------------------------------------------------------------
// Equilibrium fraction.

// One Newton step on the residual F(x) = tau ln(x/(1-x)) + L + W (1 - 2x)
// from the iterate g, in two halves: newton_prepare clamps the iterate and
// forms the slope Fx and the ratio c/(1 - c) whose logarithm F needs;
// newton_finish takes that logarithm q and returns the next iterate, kept
// inside the fraction bounds. `flat` reports a vanishing slope (the run ends
// at c), `done` also a residual below 1e-12 (the run ends at the result).
template <class F>
struct NewtonState {
  F c, Fx, ratio;
};

template <class F>
inline NewtonState<F> newton_prepare(F g, F tau, F W) noexcept {
  const F c = two_state::clamp_fraction(g);
  return {c, tau / ((1 - c) * c) - 2 * W, c / (1 - c)};
}

template <class F, class M>
inline F newton_finish(const NewtonState<F>& st, F q, F tau, F L, F W, M& done) noexcept {
  const F rc = (1 - 2 * st.c) * W + (q * tau + L);
  const M flat = simd::abs(st.Fx) < 1e-30;
  done = simd::either(flat, simd::abs(rc) < 1e-12);
  return select(flat, st.c, two_state::newton_iterate(st.c, rc, st.Fx));
}

// Each run makes at most this many steps.
inline constexpr int NEWTON_STEPS = 50;

// The ideal mixing entropy (1 - x) ln(1 - x) + x ln x, and the reduced
// mixing energy with it.
template <class F>
inline F mixing_entropy(F x, F ln_x, F ln_1mx) noexcept {
  return (1 - x) * ln_1mx + x * ln_x;
}

template <class F>
inline F mixing_energy(F x, F e, F tau, F L, F W) noexcept {
  return W * x * (1 - x) + e * tau + L * x;
}

// ---------------------------------------------------------------------------
// Properties.

// Reduced description of one state: volume with its pi- and tau-derivatives,
// entropy, Gibbs energy, and Cp in J/(kg K).
template <class F>
struct State {
  F V, V_p, V_t, S, G, Cp;
};

template <class F>
struct States {
  State<F> mix, a, b;
};

// The three states from the background, field and interaction at (tau,
// pi), the equilibrium fraction x (inside the bounds) with its ideal mixing
// entropy e, and the logarithms ln(x/(1-x)) and ln((1-x)/x).
template <class F>
inline States<F> states(F tau, const Background<F>& bg, const Field<F>& f,
                        const Interaction<F>& w, F x, F e, F logit, F log_inv) noexcept {
  // Response of x to tau and pi through the implicit equation F(x) = 0; a
  // flat F switches it off.
  F Fx = tau / ((1 - x) * x) - 2 * w.W;
  Fx = select(simd::abs(Fx) <= 1e-30, splat<F>(1e30), Fx);
  const F Ft = w.W_t * (1 - 2 * x) + logit + f.L_t;
  const F x_t = -Ft / Fx;
  const F a = select(simd::both(x > X_LO, x < X_HI), log_inv - f.L_t - w.W_t * (1 - 2 * x),
                     splat<F>(0.0));
  const F Fp = (1 - 2 * x) * w.W_p + f.L_p;

  States<F> s;
  s.mix.V = bg.V + x * f.L_p + x * (1 - x) * w.W_p;
  s.mix.V_p = bg.V_p + x * f.L_pp - Fp * Fp / Fx;
  s.mix.V_t = bg.V_t + x * LTP + x * (1 - x) * W_TP + Fp * x_t;
  s.mix.S = bg.S - x * f.L_t - e - (1 - x) * x * w.W_t;
  s.mix.G = (1 - x) * x * w.W + tau * e + bg.G + x * f.L;
  s.mix.Cp = R * tau * (bg.dS_t - x * L_TT + a * x_t);
  s.a = {bg.V, bg.V_p, bg.V_t, bg.S, bg.G, R * tau * bg.dS_t};
  s.b = {bg.V + f.L_p, bg.V_p + f.L_pp, bg.V_t + LTP,
         bg.S - f.L_t, bg.G + f.L,      R * tau * (bg.dS_t - L_TT)};
  return s;
}

// Properties of one state; T in K, P_pa in Pa. Every quantity is computed
// and the guards then pick, lane by lane, the value each rule prescribes.
template <class F>
inline PropsOf<F> properties(const State<F>& st, F T, F P_pa) noexcept {
  using simd::abs;
  using simd::both;
  using simd::either;
  PropsOf<F> o;
  o.V = R * st.V * TC / PC_PA;
  o.rho = select(o.V != o.V, splat<F>(NaN), select(o.V > 0, 1 / o.V, splat<F>(INF)));
  o.S = R * st.S + S0;
  o.G = R_TC * st.G + (G1 * T + G0);
  o.H = o.G + T * o.S;
  o.U = o.H - P_pa * o.V;
  o.A = o.G - P_pa * o.V;
  o.Cp = st.Cp;

  const F kT = select(either(st.V_p != st.V_p, st.V != st.V), splat<F>(NaN),
                      select(abs(st.V_p) <= 1e-30, splat<F>(INF), (-st.V_p / st.V) / PC_PA));
  // Negative where the state is mechanically unstable; 0 where kT is not
  // finite or vanishes.
  o.Kt = select(kT != kT, splat<F>(NaN),
                select(both(abs(kT) > 1e-30, abs(kT) < INF), 1 / kT / 1000000.0, splat<F>(0.0)));
  // NaN where V is; where V > 0 the division, otherwise 0.
  o.alpha = select(st.V != st.V, splat<F>(NaN),
                   select(st.V > 0, (1 / st.V) * st.V_t / TC, splat<F>(0.0)));

  const F tva2 = T * o.V * (o.alpha * o.alpha);
  const F Cv = select(both(kT > 0, kT < INF), o.Cp - tva2 / kT, o.Cp);
  // With Cp not positive kS is kT itself.
  const auto cp_pos = o.Cp > 0;
  const F kS = select(cp_pos, kT - tva2 / o.Cp, kT);
  const F Ks =
      select(both(cp_pos, kS != kS), splat<F>(NaN), select(kS > 0, 1 / kS / 1000000.0, splat<F>(INF)));
  const F vel = select(both(o.rho > 0, kS > 0), simd::sqrt(1 / (kS * o.rho)), splat<F>(NaN));
  // Cv, Ks and vel stay NaN where kT or alpha is NaN (which covers a NaN V).
  const auto undefined = either(kT != kT, o.alpha != o.alpha);
  o.Cv = select(undefined, splat<F>(NaN), Cv);
  o.Ks = select(undefined, splat<F>(NaN), Ks);
  o.vel = select(undefined, splat<F>(NaN), vel);
  return o;
}

// ---------------------------------------------------------------------------
// One point.

// The entropy of state A at (tau, pi), and its volume.
template <class M>
inline double entropy_a(double tau, double pi, double* Va = nullptr) noexcept {
  const Spinodal<double> sp = spinodal(tau, M::log(tau));
  const double V = volume_a(sp, distance(sp, pi));
  if (Va) *Va = V;
  return entropy_a(sp, V, log_volume_ratio<M>(V / sp.Vs));
}

template <class M>
inline Background<double> background(double tau, double pi) noexcept {
  const Spinodal<double> sp = spinodal(tau, M::log(tau));
  const double s = distance(sp, pi);
  Background<double> b;
  b.V = volume_a(sp, s);
  const VolumeSlopes<double> vs = volume_slopes(sp, s, pi);
  b.V_p = vs.V_p;
  b.V_t = vs.V_t;
  b.S = entropy_a(sp, b.V, log_volume_ratio<M>(b.V / sp.Vs));
  b.dS_t = entropy_slope(entropy_a<M>(tau + DTAU, pi), entropy_a<M>(tau - DTAU, pi));

  double S[GL_POINTS], term[GL_POINTS];
  for (int k = 0; k < GL_POINTS; ++k) {
    const double X = temperature_node(GL_NODE[k], tau - 1);
    const Spinodal<double> node = spinodal(X, M::log(X));
    const double Va = volume_a(node, distance_at_zero_pressure(node.Ps));
    S[k] = entropy_a(node, Va, log_volume_ratio<M>(Va / node.Vs));
    term[k] = pressure_term(GL_WEIGHT[k], GL_NODE[k], pi / 2, sp);
  }
  b.G = temperature_integral(tau, S) + pressure_integral(pi, term);
  return b;
}

// Runs Newton from 0.05 and from 0.95 and keeps the root of lower mixing
// energy, so that inside the two-phase region the stable branch is reported.
// A tie keeps the low root; a NaN comparison takes the high one. Returns x
// and its ideal mixing entropy e.
template <class M>
inline double equilibrium_fraction(double tau, double L, double W, double& e) noexcept {
  double g[2] = {two_state::newton_start(0), two_state::newton_start(1)};
  for (double& gi : g) {
    bool done = false;
    for (int it = 0; it < NEWTON_STEPS && !done; ++it) {
      const NewtonState<double> st = newton_prepare(gi, tau, W);
      gi = newton_finish(st, M::log(st.ratio), tau, L, W, done);
    }
  }
  const double x1 = two_state::clamp_fraction(g[0]), x2 = two_state::clamp_fraction(g[1]);
  const double e1 = mixing_entropy(x1, M::log(x1), M::log(1 - x1));
  const double e2 = mixing_entropy(x2, M::log(x2), M::log(1 - x2));
  const bool low = mixing_energy(x1, e1, tau, L, W) <= mixing_energy(x2, e2, tau, L, W);
  e = low ? e1 : e2;
  return low ? x1 : x2;
}

// One point evaluated directly from the definitions above, each library call
// where it is needed. The batches use duska_block (block.hpp), which gives the
// same bits.
template <class M = VectorMath>
inline PointResult duska_point(double T, double P_MPa) noexcept {
  const double tau = reduced_temperature(T), pi = reduced_pressure(P_MPa);
  const Background<double> bg = background<M>(tau, pi);
  const Field<double> f = field(tau, pi);
  const Interaction<double> w = interaction(tau, pi);
  double e;
  const double x = equilibrium_fraction<M>(tau, f.L, w.W, e);
  const States<double> s =
      states(tau, bg, f, w, x, e, M::log(x / (1 - x)), M::log((1 - x) / x));
  const double P = P_MPa * 1000000.0;
  PointResult res;
  res.mix = properties(s.mix, T, P);
  res.x = x;
  res.a = properties(s.a, T, P);
  res.b = properties(s.b, T, P);
  return res;
}

}  // namespace tessarin::duska
