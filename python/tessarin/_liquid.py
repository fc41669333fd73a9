"""Liquid-liquid critical points and phase boundaries of the two-state models."""
from __future__ import annotations

from functools import lru_cache
from typing import Callable, Dict, NamedTuple, Optional, Tuple

import numpy as np
import numpy.typing as npt

import tessarin_rs

from . import _inputs
from ._materials import lookup

Array = npt.NDArray[np.float64]


class _TwoState(NamedTuple):
    spinodal: Callable[..., Dict[str, Array]]
    binodal: Callable[..., Dict[str, Array]]
    # The model's own reducing point where that is its critical point; None
    # where it is computed from the model (see `critical_point`).
    stated: Optional[Tuple[float, float]]


_TWO_STATE = {
    "holten": _TwoState(tessarin_rs.compute_spinodal_holten, tessarin_rs.compute_binodal_holten,
                        (228.2, 0.0)),
    "caupin": _TwoState(tessarin_rs.compute_spinodal_caupin, tessarin_rs.compute_binodal_caupin,
                        (218.1348, 71.94655)),
    "caupin_kim": _TwoState(tessarin_rs.compute_spinodal_caupin_kim,
                            tessarin_rs.compute_binodal_caupin_kim, (219.4717, 58.73897)),
    "duska": _TwoState(tessarin_rs.compute_spinodal_duska, tessarin_rs.compute_binodal_duska,
                       None),
}


def _two_state(model: str) -> _TwoState:
    m = lookup(model)
    if m.name == "shi_tanaka":
        raise ValueError("'shi_tanaka' has no liquid-liquid critical point in this form: its "
                         "two states do not interact, so the liquid never separates into two")
    if m.name not in _TWO_STATE:
        raise ValueError(f"{m.name!r} is not a two-state liquid model; liquid-liquid critical "
                         f"points exist for {', '.join(map(repr, _TWO_STATE))}")
    return _TWO_STATE[m.name]


@lru_cache(maxsize=None)
def _computed_critical_point(model: str) -> Tuple[float, float]:
    from . import _native

    t, p = _native.critical_point(model)
    return float(t), float(p)


def critical_point(model: str) -> Tuple[float, float]:
    """Liquid-liquid critical point (T in K, P in MPa) of a two-state model.

    "holten": (228.2, 0.0); "caupin" (Table III set): (218.1348, 71.94655);
    "caupin_kim" (Table II set): (219.4717, 58.73897), the models' own
    reducing points. "duska": computed from the model, where its field is
    zero on the line where its interaction is twice its entropy weight
    (about 220.8932 K, 54.1617 MPa). "shi_tanaka" has none (ValueError), nor
    have the spline phases.
    """
    entry = _two_state(model)
    return entry.stated if entry.stated is not None else _computed_critical_point(model)


def liquid_liquid(model: str, *, P: _inputs.RealArrayLike) -> Dict[str, Array]:
    """Liquid-liquid transition of a two-state model at pressures P (MPa).

    P is keyword-only: a number, list or array of any shape. Returns a dict of
    float64 arrays of P's shape:

        "T_upper"    upper spinodal temperature, K
        "T_lower"    lower spinodal temperature, K
        "T_binodal"  coexistence (binodal) temperature, K
        "x_lo"       fraction of state B in the denser coexisting liquid
        "x_hi"       fraction of state B in the lighter coexisting liquid

    plus "T_c" (K) and "P_c" (MPa), 0-d arrays holding the critical point
    used (see `critical_point`). Entries are NaN where a pressure has no
    transition: at or below the critical pressure, for a NaN pressure, and
    where the model's search finds none. Each pressure is searched on its
    own, so its result does not depend on the other pressures given.
    """
    entry = _two_state(model)
    tc, pc = critical_point(model)
    p = np.asarray(_inputs.as_real("P", P), dtype=np.float64)
    names = ("T_upper", "T_lower", "T_binodal", "x_lo", "x_hi")
    flat = p.reshape(-1)
    above = flat > pc  # False for NaN
    unique, inverse = np.unique(flat[above], return_inverse=True)
    found = np.full((len(names), len(unique)), np.nan)
    for j, pj in enumerate(unique):
        s = entry.spinodal(np.array([pj]), tc, pc)
        if len(s["p_array"]) == 0:
            continue
        found[0, j], found[1, j] = s["T_upper"][0], s["T_lower"][0]
        b = entry.binodal(s["p_array"], s["T_upper"], s["T_lower"], tc, pc)
        if len(b["p_array"]):
            found[2:, j] = b["T_binodal"][0], b["x_lo"][0], b["x_hi"][0]
    out: Dict[str, Array] = {}
    for i, name in enumerate(names):
        values = np.full(flat.shape, np.nan)
        values[above] = found[i, inverse.reshape(-1)]
        out[name] = values.reshape(p.shape)
    out["T_c"] = np.array(tc)
    out["P_c"] = np.array(pc)
    return out

