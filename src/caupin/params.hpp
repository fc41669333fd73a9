// Parameter sets of the Caupin (2019) two-state model of liquid water.
#pragma once

namespace tessarin::caupin {

// In the names cmn, m is the power of dT and n the power of dP.
struct CaupinParams {
  double R;       // gas constant, J/(mol K)
  double M;       // molar mass, kg/mol
  double Tc;      // liquid-liquid critical temperature, K
  double Pc;      // liquid-liquid critical pressure, MPa
  double Vc;      // molar volume at the critical point, m3/mol
  double Pu;      // pressure unit R Tc / Vc in MPa, used as stored
  double omega0;  // pressure coefficient of the interaction parameter
  double lambda;  // scale of the field
  double a, b, d, f;  // field coefficients of dP, dT dP, dP^2, dT^2
  double A0, A1;      // spinodal-term amplitude: A0 + A1 dT
  double c01, c02, c11, c20, c03, c12, c21, c30, c04, c13, c22, c40, c14;
  double Ps0;  // liquid-vapour spinodal pressure at Ts, MPa
  double Ps1;  // its slope, MPa/K
  double Ps2;  // its curvature, MPa/K^2
  double Ts;   // reference temperature of the spinodal polynomial, K
  double S0;   // entropy offset, J/(kg K)
  double H0;   // enthalpy offset, J/kg
};

// Table III fit, without the Kim et al. compressibility data (the default).
inline constexpr CaupinParams CAUPIN_TABLE_III = {
    8.314462,       0.018015268,   218.1348,      71.94655,      1.822426e-05,
    99.51973388645685, 0.1854443,  1.653737,      0.103025,      -0.0392417,
    -0.01039947,    1.021512,      -0.0811873,    0.05070641,    1.126869,
    0.01005341,     -0.209277,     -2.520114,     -0.001149367,  -0.008992042,
    0.2118502,      0.108767,      7.573062e-05,  0.002393927,   -0.01831198,
    0.02803712,     -0.0001641608, -462.0,        2.61,          -0.0065,
    182.0,          -146.158255957, 112500.2342686583};

// Table II fit, with the Kim et al. compressibility data.
inline constexpr CaupinParams CAUPIN_TABLE_II = {
    8.314462,       0.018015268,   219.4717,      58.73897,      1.874395e-05,
    97.35349858089678, 0.2931166,  2.701194,      0.06424121,    -0.05480673,
    -0.007881021,   0.5910234,     -0.08666044,   0.1116703,     1.113806,
    0.0142209,      -0.3451214,    -1.040621,     -0.001587632,  -0.03211844,
    0.2203273,      -1.290837,     0.0001027115,  0.00382233,    -0.01169451,
    0.5408265,      -0.0002424047, -462.0,        2.61,          -0.0065,
    182.0,          294.5902568285, 201073.8069705671};

}  // namespace tessarin::caupin
