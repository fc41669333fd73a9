// Coefficients of the Duska equation of state of liquid water.
#pragma once

namespace tessarin::duska {

inline constexpr double TC = 647.096;    // K, reducing temperature (liquid-vapour critical)
inline constexpr double PC_MPA = 22.064; // MPa, reducing pressure
inline constexpr double PC_PA = 2.2064e7;  // Pa
inline constexpr double R = 461.523;     // J/(kg K)
inline constexpr double R_TC = R * TC;   // J/kg, 298649.68720800005 exactly as stored
inline constexpr double S0 = -13463.3332601599;  // J/(kg K), entropy offset
inline constexpr double G0 = -9540603.21228428;  // J/kg, Gibbs energy offset
inline constexpr double G1 = 13463.3332601599;   // J/(kg K), its slope in T (= -S0)

// Field L(tau, pi) = L0 + LT tau + LTT tau^2 + LP pi + LTP tau pi
//                    + LPP pi^2 + LPPP pi^3.
inline constexpr double L0 = -0.43743227;
inline constexpr double LT = 0.43306058;
inline constexpr double LTT = 2.1944047;
inline constexpr double LP = 0.018525106;
inline constexpr double LTP = -0.013836753;
inline constexpr double LPP = -1.630174e-5;
inline constexpr double LPPP = 7.6204693e-6;
// d2L/dtau2 = 2 LTT = 4.3888094 (doubling is exact in binary).
inline constexpr double L_TT = 2 * LTT;

// Interaction W(tau, pi) = W0 (1 + WT tau + WP pi + WTP tau pi).
inline constexpr double W0 = 0.41420925;
inline constexpr double WT = 1.6181775;
inline constexpr double WP = 0.036615174;
inline constexpr double WTP = 0.007147719;
// d2W/dtau dpi = W0 WTP, 0.00296065132620075 as the product rounds.
inline constexpr double W_TP = W0 * WTP;

// Half-step of the central difference that gives dS_A/dtau. With S_A of
// order 10 and rounding near 1e-15, the step balances truncation (~h^2)
// against cancellation (~eps/h); Cp is good to about 1e-8 relative.
inline constexpr double DTAU = 1e-7;

// 16-point Gauss-Legendre rule on [-1, 1], nodes ascending. Both integrands
// are smooth on their intervals away from the spinodal, where the rule is
// exact to far below the precision of the reference data.
inline constexpr int GL_POINTS = 16;
inline constexpr double GL_NODE[GL_POINTS] = {
    -0.9894009349916499, -0.9445750230732326, -0.8656312023878318, -0.755404408355003,
    -0.6178762444026438, -0.4580167776572274, -0.2816035507792589, -0.0950125098376374,
    0.0950125098376374,  0.2816035507792589,  0.4580167776572274,  0.6178762444026438,
    0.755404408355003,   0.8656312023878318,  0.9445750230732326,  0.9894009349916499};
inline constexpr double GL_WEIGHT[GL_POINTS] = {
    0.0271524594117541, 0.0622535239386479, 0.0951585116824928, 0.1246289712555339,
    0.1495959888165767, 0.1691565193950025, 0.1826034150449236, 0.1894506104550685,
    0.1894506104550685, 0.1826034150449236, 0.1691565193950025, 0.1495959888165767,
    0.1246289712555339, 0.0951585116824928, 0.0622535239386479, 0.0271524594117541};

}  // namespace tessarin::duska
