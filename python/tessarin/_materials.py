"""The materials the package evaluates: their names, variables, result keys,
validity ranges and the core functions behind them.

Every material evaluates at matched points (one contiguous one-dimensional
float64 array per variable, all of one length) and may also have a faster
route for grids (one axis per variable). Variables are listed in grid-axis
order: a grid over P and T has shape (len(P), len(T)). A material with a
further variable lists it after these and names it in `VARIABLES`, as the
NaCl solutions do with the molality m: (len(P), len(T), len(m)).
"""
from __future__ import annotations

from dataclasses import dataclass
from functools import lru_cache
from typing import Callable, Dict, List, Mapping, Optional, Sequence, Tuple

import numpy as np
import numpy.typing as npt

import tessarin_rs

Array = npt.NDArray[np.float64]
Bounds = Tuple[float, float]
# Arrays in the order of Material.variables -> result arrays by key. At
# matched points every array is 1-D and of one length; on a grid each array
# is one axis and the results have shape (len(axis 0), len(axis 1), ...).
Evaluator = Callable[..., Dict[str, Array]]


@dataclass(frozen=True)
class Quantity:
    """CF-style metadata of a variable or result key."""

    units: str
    long_name: str


# In the order in which messages and valid_range list them.
VARIABLES: Dict[str, Quantity] = {
    "T": Quantity("K", "temperature"),
    "P": Quantity("MPa", "pressure"),
    "m": Quantity("mol kg-1", "molality of NaCl"),
}

# The thirteen properties shared by the liquid models and the splines, in
# the liquid models' order.
_PROPERTIES: Dict[str, Quantity] = {
    "rho": Quantity("kg m-3", "density"),
    "V": Quantity("m3 kg-1", "specific volume"),
    "S": Quantity("J kg-1 K-1", "specific entropy"),
    "G": Quantity("J kg-1", "specific Gibbs energy"),
    "H": Quantity("J kg-1", "specific enthalpy"),
    "U": Quantity("J kg-1", "specific internal energy"),
    "A": Quantity("J kg-1", "specific Helmholtz energy"),
    "Cp": Quantity("J kg-1 K-1", "isobaric heat capacity"),
    "Cv": Quantity("J kg-1 K-1", "isochoric heat capacity"),
    "Kt": Quantity("MPa", "isothermal bulk modulus"),
    "Ks": Quantity("MPa", "isentropic bulk modulus"),
    "alpha": Quantity("K-1", "isobaric expansivity"),
    "vel": Quantity("m s-1", "speed of sound"),
}


def _liquid_quantities() -> Dict[str, Quantity]:
    out = dict(_PROPERTIES)
    out["x"] = Quantity("1", "equilibrium fraction of state B")
    for state in ("A", "B"):
        for key, q in _PROPERTIES.items():
            out[f"{key}_{state}"] = Quantity(q.units, f"{q.long_name} of pure state {state}")
    return out


LIQUID_QUANTITIES = _liquid_quantities()

_SPLINE_ORDER = ("G", "V", "rho", "S", "H", "U", "A", "Cp", "Cv", "Kt", "Ks", "Kp", "alpha",
                 "vel")
_SPLINE_EXTRA = {
    "Kp": Quantity("1", "pressure derivative of the isothermal bulk modulus"),
    "shear": Quantity("MPa", "shear modulus"),
    "Vp": Quantity("m s-1", "compressional wave speed"),
    "Vs": Quantity("m s-1", "shear wave speed"),
}
WATER_QUANTITIES: Dict[str, Quantity] = {
    k: _PROPERTIES.get(k) or _SPLINE_EXTRA[k] for k in _SPLINE_ORDER}
WATER_QUANTITIES["vel"] = Quantity("m s-1", "bulk sound speed")
ICE_QUANTITIES: Dict[str, Quantity] = dict(WATER_QUANTITIES)
ICE_QUANTITIES.update((k, _SPLINE_EXTRA[k]) for k in ("shear", "Vp", "Vs"))


# The aqueous NaCl solutions: the solution as a phase, then salt and water,
# in the order of tessarin._native.nacl_properties.
NACL_QUANTITIES: Dict[str, Quantity] = {k: WATER_QUANTITIES[k] for k in (
    "G", "rho", "V", "S", "H", "U", "A", "Cp", "Cv", "alpha", "Kt", "Kp", "Ks", "vel")}
NACL_QUANTITIES.update({
    "Js": Quantity("K MPa-1", "isentropic pressure derivative of temperature"),
    "gamma_Gruneisen": Quantity("1", "Gruneisen parameter"),
    "mus": Quantity("J mol-1", "chemical potential of NaCl"),
    "muw": Quantity("J mol-1", "chemical potential of water"),
    "Vm": Quantity("cm3 mol-1", "partial molar volume of NaCl"),
    "Vw": Quantity("cm3 mol-1", "partial molar volume of water"),
    "Cpm": Quantity("J mol-1 K-1", "partial molar isobaric heat capacity of NaCl"),
    "Va": Quantity("cm3 mol-1", "apparent molar volume of NaCl"),
    "Cpa": Quantity("J mol-1 K-1", "apparent molar isobaric heat capacity of NaCl"),
    "aw": Quantity("1", "water activity"),
    "phi": Quantity("1", "osmotic coefficient"),
    "Vex": Quantity("cm3 mol-1",
                    "apparent molar volume of NaCl less its partial molar volume in pure water"),
    "xs": Quantity("1", "mole fraction of ions"),
    "xw": Quantity("1", "mole fraction of water"),
    "f": Quantity("kg kg-1", "mass of solution per mass of water"),
})


@dataclass(frozen=True)
class Material:
    """One name accepted by the public functions."""

    name: str
    kind: str  # "liquid model", "spline phase" or "solution"
    title: str
    variables: Tuple[str, ...]
    quantities: Mapping[str, Quantity]  # result keys in the core's order
    evaluate: Evaluator
    evaluate_grid: Optional[Evaluator]
    ranges: Callable[[], Mapping[str, Bounds]]  # by variable, lo <= x <= hi
    # Where the valid region is not the box `ranges` but a union of boxes:
    # the boxes (`ranges` is then their bounding box).
    boxes: Optional[Callable[[], Sequence[Mapping[str, Bounds]]]] = None

    def __post_init__(self) -> None:
        object.__setattr__(self, "keys", tuple(self.quantities))

    keys: Tuple[str, ...] = ()  # the keys of `quantities`, set on creation


def _model(batch: Callable[[Array, Array], Dict[str, Array]]) -> Evaluator:
    # The core batches take temperature first.
    def evaluate(P: Array, T: Array) -> Dict[str, Array]:
        return batch(T, P)
    return evaluate


def _spline(phase: str) -> Tuple[Evaluator, Evaluator]:
    def scatter(P: Array, T: Array) -> Dict[str, Array]:
        return tessarin_rs.sf_getprop_scatter(phase, P, T)

    def grid(P: Array, T: Array) -> Dict[str, Array]:
        return tessarin_rs.sf_getprop_grid(phase, P, T)
    return scatter, grid


def _fixed(T: Bounds, P: Bounds) -> Callable[[], Mapping[str, Bounds]]:
    ranges = {"T": T, "P": P}
    return lambda: ranges


@lru_cache(maxsize=None)
def _knot_ranges() -> Dict[str, Dict[str, Bounds]]:
    from . import _native

    return {name: {"T": (t0, t1), "P": (p0, p1)}
            for name, (p0, p1, t0, t1) in _native.knot_ranges().items()}


def _knots(phase: str) -> Callable[[], Mapping[str, Bounds]]:
    return lambda: _knot_ranges()[phase]


# Ranges of the liquid models: the box stated on each model's page in
# docs/models/, where its source is given.
_MODELS = [
    ("holten", "Holten, Sengers and Anisimov (2014) two-state model",
     tessarin_rs.compute_batch_holten, (181.0, 300.0), (0.0, 400.0)),
    ("caupin", "Caupin and Anisimov (2019) two-state model, Table III parameters",
     tessarin_rs.compute_batch_caupin, (181.0, 300.0), (-100.0, 400.0)),
    ("caupin_kim", "Caupin and Anisimov (2019) two-state model, Table II parameters "
     "(fitted with the Kim et al. compressibility data)",
     tessarin_rs.compute_batch_caupin_kim, (181.0, 300.0), (-100.0, 400.0)),
    ("duska", "Duska (2020) two-state model",
     tessarin_rs.compute_batch_duska, (181.0, 400.0), (-100.0, 200.0)),
    ("shi_tanaka", "Shi and Tanaka (2020) two-state model",
     tessarin_rs.compute_batch_shi_tanaka, (181.0, 300.0), (0.0, 100.0)),
]
_SPLINES = [
    ("water1", "liquid water, SeaFreeze Gibbs spline (Bollengier et al. 2019)", WATER_QUANTITIES),
    ("water_IAPWS95", "liquid water, SeaFreeze Gibbs spline of IAPWS-95", WATER_QUANTITIES),
    ("Ih", "ice Ih, SeaFreeze Gibbs spline", ICE_QUANTITIES),
    ("II", "ice II, SeaFreeze Gibbs spline", ICE_QUANTITIES),
    ("III", "ice III, SeaFreeze Gibbs spline", ICE_QUANTITIES),
    ("V", "ice V, SeaFreeze Gibbs spline", ICE_QUANTITIES),
    ("VI", "ice VI, SeaFreeze Gibbs spline", ICE_QUANTITIES),
    ("VII_X_French", "ices VII and X, SeaFreeze Gibbs spline (French and Redmer 2015)",
     ICE_QUANTITIES),
]


@lru_cache(maxsize=None)
def _nacl_ranges() -> Dict[str, Dict[str, Bounds]]:
    from . import _native

    return {name: {n: r[n] for n in ("T", "P", "m")}
            for name, r in _native.nacl_materials().items()}


def _nacl(material: str) -> Tuple[Evaluator, Evaluator]:
    from . import _native

    def scatter(P: Array, T: Array, m: Array) -> Dict[str, Array]:
        return _native.nacl_properties(material, P, T, m, False)

    def grid(P: Array, T: Array, m: Array) -> Dict[str, Array]:
        return _native.nacl_properties(material, P, T, m, True)
    return scatter, grid


def _nacl_knots(material: str) -> Callable[[], Mapping[str, Bounds]]:
    return lambda: _nacl_ranges()[material]


def _nacl_union(*materials: str) -> Callable[[], Sequence[Mapping[str, Bounds]]]:
    def boxes() -> List[Mapping[str, Bounds]]:
        ranges = _nacl_ranges()
        return [ranges[m] for m in materials]
    return boxes


# NaClaq joins the low- and high-pressure splines, each valid in its own knot
# box: above 501 K only from 499.9 MPa up.
_NACL = [
    ("NaClaq", "aqueous NaCl, SeaFreeze Gibbs splines LP (to 1001 MPa) and HP "
     "(from 499.9 MPa) joined", ("NaClaq_LP", "NaClaq_HP")),
    ("NaClaq_LP", "aqueous NaCl, SeaFreeze Gibbs spline, low pressure (2026)", ()),
    ("NaClaq_HP", "aqueous NaCl, SeaFreeze Gibbs spline, high pressure (2026)", ()),
    ("NaClaq_5GPa_2024", "aqueous NaCl, SeaFreeze Gibbs spline to 5 GPa (Brown 2024)", ()),
]


def _build() -> Dict[str, Material]:
    table: Dict[str, Material] = {}
    for name, title, batch, t_range, p_range in _MODELS:
        table[name] = Material(name, "liquid model", title, ("P", "T"), LIQUID_QUANTITIES,
                               _model(batch), None, _fixed(t_range, p_range))
    for phase, title, quantities in _SPLINES:
        scatter, grid = _spline(phase)
        table[phase] = Material(phase, "spline phase", title, ("P", "T"), quantities,
                                scatter, grid, _knots(phase))
    for name, title, parts in _NACL:
        scatter, grid = _nacl(name)
        table[name] = Material(name, "solution", title, ("P", "T", "m"), NACL_QUANTITIES,
                               scatter, grid, _nacl_knots(name),
                               _nacl_union(*parts) if parts else None)
    return table


MATERIALS: Dict[str, Material] = _build()


def lookup(material: object) -> Material:
    """The registry entry of `material`; plain errors naming the argument."""
    try:
        return MATERIALS[material]  # type: ignore[index]
    except (KeyError, TypeError):
        pass
    valid = ", ".join(repr(m) for m in MATERIALS)
    if not isinstance(material, str):
        raise TypeError(f"material must be a str, one of {valid}; "
                        f"got {type(material).__name__}")
    raise ValueError(f"unknown material {material!r}; valid materials: {valid}")
