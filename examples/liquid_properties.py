"""Density, heat capacity and sound speed of liquid water at 0.1 MPa.

Evaluates the five liquid-water models of tessarin_rs (Holten, Caupin with
both parameter sets, Duska, Shi-Tanaka) from deep supercooling to near the
boiling point at 0.1 MPa, beside the SeaFreeze spline of the IAPWS-95
formulation ("water_IAPWS95"), and prints the values at a few temperatures.
With matplotlib installed it also saves the three properties against
temperature as ``liquid_properties.png`` in the output folder; without it, it
says how to get the plot.

The two-state models place a liquid-liquid critical point near 220-228 K, so
their heat capacity peaks and their density and sound speed turn sharply on
cooling toward it (Holten's heat-capacity peak, some 4e4 J/(kg K) at 228 K,
runs off the top of its panel). The IAPWS-95 spline is drawn only from 235 K, about the
lowest temperature reached by supercooled water at this pressure: below it the
formulation is extrapolated far beyond its data. Where a model's sound speed
is undefined (no positive compressibility) the curve has a gap.

    python examples/liquid_properties.py [--outdir DIR] [--points N]

The output folder defaults to the current directory and is created if needed.
"""
from __future__ import annotations

import sys
from pathlib import Path
from typing import Callable, Literal, NamedTuple, Optional, Sequence

import numpy as np
import numpy.typing as npt

import tessarin_rs as ts
from _plotting import picture_parser, picture_path

Array = npt.NDArray[np.float64]
Property = Literal["rho", "Cp", "vel"]

P_MPA = 0.1
T_MIN, T_MAX = 200.0, 370.0
T_MIN_IAPWS95 = 235.0
T_MELT = 273.15
T_TABLE = (210.0, 230.0, 250.0, 273.15, 300.0, 350.0)


class Model(NamedTuple):
    label: str
    batch: Callable[[Array, Array], dict[str, Array]]
    colour: str


MODELS = [
    Model("Holten", ts.compute_batch_holten, "tab:blue"),
    Model("Caupin (Table III)", ts.compute_batch_caupin, "tab:orange"),
    Model("Caupin (Table II, Kim)", ts.compute_batch_caupin_kim, "tab:green"),
    Model("Duska", ts.compute_batch_duska, "tab:red"),
    Model("Shi-Tanaka", ts.compute_batch_shi_tanaka, "tab:purple"),
]
IAPWS95 = "IAPWS-95 (SeaFreeze spline)"

# key, axis label, y range shown (a Cp peak of the models reaches ~4e4)
PANELS: list[tuple[Property, str, tuple[float, float]]] = [
    ("rho", "Density (kg/m³)", (890.0, 1005.0)),
    ("Cp", "Isobaric heat capacity (J/(kg·K))", (0.0, 12000.0)),
    ("vel", "Speed of sound (m/s)", (1000.0, 2800.0)),
]


class Curve(NamedTuple):
    label: str
    colour: str
    t: Array
    values: dict[Property, Array]


def compute(n: int) -> list[Curve]:
    t = np.linspace(T_MIN, T_MAX, n)
    p = np.full_like(t, P_MPA)
    curves = []
    for model in MODELS:
        r = model.batch(t, p)
        curves.append(Curve(model.label, model.colour, t,
                            {"rho": r["rho"], "Cp": r["Cp"], "vel": r["vel"]}))
    t_sf = t[t >= T_MIN_IAPWS95]
    r_sf = ts.sf_getprop_scatter("water_IAPWS95", np.full_like(t_sf, P_MPA), t_sf)
    curves.append(Curve(IAPWS95, "k", t_sf,
                        {"rho": r_sf["rho"], "Cp": r_sf["Cp"], "vel": r_sf["vel"]}))
    return curves


def print_summary() -> None:
    t = np.array(T_TABLE)
    p = np.full_like(t, P_MPA)
    rows = [(m.label, m.batch(t, p)) for m in MODELS]
    r_sf = ts.sf_getprop_scatter("water_IAPWS95", p, t)
    # The spline is not shown below T_MIN_IAPWS95.
    shown = t >= T_MIN_IAPWS95
    rows.append((IAPWS95, {key: np.where(shown, r_sf[key], np.nan)
                           for key in ("rho", "Cp", "vel")}))
    width = max(len(label) for label, _ in rows)
    units = {"rho": "kg/m3", "Cp": "J/(kg K)", "vel": "m/s"}
    print(f"Liquid water at {P_MPA} MPa")
    for key in ("rho", "Cp", "vel"):
        print(f"\n{key} [{units[key]}]")
        print(f"{'T [K]':<{width}}" + "".join(f"{x:>10.2f}" for x in t))
        for label, r in rows:
            print(f"{label:<{width}}" + "".join(f"{x:>10.1f}" for x in r[key]))


def plot(curves: Sequence[Curve], path: Path) -> None:
    from matplotlib.figure import Figure

    fig = Figure(figsize=(7, 9))
    axes = fig.subplots(len(PANELS), 1, sharex=True)
    for ax, (key, ylabel, ylim) in zip(axes, PANELS):
        ax.axvspan(T_MIN, T_MELT, color="0.93", lw=0)
        for curve in curves:
            ax.plot(curve.t, curve.values[key], color=curve.colour,
                    lw=2.2 if curve.colour == "k" else 1.4,
                    ls=":" if curve.colour == "k" else "-", label=curve.label)
        ax.set_ylabel(ylabel)
        ax.set_ylim(*ylim)
        ax.grid(alpha=0.3)
    axes[0].text(T_MIN + 3, 993.0, "supercooled", color="0.4", fontsize=9)
    axes[1].annotate("Holten peak\noff scale", xy=(228.5, 11800.0), xytext=(238.0, 10000.0),
                     fontsize=8.5, color="tab:blue", arrowprops={"arrowstyle": "->",
                                                                 "color": "tab:blue"})
    axes[0].legend(loc="lower right", fontsize=8.5)
    axes[-1].set_xlabel("Temperature (K)")
    axes[-1].set_xlim(T_MIN, T_MAX)
    axes[0].set_title(f"Liquid water at {P_MPA} MPa")
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    print(f"\nsaved {path}")


def main(argv: Optional[Sequence[str]] = None) -> None:
    parser = picture_parser(__doc__)
    parser.add_argument("--points", type=int, default=400,
                        help="temperatures per curve (default: 400)")
    args = parser.parse_args(argv)

    print_summary()
    path = picture_path(args.outdir, "liquid_properties.png", "the plot")
    if path is not None:
        plot(compute(args.points), path)


if __name__ == "__main__":
    main(sys.argv[1:])
