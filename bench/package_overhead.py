"""Cost of the tessarin package over the compiled core (not a test).

    python bench/package_overhead.py [--quick] [--rounds N] [--threads N] [--material NAME]

Times `tessarin.properties` against the direct `tessarin_rs` call (for the
NaCl solution, `tessarin._native.nacl_properties`) for the same points, side
by side in one process: the two are timed in many alternating blocks of
calls, so that load from elsewhere on the machine affects both alike. Cases:

- n = 1: the core with ready-made one-element float64 arrays against the
  package with plain numbers (0-d results) and with one-element arrays;
- n = 1e5: both with ready-made float64 arrays, all keys and keys=["rho"]
  (which the package evaluates in blocks), and the package's own work alone
  (the core call replaced by a lookup of its result).

Each figure is the lower quartile of many alternating blocks of calls.

Then, in a fresh process per case, the peak memory of one call at 1e7 points
with keys=["rho"]: the growth of the resident set during the call against
the 80 MB of the result. Targets: at most 3x the core's time at n = 1, at
most 1.10x at n = 1e5, peak at most 1.2x the result.
"""
from __future__ import annotations

import argparse
import os
import subprocess
import sys
import time
from typing import Callable, Dict, List, Tuple

import numpy as np

import tessarin
import tessarin_rs as ts
from tessarin import _native

Arrays = Dict[str, np.ndarray]
Ranges = Dict[str, Tuple[float, float]]

# (material, core call on arrays by variable, range of each variable: T K,
# P MPa, m mol/kg)
MATERIALS: List[Tuple[str, Callable[[Arrays], object], Ranges]] = [
    ("holten", lambda v: ts.compute_batch_holten(v["T"], v["P"]),
     {"T": (200.0, 300.0), "P": (0.1, 200.0)}),
    ("caupin", lambda v: ts.compute_batch_caupin(v["T"], v["P"]),
     {"T": (200.0, 300.0), "P": (0.1, 200.0)}),
    ("shi_tanaka", lambda v: ts.compute_batch_shi_tanaka(v["T"], v["P"]),
     {"T": (200.0, 300.0), "P": (0.1, 100.0)}),
    ("water1", lambda v: ts.sf_getprop_scatter("water1", v["P"], v["T"]),
     {"T": (240.0, 500.0), "P": (0.1, 2000.0)}),
    ("Ih", lambda v: ts.sf_getprop_scatter("Ih", v["P"], v["T"]),
     {"T": (2.0, 300.0), "P": (0.1, 400.0)}),
    ("NaClaq", lambda v: _native.nacl_properties("NaClaq", v["P"], v["T"], v["m"], False),
     {"T": (250.0, 500.0), "P": (0.1, 1000.0), "m": (0.1, 7.0)}),
]


def side_by_side(core: Callable[[], object], package: Callable[[], object], block: float,
                 rounds: int) -> Tuple[float, float]:
    """Time per call of each: `rounds` alternating blocks of calls (each
    block about `block` seconds), the lower quartile of each's block times.
    Alternating often keeps both under the same load; the quartile ignores
    the blocks that other processes interrupted."""
    core()
    package()
    loops = 1
    while True:  # calls per block
        start = time.perf_counter()
        for _ in range(loops):
            core()
        if time.perf_counter() - start >= block or loops > 1 << 20:
            break
        loops *= 2
    times: List[List[float]] = [[], []]
    for _ in range(rounds):
        for i, fn in enumerate((core, package)):
            start = time.perf_counter()
            for _ in range(loops):
                fn()
            times[i].append((time.perf_counter() - start) / loops)
    q = [float(np.percentile(t, 25)) for t in times]
    return q[0], q[1]


def timing_rows(quick: bool, rounds: int,
                materials: List[str]) -> List[Tuple[str, str, float, float]]:
    rng = np.random.default_rng(0)
    big_rounds = max(5, rounds // 10)
    rows = []
    for name, core, ranges in MATERIALS:
        if name not in materials:
            continue
        mid = {k: (lo + hi) / 2 for k, (lo, hi) in ranges.items()}
        one = {k: np.array([x]) for k, x in mid.items()}
        c, p = side_by_side(lambda: core(one), lambda: tessarin.properties(name, **mid), 0.002,
                            rounds)
        rows.append((name, "n=1, numbers", c, p))
        c, p = side_by_side(lambda: core(one), lambda: tessarin.properties(name, **one), 0.002,
                            rounds)
        rows.append((name, "n=1, arrays", c, p))
        if quick and name not in ("holten", "water1"):
            continue
        n = 100_000
        big = {k: rng.uniform(lo, hi, n) for k, (lo, hi) in ranges.items()}
        c, p = side_by_side(lambda: core(big), lambda: tessarin.properties(name, **big), 0.0,
                            big_rounds)
        rows.append((name, "n=1e5, all keys", c, p))
        c, p = side_by_side(lambda: core(big),
                            lambda: tessarin.properties(name, **big, keys=["rho"]), 0.0,
                            big_rounds)
        rows.append((name, "n=1e5, keys=rho", c, p))
        # The package's own work at 1e5 points (conversion, range and NaN
        # checks, assembly) measured with the core call replaced by a lookup
        # of its result: the difference above, without the noise of the
        # core's run time.
        c, p = side_by_side(lambda: core(big), own_work(name, big, core(big)), 0.0, big_rounds)
        rows.append((name, "n=1e5, own work", c, p))
    return rows


def own_work(name: str, inputs: Arrays, result: object) -> Callable[[], object]:
    import dataclasses

    from tessarin import _materials

    entry = _materials.MATERIALS[name]
    stub = dataclasses.replace(entry, evaluate=lambda *arrays: result)

    def call() -> object:
        _materials.MATERIALS[name] = stub
        try:
            return tessarin.properties(name, **inputs)
        finally:
            _materials.MATERIALS[name] = entry
    return call


MEMORY_CHILD = """
import numpy as np, tessarin
def rss(field):
    with open("/proc/self/status") as f:
        return next(int(l.split()[1]) * 1024 for l in f if l.startswith(field + ":"))
n = {n}
v = {{k: np.random.default_rng(i).uniform(lo, hi, n)
     for i, (k, (lo, hi)) in enumerate({ranges!r}.items())}}
tessarin.properties({name!r}, **{{k: x[:10] for k, x in v.items()}})  # loads the tables
with open("/proc/self/clear_refs", "w") as f:  # resets the peak (VmHWM)
    f.write("5")
base = rss("VmRSS")
r = tessarin.properties({name!r}, **v, keys=["rho"])
print(rss("VmHWM") - base, r["rho"].nbytes)
"""


def peak_memory(name: str, ranges: Ranges, n: int) -> Tuple[int, int]:
    code = MEMORY_CHILD.format(n=n, name=name, ranges=ranges)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         check=True)
    extra, result = map(int, out.stdout.split())
    return extra, result


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true",
                    help="n = 1e5 for holten and water1 only, memory for holten only")
    ap.add_argument("--rounds", type=int, default=200,
                    help="alternating blocks at n = 1 (default 200; a tenth of it at 1e5)")
    ap.add_argument("--threads", type=int, default=None,
                    help="worker threads (RAYON_NUM_THREADS; default: as the environment says)")
    names = [m[0] for m in MATERIALS]
    ap.add_argument("--material", choices=names, action="append",
                    help="time only this material (repeatable; default: all)")
    args = ap.parse_args()
    chosen = args.material or names
    if args.threads is not None:  # read when the first parallel call creates the pool
        os.environ["RAYON_NUM_THREADS"] = str(args.threads)

    print(f"tessarin {tessarin.__version__}, Python {sys.version.split()[0]}, "
          f"NumPy {np.__version__}, RAYON_NUM_THREADS={os.environ.get('RAYON_NUM_THREADS')}")
    print(f"{'material':<12} {'case':<18} {'core':>12} {'package':>12} {'ratio':>7}")
    for name, case, c, p in timing_rows(args.quick, args.rounds, chosen):
        unit, scale = ("us", 1e6) if c < 1e-3 else ("ms", 1e3)
        print(f"{name:<12} {case:<18} {c * scale:9.2f} {unit} {p * scale:9.2f} {unit} "
              f"{p / c:7.3f}")

    print("\npeak memory of one call, n = 1e7, keys=['rho'] (growth of the resident set)")
    for name, _, ranges in MATERIALS:
        if name not in chosen or (args.quick and name != "holten"):
            continue
        extra, result = peak_memory(name, ranges, 10_000_000)
        print(f"{name:<12} {extra / 1e6:8.1f} MB for a {result / 1e6:.0f} MB result: "
              f"{extra / result:.3f}x")


if __name__ == "__main__":
    main()
