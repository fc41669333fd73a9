"""Phase equilibria of water and the ices from the SeaFreeze Gibbs splines:
the stable phase at given conditions, coexistence lines, melting curves,
triple points, and the pressure at which a material has a given density;
and the same for the ices next to NaCl brine: the stable phase, ice-brine
lines and the freezing temperature of brine.

The phases that compete are liquid water ("water1", the liquid the ice
splines were fitted against) and the ices, each only inside its knot range
(limits included), with SeaFreeze's numbers: 0 "water1", 1 "Ih", 2 "II",
3 "III", 5 "V", 6 "VI", 7 "VII_X_French". Given a molality m, the liquid is
the water of aqueous NaCl ("NaClaq") at that molality instead, still
numbered 0, competing inside the union of its splines' boxes. The
equilibrium searches run in compiled code (tessarin._native), which takes
every phase as a Gibbs energy per kilogram of water over its range (for the
brine the chemical potential of its water over M_w); the density inversion
iterates on the material's own evaluator, so it serves every material.
"""
from __future__ import annotations

import math
from functools import lru_cache
from typing import Any, Dict, Optional, Tuple, TypedDict, Union

import numpy as np
import numpy.typing as npt

from . import _inputs, _native
from ._inputs import RealArrayLike
from ._materials import MATERIALS, VARIABLES, Material, lookup
from ._properties import OutOfRange, valid_range

Array = npt.NDArray[np.float64]
BoolArray = npt.NDArray[np.bool_]
# A phase given by name ("Ih") or by number (1).
PhaseRef = Union[str, int]

_UNITS = {n: q.units for n, q in VARIABLES.items()}
_LIQUID = "water1"
# The solution whose liquid replaces pure water when a molality is given.
_BRINE = "NaClaq"


class PhaseLine(TypedDict):
    """Points of a coexistence line: "P" in MPa, "T" in K, and "stable",
    True where no third phase has a lower Gibbs energy."""

    P: Array
    T: Array
    stable: BoolArray


@lru_cache(maxsize=None)
def _numbers() -> Dict[str, int]:
    return dict(_native.phase_numbers())


@lru_cache(maxsize=None)
def _names() -> Dict[int, str]:
    return {n: name for name, n in _numbers().items()}


def _listing() -> str:
    return ", ".join(f"{n} {name!r}" for name, n in _numbers().items())


def phase_number(name: str) -> int:
    """SeaFreeze's number of the phase `name`: 0 "water1" (liquid), 1 "Ih",
    2 "II", 3 "III", 5 "V", 6 "VI", 7 "VII_X_French", as `whichphase`
    returns them. ValueError for any other name."""
    try:
        return _numbers()[name]
    except (KeyError, TypeError):
        pass
    if not isinstance(name, str):
        raise TypeError(f"name must be a str, not {type(name).__name__}")
    raise ValueError(f"{name!r} is not a phase that competes for stability; the phases are "
                     f"{_listing()}")


def phase_name(number: Union[int, float, "np.integer[Any]", "np.floating[Any]", Array]) -> str:
    """The name of phase `number` (an int, or a whole float as `whichphase`
    returns, also as a 0-d array): 0 "water1", 1 "Ih", 2 "II", 3 "III", 5 "V",
    6 "VI", 7 "VII_X_French". ValueError for NaN (no phase) and other numbers."""
    if (isinstance(number, (str, bytes, bool, np.bool_)) or np.ndim(number) != 0
            or np.asarray(number).dtype.kind not in "iuf"):
        raise TypeError(f"number must be a single int or float, not {type(number).__name__}"
                        f"{'' if np.ndim(number) == 0 else f' of shape {np.shape(number)}'}")
    value = float(number)
    if value.is_integer() and int(value) in _names():
        return _names()[int(value)]
    what = ("NaN (whichphase's result outside every phase's range)" if math.isnan(value)
            else repr(value))
    raise ValueError(f"{what} is not a phase number; the phases are {_listing()}")


def _phase(value: object, argument: str) -> str:
    """A phase argument (name or number) as its name; errors name the argument."""
    if isinstance(value, str):
        if value not in _numbers():
            raise ValueError(f"{argument} = {value!r} is not a phase that competes for "
                             f"stability; the phases are {_listing()}")
        return value
    try:
        return phase_name(value)  # type: ignore[arg-type]
    except (TypeError, ValueError) as exc:
        raise type(exc)(f"{argument}: {exc}") from None


def phase_range(material: PhaseRef) -> Dict[str, Tuple[float, float]]:
    """Where `material` (a name, or a phase number) is valid, {"T": (lo, hi),
    "P": (lo, hi)} in K and MPa: the same as `valid_range`. For a phase this
    is its knot range, where it competes in `whichphase`."""
    return valid_range(material if isinstance(material, str) else _phase(material, "material"))


def whichphase(*, P: RealArrayLike, T: RealArrayLike, m: Optional[RealArrayLike] = None,
               grid: bool = False) -> Array:
    """The stable phase at pressures P (MPa) and temperatures T (K), as
    SeaFreeze numbers it: 0 liquid water ("water1"), 1 Ih, 2 II, 3 III, 5 V,
    6 VI, 7 VII_X_French (see `phase_name`).

    The stable phase is the one of least Gibbs energy among the phases whose
    knot range (`phase_range`, limits included) contains the point, so a
    spline is never used where it extrapolates. NaN where no range contains
    the point or a coordinate is NaN; hence float64.

    With the molality m (mol of NaCl per kg of water) the liquid is brine,
    the water of "NaClaq" at that molality, still numbered 0: an ice is
    stable where M_w G_ice < muw (muw the chemical potential of water in the
    brine, J/mol; M_w = 0.018015268 kg/mol) and its G is the least among the
    ices. The brine competes inside the union of the boxes of "NaClaq_LP"
    and "NaClaq_HP" at that molality (below 499.9 MPa only from 229.9 K to
    501 K and up to m = 7 mol/kg), the ices inside their knot ranges; NaN
    where none of them contains the point, and wherever m is NaN or outside
    0 to 7.01 mol/kg.

    P, T (and m) broadcast as in `properties` (0-d for numbers); grid=True
    gives shape (len(P), len(T)), or (len(P), len(T), len(m)).
    """
    if m is not None:
        return _brine_whichphase(P, T, m, grid)
    if type(P) in (float, int) and type(T) in (float, int):
        return _native.whichphase(np.array([P], dtype=np.float64),
                                  np.array([T], dtype=np.float64)).reshape(())
    points = _inputs.Points(("P", "T"), [P, T], grid)
    check = _inputs.RangeCheck("ignore", "whichphase", None, points, _UNITS)

    def on_block(block: _inputs.Block) -> Dict[str, Array]:
        return {"phase": _native.whichphase(*block.flat())}
    return _inputs.run(points, on_block, ("phase",), 1, check, stacklevel=2)["phase"]


def _brine_whichphase(P: RealArrayLike, T: RealArrayLike, m: RealArrayLike, grid: bool) -> Array:
    points = _inputs.Points(("P", "T", "m"), [P, T, m], grid)
    check = _inputs.RangeCheck("ignore", "whichphase", None, points, _UNITS)

    def on_block(block: _inputs.Block) -> Dict[str, Array]:
        return {"phase": _native.brine_whichphase(_BRINE, *block.flat())}
    return _inputs.run(points, on_block, ("phase",), 1, check, stacklevel=3)["phase"]


def phase_line(a: PhaseRef, b: PhaseRef, *, T: Optional[RealArrayLike] = None,
               P: Optional[RealArrayLike] = None,
               m: Optional[RealArrayLike] = None) -> PhaseLine:
    """Coexistence line of phases a and b (names or numbers): where their
    Gibbs energies are equal, at the temperatures T (K), solving for the
    pressure, or at the pressures P (MPa), solving for the temperature.

    Give exactly one of T and P (keyword-only; a number, list or array of any
    shape). Returns {"P": MPa, "T": K, "stable": bool}, arrays of the input's
    shape; the given variable is repeated. The root is sought inside the
    overlap of both phases' ranges; NaN (and stable False) where there is
    none, or where the given value lies outside the overlap.

    Ice and brine: with a NaCl solution ("NaClaq", or one of its splines
    "NaClaq_LP", "NaClaq_HP", "NaClaq_5GPa_2024") as one phase and an ice as
    the other, the line is where the chemical potential of water in the
    solution at molality m (mol/kg, required then and only then) equals
    M_w G_ice, sought inside the overlap of the ice's range and the
    solution's valid region at that molality. m broadcasts with T or P, and
    the results have the broadcast shape. "stable" is True where no other
    ice is lower.

    The Gibbs-energy difference is sampled at 9 evenly spaced values across
    the overlap (intervals whose end slopes both point towards zero are
    halved, up to 3 times, to find roots that come in pairs); each sign
    change brackets a root, found by Newton steps with the exact derivative
    (the volume difference in P, minus the entropy difference in T; for
    brine the partial molar volume and entropy of its water) and
    bisection whenever a step would leave the bracket. "stable" is True
    where no third phase whose range contains the point has a lower Gibbs
    energy. Where there are several roots, the one returned is the lowest
    stable one (lowest pressure, or temperature); if none is stable, the
    lowest root.
    """
    if (T is None) == (P is None):
        raise TypeError("phase_line needs exactly one of T (K; solves for P) and P (MPa; "
                        "solves for T)")
    given, value = ("T", T) if T is not None else ("P", P)
    solution = next((x for x in (a, b) if _is_solution(x)), None)
    if solution is not None or m is not None:
        return _ice_brine_line(a, b, solution, given, value, m)
    name_a, name_b = _phase(a, "a"), _phase(b, "b")
    if name_a == name_b:
        raise ValueError(f"phase_line needs two different phases; a and b are both {name_a!r}")
    values = np.asarray(_inputs.as_real(given, value), dtype=np.float64)
    r = _native.phase_line(name_a, name_b, np.ascontiguousarray(values).reshape(-1),
                           given == "T")
    return PhaseLine(P=r["P"].reshape(values.shape), T=r["T"].reshape(values.shape),
                     stable=r["stable"].reshape(values.shape))


def _is_solution(value: object) -> bool:
    return isinstance(value, str) and value in MATERIALS and "m" in MATERIALS[value].variables


def _solutions() -> str:
    return ", ".join(repr(n) for n, v in MATERIALS.items() if "m" in v.variables)


def _ice_brine_line(a: PhaseRef, b: PhaseRef, solution: Optional[PhaseRef], given: str,
                    value: Any, m: Optional[RealArrayLike]) -> PhaseLine:
    if solution is None:
        raise TypeError(f"m is the molality of a NaCl solution; phase_line takes it only for "
                        f"the line of an ice with one of {_solutions()}")
    if m is None:
        raise TypeError(f"phase_line with {solution!r} needs the molality m (mol of NaCl per "
                        f"kg of water), e.g. m=1.0")
    other, argument = (b, "b") if _is_solution(a) else (a, "a")
    if _is_solution(other):
        raise ValueError(f"phase_line needs an ice beside {solution!r}; {argument} = "
                         f"{other!r} is a solution too")
    ice = _phase(other, argument)
    if ice == _LIQUID:
        raise ValueError(f"{argument} must be an ice beside {solution!r}, one of "
                         f"{', '.join(map(repr, _ices()))}")
    points = _inputs.Points((given, "m"), [value, m], False)
    values, molality = (np.ascontiguousarray(points.full(i), dtype=np.float64).reshape(-1)
                        for i in range(2))
    r = _native.brine_phase_line(ice, str(solution), values, molality, given == "T")
    return PhaseLine(P=r["P"].reshape(points.shape), T=r["T"].reshape(points.shape),
                     stable=r["stable"].reshape(points.shape))


def _ices() -> Tuple[str, ...]:
    return tuple(name for name in _numbers() if name != _LIQUID)


def _ice(ice: Optional[PhaseRef]) -> Tuple[str, ...]:
    if ice is None:
        return _ices()
    name = _phase(ice, "ice")
    if name == _LIQUID:
        raise ValueError(f"ice must be an ice, one of {', '.join(map(repr, _ices()))}")
    return (name,)


def melting_pressure(*, T: RealArrayLike, ice: Optional[PhaseRef] = None) -> Array:
    """Pressure (MPa) at which liquid water melts from (coexists with) the
    ice that is stable there, at temperatures T (K); NaN where the liquid
    coexists stably with no ice at T.

    Between the Ih-III-liquid triple point (about 251 K) and 273.16 K the
    liquid meets two ices at the same temperature: ice Ih at low pressure
    and ice III or V at high pressure. The lowest such pressure is returned;
    ice="III" (or "V", ...) selects the stable melting curve of that ice
    instead (NaN where it is not stable). T broadcasts as in `phase_line`.
    """
    return _melting("T", T, "P", ice, prefer_lowest=True)


def melting_temperature(*, P: RealArrayLike, ice: Optional[PhaseRef] = None) -> Array:
    """Temperature (K) at which the ice that is stable there melts, at
    pressures P (MPa); NaN where the liquid coexists stably with no ice at P
    (in particular above 2300.6 MPa, where the liquid's spline ends).
    ice= restricts the answer to that ice's stable melting curve."""
    return _melting("P", P, "T", ice, prefer_lowest=False)


def _melting(given: str, value: Any, solved: str, ice: Optional[PhaseRef],
             prefer_lowest: bool) -> Array:
    best: Optional[Array] = None
    for name in _ice(ice):
        line = (phase_line(name, _LIQUID, T=value) if given == "T"
                else phase_line(name, _LIQUID, P=value))
        found = np.where(line["stable"], line["P"] if solved == "P" else line["T"], np.nan)
        if best is None:
            best = found
        else:
            take = np.isnan(best) | (found < best) if prefer_lowest else np.isnan(best)
            best = np.where(take & ~np.isnan(found), found, best)
    assert best is not None
    return best


def freezing_temperature(*, P: RealArrayLike, m: RealArrayLike) -> Array:
    """Temperature (K) at which NaCl brine of molality m (mol of NaCl per kg
    of water) freezes at pressures P (MPa): where the chemical potential of
    water in "NaClaq" equals M_w G_ice (M_w = 0.018015268 kg/mol) for the
    ice that is stable there, Ih, III, V or VI across their fields (II and
    VII where they are the stable ice). NaN where the brine coexists with no
    ice inside its valid region at P and m (for example where the freezing
    point would lie below 229.9 K at less than 499.9 MPa), and for NaN
    inputs.

    The stable ice is the one of least Gibbs energy, so this is a root in T
    of G_brine - min(G_ice) over the ices whose range contains the point,
    found by one bracketed Newton search as in `phase_line`. The difference
    falls with T (the liquid's water has the larger entropy), so there is
    normally one root; where the splines give more, the lowest is returned.
    At m = 0 the liquid is the NaCl spline's own pure water, not "water1"
    (see `melting_temperature`): 273.231 K at 0.1 MPa against 273.153 K.

    P and m broadcast as in `properties` (0-d for two numbers).
    """
    points = _inputs.Points(("P", "m"), [P, m], False)
    check = _inputs.RangeCheck("ignore", "freezing_temperature", None, points, _UNITS)

    def on_block(block: _inputs.Block) -> Dict[str, Array]:
        return {"T": _native.freezing_temperature(_BRINE, *block.flat())}
    return _inputs.run(points, on_block, ("T",), 1, check, stacklevel=2)["T"]


def _order(name: str) -> Tuple[bool, int]:
    # By phase number, the liquid last.
    return (name == _LIQUID, _numbers()[name])


@lru_cache(maxsize=None)
def _triple_points() -> Tuple[Tuple[Tuple[str, str, str], Tuple[float, float]], ...]:
    return tuple((tuple(sorted((a, b, c), key=_order)), (p, t))  # type: ignore[misc]
                 for a, b, c, p, t in _native.triple_points())


def triple_points() -> Dict[Tuple[str, str, str], Tuple[float, float]]:
    """Every point where three phases coexist and no fourth has a lower
    Gibbs energy: {(phase, phase, phase): (P in MPa, T in K)}, in order of
    pressure. The names of a triple are ordered by phase number with the
    liquid last, e.g. ("Ih", "III", "water1").

    Each triple's point solves G_a = G_b = G_c by Newton's method in P and T,
    started where the third phase's energy crosses that of a pair along the
    pair's coexistence line, inside the range common to all three phases.
    Computed on the first call and kept.
    """
    return dict(_triple_points())


# Steps of the density inversion: Newton converges in a few; the cap lets
# bisection alone reach the resolution of a double over any phase's range.
_DENSITY_STEPS = 100
_DENSITY_TOL = 1e-12  # relative step (plus 1e-12 MPa) at which it stops


def density_to_pressure(material: str, *, rho: RealArrayLike, T: RealArrayLike,
                        out_of_range: OutOfRange = "warn") -> Array:
    """Pressure (MPa) at which `material` has the density rho (kg/m3) at
    temperature T (K), within the material's pressure range; NaN where the
    density at T does not reach rho anywhere in that range.

    Works for every material, spline phases and liquid models alike, each
    with its own density and isothermal bulk modulus Kt. Newton steps on
    ln(rho) use d ln(rho)/dP = 1/Kt; a bracket of the root kept from the two
    ends of the pressure range replaces any step that would leave it by
    bisection. A root needs the density at the two ends of the range on
    either side of rho (so a liquid model whose density is undefined at an
    end of its range gives NaN at that T).

    rho and T broadcast as in `properties`. out_of_range applies to
    temperatures outside the material's range, as in `properties` (there the
    density is extrapolated in T).
    """
    m = lookup(material)
    policy = _inputs.check_policy(out_of_range)
    points = _inputs.Points(("rho", "T"), [rho, T], False)
    ranges = m.ranges()
    check = _inputs.RangeCheck(policy, m.name, {"T": ranges["T"]} if policy != "ignore" else None,
                               points, _UNITS)
    p_range = ranges["P"]

    def on_block(block: _inputs.Block) -> Dict[str, Array]:
        rho_b, t_b = block.flat()
        return {"P": _invert_density(m, rho_b, t_b, p_range)}
    return _inputs.run(points, on_block, ("P",), 1, check, stacklevel=2)["P"]


def _invert_density(m: Material, rho: Array, T: Array, p_range: Tuple[float, float]) -> Array:
    n = rho.shape[0]
    out = np.full(n, np.nan)
    lo, hi = np.full(n, p_range[0]), np.full(n, p_range[1])

    def log_ratio(P: Array, T: Array, target: Array) -> Tuple[Array, Array]:
        r = m.evaluate(np.ascontiguousarray(P), np.ascontiguousarray(T))
        with np.errstate(divide="ignore", invalid="ignore"):
            return np.log(r["rho"] / target), r["Kt"]

    with np.errstate(invalid="ignore"):
        f_lo, _ = log_ratio(lo, T, rho)
        f_hi, _ = log_ratio(hi, T, rho)
        out[f_lo == 0] = lo[f_lo == 0]
        out[(f_hi == 0) & (f_lo != 0)] = hi[(f_hi == 0) & (f_lo != 0)]
        active = np.flatnonzero((f_lo * f_hi < 0) & np.isnan(out))
    lo, hi, f_lo, f_hi, rho, T = (a[active] for a in (lo, hi, f_lo, f_hi, rho, T))
    # Start from the secant point of the bracket.
    x = lo - f_lo * (hi - lo) / (f_hi - f_lo)
    for _ in range(_DENSITY_STEPS):
        if not active.size:
            break
        f, kt = log_ratio(x, T, rho)
        low_side = (f < 0) == (f_lo < 0)
        lo = np.where(low_side, x, lo)
        f_lo = np.where(low_side, f, f_lo)
        hi = np.where(low_side, hi, x)
        with np.errstate(invalid="ignore"):
            nxt = x - f * kt
            nxt = np.where((nxt > lo) & (nxt < hi), nxt, lo + 0.5 * (hi - lo))
            tol = _DENSITY_TOL * (np.abs(x) + 1.0)
            done = (np.abs(nxt - x) <= tol) | (hi - lo <= tol) | (f == 0)
        done |= np.isnan(f)
        out[active[done]] = np.where(np.isnan(f[done]), np.nan, x[done])
        keep = ~done
        active, x, lo, hi, f_lo, rho, T = (a[keep] for a in (
            active, nxt, lo, hi, f_lo, rho, T))
    return out
