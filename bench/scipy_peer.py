"""scipy as the peer of the spline property functions (not a test).

    python bench/scipy_peer.py [--quick]

Evaluates the same Gibbs-energy splines with scipy's B-spline routines: the
knots and coefficients come straight out of the module's spline container
(read here with a small reader of its format), and every route computes the
seven derivatives the property functions use, (0,0) (1,0) (0,1) (2,0) (0,2)
(1,1) (3,0) in (P, T), vectorised over the points. `scipy_rate` returns the
points per second of the fastest route; the script prints all routes.

Scatter routes (n random points inside the knot range):
  NdBSpline     scipy.interpolate.NdBSpline, one call per derivative
  RBS.ev        RectBivariateSpline.ev (FITPACK, degrees <= 5 only)
Grid routes (an n_P x n_T grid inside the knot range, n_P = n_T = sqrt(n)):
  NdBSpline     NdBSpline at the grid cells, one call per derivative
  bisplev       FITPACK's grid evaluation (degrees <= 5 only)
  BSpline x2    separable: a vector-valued BSpline along T (the coefficient
                rows as its values) for T orders 0..2, then along P
"""
import argparse
import struct
from pathlib import Path

import numpy as np
import scipy
from scipy.interpolate import BSpline, NdBSpline, RectBivariateSpline

from run import best_rate, human

CONTAINER = Path(__file__).resolve().parents[1] / "data" / "seafreeze_splines.bin"
# (deriv_p, deriv_t) of G, Gp, Gt, Gpp, Gtt, Gpt, Gppp.
ORDERS = [(0, 0), (1, 0), (0, 1), (2, 0), (0, 2), (1, 1), (3, 0)]

_records = None


def read_container(path=CONTAINER):
    """{name: (order_p, order_t, knots_p, knots_t, coefs (cP, cT))}."""
    data = Path(path).read_bytes()
    if data[:4] != b"TSF1":
        raise ValueError(f"{path}: not a spline container")
    (count,) = struct.unpack_from("<H", data, 4)
    pos, out = 6, {}
    for _ in range(count):
        name_len = data[pos]
        name = data[pos + 1:pos + 1 + name_len].decode("utf-8")
        pos += 1 + name_len
        kp, kt, mp, mt, cp, ct, shear = struct.unpack_from("<BBIIIIB", data, pos)
        pos += 19
        # Copied out: the arrays start at arbitrary byte offsets.
        kn_p = np.frombuffer(data, "<f8", mp, pos).astype(np.float64)
        pos += 8 * mp
        kn_t = np.frombuffer(data, "<f8", mt, pos).astype(np.float64)
        pos += 8 * mt
        coefs = np.frombuffer(data, "<f8", cp * ct, pos).astype(np.float64).reshape(cp, ct)
        pos += 8 * cp * ct + (48 if shear else 0)
        out[name] = (kp, kt, kn_p, kn_t, coefs)
    return out


def spline(phase):
    global _records
    if _records is None:
        _records = read_container()
    return _records[phase]


def _fitpack_spline(kn_p, kn_t, coefs, kp, kt):
    """A RectBivariateSpline over given knots and coefficients (no fit)."""
    s = RectBivariateSpline.__new__(RectBivariateSpline)
    s.tck = (kn_p, kn_t, coefs.ravel())
    s.degrees = (kp - 1, kt - 1)
    return s


def routes(phase, grid):
    """{route name: fn(p, t) -> list of the seven derivative arrays}."""
    kp, kt, kn_p, kn_t, coefs = spline(phase)
    nd = NdBSpline((kn_p, kn_t), coefs, (kp - 1, kt - 1))
    fitpack = kp <= 6 and kt <= 6
    r = {}
    if not grid:
        def nd_scatter(p, t):
            xi = np.column_stack([p, t])
            return [nd(xi, nu=o) for o in ORDERS]
        r["NdBSpline"] = nd_scatter
        if fitpack:
            rbs = _fitpack_spline(kn_p, kn_t, coefs, kp, kt)
            r["RBS.ev"] = lambda p, t: [rbs.ev(p, t, dp, dt) for dp, dt in ORDERS]
        return r

    def nd_grid(p, t):
        pp, tt = np.meshgrid(p, t, indexing="ij")
        xi = np.stack([pp, tt], axis=-1)
        return [nd(xi, nu=o) for o in ORDERS]
    r["NdBSpline"] = nd_grid
    if fitpack:
        tck = (kn_p, kn_t, coefs.ravel(), kp - 1, kt - 1)
        r["bisplev"] = lambda p, t: [np.atleast_2d(scipy.interpolate.bisplev(p, t, tck, dp, dt))
                                     for dp, dt in ORDERS]
    along_t = BSpline(kn_t, coefs.T, kt - 1)

    def separable(p, t):
        # rows[dt][k, i]: basis row i reduced to the dt-th T derivative at t[k]
        rows = [along_t(t, nu=dt) for dt in range(3)]
        return [BSpline(kn_p, rows[dt].T, kp - 1)(p, nu=dp) for dp, dt in ORDERS]
    r["BSpline x2"] = separable
    return r


def points(phase, n, grid, seed=0):
    """n random points (or a sorted sqrt(n) x sqrt(n) grid) inside the knot range."""
    _, _, kn_p, kn_t, _ = spline(phase)
    rng = np.random.default_rng(seed)
    if grid:
        side = max(1, int(round(n ** 0.5)))
        return (np.sort(rng.uniform(kn_p[0], kn_p[-1], side)),
                np.sort(rng.uniform(kn_t[0], kn_t[-1], side)), side * side)
    return rng.uniform(kn_p[0], kn_p[-1], n), rng.uniform(kn_t[0], kn_t[-1], n), n


def scipy_rates(phase, n, grid=False, min_time=0.2, repeats=3):
    """{route: points per second} for the seven derivatives at n points."""
    p, t, count = points(phase, n, grid)
    return {name: best_rate(lambda fn=fn: fn(p, t), count, min_time, repeats)
            for name, fn in routes(phase, grid).items()}


def scipy_rate(phase, n, grid=False, min_time=0.2, repeats=3):
    """Points per second of the fastest scipy route: the seven derivatives at
    n random points inside the phase's knot range (grid=True: on a
    sqrt(n) x sqrt(n) grid, counted as its number of cells)."""
    return max(scipy_rates(phase, n, grid, min_time, repeats).values())


def fastest_route(phase, n, grid=False, **kw):
    rates = scipy_rates(phase, n, grid, **kw)
    name = max(rates, key=rates.get)
    return name, rates[name]


def agreement(phase, grid, n=400):
    """Largest difference between the routes, relative to the largest value
    of each derivative (a check that every route evaluates the same spline;
    the third P derivative is a small difference of large terms, so expect
    up to ~1e-10 there). None when there is only one route."""
    p, t, _ = points(phase, n, grid, seed=1)
    results = {name: fn(p, t) for name, fn in routes(phase, grid).items()}
    ref = results.pop("NdBSpline")
    if not results:
        return None
    worst = 0.0
    for other in results.values():
        for a, b in zip(ref, other):
            a, b = np.asarray(a).ravel(), np.asarray(b).ravel()
            worst = max(worst, float(np.max(np.abs(a - b)) / np.max(np.abs(a))))
    return worst


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true", help="skip n = 1e6")
    ap.add_argument("--phases", default="water1,VI")
    args = ap.parse_args()
    sizes = [1, 1_000, 100_000] + ([] if args.quick else [1_000_000])
    print(f"scipy {scipy.__version__}: seven derivatives per point, points per second")
    print(f"{'phase':<8}{'mode':<9}{'n':>9}  {'route':<12}{'rate /s':>10}")
    for phase in args.phases.split(","):
        for grid in (False, True):
            mode = "grid" if grid else "scatter"
            for n in sizes:
                rates = scipy_rates(phase, n, grid)
                best = max(rates, key=rates.get)
                for name, rate in rates.items():
                    mark = " *" if name == best else ""
                    print(f"{phase:<8}{mode:<9}{n:>9}  {name:<12}{human(rate):>10}{mark}")
            agree = agreement(phase, grid)
            if agree is not None:
                print(f"{phase:<8}{mode:<9}{'':>9}  routes agree to {agree:.1e}"
                      " of the largest value")
    print("* fastest route")


if __name__ == "__main__":
    main()
