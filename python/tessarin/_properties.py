"""Properties of a material at any points, and where each material is valid."""
from __future__ import annotations

import math
from typing import (TYPE_CHECKING, Any, Dict, List, Literal, Mapping, Optional, Sequence,
                    Tuple, Union, overload)

import numpy as np
import numpy.typing as npt

from . import _inputs, _native, _xarray
from ._inputs import RealArrayLike
from ._materials import VARIABLES, Material, lookup

if TYPE_CHECKING:
    import xarray

Array = npt.NDArray[np.float64]
BoolArray = npt.NDArray[np.bool_]
Keys = Union[str, Sequence[str], None]
OutOfRange = Literal["warn", "nan", "raise", "ignore"]

_UNITS = {n: q.units for n, q in VARIABLES.items()}


def materials() -> List[str]:
    """Names of the materials that `properties` and `valid_range` accept.

    Liquid-water equations of state first ("holten", "caupin", "caupin_kim",
    "duska", "shi_tanaka"), then the SeaFreeze Gibbs splines of liquid water
    ("water1", "water_IAPWS95") and of the ices ("Ih", "II", "III", "V",
    "VI", "VII_X_French").
    """
    from ._materials import MATERIALS

    return list(MATERIALS)


def keys(material: str) -> List[str]:
    """Result keys of `material`, in the order `properties` returns them.

    Liquid models: the thirteen properties of the equilibrium liquid ("rho"
    kg/m3, "V" m3/kg, "S" J/(kg K), "G", "H", "U", "A" J/kg, "Cp", "Cv"
    J/(kg K), "Kt", "Ks" MPa (bulk moduli), "alpha" 1/K, "vel" m/s), "x" (the
    equilibrium fraction of state B), then the same thirteen of pure state A
    and of pure state B with the suffixes "_A" and "_B". Spline phases: "G",
    "V", "rho", "S", "H", "U", "A", "Cp", "Cv", "Kt", "Ks", "Kp"
    (dimensionless), "alpha", "vel", and for the ices "shear" (MPa), "Vp"
    and "Vs" (m/s).
    """
    return list(lookup(material).keys)


def valid_range(material: str) -> Dict[str, Tuple[float, float]]:
    """Where `material` is valid: {"T": (lo, hi), "P": (lo, hi)}, in K and MPa.

    For the liquid models this is the range stated on the model's page in
    docs/models/ (with its source); for the spline phases it is the knot
    range, beyond which a spline is extrapolated. Points outside are still
    evaluated; see the `out_of_range` argument of `properties`.
    """
    ranges = lookup(material).ranges()
    return {n: ranges[n] for n in VARIABLES if n in ranges}


@overload
def in_range(material: str, *, T: RealArrayLike, P: RealArrayLike,
             grid: bool = False) -> BoolArray: ...
@overload
def in_range(material: str, *, T: "xarray.DataArray", P: "RealArrayLike | xarray.DataArray",
             grid: bool = False) -> "xarray.DataArray": ...
@overload
def in_range(material: str, *, T: RealArrayLike, P: "xarray.DataArray",
             grid: bool = False) -> "xarray.DataArray": ...


def in_range(material: str, *, T: Any, P: Any, grid: bool = False) -> Any:
    """True where (T, P) lies inside `valid_range(material)`, limits included.

    T in K and P in MPa broadcast like the arguments of `properties` (with
    grid=True: shape (len(P), len(T))). Points with a NaN coordinate are not
    in range. Returns a boolean array (an xarray.DataArray when T or P is
    one).
    """
    m = lookup(material)
    values = {"T": T, "P": P}
    if _xarray.any_dataarray(values.values()):
        return _xarray.in_range(m, values, grid)
    return _in_range(m, values, grid)


def _in_range(m: Material, values: Mapping[str, Any], grid: bool) -> BoolArray:
    points = _inputs.Points(m.variables, [values[n] for n in m.variables], grid)
    ranges = m.ranges()
    inside: Any = True
    for i, n in enumerate(m.variables):
        lo, hi = ranges[n]
        v = points.full(i)
        inside = inside & (v >= lo) & (v <= hi)
    return np.array(np.broadcast_to(inside, points.shape))


@overload
def properties(material: str, *, T: RealArrayLike, P: RealArrayLike,
               grid: bool = False, keys: Keys = None,
               out_of_range: OutOfRange = "warn") -> Dict[str, Array]: ...
@overload
def properties(material: str, *, T: "xarray.DataArray", P: "RealArrayLike | xarray.DataArray",
               grid: bool = False, keys: Keys = None,
               out_of_range: OutOfRange = "warn") -> "xarray.Dataset": ...
@overload
def properties(material: str, *, T: RealArrayLike, P: "xarray.DataArray",
               grid: bool = False, keys: Keys = None,
               out_of_range: OutOfRange = "warn") -> "xarray.Dataset": ...


def properties(material: str, *, T: Any, P: Any, grid: bool = False, keys: Keys = None,
               out_of_range: OutOfRange = "warn") -> Any:
    """Thermodynamic properties of `material` at temperatures T (K) and
    pressures P (MPa).

    T and P are keyword-only. Each may be a number, a list or an array of any
    real dtype and shape; they broadcast against each other and every result
    has the broadcast shape (0-d arrays for two numbers). With grid=True, T
    and P must be one-dimensional and the results have shape
    (len(P), len(T)): every pressure with every temperature.

    Returns a dict of float64 arrays by key (see `keys(material)`); `keys=`
    selects some of them, e.g. keys=["rho", "Cp"]. Units: rho kg/m3, V m3/kg,
    S J/(kg K), G, H, U, A J/kg, Cp, Cv J/(kg K), Kt, Ks MPa (bulk moduli),
    alpha 1/K, vel m/s, x dimensionless; splines add Kp (dimensionless) and,
    for ices, shear MPa, Vp and Vs m/s. Values are those of the compiled core
    (tessarin_rs) bit for bit; a point with a NaN coordinate gives NaN in
    every result.

    out_of_range sets what happens to points outside `valid_range(material)`:
    "warn" (default) evaluates them and emits one RuntimeWarning saying how
    many there are and which is first; "nan" makes their results NaN; "raise"
    raises ValueError naming the first of them before anything is evaluated;
    "ignore" evaluates them silently.

    If T or P is an xarray.DataArray the result is an xarray.Dataset with the
    broadcast coordinates and units/long_name attributes on every variable;
    dask-backed inputs give a lazy Dataset computed on the active dask
    scheduler.
    """
    m = lookup(material)
    values = {"T": T, "P": P}
    policy = _inputs.check_policy(out_of_range)
    selected = _inputs.select_keys(m.name, m.keys, keys)
    if not grid:
        fast = _direct(m, values, selected)
        if fast is not None:
            return fast
    if _xarray.any_dataarray(values.values()):
        return _xarray.properties(m, values, grid, selected, policy)
    return evaluate(m, values, grid, selected, policy, stacklevel=2)


# Calls with at most this many points, given as numbers or float64 arrays,
# skip the block machinery when they need nothing of it.
_DIRECT_POINTS = 16
_F64 = np.dtype(np.float64)


def _direct(m: Material, values: Mapping[str, Any],
            selected: Sequence[str]) -> Optional[Dict[str, Array]]:
    """The results of a small call that needs no conversion, broadcasting,
    NaN handling or range policy: plain numbers, or C-contiguous float64
    arrays of one shape with numbers, every value inside the range. None for
    anything else, which takes the general route (with the same values). A
    single point then costs little more than the core call."""
    ranges = m.ranges()
    shape: Optional[Tuple[int, ...]] = None
    args: List[Any] = []
    for n in m.variables:
        x = values[n]
        t = type(x)
        if t is float or t is int or t is np.float64:
            if not ranges[n][0] <= x <= ranges[n][1]:  # also false for NaN
                return None
        elif (t is np.ndarray and x.dtype is _F64 and x.size <= _DIRECT_POINTS
              and x.flags.c_contiguous and (shape is None or x.shape == shape)):
            shape = x.shape
            if x.ndim != 1:
                x = x.reshape(-1)
            if not _inputs.inside(x, ranges[n]):
                return None
        else:
            return None
        args.append(x)
    if shape is None:  # numbers only: 0-d results
        r = _native.at_point(m.evaluate, *args)
        return r if selected is m.keys else {k: r[k] for k in selected}
    size = math.prod(shape)
    r = m.evaluate(*[x if type(x) is np.ndarray else np.full(size, x, dtype=np.float64)
                     for x in args])
    if len(shape) != 1:
        return {k: r[k].reshape(shape) for k in selected}
    return r if selected is m.keys else {k: r[k] for k in selected}

def evaluate(m: Material, values: Mapping[str, Any], grid: bool, selected: Sequence[str],
             policy: str, stacklevel: int = 1) -> Dict[str, Array]:
    """`properties` on plain inputs, with checked arguments."""
    points = _inputs.Points(m.variables, [values[n] for n in m.variables], grid)
    check = _inputs.RangeCheck(policy, m.name, m.ranges() if policy != "ignore" else None,
                               points, _UNITS)
    if grid and m.evaluate_grid is not None:
        grid_fn = m.evaluate_grid

        def on_block(block: _inputs.Block) -> Mapping[str, Array]:
            return grid_fn(*block.axes())
    else:
        point_fn = m.evaluate

        def on_block(block: _inputs.Block) -> Mapping[str, Array]:
            return point_fn(*block.flat())
    return _inputs.run(points, on_block, selected, len(m.keys), check, stacklevel + 1)
