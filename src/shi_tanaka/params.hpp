// Coefficients of the Shi–Tanaka two-state equation of state of liquid water.
#pragma once

namespace tessarin::shi_tanaka {

struct ShiTanakaConstants {
  static constexpr double T0 = 308.15;               // K
  static constexpr double P0 = 200.0;                // MPa
  static constexpr double DE = -6.334577316242091;   // constant part of Δg
  static constexpr double DS = 8.317;                // entropy deficit of B (coefficient of Th)
  static constexpr double DV = 1.593;                // volume excess of B (coefficient of Ph)
  static constexpr double CT = 39.91;                // background heat-capacity term
  static constexpr double VU = 2.12723494675e-29;    // m3 per model unit
  static constexpr double NA = 6.02214076e23;        // 1/mol
  static constexpr double R = 8.314462;              // J/(mol K)
  static constexpr double M = 0.018015268;           // kg/mol of water
  static constexpr double MU = 0.142104433984;       // kg/mol of model units
  static constexpr double KU = -7.888;               // divisor of the heat-capacity conversion

  // Background polynomial: the coefficient of t^i p^j is Bij.
  static constexpr double B01 = 10.34;
  static constexpr double B02 = -0.2629;
  static constexpr double B03 = 0.03432;
  static constexpr double B11 = 1.309;
  static constexpr double B12 = -0.3383;
  static constexpr double B13 = 0.109;
  static constexpr double B20 = -13.73;
  static constexpr double B21 = -0.7274;
  static constexpr double B23 = 0.7443;
  static constexpr double B30 = -0.3602;
  static constexpr double B31 = 2.062;
};

}  // namespace tessarin::shi_tanaka
