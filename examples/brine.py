"""Density and sound speed of NaCl brine at 0.1 MPa.

Evaluates the SeaFreeze Gibbs spline of aqueous NaCl ("NaClaq") through
tessarin.properties from 250 K to 370 K at molalities m = 0, 1, 2 and
4 mol/kg, and prints the values at a few temperatures. With matplotlib
installed it also saves density and sound speed against temperature as
``brine.png`` in the output folder; without it, it says how to get the plot.

Pure water (m = 0) is the same NaCl spline at its baseline molality
c = 2e-4 mol/kg, the stand-in for pure water from which its water activity
and apparent quantities are measured: the salt curves and the pure-water
curve then come from one fit, so their differences are the salt's effect
alone. (The spline is a single polynomial in m below about 1.5e-3 mol/kg and
does not follow ideal mixing down to m = 0 itself.) The printed summary
adds the pure-water spline "water1" beside it for comparison. Below its
freezing point each solution is supercooled.

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
BASELINE_MOLALITY = 2e-4  # mol/kg: the spline's pure water
MOLALITIES = (0.0, 1.0, 2.0, 4.0)  # mol/kg
COLOURS = ("k", "tab:blue", "tab:orange", "tab:red")
T_TABLE = (250.0, 260.0, 273.15, 298.15, 323.15, 348.15, 370.0)
UNITS = {"rho": "kg/m3", "vel": "m/s"}


def spline_molality(m: float) -> float:
    return BASELINE_MOLALITY if m == 0 else m


class Curves(NamedTuple):
    t: Array
    values: dict[Property, Array]  # shape (len(MOLALITIES), len(t))


def compute(t: Array) -> Curves:
    """Density and sound speed at 0.1 MPa, one row per molality."""
    m = np.array([spline_molality(x) for x in MOLALITIES])
    r = tessarin.properties("NaClaq", T=t, P=P_MPA, m=m[:, None], keys=["rho", "vel"])
    return Curves(t, {"rho": r["rho"], "vel": r["vel"]})


def label(m: float) -> str:
    return f"m = {m:g} mol/kg" + (" (spline at 2e-4)" if m == 0 else "")


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


def draw_property(key: Property, ylabel: str) -> Callable[[Any, Curves], None]:
    def draw(ax: Any, curves: Curves) -> None:
        for m, colour, row in zip(MOLALITIES, COLOURS, curves.values[key]):
            ax.plot(curves.t, row, color=colour, lw=1.6, label=label(m))
        ax.set_xlabel("Temperature (K)")
        ax.set_xlim(T_MIN, T_MAX)
        ax.set_ylabel(ylabel)
        ax.grid(alpha=0.3)
    return draw


# The panels of the figure, left to right. The freezing curves of the same
# brines (freezing temperature against pressure across the ice Ih, III, V
# and VI fields) belong here as a further panel, drawn from their own data,
# once the ice-brine equilibrium is available.
PANELS: list[Callable[[Any, Curves], None]] = [
    draw_property("rho", "Density (kg/m³)"),
    draw_property("vel", "Speed of sound (m/s)"),
]


def plot(curves: Curves, path: Path) -> None:
    from matplotlib.figure import Figure

    fig = Figure(figsize=(5.5 * len(PANELS), 4.8))
    axes = fig.subplots(1, len(PANELS), squeeze=False)[0]
    for ax, draw in zip(axes, PANELS):
        draw(ax, curves)
    axes[-1].legend(loc="lower right", fontsize=8.5)
    fig.suptitle(f"Aqueous NaCl at {P_MPA} MPa (SeaFreeze spline)")
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    print(f"\nsaved {path}")


def main(argv: Optional[Sequence[str]] = None) -> None:
    parser = picture_parser(__doc__)
    parser.add_argument("--points", type=int, default=300,
                        help="temperatures per curve (default: 300)")
    args = parser.parse_args(argv)

    print_summary()
    path = picture_path(args.outdir, "brine.png", "the plot")
    if path is not None:
        plot(compute(np.linspace(T_MIN, T_MAX, args.points)), path)


if __name__ == "__main__":
    main(sys.argv[1:])
