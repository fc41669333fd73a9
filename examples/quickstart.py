"""Properties of liquid water from every equation of state in tessarin_rs.

Evaluates each liquid-water model the module offers at a few reference
states and prints the main properties with their units.

    python examples/quickstart.py
"""
import numpy as np

import tessarin_rs

MODELS = {
    "compute_batch_holten": "Holten",
    "compute_batch_caupin": "Caupin (Table III)",
    "compute_batch_caupin_kim": "Caupin (Table II, Kim)",
    "compute_batch_duska": "Duska",
    "compute_batch_shi_tanaka": "Shi-Tanaka",
}

STATES = [  # (T in K, P in MPa, label)
    (273.15, 0.101325, "melting point, 1 atm"),
    (298.15, 0.101325, "room temperature"),
    (250.0, 0.1, "supercooled"),
    (230.0, 0.1, "deeply supercooled"),
    (260.0, 100.0, "compressed"),
]

COLUMNS = [  # (key, heading, unit, format)
    ("rho", "rho", "kg/m3", "{:10.4f}"),
    ("Cp", "Cp", "J/(kg K)", "{:10.2f}"),
    ("Kt", "Kt", "MPa", "{:9.2f}"),
    ("alpha", "alpha", "1/K", "{:11.3e}"),
    ("vel", "vel", "m/s", "{:9.2f}"),
    ("x", "x", "-", "{:8.5f}"),
]


def main() -> None:
    t = np.array([s[0] for s in STATES])
    p = np.array([s[1] for s in STATES])
    headings = [f"{h} [{u}]" for _, h, u, _ in COLUMNS]
    widths = [max(len(fmt.format(0.0)), len(h)) for h, (_, _, _, fmt) in zip(headings, COLUMNS)]
    header = f"{'T [K]':>8} {'P [MPa]':>9}  {'state':<22}" + "".join(
        f" {h:>{w}}" for h, w in zip(headings, widths)
    )
    for name, title in MODELS.items():
        if name not in tessarin_rs.__all__:
            continue
        result = getattr(tessarin_rs, name)(t, p)
        print(f"\n{title}  ({name})")
        print(header)
        for i, (T, P, label) in enumerate(STATES):
            cells = "".join(
                f" {fmt.format(result[key][i]):>{w}}" for (key, _, _, fmt), w in zip(COLUMNS, widths)
            )
            print(f"{T:8.2f} {P:9.4f}  {label:<22}{cells}")

    if "sf_getprop_scatter" in tessarin_rs.__all__:
        print("\nSeaFreeze Gibbs splines at 0.1 MPa")
        for phase, T in (("water1", 300.0), ("Ih", 270.0)):
            r = tessarin_rs.sf_getprop_scatter(phase, np.array([0.1]), np.array([T]))
            extra = f", Vp = {r['Vp'][0]:.2f} m/s" if "Vp" in r else ""
            print(f"  {phase:>6} at {T} K: rho = {r['rho'][0]:.4f} kg/m3, "
                  f"Cp = {r['Cp'][0]:.2f} J/(kg K){extra}")


if __name__ == "__main__":
    main()
