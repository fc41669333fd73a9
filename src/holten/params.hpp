// Coefficients of the Holten two-state equation of state of liquid water.
#pragma once

namespace tessarin::holten {

inline constexpr double Tc = 228.2;                   // K, reducing temperature
inline constexpr double RHO0 = 1081.6482;             // kg/m3, reducing density
inline constexpr double R = 461.523087;               // J/(kg K)
inline constexpr double P_STAR = 113918721.64239688;  // Pa, rho0 R Tc
inline constexpr double R_TC = 105319.56845339999;    // J/kg, R Tc
inline constexpr double P0 = 3e8;                     // Pa, shift of the background pressure
inline constexpr double K2 = 5.2992608;
inline constexpr double K1 = -0.31569232;
inline constexpr double OMEGA0 = 0.5212269;           // pressure coefficient of omega
inline constexpr double A0_REF = -0.0272789916;       // J/kg, reference-state offset of G
inline constexpr double A1_REF = 9.9524e-5;           // J/(kg K), reference-state offset of S

// The field L and its derivatives use the model's constants folded, as
// published: k0 = K0K2/k2 and L0 = L0K2/sqrt(1 + k2^2) are never formed.
inline constexpr double K0K2 = 0.3823876960993088;              // k0 k2
inline constexpr double ONE_PLUS_K0K2 = 1.382387696099309;      // 1 + k0 k2
inline constexpr double ONE_MINUS_K0K2 = 0.6176123039006912;    // 1 - k0 k2
inline constexpr double MINUS_4K0K1K2 = 0.482867435684183;      // -4 k0 k1 k2
inline constexpr double L0K2 = 4.115665650084945;               // L0 sqrt(1 + k2^2)
inline constexpr double HALF_L0K2 = 2.0578328250424724;         // L0K2 / 2
inline constexpr double TWO_K1K2 = -3.3458718724741123;         // 2 k1 k2
inline constexpr double K1K2 = -1.6729359362370562;             // k1 k2
inline constexpr double TWO_K2 = 10.5985216;                    // 2 k2
inline constexpr double L_TT_NUM = 5.265665920451971;     // -2 L0K2 k0 k1 k2^2, numerator of L_tt
inline constexpr double L_TP_NUM = -0.9936604592949966;   // 2 L0K2 k0 k1 k2, numerator of L_tp
inline constexpr double L_PP_NUM = 0.18750925776194985;   // -2 L0K2 k0 k1, numerator of L_pp
inline constexpr double HALF_OMEGA0 = 0.26061345;         // omega0 / 2

// Background coefficients: term_i = c_i tau^a_i pi^b_i exp(-d_i pi).
inline constexpr double BG_C[20] = {
    -8.1570681381655, 1.2875032,    7.0901673598012, -0.032779161, 0.73703949,
    -0.21628622,      -5.1782479,   0.00042293517,   0.023592109,  4.3773754,
    -0.002996777,     -0.96558018,  3.7595286,       1.2632441,    0.28542697,
    -0.85994947,      -0.32916153,  0.090019616,     0.081149726,  -3.2788213};
inline constexpr double BG_A[20] = {0,      0,      1,      -0.2555, 1.5762, 1.64,   3.6385,
                                    -0.3828, 1.6219, 4.3287, 3.4763,  5.1556, -0.3593, 5.0361,
                                    2.9786, 6.2373, 4.046,  5.3558,  9.0157, 1.2194};
inline constexpr double BG_B[20] = {0,      1,       0,      2.1051, 1.1422, 0.951,  0,
                                    3.6402, 2.076,   -0.0016, 2.2769, 0.0008, 0.3706, -0.3975,
                                    2.973,  -0.318,  2.9805, 2.9265, 0.4456, 0.1298};
inline constexpr double BG_D[20] = {0,      0,      0,      -0.0016, 0.6894, 0.013,  0.0002,
                                    0.0435, 0.05,   0.0004, 0.0528,  0.0147, 0.8584, 0.9924,
                                    1.0041, 1.0961, 1.0228, 1.0303,  1.618,  0.5213};

// The fraction solver's initial brackets. With the logit ln(x/(1 - x)), the
// residual at x is logit(x) + |L| + omega (1 - 2x); it is negative at 0.05
// when (ln 19 - |L|)/0.9 > omega, and at 0.01 when (ln 99 - |L|)/0.98 >
// omega. The values are those of the published solver, to seven digits.
inline constexpr double LN_19 = 2.944439;        // -logit(0.05)
inline constexpr double INV_0_9 = 1.1111111;     // 1/0.9 = 1/(1 - 2 * 0.05)
inline constexpr double LN_99 = 4.595119;        // -logit(0.01)
inline constexpr double INV_0_98 = 1.0204081;    // 1/0.98 = 1/(1 - 2 * 0.01)
// Beyond both, the root is near exp(-|L| - omega) (where logit(x) ~ ln x):
// the bracket spans 0.99 exp(-|L|/0.98 - omega) to 1.09787 exp(-|L| - omega).
inline constexpr double SMALL_ROOT_LO = 0.99;
inline constexpr double SMALL_ROOT_HI = 1.09787;
// The residual at the lower fraction bound 1e-15, in closed form:
// ln(1e-15) to double precision and 1 - 2e-15.
inline constexpr double LN_X_LO = -34.538776394910684;
inline constexpr double ONE_MINUS_2X_LO = 0.999999999999998;

}  // namespace tessarin::holten
