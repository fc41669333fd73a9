"""The compiled part of the tessarin package (built from the same kernels as
tessarin_rs)."""
from typing import Any, Callable

import numpy as np
from numpy.typing import NDArray

def build_info() -> dict[str, str]:
    """The compiler, C library and processor features of this build and machine."""

def critical_point(model: str) -> tuple[float, float]:
    """Liquid-liquid critical point (T in K, P in MPa) of a two-state model:
    'holten', 'caupin', 'caupin_kim' or 'duska'."""

def knot_ranges() -> dict[str, tuple[float, float, float, float]]:
    """(P first, P last, T first, T last) knots of every SeaFreeze phase, MPa and K."""

def at_point(evaluate: Callable[..., dict[str, NDArray[np.float64]]], /,
             *values: float) -> dict[str, NDArray[np.float64]]:
    """Calls evaluate with one-element float64 arrays holding `values` and
    returns its dict with every one-element array turned into a 0-d array."""

def phase_numbers() -> dict[str, int]:
    """The phases that compete for stability and their numbers."""

def whichphase(p: NDArray[np.float64], t: NDArray[np.float64]) -> NDArray[np.float64]:
    """Number of the stable phase at the matched points (p[i], t[i]), MPa and K;
    NaN where no phase's knot range contains the point."""

def phase_line(a: str, b: str, values: NDArray[np.float64],
               solve_pressure: bool) -> dict[str, NDArray[Any]]:
    """Coexistence of phases a and b at the temperatures `values` (solving for
    pressure) or pressures (solving for temperature): 'P', 'T', 'stable'."""

def triple_points() -> list[tuple[str, str, str, float, float]]:
    """Every stable triple point as (name, name, name, P in MPa, T in K),
    ordered by pressure."""

def nacl_properties(material: str, p: NDArray[np.float64], t: NDArray[np.float64],
                    m: NDArray[np.float64], grid: bool) -> dict[str, NDArray[np.float64]]:
    """Properties of aqueous NaCl at matched (p, t, m) points (MPa, K, mol/kg)
    or, with grid true, on the grid p x t x m."""

def nacl_materials() -> dict[str, dict[str, Any]]:
    """The NaCl(aq) materials: name -> {'P', 'T', 'm': (lo, hi) knot ranges,
    'M_s': kg/mol}."""

def brine_whichphase(material: str, p: NDArray[np.float64], t: NDArray[np.float64],
                     m: NDArray[np.float64]) -> NDArray[np.float64]:
    """Number of the stable phase at the matched points (p, t) with the liquid
    of NaCl(aq) `material` at molality m (mol/kg): 0 brine, or the ice's
    number; NaN where no range contains the point or m is outside the
    material's molality range."""

def brine_phase_line(ice: str, material: str, values: NDArray[np.float64],
                     m: NDArray[np.float64], solve_pressure: bool) -> dict[str, NDArray[Any]]:
    """Coexistence of `ice` with the liquid of NaCl(aq) `material` at
    molalities m, at the temperatures `values` (solving for pressure) or
    pressures (solving for temperature): 'P', 'T', 'stable'."""

def freezing_temperature(material: str, p: NDArray[np.float64],
                         m: NDArray[np.float64]) -> NDArray[np.float64]:
    """Temperature (K) at which the liquid of NaCl(aq) `material` at
    molalities m freezes at pressures p (MPa) into the ice stable there;
    NaN where it coexists with no ice in its range."""
