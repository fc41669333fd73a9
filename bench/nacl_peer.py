"""Aqueous NaCl properties against scipy's NdBSpline (not a test).

    PYTHONPATH=<build folder> python bench/nacl_peer.py [--n 1000000] [--material NaClaq_LP]

Draws n scattered (P, T, m) points inside the material's knot range and
times, in one run:
  compiled   tessarin._native.nacl_properties: all 29 outputs, on the worker
             pool (RAYON_NUM_THREADS threads, default all CPUs)
  NdBSpline  scipy.interpolate.NdBSpline on the same knots and coefficients
             (read from data/seafreeze_nacl.bin), one vectorised call per
             derivative the outputs need: g, g_P, g_T, g_m, g_PP, g_TT, g_PT,
             g_PPP, g_Pm, g_TTm at m and g, g_P, g_TT, g_m, g_Pm, g_TTm at the
             baseline molality; no properties formed from them
and prints points per second of both and their ratio, after checking that
both give the same Gibbs energy and density.
"""
import argparse
import sys
import time
from pathlib import Path

import numpy as np
from scipy.interpolate import NdBSpline

from run import best_rate, human

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tools"))
from build_nacl_container import read_container  # noqa: E402

BASELINE = 2e-4  # mol/kg
AT_M = [(0, 0, 0), (1, 0, 0), (0, 1, 0), (0, 0, 1), (2, 0, 0), (0, 2, 0), (1, 1, 0),
        (3, 0, 0), (1, 0, 1), (0, 2, 1)]
AT_BASELINE = [(0, 0, 0), (1, 0, 0), (0, 2, 0), (0, 0, 1), (1, 0, 1), (0, 2, 1)]


def scipy_route(rec):
    nd = NdBSpline(tuple(rec["knots"]), rec["coefs"], tuple(k - 1 for k in rec["orders"]))

    def run(p, t, m):
        x = np.column_stack([p, t, m])
        xc = np.column_stack([p, t, np.full_like(m, BASELINE)])
        return ([nd(x, nu=d) for d in AT_M], [nd(xc, nu=d) for d in AT_BASELINE])
    return run


def main():
    from tessarin import _native

    ap = argparse.ArgumentParser()
    ap.add_argument("--n", type=int, default=1_000_000)
    ap.add_argument("--material", default="NaClaq_LP",
                    choices=["NaClaq_LP", "NaClaq_HP", "NaClaq_5GPa_2024"])
    args = ap.parse_args()
    rec = read_container((ROOT / "data" / "seafreeze_nacl.bin").read_bytes())[0][args.material]
    rng = np.random.default_rng(0)
    p, t, m = (rng.uniform(k[0], k[-1], args.n) for k in rec["knots"])

    compiled = lambda: _native.nacl_properties(args.material, p, t, m, False)  # noqa: E731
    peer = scipy_route(rec)
    # Same spline: Gibbs energy and density agree to rounding.
    got, (want, _) = compiled(), peer(p[:1000], t[:1000], m[:1000])
    assert np.allclose(got["G"][:1000], want[0], rtol=1e-12, atol=1e-9)
    assert np.allclose(got["rho"][:1000], 1e6 / want[1], rtol=1e-12)

    fast = best_rate(compiled, args.n)
    start = time.perf_counter()
    peer(p, t, m)  # one round: it takes tens of seconds at n = 1e6
    slow = args.n / (time.perf_counter() - start)
    print(f"{args.material}, n = {args.n} scattered points, points per second")
    print(f"  compiled (29 outputs)        {human(fast):>10}")
    print(f"  NdBSpline (16 derivatives)   {human(slow):>10}")
    print(f"  ratio                        {fast / slow:>10.1f}x")


if __name__ == "__main__":
    main()
