"""Phase diagram of water and the ices, with the liquid-liquid transition of
supercooled water and the homogeneous ice nucleation line.

Computes, from the SeaFreeze Gibbs-energy splines through the tessarin
package, the stable phase on a pressure-temperature grid from 0 to 2.5 GPa
and 150 to 400 K (``tessarin.whichphase``), the coexistence lines between
neighbouring phases (``tessarin.phase_line``, stable parts only) and the
triple points (``tessarin.triple_points``). Over the supercooled liquid it
lays the liquid-liquid binodals and spinodals of the four two-state models
(``tessarin.liquid_liquid`` and ``tessarin.critical_point``) and the
homogeneous ice nucleation line that the Holten model's guideline gives:

    p_H = 0.1 + 228.27 (1 - th^6.243) + 15.724 (1 - th^79.81) MPa,
          th = T / 235.15 K, below 198.9 MPa;
    T_H = 172.82 + 0.03718 p + 3.403e-5 p^2 - 1.573e-8 p^3 K above
          (p in MPa).

It prints the triple points, melting pressures against the IAPWS R14-08
values, the share of the diagram each phase holds and the liquid-liquid
critical points. With matplotlib installed it also saves the diagram,
temperature against pressure, as ``water_phase_diagram.png`` in the output
folder (with an enlarged view of the supercooled liquid); without it, it
says how to get it.

    python examples/water_phase_diagram.py [--outdir DIR] [--points N]

The output folder defaults to the current directory and is created if needed.
"""
from __future__ import annotations

import itertools
import sys
from pathlib import Path
from typing import NamedTuple, Optional, Sequence

import numpy as np
import numpy.typing as npt

import tessarin
from _plotting import picture_parser, picture_path

Array = npt.NDArray[np.float64]
P_RANGE = (0.0, 2500.0)  # MPa
T_RANGE = (150.0, 400.0)  # K
# The enlarged view of the supercooled liquid.
ZOOM_P = (0.0, 400.0)
ZOOM_T = (170.0, 280.0)

# The phases that compete, each with its shade.
PHASE_COLOURS = {"water1": "#cfe8f7", "Ih": "#e8f4e1", "II": "#f6e3c8", "III": "#e3dcf2",
                 "V": "#f7d6d9", "VI": "#dde9c9", "VII_X_French": "#f2efc4"}
LABELS = {"water1": "liquid", "VII_X_French": "VII"}
# Where the phases are named (P MPa, T K), in the diagram and in the enlarged view.
NAMES_AT = {"liquid": (1400, 380), "Ih": (45, 262), "II": (480, 178), "III": (285, 243),
            "V": (560, 250), "VI": (1000, 210), "VII": (2410, 385)}
ZOOM_NAMES_AT = {"liquid": (60, 266), "Ih": (28, 182), "II": (330, 232), "III": (285, 246),
                 "V": (385, 262)}
TWO_STATE = [("holten", "Holten", "tab:blue"), ("caupin", "Caupin (III)", "tab:orange"),
             ("caupin_kim", "Caupin (II, Kim)", "tab:green"), ("duska", "Duska", "tab:red")]
# IAPWS R14-08 melting pressures (Table 3): ice, T (K), P (MPa).
MELTING_CHECKS = [("Ih", 260.0, 138.268), ("III", 254.0, 268.685), ("V", 265.0, 479.640),
                  ("VI", 320.0, 1356.76)]


class Diagram(NamedTuple):
    p: Array  # grid pressures, MPa
    t: Array  # grid temperatures, K
    phase: Array  # stable phase number, shape (len(p), len(t))
    lines: list[tuple[str, str, Array, Array]]  # pair, P and T (NaN where not stable)
    triples: dict[tuple[str, str, str], tuple[float, float]]


class TwoState(NamedTuple):
    label: str
    colour: str
    critical: tuple[float, float]  # T K, P MPa
    p: Array
    binodal: Array
    upper: Array
    lower: Array


def nucleation_line(n: int) -> tuple[Array, Array]:
    """Homogeneous ice nucleation temperature and pressure (K, MPa) of the
    Holten model's guideline, from 0.1 to 400 MPa."""
    t_low = np.linspace(235.15, 181.5, n)  # the p_H branch, up to about 198.9 MPa
    theta = t_low / 235.15
    p_low = 0.1 + 228.27 * (1 - theta ** 6.243) + 15.724 * (1 - theta ** 79.81)
    keep = p_low <= 198.9
    p_high = np.linspace(198.9, 400.0, n)
    t_high = 172.82 + 0.03718 * p_high + 3.403e-5 * p_high ** 2 - 1.573e-8 * p_high ** 3
    return np.r_[t_low[keep], t_high], np.r_[p_low[keep], p_high]


def unjoined(p: Array, t: Array, given: str) -> tuple[Array, Array]:
    """A line sampled at fixed T (given "T") or P, cut where the solved
    variable jumps by more than 1 % of its axis between neighbours: there the
    line runs nearly along the fixed variable (the other sampling draws it)
    or the root moved to another branch, and joining them would draw a chord."""
    solved, axis = (p, P_RANGE) if given == "T" else (t, T_RANGE)
    cuts = np.flatnonzero(np.abs(np.diff(solved)) > 0.01 * (axis[1] - axis[0])) + 1
    return np.insert(p, cuts, np.nan), np.insert(t, cuts, np.nan)


def compute(n: int) -> Diagram:
    p = np.linspace(*P_RANGE, 2 * n)
    t = np.linspace(*T_RANGE, n)
    phase = tessarin.whichphase(P=p, T=t, grid=True)
    # Each pair's line solved both ways, so that steep and flat parts are
    # both sampled finely; only the stable parts are kept.
    t_line = np.linspace(*T_RANGE, 4 * n)
    p_line = np.linspace(*P_RANGE, 8 * n)
    lines = []
    for a, b in itertools.combinations(PHASE_COLOURS, 2):
        for given, line in (("T", tessarin.phase_line(a, b, T=t_line)),
                            ("P", tessarin.phase_line(a, b, P=p_line))):
            shown = line["stable"] & (line["P"] <= P_RANGE[1])
            if shown.any():
                lines.append((a, b, *unjoined(np.where(shown, line["P"], np.nan),
                                              np.where(shown, line["T"], np.nan), given)))
    return Diagram(p, t, phase, lines, tessarin.triple_points())


def two_state(n: int) -> list[TwoState]:
    out = []
    for model, label, colour in TWO_STATE:
        tc, pc = tessarin.critical_point(model)
        p = pc + (ZOOM_P[1] - pc) * np.linspace(0.0, 1.0, n + 1)[1:] ** 1.5
        ll = tessarin.liquid_liquid(model, P=p)
        # Only pressures with a binodal: right at the critical pressure the
        # spinodal search may return stray roots.
        ok = ~np.isnan(ll["T_binodal"])
        out.append(TwoState(label, colour, (tc, pc), p[ok], ll["T_binodal"][ok],
                            ll["T_upper"][ok], ll["T_lower"][ok]))
    return out


def print_summary(d: Diagram, models: Sequence[TwoState]) -> None:
    print("Triple points (SeaFreeze splines):")
    print(f"  {'phases':<28} {'P (MPa)':>10} {'T (K)':>9}")
    for names, (p, t) in d.triples.items():
        print(f"  {' - '.join(LABELS.get(n, n) for n in names):<28} {p:10.3f} {t:9.3f}")
    print("\nMelting pressures against IAPWS R14-08:")
    for ice, t, published in MELTING_CHECKS:
        p = float(tessarin.melting_pressure(T=t, ice=ice))
        print(f"  {ice:<4} at {t:.0f} K: {p:9.3f} MPa (published {published:9.3f}, "
              f"difference {p - published:+.3f})")
    print("\nShare of the diagram (0-2500 MPa, 150-400 K) where each phase is stable:")
    for name, colour in PHASE_COLOURS.items():
        share = float(np.mean(d.phase == tessarin.phase_number(name)))
        print(f"  {LABELS.get(name, name):<8} {100 * share:6.2f} %")
    t_h, p_h = nucleation_line(5)
    print("\nHomogeneous ice nucleation (Holten guideline): "
          + ", ".join(f"{t:.2f} K at {p:.1f} MPa" for t, p in zip(t_h[::3], p_h[::3])))
    print("\nLiquid-liquid critical points and binodal temperature at 200 MPa:")
    for m in models:
        t200 = float(np.interp(200.0, m.p, m.binodal))
        print(f"  {m.label:<18} {m.critical[0]:9.4f} K {m.critical[1]:9.4f} MPa   "
              f"T_binodal(200 MPa) = {t200:.3f} K")


def draw(ax: object, d: Diagram, models: Sequence[TwoState], zoom: bool) -> None:
    from matplotlib.axes import Axes
    from matplotlib.colors import BoundaryNorm, ListedColormap

    assert isinstance(ax, Axes)
    numbers = [tessarin.phase_number(n) for n in PHASE_COLOURS]
    cmap = ListedColormap([PHASE_COLOURS[tessarin.phase_name(k)] for k in sorted(numbers)])
    bounds = np.array(sorted(numbers) + [max(numbers) + 1], dtype=float) - 0.5
    ax.pcolormesh(d.p, d.t, d.phase.T, cmap=cmap, norm=BoundaryNorm(bounds, cmap.N),
                  shading="nearest", rasterized=True)
    for _, _, p_line, t_line in d.lines:
        ax.plot(p_line, t_line, "-", color="k", lw=1.2)
    for p, t in d.triples.values():
        ax.plot([p], [t], "o", color="k", ms=4, zorder=4)
    t_h, p_h = nucleation_line(200)
    ax.plot(p_h, t_h, ":", color="0.15", lw=1.6)
    for m in models:
        ax.plot(np.r_[m.critical[1], m.p], np.r_[m.critical[0], m.binodal], "-", color=m.colour,
                lw=1.4)
        for branch in (m.upper, m.lower):
            ax.plot(np.r_[m.critical[1], m.p], np.r_[m.critical[0], branch], "--",
                    color=m.colour, lw=0.9)
        ax.plot([m.critical[1]], [m.critical[0]], "o", color=m.colour, ms=4, mec="k", zorder=5)
    for name, (p_at, t_at) in (ZOOM_NAMES_AT if zoom else NAMES_AT).items():
        ax.text(p_at, t_at, name, ha="center", va="center", fontsize=8 if zoom else 11, color="0.2")


def plot(d: Diagram, models: Sequence[TwoState], path: Path) -> None:
    from matplotlib.figure import Figure
    from matplotlib.lines import Line2D

    fig = Figure(figsize=(10, 6.2))
    ax = fig.subplots()
    draw(ax, d, models, zoom=False)
    ax.set_xlim(*P_RANGE)
    ax.set_ylim(*T_RANGE)
    ax.set_xlabel("Pressure (MPa)")
    ax.set_ylabel("Temperature (K)")
    ax.set_title("Water and ices: stable phases of the SeaFreeze Gibbs splines")
    inset = ax.inset_axes((0.52, 0.06, 0.45, 0.48))
    draw(inset, d, models, zoom=True)
    inset.set_xlim(*ZOOM_P)
    inset.set_ylim(*ZOOM_T)
    inset.tick_params(labelsize=8)
    inset.set_title("supercooled liquid", fontsize=9)
    ax.indicate_inset_zoom(inset, edgecolor="0.3")
    # Beyond this edge the liquid's spline does not compete: not a coexistence line.
    ax.text(2285, 380, "liquid's range ends \u2192", fontsize=7, color="0.35", ha="right",
            va="center")
    handles = [Line2D([], [], color="k", lw=1.2),
               Line2D([], [], color="k", marker="o", ls="", ms=4),
               Line2D([], [], color="0.15", ls=":", lw=1.6),
               Line2D([], [], color="0.4", lw=1.4), Line2D([], [], color="0.4", ls="--", lw=0.9)]
    handles += [Line2D([], [], color=m.colour, lw=2.0) for m in models]
    labels = ["coexistence line", "triple point", "homogeneous nucleation (Holten guideline)",
              "liquid-liquid binodal", "liquid-liquid spinodal"] + [m.label for m in models]
    ax.legend(handles, labels, loc="upper left", fontsize=8, framealpha=0.9)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    print(f"\nsaved {path}")


def main(argv: Optional[Sequence[str]] = None) -> None:
    parser = picture_parser(__doc__)
    parser.add_argument("--points", type=int, default=250,
                        help="temperatures of the grid, twice as many pressures (default: 250)")
    args = parser.parse_args(argv)

    diagram = compute(args.points)
    models = two_state(max(args.points // 2, 10))
    print_summary(diagram, models)
    path = picture_path(args.outdir, "water_phase_diagram.png", "the diagram")
    if path is not None:
        plot(diagram, models, path)


if __name__ == "__main__":
    main(sys.argv[1:])
