"""Speed of the phase-equilibrium functions (not a test).

    python bench/phase_equilibria.py [--rounds N] [--threads N]

- whichphase: `tessarin.whichphase` on 1e6 points scattered uniformly over
  0-2500 MPa and 150-400 K, against evaluating the Gibbs energy of the seven
  competing phases at the same points with the core (seven calls of
  `tessarin_rs.sf_eval_raw(phase, P, T, 0, 0, False)`). Target: a ratio of
  at most 1.3.
- phase_line: `tessarin.phase_line` at 1,000 temperatures on one worker
  thread, for the liquid against ice Ih (240-273.2 K) and against ice VI
  (239-400 K). Target: at most 20 ms per call.
- brine: `tessarin.freezing_temperature` on 1e4 points scattered over
  0-2000 MPa and 0-6 mol/kg (target: well under a second), and
  `tessarin.whichphase` with m on the whichphase points with molalities
  scattered over 0-6 mol/kg, beside whichphase without m; both with the
  worker threads the environment gives and, for freezing_temperature, on
  one thread.

The two sides of the ratio are timed in alternating rounds, so that load
from elsewhere on the machine affects both alike; every figure is the lower
quartile of its rounds. phase_line runs in a child process with
RAYON_NUM_THREADS=1 (the pool is sized once per process).
"""
from __future__ import annotations

import argparse
import os
import subprocess
import sys
import time
from typing import Callable, List

import numpy as np

PHASES = ["water1", "Ih", "II", "III", "V", "VI", "VII_X_French"]
LINES = [("Ih", 240.0, 273.2), ("VI", 239.0, 400.0)]  # ice, T range against the liquid


def quartile(times: List[float]) -> float:
    return float(np.percentile(times, 25))


def alternate(fns: List[Callable[[], object]], rounds: int) -> List[float]:
    times: List[List[float]] = [[] for _ in fns]
    for fn in fns:
        fn()
    for _ in range(rounds):
        for i, fn in enumerate(fns):
            start = time.perf_counter()
            fn()
            times[i].append(time.perf_counter() - start)
    return [quartile(t) for t in times]


def bench_whichphase(rounds: int) -> None:
    import tessarin
    import tessarin_rs as ts

    rng = np.random.default_rng(0)
    n = 1_000_000
    P, T = rng.uniform(0.0, 2500.0, n), rng.uniform(150.0, 400.0, n)

    def core() -> None:
        for phase in PHASES:
            ts.sf_eval_raw(phase, P, T, 0, 0, False)

    which, seven = alternate([lambda: tessarin.whichphase(P=P, T=T), core], rounds)
    print(f"whichphase, 1e6 scattered points: {which * 1e3:8.1f} ms; G of the seven phases "
          f"with the core: {seven * 1e3:8.1f} ms; ratio {which / seven:.2f} (target <= 1.3)")


def bench_lines(rounds: int) -> None:
    import tessarin

    for ice, t0, t1 in LINES:
        T = np.linspace(t0, t1, 1000)
        (dt,) = alternate([lambda: tessarin.phase_line(ice, "water1", T=T)], rounds)
        print(f"phase_line({ice!r}, 'water1'), 1000 temperatures {t0:g}-{t1:g} K, one thread: "
              f"{dt * 1e3:6.2f} ms (target <= 20)")


def bench_freezing(rounds: int, threads: str) -> None:
    import tessarin

    rng = np.random.default_rng(1)
    P, m = rng.uniform(0.0, 2000.0, 10_000), rng.uniform(0.0, 6.0, 10_000)
    (dt,) = alternate([lambda: tessarin.freezing_temperature(P=P, m=m)], rounds)
    print(f"freezing_temperature, 1e4 scattered points, {threads}: {dt * 1e3:7.1f} ms "
          f"(target: well under 1000)")


def bench_brine_whichphase(rounds: int) -> None:
    import tessarin

    rng = np.random.default_rng(0)
    n = 1_000_000
    P, T = rng.uniform(0.0, 2500.0, n), rng.uniform(150.0, 400.0, n)
    m = rng.uniform(0.0, 6.0, n)
    brine, pure = alternate([lambda: tessarin.whichphase(P=P, T=T, m=m),
                             lambda: tessarin.whichphase(P=P, T=T)], rounds)
    print(f"whichphase with m, 1e6 scattered points: {brine * 1e3:8.1f} ms; without m: "
          f"{pure * 1e3:8.1f} ms")


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--rounds", type=int, default=9, help="alternating rounds (default: 9)")
    ap.add_argument("--threads", type=int, default=None,
                    help="worker threads for whichphase (RAYON_NUM_THREADS; default: as the "
                         "environment says)")
    ap.add_argument("--lines-only", action="store_true", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.lines_only:
        bench_lines(args.rounds * 5)
        bench_freezing(args.rounds, "one thread")
        return
    if args.threads is not None:  # read when the first parallel call creates the pool
        os.environ["RAYON_NUM_THREADS"] = str(args.threads)
    print(f"Python {sys.version.split()[0]}, NumPy {np.__version__}, "
          f"RAYON_NUM_THREADS={os.environ.get('RAYON_NUM_THREADS')}")
    bench_whichphase(args.rounds)
    bench_brine_whichphase(args.rounds)
    bench_freezing(args.rounds, "all threads")
    env = dict(os.environ, RAYON_NUM_THREADS="1")
    subprocess.run([sys.executable, __file__, "--lines-only", "--rounds", str(args.rounds)],
                   env=env, check=True)


if __name__ == "__main__":
    main()
