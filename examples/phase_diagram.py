"""Liquid-liquid phase diagram of the two-state models of supercooled water.

For each model (Holten, Caupin with both parameter sets, Duska) this computes
the liquid-liquid spinodal and the binodal (coexistence line) at pressures
above the model's liquid-liquid critical point. With matplotlib installed it
saves the diagram, temperature against pressure, as a PNG (spinodal dashed,
binodal solid, critical points marked); without it, it prints the curves as a
table.

    python examples/phase_diagram.py [output.png]
"""
import math
import sys

import numpy as np

import tessarin_rs as ts


def duska_critical_point():
    """Critical point of the Duska model: L = 0 where W = 2 tau.

    Along W = 2 tau the pressure is a linear function of tau; L then changes
    sign once between 200 K and 240 K, found by bisection.
    """
    def pi_on_critical_line(tau):
        return (2 * tau / 0.41420925 - 1 - 1.6181775 * tau) / (0.036615174 + 0.007147719 * tau)

    def field(tau):
        pi = pi_on_critical_line(tau)
        return (-0.43743227 + 0.018525106 * pi + 0.43306058 * tau - 0.013836753 * pi * tau
                + 2.1944047 * tau**2 - 1.630174e-05 * pi**2 + 7.6204693e-06 * pi**3)

    lo, hi = 200.0 / 647.096, 240.0 / 647.096
    for _ in range(60):
        mid = (lo + hi) / 2
        if field(lo) * field(mid) > 0:
            lo = mid
        else:
            hi = mid
    tau = (lo + hi) / 2
    return tau * 647.096, pi_on_critical_line(tau) * 22.064


# label, model suffix, liquid-liquid critical point (K, MPa)
MODELS = [
    ("Holten", "holten", (228.2, 0.0)),
    ("Caupin (Table III)", "caupin", (218.1348, 71.94655)),
    ("Caupin (Table II, Kim)", "caupin_kim", (219.4717, 58.73897)),
    ("Duska", "duska", duska_critical_point()),
]

COLOURS = ["tab:blue", "tab:orange", "tab:green", "tab:red"]


def compute(suffix, t_c, p_c, span=200.0, n=60):
    """Spinodal and binodal of one model from just above its critical pressure."""
    pressures = p_c + np.geomspace(0.5, span, n)
    spin = getattr(ts, f"compute_spinodal_{suffix}")(pressures, t_c, p_c)
    bino = getattr(ts, f"compute_binodal_{suffix}")(
        spin["p_array"], spin["T_upper"], spin["T_lower"], t_c, p_c)
    return spin, bino


def plot(results, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(7, 5))
    for (label, _, (t_c, p_c), spin, bino), colour in zip(results, COLOURS):
        # The two branches separately: the closed curve "T_K"/"p_MPa" would
        # join them with a vertical segment at the highest pressure.
        for branch in ("T_upper", "T_lower"):
            ax.plot(np.r_[p_c, spin["p_array"]], np.r_[t_c, spin[branch]], "--",
                    color=colour, lw=1.2)
        if len(bino["p_array"]):
            ax.plot(np.r_[p_c, bino["p_array"]], np.r_[t_c, bino["T_binodal"]], "-",
                    color=colour, lw=1.8, label=label)
        ax.plot([p_c], [t_c], "o", color=colour, ms=6, mec="k")
    ax.plot([], [], "k--", lw=1.2, label="spinodal")
    ax.plot([], [], "k-", lw=1.8, label="binodal")
    ax.plot([], [], "ko", ms=6, label="critical point")
    ax.set_xlabel("Pressure (MPa)")
    ax.set_ylabel("Temperature (K)")
    ax.set_title("Liquid-liquid transition of supercooled water")
    ax.set_ylim(150, 235)
    ax.legend(loc="lower left", fontsize=9)
    ax.grid(alpha=0.3)
    fig.tight_layout()
    fig.savefig(path, dpi=150)
    print(f"saved {path}")


def print_table(results):
    for label, _, (t_c, p_c), spin, bino in results:
        print(f"\n{label}: critical point {t_c:.4f} K, {p_c:.4f} MPa")
        print(f"{'P (MPa)':>10} {'T_upper':>10} {'T_lower':>10} {'T_binodal':>10} "
              f"{'x_lo':>8} {'x_hi':>8}")
        coexist = {p: (t, xl, xh) for p, t, xl, xh in zip(
            bino["p_array"], bino["T_binodal"], bino["x_lo"], bino["x_hi"])}
        for p, tu, tl in zip(spin["p_array"], spin["T_upper"], spin["T_lower"]):
            t, xl, xh = coexist.get(p, (math.nan, math.nan, math.nan))
            print(f"{p:10.3f} {tu:10.4f} {tl:10.4f} {t:10.4f} {xl:8.4f} {xh:8.4f}")


def main(argv):
    results = [(label, suffix, crit, *compute(suffix, *crit)) for label, suffix, crit in MODELS]
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        print_table(results)
        return
    plot(results, argv[1] if len(argv) > 1 else "phase_diagram.png")


if __name__ == "__main__":
    main(sys.argv)
