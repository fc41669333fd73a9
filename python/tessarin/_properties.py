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
    "VI", "VII_X_French"), then those of aqueous NaCl, which also take the
    molality m: "NaClaq" (the low- and high-pressure splines joined),
    "NaClaq_LP", "NaClaq_HP" and "NaClaq_5GPa_2024".
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

    NaCl solutions: the solution's "G", "rho", "V", "S", "H", "U", "A", "Cp",
    "Cv", "alpha", "Kt", "Kp", "Ks", "vel" (per kg of solution, units as
    above), "Js" (K/MPa, dT/dP at constant entropy), "gamma_Gruneisen"
    (dimensionless); then "mus", "muw" (J/mol, chemical potentials of NaCl
    and of water), "Vm", "Vw" (cm3/mol, partial molar volumes of NaCl and of
    water), "Cpm" (J/(mol K), partial molar heat capacity of NaCl), "Va"
    (cm3/mol) and "Cpa" (J/(mol K)), apparent molar volume and heat capacity
    of NaCl, "aw" (water activity), "phi" (osmotic coefficient), "Vex"
    (cm3/mol, Va less the partial molar volume of NaCl in pure water), "xs",
    "xw" (mole fractions of ions and of water) and "f" (kg of solution per kg
    of water).
    """
    return list(lookup(material).keys)


def valid_range(material: str) -> Dict[str, Tuple[float, float]]:
    """Where `material` is valid: {"T": (lo, hi), "P": (lo, hi)}, in K and MPa,
    and for the NaCl solutions also "m": (lo, hi) in mol/kg.

    For the liquid models this is the range stated on the model's page in
    docs/models/ (with its source); for the spline phases and solutions it is
    the knot range, beyond which a spline is extrapolated. "NaClaq" is valid
    where either of its splines is, the union of the boxes of "NaClaq_LP" and
    "NaClaq_HP" (above 501 K only from 499.9 MPa up): its valid_range is the
    bounding box of that union, while `in_range` and the `out_of_range`
    argument of `properties` use the union itself. Points outside are still
    evaluated; see `out_of_range`.
    """
    ranges = lookup(material).ranges()
    return {n: ranges[n] for n in VARIABLES if n in ranges}


@overload
def in_range(material: str, *, T: RealArrayLike, P: RealArrayLike,
             m: Optional[RealArrayLike] = None, grid: bool = False) -> BoolArray: ...
@overload
def in_range(material: str, *, T: "xarray.DataArray", P: "RealArrayLike | xarray.DataArray",
             m: "RealArrayLike | xarray.DataArray | None" = None,
             grid: bool = False) -> "xarray.DataArray": ...
@overload
def in_range(material: str, *, T: RealArrayLike, P: "xarray.DataArray",
             m: "RealArrayLike | xarray.DataArray | None" = None,
             grid: bool = False) -> "xarray.DataArray": ...
@overload
def in_range(material: str, *, T: RealArrayLike, P: RealArrayLike, m: "xarray.DataArray",
             grid: bool = False) -> "xarray.DataArray": ...


def in_range(material: str, *, T: Any, P: Any, m: Any = None, grid: bool = False) -> Any:
    """True where (T, P), and m for a NaCl solution, lies inside the valid
    region of `material`, limits included: the box `valid_range(material)`,
    or for "NaClaq" the union of its two splines' boxes.

    T in K, P in MPa and m in mol/kg broadcast like the arguments of
    `properties` (with grid=True: shape (len(P), len(T)), or (len(P),
    len(T), len(m))). Points with a NaN coordinate are not in range. Returns
    a boolean array (an xarray.DataArray when an input is one).
    """
    mat = lookup(material)
    values = _values(mat, T, P, m)
    if _xarray.any_dataarray(values.values()):
        return _xarray.in_range(mat, values, grid)
    return _in_range(mat, values, grid)


def _values(mat: Material, T: Any, P: Any, m: Any) -> Dict[str, Any]:
    """The inputs by variable name; TypeError for a molality the material does
    not take or needs and lacks."""
    if "m" in mat.variables:
        if m is None:
            raise TypeError(f"{mat.name!r} needs the molality m (mol of NaCl per kg of water), "
                            f"e.g. m=1.0")
        return {"T": T, "P": P, "m": m}
    if m is not None:
        from ._materials import MATERIALS

        takers = ", ".join(repr(k) for k, v in MATERIALS.items() if "m" in v.variables)
        raise TypeError(f"{mat.name!r} takes no molality m; only the NaCl solutions do "
                        f"({takers})")
    return {"T": T, "P": P}


def _boxes(mat: Material) -> List[Mapping[str, Tuple[float, float]]]:
    """The boxes whose union is where `mat` is valid."""
    return list(mat.boxes()) if mat.boxes is not None else [mat.ranges()]


def _in_range(mat: Material, values: Mapping[str, Any], grid: bool) -> BoolArray:
    names = mat.variables
    points = _inputs.Points(names, [values[n] for n in names], grid)
    inside = _inputs.in_boxes([points.full(i) for i in range(len(names))],
                              [[box[n] for n in names] for box in _boxes(mat)])
    return np.array(np.broadcast_to(inside, points.shape))


@overload
def properties(material: str, *, T: RealArrayLike, P: RealArrayLike,
               m: Optional[RealArrayLike] = None, grid: bool = False, keys: Keys = None,
               out_of_range: OutOfRange = "warn") -> Dict[str, Array]: ...
@overload
def properties(material: str, *, T: "xarray.DataArray", P: "RealArrayLike | xarray.DataArray",
               m: "RealArrayLike | xarray.DataArray | None" = None, grid: bool = False,
               keys: Keys = None, out_of_range: OutOfRange = "warn") -> "xarray.Dataset": ...
@overload
def properties(material: str, *, T: RealArrayLike, P: "xarray.DataArray",
               m: "RealArrayLike | xarray.DataArray | None" = None, grid: bool = False,
               keys: Keys = None, out_of_range: OutOfRange = "warn") -> "xarray.Dataset": ...
@overload
def properties(material: str, *, T: RealArrayLike, P: RealArrayLike, m: "xarray.DataArray",
               grid: bool = False, keys: Keys = None,
               out_of_range: OutOfRange = "warn") -> "xarray.Dataset": ...


def properties(material: str, *, T: Any, P: Any, m: Any = None, grid: bool = False,
               keys: Keys = None, out_of_range: OutOfRange = "warn") -> Any:
    """Thermodynamic properties of `material` at temperatures T (K) and
    pressures P (MPa), and for the NaCl solutions molalities m (mol of NaCl
    per kg of water).

    T, P and m are keyword-only; m is required for the NaCl solutions and
    refused (TypeError) for the other materials. Each may be a number, a list
    or an array of any real dtype and shape; they broadcast against each
    other and every result has the broadcast shape (0-d arrays for numbers).
    With grid=True they must be one-dimensional and the results have shape
    (len(P), len(T)), or (len(P), len(T), len(m)): every combination.

    Returns a dict of float64 arrays by key (see `keys(material)`); `keys=`
    selects some of them, e.g. keys=["rho", "Cp"]. Units: rho kg/m3, V m3/kg,
    S J/(kg K), G, H, U, A J/kg, Cp, Cv J/(kg K), Kt, Ks MPa (bulk moduli),
    alpha 1/K, vel m/s, x dimensionless; splines add Kp (dimensionless) and,
    for ices, shear MPa, Vp and Vs m/s. The NaCl solutions give these per kg
    of solution and add Js K/MPa, gamma_Gruneisen (dimensionless), mus, muw
    J/mol, Vm, Vw, Va, Vex cm3/mol, Cpm, Cpa J/(mol K), aw, phi, xs, xw
    (dimensionless) and f (kg of solution per kg of water). Values are those
    of the compiled core (tessarin_rs; tessarin._native.nacl_properties for
    the NaCl solutions) bit for bit; a point with a NaN coordinate gives NaN
    in every result.

    out_of_range sets what happens to points outside the valid region
    (`valid_range(material)`; for "NaClaq" the union of its splines' boxes,
    see `in_range`): "warn" (default) evaluates them and emits one
    RuntimeWarning saying how many there are and which is first; "nan" makes
    their results NaN; "raise" raises ValueError naming the first of them
    before anything is evaluated; "ignore" evaluates them silently.

    If T, P or m is an xarray.DataArray the result is an xarray.Dataset with
    the broadcast coordinates and units/long_name attributes on every
    variable; dask-backed inputs give a lazy Dataset computed on the active
    dask scheduler.
    """
    mat = lookup(material)
    values = _values(mat, T, P, m)
    policy = _inputs.check_policy(out_of_range)
    selected = _inputs.select_keys(mat.name, mat.keys, keys)
    if not grid:
        fast = _direct(mat, values, selected)
        if fast is not None:
            return fast
    if _xarray.any_dataarray(values.values()):
        return _xarray.properties(mat, values, grid, selected, policy)
    return evaluate(mat, values, grid, selected, policy, stacklevel=2)


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
    if m.boxes is not None and not _in_one_box(m.variables, m.boxes(), args):
        return None
    if shape is None:  # numbers only: 0-d results
        r = _native.at_point(m.evaluate, *args)
        return r if selected is m.keys else {k: r[k] for k in selected}
    size = math.prod(shape)
    r = m.evaluate(*[x if type(x) is np.ndarray else np.full(size, x, dtype=np.float64)
                     for x in args])
    if len(shape) != 1:
        return {k: r[k].reshape(shape) for k in selected}
    return r if selected is m.keys else {k: r[k] for k in selected}


def _in_one_box(names: Sequence[str], boxes: Sequence[Mapping[str, Tuple[float, float]]],
                args: Sequence[Any]) -> bool:
    """True when the values of `_direct` (numbers and 1-D arrays, by variable
    in `names`) all lie in one of `boxes`."""
    for box in boxes:
        for n, x in zip(names, args):
            lo, hi = box[n]
            if not (lo <= x <= hi if type(x) is not np.ndarray else _inputs.inside(x, (lo, hi))):
                break
        else:
            return True
    return False


def evaluate(m: Material, values: Mapping[str, Any], grid: bool, selected: Sequence[str],
             policy: str, stacklevel: int = 1) -> Dict[str, Array]:
    """`properties` on plain inputs, with checked arguments."""
    points = _inputs.Points(m.variables, [values[n] for n in m.variables], grid)
    check = _inputs.RangeCheck(policy, m.name, m.ranges() if policy != "ignore" else None,
                               points, _UNITS,
                               m.boxes() if m.boxes is not None and policy != "ignore" else None)
    if grid and m.evaluate_grid is not None:
        grid_fn = m.evaluate_grid

        def on_block(block: _inputs.Block) -> Mapping[str, Array]:
            return grid_fn(*block.axes())
    else:
        point_fn = m.evaluate

        def on_block(block: _inputs.Block) -> Mapping[str, Array]:
            return point_fn(*block.flat())
    return _inputs.run(points, on_block, selected, len(m.keys), check, stacklevel + 1)
