"""Liquid-liquid phase diagram of the two-state models of supercooled water.

For each model (Holten, Caupin with both parameter sets, Duska) this computes
the liquid-liquid spinodal and the binodal (coexistence line) at pressures
above the model's liquid-liquid critical point, and prints a short table of
each. With matplotlib installed it also saves the diagram, temperature against
pressure, as ``phase_diagram.png`` in the output folder (spinodal dashed,
binodal solid, critical points marked); without it, it says how to get it.

    python examples/phase_diagram.py [--outdir DIR] [--points N]

The output folder defaults to the current directory and is created if needed.
"""
from __future__ import annotations

import sys
from pathlib import Path
from typing import Callable, NamedTuple, Optional, Sequence

import numpy as np
import numpy.typing as npt

import tessarin
import tessarin_rs as ts
from _plotting import picture_parser, picture_path

Array = npt.NDArray[np.float64]
# Highest pressure drawn (MPa); every model's binodal reaches it.
P_MAX = 300.0


class Model(NamedTuple):
    label: str
    spinodal: Callable[..., dict[str, Array]]
    binodal: Callable[..., dict[str, Array]]
    t_c: float  # liquid-liquid critical point, K
    p_c: float  # and MPa
    colour: str


# Critical points as tessarin states them (Duska's is computed from the model).
MODELS = [
    Model("Holten", ts.compute_spinodal_holten, ts.compute_binodal_holten,
          *tessarin.critical_point("holten"), "tab:blue"),
    Model("Caupin (Table III)", ts.compute_spinodal_caupin, ts.compute_binodal_caupin,
          *tessarin.critical_point("caupin"), "tab:orange"),
    Model("Caupin (Table II, Kim)", ts.compute_spinodal_caupin_kim,
          ts.compute_binodal_caupin_kim, *tessarin.critical_point("caupin_kim"), "tab:green"),
    Model("Duska", ts.compute_spinodal_duska, ts.compute_binodal_duska,
          *tessarin.critical_point("duska"), "tab:red"),
]


class Curves(NamedTuple):
    model: Model
    spinodal: dict[str, Array]
    binodal: dict[str, Array]


def compute(model: Model, n: int) -> Curves:
    """Spinodal and binodal of one model from just above its critical pressure
    to P_MAX, at n pressures spaced more closely near the critical point,
    where the branches bend most."""
    span = P_MAX - model.p_c
    pressures = model.p_c + span * np.linspace(0.0, 1.0, n + 1)[1:] ** 1.5
    spin = model.spinodal(pressures, model.t_c, model.p_c)
    bino = model.binodal(spin["p_array"], spin["T_upper"], spin["T_lower"],
                         model.t_c, model.p_c)
    return Curves(model, spin, bino)


def print_summary(results: Sequence[Curves], rows: int = 6) -> None:
    for model, spin, bino in results:
        print(f"\n{model.label}: liquid-liquid critical point "
              f"{model.t_c:.4f} K, {model.p_c:.4f} MPa")
        print(f"{'P (MPa)':>10} {'T_upper':>10} {'T_lower':>10} {'T_binodal':>10} "
              f"{'x_lo':>8} {'x_hi':>8}   (temperatures in K)")
        coexist = {float(p): (float(t), float(xl), float(xh)) for p, t, xl, xh in zip(
            bino["p_array"], bino["T_binodal"], bino["x_lo"], bino["x_hi"])}
        nan3 = (float("nan"),) * 3
        p_arr = spin["p_array"]
        for i in np.unique(np.linspace(0, len(p_arr) - 1, rows).round().astype(int)):
            p = float(p_arr[i])
            t, xl, xh = coexist.get(p, nan3)
            print(f"{p:10.3f} {spin['T_upper'][i]:10.4f} {spin['T_lower'][i]:10.4f} "
                  f"{t:10.4f} {xl:8.4f} {xh:8.4f}")


def plot(results: Sequence[Curves], path: Path) -> None:
    from matplotlib.figure import Figure
    from matplotlib.lines import Line2D

    fig = Figure(figsize=(7, 5))
    ax = fig.subplots()
    for model, spin, bino in results:
        # The two branches separately: the closed curve "T_K"/"p_MPa" would
        # join them with a vertical segment at the highest pressure.
        for branch in ("T_upper", "T_lower"):
            ax.plot(np.r_[model.p_c, spin["p_array"]], np.r_[model.t_c, spin[branch]],
                    "--", color=model.colour, lw=1.1)
        ax.plot(np.r_[model.p_c, bino["p_array"]], np.r_[model.t_c, bino["T_binodal"]],
                "-", color=model.colour, lw=2.0)
        ax.plot([model.p_c], [model.t_c], "o", color=model.colour, ms=7, mec="k", zorder=3)
    models = ax.legend(
        [Line2D([], [], color=m.colour, lw=2.0) for m in MODELS],
        [m.label for m in MODELS], loc="lower left", fontsize=9, title="model")
    ax.add_artist(models)
    ax.legend([Line2D([], [], color="k", lw=2.0), Line2D([], [], color="k", ls="--", lw=1.1),
               Line2D([], [], color="w", marker="o", mfc="0.6", mec="k", ms=7)],
              ["binodal (coexistence)", "spinodal", "critical point"],
              loc="lower right", fontsize=9)
    ax.text(20, 196, "LDL", fontsize=12, color="0.35")
    ax.text(255, 222, "HDL", fontsize=12, color="0.35")
    ax.set_xlabel("Pressure (MPa)")
    ax.set_ylabel("Temperature (K)")
    ax.set_title("Liquid-liquid transition of supercooled water")
    ax.set_xlim(-5, P_MAX + 5)
    ax.set_ylim(150, 235)
    ax.grid(alpha=0.3)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    print(f"\nsaved {path}")


def main(argv: Optional[Sequence[str]] = None) -> None:
    parser = picture_parser(__doc__)
    parser.add_argument("--points", type=int, default=120,
                        help="pressures per model (default: 120)")
    args = parser.parse_args(argv)

    results = [compute(model, args.points) for model in MODELS]
    print_summary(results)
    path = picture_path(args.outdir, "phase_diagram.png", "the diagram")
    if path is not None:
        plot(results, path)


if __name__ == "__main__":
    main(sys.argv[1:])
