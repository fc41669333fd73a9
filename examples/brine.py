"""Density, sound speed and freezing temperature of NaCl brine.

Evaluates the SeaFreeze Gibbs spline of aqueous NaCl ("NaClaq") through
tessarin.properties from 250 K to 370 K at 0.1 MPa, and its freezing
temperature (tessarin.freezing_temperature) from 0.1 to 2200 MPa, across
the fields of ices Ih, III, V and VI, at molalities m = 0, 1, 2 and
4 mol/kg, and prints the values at a few temperatures and pressures. With
matplotlib installed it also saves density and sound speed against
temperature and freezing temperature against pressure as ``brine.png`` in
the output folder; without it, it says how to get the plot.

Pure water (m = 0) is the same NaCl spline at its baseline molality
c = 2e-4 mol/kg, the stand-in for pure water from which its water activity
and apparent quantities are measured: the salt curves and the pure-water
curve then come from one fit, so their differences are the salt's effect
alone. (The spline is a single polynomial in m below about 1.5e-3 mol/kg and
does not follow ideal mixing down to m = 0 itself.) The printed summary
adds the pure-water spline "water1" beside it for comparison, and the
freezing panel its melting curve (tessarin.melting_temperature), dashed:
the NaCl spline's own water freezes 0.08-0.19 K above it up to 700 MPa and
up to 1.2 K below it near 2200 MPa. Below its freezing point each solution
is supercooled.

    python examples/brine.py [--outdir DIR] [--points N]

The output folder defaults to the current directory and is created if needed.
"""
from __future__ import annotations

import sys
from pathlib import Path
from typing import Any, Callable, Literal, NamedTuple, Optional, Sequence

import numpy as np
import numpy.typing as npt

import tessarin
from _plotting import picture_parser, picture_path

Array = npt.NDArray[np.float64]
Property = Literal["rho", "vel"]

P_MPA = 0.1
T_MIN, T_MAX = 250.0, 370.0
P_FREEZE = (0.1, 2200.0)  # MPa: the Ih, III, V and VI fields, up to VI-VII-liquid
BASELINE_MOLALITY = 2e-4  # mol/kg: the spline's pure water
MOLALITIES = (0.0, 1.0, 2.0, 4.0)  # mol/kg
COLOURS = ("k", "tab:blue", "tab:orange", "tab:red")
T_TABLE = (250.0, 260.0, 273.15, 298.15, 323.15, 348.15, 370.0)
P_TABLE = (0.1, 100.0, 200.0, 300.0, 400.0, 500.0, 700.0, 1000.0, 1500.0, 2000.0)
UNITS = {"rho": "kg/m3", "vel": "m/s"}


def spline_molality(m: float) -> float:
    return BASELINE_MOLALITY if m == 0 else m


def molalities() -> Array:
    """The molalities as the spline takes them, as a column (one row each)."""
    return np.array([spline_molality(x) for x in MOLALITIES])[:, None]


class Curves(NamedTuple):
    t: Array
    values: dict[Property, Array]  # shape (len(MOLALITIES), len(t))


class Freezing(NamedTuple):
    p: Array
    t: Array  # freezing temperature, shape (len(MOLALITIES), len(p))
    ice: Array  # number of the ice that freezes out, same shape
    water1: Array  # melting temperature of "water1", shape (len(p),)


class Data(NamedTuple):
    curves: Curves
    freezing: Freezing


def compute(t: Array) -> Curves:
    """Density and sound speed at 0.1 MPa, one row per molality."""
    r = tessarin.properties("NaClaq", T=t, P=P_MPA, m=molalities(), keys=["rho", "vel"])
    return Curves(t, {"rho": r["rho"], "vel": r["vel"]})


def freezing(p: Array) -> Freezing:
    """Freezing temperatures at pressures p, one row per molality, with the
    ice that is stable just below each."""
    m = molalities()
    t = tessarin.freezing_temperature(P=p, m=m)
    ice = tessarin.whichphase(P=p, T=t - 1e-3, m=m)
    return Freezing(p, t, ice, tessarin.melting_temperature(P=p))


def label(m: float) -> str:
    return f"m = {m:g} mol/kg" + (" (spline at 2e-4)" if m == 0 else "")


def ice_name(number: float) -> str:
    return "" if np.isnan(number) else tessarin.phase_name(number)


def print_summary() -> None:
    t = np.array(T_TABLE)
    brine = compute(t)
    water = tessarin.properties("water1", T=t, P=P_MPA, keys=["rho", "vel"],
                                out_of_range="nan")
    width = max(len(label(m)) for m in MOLALITIES) + 2
    print(f"Aqueous NaCl ('NaClaq') at {P_MPA} MPa")
    key: Property
    for key in ("rho", "vel"):
        print(f"\n{key} [{UNITS[key]}]")
        print(f"{'T [K]':<{width}}" + "".join(f"{x:>10.2f}" for x in t))
        for m, row in zip(MOLALITIES, brine.values[key]):
            print(f"{label(m):<{width}}" + "".join(f"{x:>10.2f}" for x in row))
        print(f"{'water1':<{width}}" + "".join(f"{x:>10.2f}" for x in water[key]))

    f = freezing(np.array(P_TABLE))
    print("\nFreezing temperature [K] and the ice that freezes out "
          "(m = 0: the spline at 2e-4 mol/kg; water1: its melting curve)")
    print(f"{'P [MPa]':>8}" + "".join(f"{f'm = {m:g}':>14}" for m in MOLALITIES)
          + f"{'water1':>10}")
    for j, p in enumerate(f.p):
        cells = "".join(f"{f.t[i, j]:>10.2f} {ice_name(f.ice[i, j]):<3}"
                        for i in range(len(MOLALITIES)))
        print(f"{p:>8g}{cells}{f.water1[j]:>10.2f}")


def draw_property(key: Property, ylabel: str) -> Callable[[Any, Data], None]:
    def draw(ax: Any, data: Data) -> None:
        curves = data.curves
        for m, colour, row in zip(MOLALITIES, COLOURS, curves.values[key]):
            ax.plot(curves.t, row, color=colour, lw=1.6, label=label(m))
        ax.set_xlabel("Temperature (K)")
        ax.set_xlim(T_MIN, T_MAX)
        ax.set_ylabel(ylabel)
        ax.set_title(f"at {P_MPA} MPa", fontsize=10)
        ax.grid(alpha=0.3)
    return draw


def draw_freezing(ax: Any, data: Data) -> None:
    f = data.freezing
    ax.plot(f.p, f.water1, color="0.5", lw=1.0, ls="--",
            label="water1 melting curve")
    for m, colour, t, ice in zip(MOLALITIES, COLOURS, f.t, f.ice):
        ax.plot(f.p, t, color=colour, lw=1.6, label=label(m))
        # Where the ice that freezes out changes: brine-ice-ice triple points.
        change = np.flatnonzero(np.diff(ice) != 0)
        ax.plot(f.p[change], t[change], "o", color=colour, ms=3.5)
    # Each ice's name in the middle of its part of a curve: above the pure
    # water's curve, or, for an ice that freezes out of salty brine only
    # (ice II), under the most saline curve it freezes from.
    for number in np.unique(f.ice[~np.isnan(f.ice)]):
        rows = np.flatnonzero((f.ice == number).any(axis=1))
        row, offset, align = (0, 3.0, "bottom") if rows[0] == 0 else (rows[-1], -3.0, "top")
        at = np.flatnonzero(f.ice[row] == number)
        j = at[len(at) // 2]
        ax.text(f.p[j], f.t[row, j] + offset, ice_name(number), ha="center", va=align,
                fontsize=10, color="0.25")
    ax.set_xlabel("Pressure (MPa)")
    ax.set_xlim(0.0, P_FREEZE[1])
    ax.set_ylim(np.nanmin(f.t) - 8.0, np.nanmax(f.t) + 5.0)
    ax.set_ylabel("Freezing temperature (K)")
    ax.set_title("freezing of brine", fontsize=10)
    ax.grid(alpha=0.3)
    ax.legend(loc="upper left", fontsize=8.5)


# The panels of the figure, left to right.
PANELS: list[Callable[[Any, Data], None]] = [
    draw_property("rho", "Density (kg/m³)"),
    draw_property("vel", "Speed of sound (m/s)"),
    draw_freezing,
]


def plot(data: Data, path: Path) -> None:
    from matplotlib.figure import Figure

    fig = Figure(figsize=(5.2 * len(PANELS), 4.8))
    axes = fig.subplots(1, len(PANELS), squeeze=False)[0]
    for ax, draw in zip(axes, PANELS):
        draw(ax, data)
    axes[1].legend(loc="lower right", fontsize=8.5)
    fig.suptitle("Aqueous NaCl (SeaFreeze spline)")
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    print(f"\nsaved {path}")


def main(argv: Optional[Sequence[str]] = None) -> None:
    parser = picture_parser(__doc__)
    parser.add_argument("--points", type=int, default=300,
                        help="temperatures and pressures per curve (default: 300)")
    args = parser.parse_args(argv)

    print_summary()
    path = picture_path(args.outdir, "brine.png", "the plot")
    if path is not None:
        data = Data(compute(np.linspace(T_MIN, T_MAX, args.points)),
                    freezing(np.linspace(*P_FREEZE, args.points)))
        plot(data, path)


if __name__ == "__main__":
    main(sys.argv[1:])
