#!/usr/bin/env python3
"""Build data/seafreeze_nacl.bin from the published SeaFreeze NaCl(aq) splines.

The three Gibbs-energy splines of aqueous NaCl come from the SeaFreeze
distribution (GPL-3.0) as MATLAB files. Get them as data only, for example

    pip download seafreeze==1.1.3 --no-deps -d /tmp/sf
    cd /tmp/sf && unzip seafreeze-1.1.3-py3-none-any.whl 'seafreeze/splines/NaCl_aq_*' \\
        -x '*_full.mat'
    python3 tools/build_nacl_container.py /tmp/sf/seafreeze/splines

The 2026 low- and high-pressure splines are MATLAB v5 files (read with
scipy.io.loadmat); the Brown 2024 spline is v7.3, i.e. HDF5 (read with h5py,
as for the pure phases). The `_full.mat` files hold the fit data and are not
used. Before writing, the script checks the record table and the total length,
parses its own output again and compares every array with the source bit for
bit, and evaluates the re-parsed splines with scipy's NdBSpline at recorded
check points (`--print-checks` prints the values at those points from the
source arrays, for this script and the test suite).

Container layout (little-endian, no padding):
    "TNC1", u16 record count, then per record:
    u8 name length, name (UTF-8), u8 order P, u8 order T, u8 order m,
    u32 knot counts P, T, m, u32 coefficient counts P, T, m,
    f64 solute molar mass (kg/mol), f64 ions per formula unit,
    f64 knots P (MPa), f64 knots T (K), f64 knots m (mol/kg),
    f64 coefficients (index along m fastest, then T, then P).
Each spline gives the Gibbs energy of the solution in J per kg of solution.
"""

from __future__ import annotations

import struct
import sys
from pathlib import Path

import numpy as np

from build_spline_container import argument_parser, read_spline, write_container

MAGIC = b"TNC1"
TOTAL_LENGTH = 308_020
HEADER = "<BBBIIIIIIdd"  # orders, knot counts, coefficient counts, M_s, nu

# Material name, source file stem, solute molar mass (kg/mol). All are NaCl,
# two ions per formula unit; the Brown 2024 file states M_s to four digits.
MATERIALS = [
    ("NaClaq_LP", "NaCl_aq_LP_2026", 0.058443),
    ("NaClaq_HP", "NaCl_aq_HP_2026", 0.058443),
    ("NaClaq_5GPa_2024", "NaCl_aq_Brown2024", 0.05844),
]
NU = 2.0

# name: (offset, bytes, orders, knot counts, coefficient counts)
EXPECTED_RECORDS = {
    "NaClaq_LP": (6, 130_789, (6, 6, 4), (32, 31, 29), (26, 25, 25)),
    "NaClaq_HP": (130_795, 33_589, (6, 6, 4), (31, 21, 15), (25, 15, 11)),
    "NaClaq_5GPa_2024": (164_384, 143_636, (6, 6, 5), (40, 31, 26), (34, 25, 21)),
}

# (P, T, m) derivative orders recorded at the check points: g, g_P, g_T, g_m,
# g_PP, g_TT, g_PT, g_PPP, g_Pm, g_TTm.
DERIVS = [(0, 0, 0), (1, 0, 0), (0, 1, 0), (0, 0, 1), (2, 0, 0), (0, 2, 0), (1, 1, 0),
          (3, 0, 0), (1, 0, 1), (0, 2, 1)]
CHECK_POINTS = {
    "NaClaq_LP": [(0.1, 298.15, 1.0), (350.0, 420.0, 4.5)],
    "NaClaq_HP": [(800.0, 600.0, 2.0), (5000.0, 1500.0, 6.0)],
    "NaClaq_5GPa_2024": [(0.1, 298.15, 1.0), (3000.0, 450.0, 3.0)],
}
# name: one row of DERIVS values per check point, from the source arrays.
CHECK_VALUES = {
    "NaClaq_LP": [
        (-10573.006172090483, 965.0234904173416, -476.70226681598297, -1385.8907072852114,
         -0.39116591335598866, -13.120718272777749, 0.3119573994247706, 0.0010611174250028518,
         -35.340799271388754, 0.7568672140411833),
        (151551.66345537562, 845.1790790578364, -1655.6002487127514, -4116.864114364382,
         -0.17323165845184776, -7.540460509938268, 0.4151226654670529, 0.0002493991966174187,
         -18.239152442053943, 0.22143244455366531),
    ],
    "NaClaq_HP": [
        (180781.84980628465, 898.1428302754047, -2657.594487916961, -23978.112255621305,
         -0.1662874013611014, -5.5514859685485725, 0.4107833425523449, 0.00021489247269926423,
         -23.284746625089536, 0.2170304829369285),
        (24675.101569793056, 694.5474744644621, -4351.438935433975, -12710.473119180446,
         -0.036347975883771914, -1.7430117753880676, 0.0855613407789046, 9.74969544725785e-06,
         -11.212728168972372, 0.06755537860871116),
    ],
    "NaClaq_5GPa_2024": [
        (-10582.86722397571, 964.9385359577207, -476.52079365668544, -1376.5058467771441,
         -0.39127712116786934, -13.120322137698372, 0.3062605533576038, 0.0011992939602399357,
         -35.20340303388689, 0.7544652954212753),
        (2108943.4950579097, 677.9026380887412, -1221.9919446408246, -48831.878015755516,
         -0.038158375288301315, -7.225571757530635, 0.15600089867522454,
         1.2531145751598324e-05, -11.844320779187095, 0.2638633016674721),
    ],
}
# Relative agreement expected between NdBSpline on the source arrays and on
# the re-parsed container, and with the values above: the same arithmetic on
# the same numbers, so anything beyond rounding means a wrong axis order,
# knot vector or coefficient.
CHECK_RTOL = 1e-10


def read_v5(path: Path):
    """Orders, knots (P, T, m), coefficients and the file's (MW, nu) of a
    MATLAB v5 spline."""
    from scipy.io import loadmat

    sp = loadmat(path, squeeze_me=True, struct_as_record=False)["sp"]
    if str(sp.form) != "B-":
        raise SystemExit(f"{path}: not a B-form spline ({sp.form!r})")
    orders = [int(v) for v in np.atleast_1d(sp.order)]
    knots = [np.asarray(k, dtype="<f8").ravel() for k in sp.knots]
    coefs = np.asarray(sp.coefs, dtype="<f8")
    if len(orders) != 3 or len(knots) != 3 or coefs.shape != tuple(int(v) for v in sp.number):
        raise SystemExit(f"{path}: unexpected layout, orders {orders}, coefs {coefs.shape}")
    return orders, knots, coefs, (float(sp.MW), float(sp.nu))


def read_v73(path: Path):
    """The same for a MATLAB v7.3 (HDF5) spline; its MW lists water, then salt."""
    import h5py

    orders, knots, coefs = read_spline(path, dims=3)
    with h5py.File(path, "r") as h:
        mw = np.asarray(h["sp"]["MW"]).ravel()
        nu = float(np.asarray(h["sp"]["nu"]).ravel()[0])
    return orders, knots, coefs, (float(mw[-1]), nu)


def read_source(splines_dir: Path, stem: str):
    import h5py

    path = splines_dir / stem / f"{stem}.mat"
    return read_v73(path) if h5py.is_hdf5(path) else read_v5(path)


def encode_record(name: str, orders, knots, coefs, molar_mass: float) -> bytes:
    name_b = name.encode("utf-8")
    out = bytearray(struct.pack("<B", len(name_b)) + name_b)
    out += struct.pack(HEADER, *orders, *(len(k) for k in knots), *coefs.shape, molar_mass, NU)
    for k in knots:
        out += k.astype("<f8").tobytes()
    out += np.ascontiguousarray(coefs, dtype="<f8").tobytes(order="C")  # m index fastest
    return bytes(out)


def read_container(data: bytes):
    """{name: dict(offset, size, orders, knots, coefs, molar_mass, nu)} of a
    container, and the offset where the records end."""
    if data[:4] != MAGIC:
        raise ValueError("not a NaCl(aq) spline container")
    (count,) = struct.unpack_from("<H", data, 4)
    pos, out = 6, {}
    for _ in range(count):
        start = pos
        name = data[pos + 1:pos + 1 + data[pos]].decode("utf-8")
        pos += 1 + data[pos]
        head = struct.unpack_from(HEADER, data, pos)
        pos += struct.calcsize(HEADER)
        orders, nknots, ncoefs = head[0:3], head[3:6], head[6:9]
        knots = []
        for n in nknots:
            # Copied out: the arrays start at arbitrary byte offsets.
            knots.append(np.frombuffer(data, "<f8", n, pos).astype(np.float64))
            pos += 8 * n
        size = int(np.prod(ncoefs))
        coefs = np.frombuffer(data, "<f8", size, pos).astype(np.float64).reshape(ncoefs)
        pos += 8 * size
        out[name] = dict(offset=start, size=pos - start, orders=tuple(orders), knots=knots,
                         coefs=coefs, molar_mass=head[9], nu=head[10])
    return out, pos


def ndspline(orders, knots, coefs):
    from scipy.interpolate import NdBSpline

    return NdBSpline(tuple(knots), coefs, tuple(k - 1 for k in orders))


def check_values(orders, knots, coefs, points):
    """DERIVS at each of `points`, one row per point."""
    nd = ndspline(orders, knots, coefs)
    xi = np.asarray(points, dtype=np.float64)
    return [tuple(float(v) for v in row) for row in
            np.column_stack([nd(xi, nu=d) for d in DERIVS])]


def agree(got, want) -> bool:
    got, want = np.asarray(got), np.asarray(want)
    return bool(np.all(np.abs(got - want) <= CHECK_RTOL * np.maximum(np.abs(want), 1e-300)))


def build(splines_dir: Path) -> bytes:
    sources = {}
    out = bytearray(MAGIC + struct.pack("<H", len(MATERIALS)))
    for name, stem, molar_mass in MATERIALS:
        orders, knots, coefs, (mw, nu) = read_source(splines_dir, stem)
        if abs(mw - molar_mass) > 1e-12 or nu != NU:
            raise SystemExit(f"{name}: the file states MW {mw}, nu {nu}")
        record = encode_record(name, orders, knots, coefs, molar_mass)
        got = (len(out), len(record), tuple(orders), tuple(len(k) for k in knots), coefs.shape)
        if got != EXPECTED_RECORDS[name]:
            raise SystemExit(f"{name}: record table mismatch: got {got}, "
                             f"expected {EXPECTED_RECORDS[name]}")
        sources[name] = (orders, knots, coefs, molar_mass)
        out += record
    if len(out) != TOTAL_LENGTH:
        raise SystemExit(f"container is {len(out)} bytes, expected {TOTAL_LENGTH}")
    verify(bytes(out), sources)
    return bytes(out)


def verify(data: bytes, sources) -> None:
    """Parses the container back and compares it with the source arrays and
    the recorded check values."""
    parsed, end = read_container(data)
    if end != len(data) or list(parsed) != [m[0] for m in MATERIALS]:
        raise SystemExit("re-parse: records do not cover the container")
    for name, (orders, knots, coefs, molar_mass) in sources.items():
        rec = parsed[name]
        same = (rec["orders"] == tuple(orders) and rec["molar_mass"] == molar_mass
                and rec["nu"] == NU and np.array_equal(rec["coefs"], coefs)
                and all(np.array_equal(a, b) for a, b in zip(rec["knots"], knots)))
        if not same:
            raise SystemExit(f"{name}: re-parsed record differs from the source")
        # Knot vectors must be clamped (order-fold end knots) and non-decreasing.
        for k, kn in zip(orders, knots):
            if np.any(np.diff(kn) < 0) or np.ptp(kn[:k]) or np.ptp(kn[-k:]):
                raise SystemExit(f"{name}: knot vector is not clamped and non-decreasing")
        points = CHECK_POINTS[name]
        from_source = check_values(orders, knots, coefs, points)
        from_container = check_values(rec["orders"], rec["knots"], rec["coefs"], points)
        if not agree(from_container, from_source) or not agree(from_container,
                                                               CHECK_VALUES[name]):
            raise SystemExit(f"{name}: check values differ: {from_container!r}")


def main(argv=None) -> int:
    ap = argument_parser(__doc__, "seafreeze_nacl.bin")
    ap.add_argument("--print-checks", action="store_true",
                    help="print the check values of the source arrays and stop")
    args = ap.parse_args(argv)
    if args.print_checks:
        for name, stem, _ in MATERIALS:
            orders, knots, coefs, _ = read_source(args.splines_dir, stem)
            print(f"{name!r}: {check_values(orders, knots, coefs, CHECK_POINTS[name])!r},")
        return 0
    write_container(args.output, build(args.splines_dir), f"{len(MATERIALS)} materials")
    return 0

if __name__ == "__main__":
    sys.exit(main())
