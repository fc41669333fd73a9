"""The output-bits record: a fixed set of calls covering all seventeen
functions of tessarin_rs, and one hash per output array.

The record (output_bits.json beside this file) holds the hashes together with
what the bits may legitimately depend on besides the code: the compiler, the C
library (its exp, log and pow) and the processor's vector features (which pick
the library's variants and the width of the Duska kernel). test_output_bits
compares today's module with it; tools/record_bits.py writes it.

The inputs are generated here from fixed seeds with splitmix64, so they do not
depend on NumPy's random generators either.
"""
import hashlib
import json
import struct
from pathlib import Path

import numpy as np

from support import CRIT, PHASES

RECORD = Path(__file__).with_name("output_bits.json")
CONTAINER = Path(__file__).resolve().parents[1] / "data" / "seafreeze_splines.bin"

MODEL_POINTS = 100_000
MODELS = ["compute_batch_caupin", "compute_batch_caupin_kim", "compute_batch_holten",
          "compute_batch_duska", "compute_batch_shi_tanaka"]
BOUNDARY_MODELS = CRIT  # name: liquid-liquid critical point (K, MPa)

# NaN, infinities, signed zeros, subnormals, the smallest normal, huge values.
SPECIALS = np.array([np.nan, np.inf, -np.inf, 0.0, -0.0, 5e-324, -5e-324, 1e-310,
                     2.2250738585072014e-308, 1e308, -1e308, 1.0, -1.0])


def splitmix64(seed, n):
    """n pseudo-random 64-bit words of the splitmix64 sequence from `seed`."""
    with np.errstate(over="ignore"):
        x = (np.uint64(seed) + np.arange(1, n + 1, dtype=np.uint64)
             * np.uint64(0x9E3779B97F4A7C15))
        x = (x ^ (x >> np.uint64(30))) * np.uint64(0xBF58476D1CE4E5B9)
        x = (x ^ (x >> np.uint64(27))) * np.uint64(0x94D049BB133111EB)
        return x ^ (x >> np.uint64(31))


def uniform(seed, n, lo, hi):
    u = (splitmix64(seed, n) >> np.uint64(11)).astype(np.float64) * 2.0**-53
    return lo + (hi - lo) * u


def pick(seed, n, values):
    values = np.asarray(values, dtype=np.float64)
    return values[splitmix64(seed, n) % np.uint64(len(values))]


def sprinkle(seed, x, values, every):
    """x with one entry in about `every` replaced by a pick from `values`."""
    x = x.copy()
    where = splitmix64(seed, len(x)) % np.uint64(every) == 0
    x[where] = pick(seed + 1, int(where.sum()), values)
    return x


def model_inputs(seed):
    """MODEL_POINTS points (T K, P MPa): the liquid range, far outside it
    (temperatures to 10^4 K, pressures from -10^4 to 10^5 MPa, below each
    model's spinodal and the -300 MPa edge of Holten's background), and
    special values in either coordinate."""
    n = MODEL_POINTS
    q = n // 4
    t = np.concatenate([uniform(seed, q, 180.0, 380.0), uniform(seed + 1, q, 120.0, 1000.0),
                        uniform(seed + 2, q, 0.0, 10_000.0), uniform(seed + 3, n - 3 * q, -50.0, 700.0)])
    p = np.concatenate([uniform(seed + 4, q, -200.0, 400.0), uniform(seed + 5, q, -600.0, 3000.0),
                        uniform(seed + 6, q, -1e4, 1e5), uniform(seed + 7, n - 3 * q, -320.0, -280.0)])
    t = sprinkle(seed + 8, t, SPECIALS, 40)
    p = sprinkle(seed + 10, p, np.concatenate([SPECIALS, [-300.0, -462.0, 22.064]]), 40)
    return t, p


def boundary_cases(model):
    """(p_arr, t_llcp, p_llcp) for the spinodal: a spread of pressures about
    the critical one with specials mixed in, the empty list, critical points
    that are not numbers or huge, and one that is off by a few kelvin."""
    t0, p0 = BOUNDARY_MODELS[model]
    spread = p0 + np.concatenate([np.linspace(-120.0, 400.0, 27), [np.nan, np.inf, -np.inf, 0.0]])
    return [
        (spread, t0, p0),
        (np.array([]), t0, p0),
        (p0 + np.array([5.0, 60.0]), np.nan, p0),
        (p0 + np.array([5.0]), 1e12, p0),
        (p0 + np.array([10.0, 40.0, 90.0]), t0 + 3.0, p0),
        (p0 + np.array([10.0, 40.0, 90.0]), t0 - 15.0, p0 - 30.0),
    ]


def axis_points(seed, knots, n_inside):
    """Points along one spline axis: inside the knot range, on knots and next
    to them, outside the range on both sides, and special values."""
    lo, hi = knots[0], knots[-1]
    on = knots[splitmix64(seed, 6) % np.uint64(len(knots))]
    width = hi - lo
    return np.concatenate([
        uniform(seed + 1, n_inside, lo, hi), on, np.nextafter(on, -np.inf), np.nextafter(on, np.inf),
        [lo - 0.3 * width, lo - 1e-9 * width, hi + 1e-9 * width, hi + 0.5 * width, hi + 3 * width],
        SPECIALS])


def digest(a):
    return hashlib.sha256(np.ascontiguousarray(a).tobytes()).hexdigest()[:16]


def add_dict(out, prefix, d):
    for key, v in d.items():
        out[f"{prefix}:{key}"] = digest(v)


def compute(m):
    """{output name: hash} for every output of the fixed calls on module m."""
    out = {}
    for i, name in enumerate(MODELS):
        t, p = model_inputs(1000 * (i + 1))
        add_dict(out, name, getattr(m, name)(t, p))

    for model in BOUNDARY_MODELS:
        spin = getattr(m, f"compute_spinodal_{model}")
        bino = getattr(m, f"compute_binodal_{model}")
        for j, (p_arr, t0, p0) in enumerate(boundary_cases(model)):
            s = spin(np.ascontiguousarray(p_arr, dtype=np.float64), t0, p0)
            add_dict(out, f"compute_spinodal_{model}/{j}", s)
            b = bino(s["p_array"], s["T_upper"], s["T_lower"], t0, p0)
            add_dict(out, f"compute_binodal_{model}/{j}", b)
        # Branches that are not a spinodal: swapped, narrow, NaN, specials.
        s = spin(BOUNDARY_MODELS[model][1] + np.linspace(5.0, 200.0, 9), *BOUNDARY_MODELS[model])
        n = len(s["p_array"])
        su, sl = s["T_upper"], s["T_lower"]
        mid = (su + sl) / 2
        sp = np.concatenate([s["p_array"]] * 4)
        tu = np.concatenate([sl, mid + 1e-4, su + pick(7, n, SPECIALS), su])
        tl = np.concatenate([su, mid - 1e-4, sl, sl - pick(8, n, [0.0, 1.0, 50.0, np.nan])])
        add_dict(out, f"compute_binodal_{model}/odd",
                 bino(sp, tu, tl, *BOUNDARY_MODELS[model]))

    knots, orders = container_axes()
    for i, phase in enumerate(PHASES):
        seed = 50_000 * (i + 1)
        knots_p, knots_t = knots[phase]
        gp, gt = axis_points(seed, knots_p, 30), axis_points(seed + 100, knots_t, 30)
        add_dict(out, f"sf_getprop_grid/{phase}", m.sf_getprop_grid(phase, gp, gt))
        sp, st = axis_points(seed + 200, knots_p, 4000), axis_points(seed + 300, knots_t, 4000)
        n = min(len(sp), len(st))
        order = splitmix64(seed + 400, n).argsort(kind="stable")
        sp, st = sp[:n], st[order]
        add_dict(out, f"sf_getprop_scatter/{phase}", m.sf_getprop_scatter(phase, sp, st))
        # Every derivative order up to the spline's own (which gives zeros),
        # at matched points and on a grid: one hash for both.
        rp, rt = sp[::20].copy(), st[::20].copy()
        kp, kt = orders[phase]
        for dp in range(kp + 1):
            for dt in range(kt + 1):
                out[f"sf_eval_raw/{phase}/{dp},{dt}"] = digest(np.concatenate([
                    m.sf_eval_raw(phase, rp, rt, dp, dt, False),
                    m.sf_eval_raw(phase, gp[::4].copy(), gt[::4].copy(), dp, dt, True).ravel()]))
    out["sf_phases"] = digest(np.frombuffer("\n".join(sorted(m.sf_phases())).encode(), np.uint8))
    return out


def container_axes():
    """{phase: (P knots, T knots)} and {phase: (order in P, order in T)}, read
    from the source of the embedded container."""
    data = CONTAINER.read_bytes()
    (count,) = struct.unpack_from("<H", data, 4)
    pos, knots, orders = 6, {}, {}
    for _ in range(count):
        name_len = data[pos]
        name = data[pos + 1:pos + 1 + name_len].decode()
        pos += 1 + name_len
        kp, kt, mp, mt, cp, ct, shear = struct.unpack_from("<BBIIIIB", data, pos)
        pos += 19
        kn_p = np.frombuffer(data, "<f8", mp, pos).astype(np.float64)
        kn_t = np.frombuffer(data, "<f8", mt, pos + 8 * mp).astype(np.float64)
        knots[name] = (kn_p, kn_t)
        orders[name] = (kp, kt)
        pos += 8 * (mp + mt + cp * ct) + (48 if shear else 0)
    return knots, orders


def load():
    return json.loads(RECORD.read_text())


def environment():
    """What the bits may depend on besides the code, for this build and machine."""
    from tessarin import _native
    info = _native.build_info()
    return {k: info[k] for k in ("compiler", "libc", "cpu")}
