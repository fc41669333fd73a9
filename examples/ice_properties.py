"""Density and seismic wave speeds of the ice phases.

Evaluates the SeaFreeze Gibbs-energy splines of every ice phase that
``tessarin_rs.sf_phases()`` lists (Ih, II, III, V, VI and VII/X) along two
paths per phase, each spanning the spline's range in one variable:

- against temperature, at a pressure inside the phase's stability field;
- against pressure, at a temperature inside it.

It prints each phase's spline range with the density, bulk and shear moduli
and the compressional (Vp) and shear (Vs) wave speeds at the crossing point of
its two paths. With matplotlib installed it also saves density, Vp and Vs
along both paths as ``ice_properties.png`` in the output folder; without it,
it says how to get the plot.

A spline's range is wider than its phase's stability field: outside the field
the curves describe the metastable ice. Temperature paths start at 5 K (the
splines' heat capacity is noisy near 0 K, which shows in the wave speeds), and
the temperature axis ends at 400 K although the VII/X spline reaches 1800 K
(at the 3 GPa of its path ice VII melts near 370 K). The pressure paths are
drawn on logarithmic axes: the VII/X spline runs to 1 TPa.

    python examples/ice_properties.py [--outdir DIR] [--points N]

The output folder defaults to the current directory and is created if needed.
"""
from __future__ import annotations

import sys
from pathlib import Path
from typing import NamedTuple, Optional, Sequence

import numpy as np
import numpy.typing as npt

import tessarin_rs as ts
from _plotting import picture_parser, picture_path

Array = npt.NDArray[np.float64]
T_START = 5.0
T_AXIS_MAX = 400.0
P_AXIS_MIN = 0.1  # MPa; the pressure axis is logarithmic


class Ice(NamedTuple):
    label: str
    p_range: tuple[float, float]  # first and last spline knot, MPa
    t_range: tuple[float, float]  # first and last spline knot, K
    p_ref: float  # pressure of the temperature path, MPa
    t_ref: float  # temperature of the pressure path, K
    colour: str


# Knot ranges of the splines carried by the module, rounded to the MPa or K.
ICES = {
    "Ih": Ice("Ih", (0.0, 400.0), (1.0, 301.0), 0.1, 250.0, "tab:blue"),
    "II": Ice("II", (0.0, 900.0), (0.0, 270.0), 300.0, 200.0, "tab:orange"),
    "III": Ice("III", (0.0, 500.0), (0.0, 270.0), 300.0, 250.0, "tab:green"),
    "V": Ice("V", (0.0, 1000.0), (0.0, 300.0), 500.0, 250.0, "tab:red"),
    "VI": Ice("VI", (0.0, 3000.0), (0.0, 400.0), 1000.0, 300.0, "tab:purple"),
    "VII_X_French": Ice("VII/X", (1700.0, 1e6), (20.0, 1800.0), 3000.0, 300.0, "tab:brown"),
}


class Paths(NamedTuple):
    ice: Ice
    t: Array
    along_t: dict[str, Array]  # properties against t at ice.p_ref
    p: Array
    along_p: dict[str, Array]  # properties against p at ice.t_ref


def ice_phases() -> list[str]:
    """The ice phases of the module, in the order of ICES; any phase the
    module has that this script does not know is reported and left out."""
    listed = ts.sf_phases()
    for name in sorted(set(listed) - set(ICES)):
        if not name.startswith("water"):
            print(f"note: no range known for phase {name!r}; left out")
    return [name for name in ICES if name in listed]


def compute(phase: str, n: int) -> Paths:
    ice = ICES[phase]
    t = np.linspace(max(ice.t_range[0], T_START), ice.t_range[1], n)
    p = np.geomspace(max(ice.p_range[0], P_AXIS_MIN), ice.p_range[1], n)
    along_t = ts.sf_getprop_scatter(phase, np.full_like(t, ice.p_ref), t)
    along_p = ts.sf_getprop_scatter(phase, p, np.full_like(p, ice.t_ref))
    return Paths(ice, t, along_t, p, along_p)


def print_summary(phases: Sequence[str]) -> None:
    print("Ice phases: spline range and properties at one state inside the phase's field")
    print(f"{'phase':<14}{'P range (MPa)':>16}{'T range (K)':>13}{'P (MPa)':>10}{'T (K)':>7}"
          f"{'rho':>9}{'Ks':>9}{'shear':>9}{'Vp':>8}{'Vs':>8}")
    for phase in phases:
        ice = ICES[phase]
        r = ts.sf_getprop_scatter(phase, np.array([ice.p_ref]), np.array([ice.t_ref]))
        p_span = f"{ice.p_range[0]:g}-{ice.p_range[1]:g}"
        t_span = f"{ice.t_range[0]:g}-{ice.t_range[1]:g}"
        print(f"{phase:<14}{p_span:>16}{t_span:>13}{ice.p_ref:>10g}{ice.t_ref:>7g}"
              f"{r['rho'][0]:9.1f}{r['Ks'][0]:9.0f}{r['shear'][0]:9.0f}"
              f"{r['Vp'][0]:8.0f}{r['Vs'][0]:8.0f}")
    print("units: rho kg/m3; Ks (isentropic bulk modulus) and shear modulus MPa; Vp, Vs m/s")


def plot(paths: Sequence[Paths], path: Path) -> None:
    from matplotlib.figure import Figure
    from matplotlib.lines import Line2D
    from matplotlib.ticker import FixedLocator, NullLocator, StrMethodFormatter

    fig = Figure(figsize=(10, 8))
    (rho_t, rho_p), (v_t, v_p) = fig.subplots(2, 2, sharex="col")
    for ice, t, along_t, p, along_p in paths:
        shown = t <= T_AXIS_MAX
        rho_t.plot(t[shown], along_t["rho"][shown], color=ice.colour)
        rho_p.plot(p, along_p["rho"], color=ice.colour)
        for key, style in (("Vp", "-"), ("Vs", "--")):
            v_t.plot(t[shown], along_t[key][shown], style, color=ice.colour)
            v_p.plot(p, along_p[key], style, color=ice.colour)
    rho_t.set_title("against temperature (path pressure in legend)", fontsize=10)
    rho_p.set_title("against pressure (path temperature in legend)", fontsize=10)
    for ax in (rho_t, rho_p):
        ax.set_ylabel("Density (kg/m³)")
    for ax in (v_t, v_p):
        ax.set_ylabel("Wave speed (m/s)")
    v_t.set_xlabel("Temperature (K)")
    v_t.set_xlim(0, T_AXIS_MAX)
    v_p.set_xlabel("Pressure (MPa)")
    v_p.set_xscale("log")
    v_p.set_xlim(P_AXIS_MIN, None)
    for ax, ticks in ((rho_p, (1000, 1500, 2000, 3000, 4000, 6000)),
                      (v_p, (2000, 3000, 5000, 10000, 20000, 30000))):
        ax.set_yscale("log")
        ax.yaxis.set_major_locator(FixedLocator(ticks))
        ax.yaxis.set_major_formatter(StrMethodFormatter("{x:g}"))
        ax.yaxis.set_minor_locator(NullLocator())
    for ax in (rho_t, rho_p, v_t, v_p):
        ax.grid(alpha=0.3)
    handles = [Line2D([], [], color=paths_.ice.colour, lw=2) for paths_ in paths]
    labels = [f"{paths_.ice.label} ({paths_.ice.p_ref:g} MPa; {paths_.ice.t_ref:g} K)"
              for paths_ in paths]
    handles += [Line2D([], [], color="k"), Line2D([], [], color="k", ls="--")]
    labels += ["Vp (compressional)", "Vs (shear)"]
    fig.legend(handles, labels, loc="lower center", ncol=4, fontsize=9)
    fig.suptitle("Ice phases from the SeaFreeze Gibbs splines")
    fig.tight_layout(rect=(0, 0.08, 1, 1))
    fig.savefig(path, dpi=100)
    print(f"\nsaved {path}")


def main(argv: Optional[Sequence[str]] = None) -> None:
    parser = picture_parser(__doc__)
    parser.add_argument("--points", type=int, default=300,
                        help="points per path (default: 300)")
    args = parser.parse_args(argv)

    phases = ice_phases()
    print_summary(phases)
    path = picture_path(args.outdir, "ice_properties.png", "the plot")
    if path is not None:
        plot([compute(phase, args.points) for phase in phases], path)


if __name__ == "__main__":
    main(sys.argv[1:])
