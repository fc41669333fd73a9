"""Cost of the tessarin package over the compiled core (not a test).

    python bench/package_overhead.py [--quick] [--rounds N] [--threads N]

Times `tessarin.properties` against the direct `tessarin_rs` call for the
same points, side by side in one process: the two are timed in many
alternating blocks of calls, so that load from elsewhere on the machine
affects both alike. Cases:

- n = 1: the core with ready-made one-element float64 arrays against the
  package with two plain numbers (0-d results) and with one-element arrays;
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

MATERIALS = [  # (material, core call taking (t, p), T range K, P range MPa)
    ("holten", ts.compute_batch_holten, (200.0, 300.0), (0.1, 200.0)),
    ("caupin", ts.compute_batch_caupin, (200.0, 300.0), (0.1, 200.0)),
    ("shi_tanaka", ts.compute_batch_shi_tanaka, (200.0, 300.0), (0.1, 100.0)),
    ("water1", lambda t, p: ts.sf_getprop_scatter("water1", p, t), (240.0, 500.0), (0.1, 2000.0)),
    ("Ih", lambda t, p: ts.sf_getprop_scatter("Ih", p, t), (2.0, 300.0), (0.1, 400.0)),
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


def timing_rows(quick: bool, rounds: int) -> List[Tuple[str, str, float, float]]:
    rng = np.random.default_rng(0)
    big_rounds = max(5, rounds // 10)
    rows = []
    for name, core, (t0, t1), (p0, p1) in MATERIALS:
        t1_, p1_ = (t0 + t1) / 2, (p0 + p1) / 2
        a, b = np.array([t1_]), np.array([p1_])
        c, p = side_by_side(lambda: core(a, b),
                            lambda: tessarin.properties(name, T=t1_, P=p1_), 0.002, rounds)
        rows.append((name, "n=1, numbers", c, p))
        c, p = side_by_side(lambda: core(a, b),
                            lambda: tessarin.properties(name, T=a, P=b), 0.002, rounds)
        rows.append((name, "n=1, arrays", c, p))
        if quick and name not in ("holten", "water1"):
            continue
        n = 100_000
        t, pr = rng.uniform(t0, t1, n), rng.uniform(p0, p1, n)
        c, p = side_by_side(lambda: core(t, pr),
                            lambda: tessarin.properties(name, T=t, P=pr), 0.0, big_rounds)
        rows.append((name, "n=1e5, all keys", c, p))
        c, p = side_by_side(lambda: core(t, pr),
                            lambda: tessarin.properties(name, T=t, P=pr, keys=["rho"]), 0.0,
                            big_rounds)
        rows.append((name, "n=1e5, keys=rho", c, p))
        # The package's own work at 1e5 points (conversion, range and NaN
        # checks, assembly) measured with the core call replaced by a lookup
        # of its result: the difference above, without the noise of the
        # core's run time.
        c, p = side_by_side(lambda: core(t, pr), own_work(name, t, pr, core(t, pr)), 0.0,
                            big_rounds)
        rows.append((name, "n=1e5, own work", c, p))
    return rows


def own_work(name: str, t: np.ndarray, p: np.ndarray,
             result: Dict[str, np.ndarray]) -> Callable[[], object]:
    import dataclasses

    from tessarin import _materials

    entry = _materials.MATERIALS[name]
    stub = dataclasses.replace(entry, evaluate=lambda *arrays: result)

    def call() -> object:
        _materials.MATERIALS[name] = stub
        try:
            return tessarin.properties(name, T=t, P=p)
        finally:
            _materials.MATERIALS[name] = entry
    return call


MEMORY_CHILD = """
import numpy as np, tessarin
def rss(field):
    with open("/proc/self/status") as f:
        return next(int(l.split()[1]) * 1024 for l in f if l.startswith(field + ":"))
n = {n}
t = np.random.default_rng(0).uniform({t0}, {t1}, n)
p = np.random.default_rng(1).uniform({p0}, {p1}, n)
tessarin.properties({name!r}, T=t[:10], P=p[:10])  # loads the module's tables
with open("/proc/self/clear_refs", "w") as f:  # resets the peak (VmHWM)
    f.write("5")
base = rss("VmRSS")
r = tessarin.properties({name!r}, T=t, P=p, keys=["rho"])
print(rss("VmHWM") - base, r["rho"].nbytes)
"""


def peak_memory(name: str, t_range: Tuple[float, float], p_range: Tuple[float, float],
                n: int) -> Tuple[int, int]:
    code = MEMORY_CHILD.format(n=n, name=name, t0=t_range[0], t1=t_range[1], p0=p_range[0],
                               p1=p_range[1])
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
    args = ap.parse_args()
    if args.threads is not None:  # read when the first parallel call creates the pool
        os.environ["RAYON_NUM_THREADS"] = str(args.threads)

    print(f"tessarin {tessarin.__version__}, Python {sys.version.split()[0]}, "
          f"NumPy {np.__version__}, RAYON_NUM_THREADS={os.environ.get('RAYON_NUM_THREADS')}")
    print(f"{'material':<12} {'case':<18} {'core':>12} {'package':>12} {'ratio':>7}")
    for name, case, c, p in timing_rows(args.quick, args.rounds):
        unit, scale = ("us", 1e6) if c < 1e-3 else ("ms", 1e3)
        print(f"{name:<12} {case:<18} {c * scale:9.2f} {unit} {p * scale:9.2f} {unit} "
              f"{p / c:7.3f}")

    print("\npeak memory of one call, n = 1e7, keys=['rho'] (growth of the resident set)")
    for name, _, t_range, p_range in MATERIALS:
        if args.quick and name != "holten":
            continue
        extra, result = peak_memory(name, t_range, p_range, 10_000_000)
        print(f"{name:<12} {extra / 1e6:8.1f} MB for a {result / 1e6:.0f} MB result: "
              f"{extra / result:.3f}x")


if __name__ == "__main__":
    main()
