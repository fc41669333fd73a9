"""Thermodynamic properties of liquid water and ices, evaluated in compiled code.

Temperatures are in K and pressures in MPa throughout. Every array argument
is a one-dimensional, contiguous float64 NumPy array (lists, other dtypes and
arrays of two or more dimensions raise TypeError); every returned array is a
new float64 array that owns its memory. Numerical trouble never raises: it
shows as NaN, an infinite value or zero in the affected entries.

Liquid-model results (the ``compute_batch_*`` functions), arrays of the
length of ``t_k``, first the equilibrium liquid:

    "rho"     density, kg/m3
    "V"       specific volume, m3/kg
    "S"       specific entropy, J/(kg K)
    "G"       specific Gibbs energy, J/kg
    "H"       specific enthalpy, J/kg
    "U"       specific internal energy, J/kg
    "A"       specific Helmholtz energy, J/kg
    "Cp"      isobaric heat capacity, J/(kg K)
    "Cv"      isochoric heat capacity, J/(kg K)
    "Kt"      isothermal bulk modulus, MPa
    "Ks"      isentropic bulk modulus, MPa
    "alpha"   isobaric expansivity, 1/K
    "vel"     speed of sound, m/s
    "x"       equilibrium fraction of state B, dimensionless

then the same thirteen properties of pure state A under the names above with
the suffix "_A" ("rho_A" ... "vel_A"), and of pure state B with "_B".

Spinodal results (the ``compute_spinodal_*`` functions), m kept pressures:

    "T_K"          closed curve for plotting (2m + 2 values), K
    "p_MPa"        its pressures, MPa
    "T_upper"      upper spinodal temperature, K
    "T_lower"      lower spinodal temperature, K
    "x_lo_upper"   lower stable fraction just below T_upper
    "x_hi_upper"   upper stable fraction just below T_upper
    "x_lo_lower"   lower stable fraction just above T_lower
    "x_hi_lower"   upper stable fraction just above T_lower
    "p_array"      the kept pressures, MPa, in input order

Binodal results (the ``compute_binodal_*`` functions), m points found:

    "T_K"          copy of "T_binodal", K
    "p_MPa"        copy of "p_array", MPa
    "x"            copy of "x_lo"
    "T_binodal"    liquid-liquid coexistence temperature, K
    "x_lo"         lower coexisting fraction of state B
    "x_hi"         upper coexisting fraction of state B
    "p_array"      pressure of each point, MPa

Spline property results (``sf_getprop_grid``, ``sf_getprop_scatter``):

    "G"       specific Gibbs energy, J/kg
    "V"       specific volume, m3/kg
    "rho"     density, kg/m3
    "S"       specific entropy, J/(kg K)
    "H"       specific enthalpy, J/kg
    "U"       specific internal energy, J/kg
    "A"       specific Helmholtz energy, J/kg
    "Cp"      isobaric heat capacity, J/(kg K)
    "Cv"      isochoric heat capacity, J/(kg K)
    "Kt"      isothermal bulk modulus, MPa
    "Ks"      isentropic bulk modulus, MPa
    "Kp"      pressure derivative of Kt, dimensionless
    "alpha"   isobaric expansivity, 1/K
    "vel"     bulk sound speed, m/s
    "shear"   shear modulus, MPa (ice phases only)
    "Vp"      compressional wave speed, m/s (ice phases only)
    "Vs"      shear wave speed, m/s (ice phases only)

The worker pool that runs the batches and the spline evaluations takes its
size from the environment variable RAYON_NUM_THREADS (or RAYON_RS_NUM_CPUS),
read once at the first parallel call.
"""

from typing import SupportsFloat, SupportsIndex

import numpy as np
from numpy.typing import NDArray

__all__ = [
    "compute_batch_caupin",
    "compute_batch_caupin_kim",
    "compute_batch_holten",
    "compute_batch_duska",
    "compute_batch_shi_tanaka",
    "compute_spinodal_caupin",
    "compute_spinodal_caupin_kim",
    "compute_spinodal_holten",
    "compute_spinodal_duska",
    "compute_binodal_caupin",
    "compute_binodal_caupin_kim",
    "compute_binodal_holten",
    "compute_binodal_duska",
    "sf_getprop_grid",
    "sf_getprop_scatter",
    "sf_eval_raw",
    "sf_phases",
]

# Result dictionaries are typed by value, not by key: callers index them with
# computed keys and iterate over them, which a TypedDict would not let them do
# without casts. The keys of each family are listed in the module docstring.
_Float64Array = NDArray[np.float64]
# Scalars go through the interpreter's float conversion, which takes anything
# with __float__ or __index__ (int, float, NumPy scalars).
_Real = SupportsFloat | SupportsIndex

def compute_batch_caupin(t_k: _Float64Array, p_mpa: _Float64Array) -> dict[str, _Float64Array]:
    """Caupin (2019) Table III fit — without Kim et al. kT data (default).

    Evaluates the model at the points (t_k[i], p_mpa[i]) (K, MPa) and returns
    the forty liquid-model arrays. p_mpa needs at least as many values as t_k
    (ValueError otherwise); extra values are ignored.
    """

def compute_batch_caupin_kim(t_k: _Float64Array, p_mpa: _Float64Array) -> dict[str, _Float64Array]:
    """Caupin (2019) Table II fit — with Kim et al. kT data.

    Evaluates the model at the points (t_k[i], p_mpa[i]) (K, MPa) and returns
    the forty liquid-model arrays. p_mpa needs at least as many values as t_k
    (ValueError otherwise); extra values are ignored.
    """

def compute_batch_holten(t_k: _Float64Array, p_mpa: _Float64Array) -> dict[str, _Float64Array]:
    """Holten two-state model at the points (t_k[i], p_mpa[i]) (K, MPa).

    Returns the forty liquid-model arrays. p_mpa needs at least as many values
    as t_k (ValueError otherwise); extra values are ignored.
    """

def compute_batch_duska(t_k: _Float64Array, p_mpa: _Float64Array) -> dict[str, _Float64Array]:
    """Duska two-state model at the points (t_k[i], p_mpa[i]) (K, MPa).

    Returns the forty liquid-model arrays. p_mpa needs at least as many values
    as t_k (ValueError otherwise); extra values are ignored.
    """

def compute_batch_shi_tanaka(t_k: _Float64Array, p_mpa: _Float64Array) -> dict[str, _Float64Array]:
    """Shi-Tanaka two-state model at the points (t_k[i], p_mpa[i]) (K, MPa).

    Returns the forty liquid-model arrays. Runs on the calling thread, holding
    the interpreter lock. p_mpa needs at least as many values as t_k
    (ValueError otherwise); extra values are ignored.
    """

def compute_spinodal_caupin(
    p_arr: _Float64Array, t_llcp: _Real, p_llcp: _Real
) -> dict[str, _Float64Array]:
    """Liquid-liquid spinodal of the Caupin Table III model.

    p_arr: pressures (MPa); t_llcp, p_llcp: the liquid-liquid critical point
    (K, MPa). Returns the spinodal arrays; pressures without a three-root
    region are left out.
    """

def compute_spinodal_caupin_kim(
    p_arr: _Float64Array, t_llcp: _Real, p_llcp: _Real
) -> dict[str, _Float64Array]:
    """Liquid-liquid spinodal of the Caupin Table II (Kim et al.) model.

    p_arr: pressures (MPa); t_llcp, p_llcp: the liquid-liquid critical point
    (K, MPa). Returns the spinodal arrays; pressures without a three-root
    region are left out.
    """

def compute_spinodal_holten(
    p_arr: _Float64Array, t_llcp: _Real, p_llcp: _Real
) -> dict[str, _Float64Array]:
    """Liquid-liquid spinodal of the Holten model.

    p_arr: pressures (MPa); t_llcp, p_llcp: the liquid-liquid critical point
    (K, MPa). Returns the spinodal arrays; pressures without a three-root
    region are left out.
    """

def compute_spinodal_duska(
    p_arr: _Float64Array, t_llcp: _Real, p_llcp: _Real
) -> dict[str, _Float64Array]:
    """Liquid-liquid spinodal of the Duska model.

    p_arr: pressures (MPa); t_llcp, p_llcp: the liquid-liquid critical point
    (K, MPa). Returns the spinodal arrays; pressures without a three-root
    region are left out.
    """

def compute_binodal_caupin(
    spin_p: _Float64Array,
    spin_t_upper: _Float64Array,
    spin_t_lower: _Float64Array,
    t_llcp: _Real,
    p_llcp: _Real,
) -> dict[str, _Float64Array]:
    """Liquid-liquid binodal of the Caupin Table III model.

    spin_p, spin_t_upper, spin_t_lower: spinodal points, normally the
    "p_array", "T_upper" and "T_lower" of compute_spinodal_caupin (MPa, K, K);
    t_llcp, p_llcp: the critical point (K, MPa). The temperature arrays need
    at least as many values as spin_p (ValueError otherwise). Returns the
    binodal arrays.
    """

def compute_binodal_caupin_kim(
    spin_p: _Float64Array,
    spin_t_upper: _Float64Array,
    spin_t_lower: _Float64Array,
    t_llcp: _Real,
    p_llcp: _Real,
) -> dict[str, _Float64Array]:
    """Liquid-liquid binodal of the Caupin Table II (Kim et al.) model.

    spin_p, spin_t_upper, spin_t_lower: spinodal points, normally the
    "p_array", "T_upper" and "T_lower" of compute_spinodal_caupin_kim
    (MPa, K, K); t_llcp, p_llcp: the critical point (K, MPa). The temperature
    arrays need at least as many values as spin_p (ValueError otherwise).
    Returns the binodal arrays.
    """

def compute_binodal_holten(
    spin_p: _Float64Array,
    spin_t_upper: _Float64Array,
    spin_t_lower: _Float64Array,
    t_llcp: _Real,
    p_llcp: _Real,
) -> dict[str, _Float64Array]:
    """Liquid-liquid binodal of the Holten model.

    spin_p, spin_t_upper, spin_t_lower: spinodal points, normally the
    "p_array", "T_upper" and "T_lower" of compute_spinodal_holten (MPa, K, K);
    t_llcp, p_llcp: the critical point (K, MPa). The temperature arrays need
    at least as many values as spin_p (ValueError otherwise). Returns the
    binodal arrays.
    """

def compute_binodal_duska(
    spin_p: _Float64Array,
    spin_t_upper: _Float64Array,
    spin_t_lower: _Float64Array,
    t_llcp: _Real,
    p_llcp: _Real,
) -> dict[str, _Float64Array]:
    """Liquid-liquid binodal of the Duska model.

    spin_p, spin_t_upper, spin_t_lower: spinodal points, normally the
    "p_array", "T_upper" and "T_lower" of compute_spinodal_duska (MPa, K, K);
    t_llcp, p_llcp: the critical point (K, MPa). The temperature arrays need
    at least as many values as spin_p (ValueError otherwise). Returns the
    binodal arrays.
    """

def sf_getprop_grid(phase: str, p: _Float64Array, t: _Float64Array) -> dict[str, _Float64Array]:
    """Native equivalent of seafreeze.getProp(...) for grid input.

    PT is an ndarray of [P_arr, T_arr]; output arrays are shape (n_P, n_T).

    phase: one of the names sf_phases() lists (ValueError otherwise);
    p: pressures (MPa), t: temperatures (K). Returns the spline property
    arrays, element (i, k) at (p[i], t[k]).
    """

def sf_getprop_scatter(phase: str, p: _Float64Array, t: _Float64Array) -> dict[str, _Float64Array]:
    """Native equivalent of seafreeze.getProp(...) for scatter input
    (matched P and T arrays; output is 1D of length n).

    phase: one of the names sf_phases() lists (ValueError otherwise);
    p: pressures (MPa), t: temperatures (K), of equal length (ValueError
    otherwise). Returns the spline property arrays.
    """

def sf_eval_raw(
    phase: str,
    p: _Float64Array,
    t: _Float64Array,
    deriv_p: SupportsIndex,
    deriv_t: SupportsIndex,
    grid: bool | np.bool_,
) -> _Float64Array:
    """Debug entry: raw spline derivative at a grid of points.

    The derivative of the Gibbs energy of order deriv_p in P and deriv_t in T
    (J/kg per MPa**deriv_p per K**deriv_t). With grid true the result has
    shape (len(p), len(t)); otherwise p and t pair up element by element and
    must have equal lengths (ValueError otherwise). The orders are
    non-negative integers; grid is a bool (integers are refused).
    """

def sf_phases() -> dict[str, bool]:
    """The names of the spline phases, each mapped to True."""
