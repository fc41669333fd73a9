"""Properties of liquid water from every equation of state in tessarin.

Evaluates each liquid-water model at a few reference states and prints the
main properties with their units, then the SeaFreeze splines of liquid water
and ice Ih, where each model is valid, and the liquid-liquid critical points.

    python examples/quickstart.py
"""
from __future__ import annotations

import warnings

import numpy as np

import tessarin

MODELS = {
    "holten": "Holten",
    "caupin": "Caupin (Table III)",
    "caupin_kim": "Caupin (Table II, Kim)",
    "duska": "Duska",
    "shi_tanaka": "Shi-Tanaka",
}

STATES = [  # (T in K, P in MPa, label)
    (273.15, 0.101325, "melting point, 1 atm"),
    (298.15, 0.101325, "room temperature"),
    (250.0, 0.1, "supercooled"),
    (230.0, 0.1, "deeply supercooled"),
    (260.0, 100.0, "compressed"),
]

COLUMNS = [  # (key, unit, format)
    ("rho", "kg/m3", "{:10.4f}"),
    ("Cp", "J/(kg K)", "{:10.2f}"),
    ("Kt", "MPa", "{:9.2f}"),
    ("alpha", "1/K", "{:11.3e}"),
    ("vel", "m/s", "{:9.2f}"),
    ("x", "-", "{:8.5f}"),
]


def main() -> None:
    # T and P are keyword-only, so they cannot be swapped; lists, scalars and
    # arrays of any shape are accepted and broadcast.
    t = [s[0] for s in STATES]
    p = [s[1] for s in STATES]
    keys = [key for key, _, _ in COLUMNS]
    headings = [f"{key} [{unit}]" for key, unit, _ in COLUMNS]
    widths = [max(len(fmt.format(0.0)), len(h)) for h, (_, _, fmt) in zip(headings, COLUMNS)]
    header = f"{'T [K]':>8} {'P [MPa]':>9}  {'state':<22}" + "".join(
        f" {h:>{w}}" for h, w in zip(headings, widths))
    for name, title in MODELS.items():
        # Some states lie outside a model's stated range; say so once per
        # model instead of warning.
        outside = ~tessarin.in_range(name, T=t, P=p)
        result = tessarin.properties(name, T=t, P=p, keys=keys, out_of_range="ignore")
        print(f"\n{title}  ({name})")
        print(header)
        for i, (T, P, label) in enumerate(STATES):
            cells = "".join(f" {fmt.format(result[key][i]):>{w}}"
                            for (key, _, fmt), w in zip(COLUMNS, widths))
            mark = "  (outside its range)" if outside[i] else ""
            print(f"{T:8.2f} {P:9.4f}  {label:<22}{cells}{mark}")

    print("\nSeaFreeze Gibbs splines at 0.1 MPa")
    for phase, T in (("water1", 300.0), ("Ih", 270.0)):
        r = tessarin.properties(phase, T=T, P=0.1)
        extra = f", Vp = {float(r['Vp']):.2f} m/s" if "Vp" in r else ""
        print(f"  {phase:>6} at {T} K: rho = {float(r['rho']):.4f} kg/m3, "
              f"Cp = {float(r['Cp']):.2f} J/(kg K){extra}")

    print("\nWhere each material is valid (T in K, P in MPa)")
    for name in tessarin.materials():
        ranges = tessarin.valid_range(name)
        (t0, t1), (p0, p1) = ranges["T"], ranges["P"]
        print(f"  {name:<14} T {t0:g} to {t1:g}, P {p0:g} to {p1:g}")

    # A temperature typed in degrees Celsius is far outside every range.
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        rho = tessarin.properties("holten", T=25.0, P=0.1, keys=["rho"])["rho"]
    print(f"\nT = 25 (meant as 25 degC) gives rho = {float(rho):.0f} kg/m3 and a warning:")
    for w in caught:
        print(f"  {w.message}")

    print("\nLiquid-liquid critical points")
    for name in ("holten", "caupin", "caupin_kim", "duska"):
        tc, pc = tessarin.critical_point(name)
        print(f"  {MODELS[name]:<24} {tc:9.4f} K {pc:9.4f} MPa")
    ll = tessarin.liquid_liquid("holten", P=np.array([20.0, 50.0, 100.0]))
    print("  Holten coexistence temperatures at 20, 50, 100 MPa: "
          + ", ".join(f"{v:.3f} K" for v in ll["T_binodal"]))


if __name__ == "__main__":
    main()
