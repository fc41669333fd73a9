#!/usr/bin/env python3
"""Build data/seafreeze_splines.bin from the published SeaFreeze spline data.

The eight Gibbs-energy splines come from the SeaFreeze distribution
(Journaux et al. 2020, GPL-3.0) as MATLAB v7.3 files, which are HDF5. Get them
as data only, for example

    pip download seafreeze==1.1.3 --no-deps -d /tmp/sf
    cd /tmp/sf && unzip seafreeze-1.1.3-py3-none-any.whl 'seafreeze/splines/*'
    python3 tools/build_spline_container.py /tmp/sf/seafreeze/splines

Only the .mat files are read (with h5py). The script checks every record's
offset and size, the first interior knots, the first and last coefficient and
the total length before it writes the container, so a wrong file or a
transposed coefficient matrix cannot slip through.

Container layout (little-endian, no padding):
    "TSF1", u16 record count, then per record:
    u8 name length, name (UTF-8), u8 order_p, u8 order_t,
    u32 knot count P, u32 knot count T, u32 coef count P, u32 coef count T,
    u8 shear flag, f64 knots P, f64 knots T, f64 coefficients (T index
    fastest), and six f64 shear-modulus parameters when the flag is 1.
"""

from __future__ import annotations

import argparse
import struct
import sys
from pathlib import Path

import numpy as np

MAGIC = b"TSF1"
TOTAL_LENGTH = 1_239_119

# Phase name, source file stem, shear-modulus parameters s0..s5 (or None).
PHASES = [
    ("water1", "water_Bollengier", None),
    ("water_IAPWS95", "water_IAPWS95", None),
    ("Ih", "ice_Ih", (3.04, -0.00462, 0.0, -0.00607, 1000.0, 273.15)),
    ("II", "ice_II", (4.1, 0.0175, 0.0, -0.014, 1100.0, 273.0)),
    ("III", "ice_III", (2.57, 0.0175, 0.0, -0.014, 1100.0, 273.0)),
    ("V", "ice_V", (2.57, 0.0175, 0.0, -0.014, 1100.0, 273.0)),
    ("VI", "ice_VI", (2.57, 0.0175, 0.0, -0.014, 1100.0, 273.0)),
    ("VII_X_French", "ice_VII_X_French", (10.0, 0.0033, 4.8e-05, -0.014, 1300.0, 273.0)),
]

# name: (offset, bytes, kP, kT, mP, mT, cP, cT)
EXPECTED_RECORDS = {
    "water1": (6, 26_682, 6, 6, 86, 46, 80, 40),
    "water_IAPWS95": (26_688, 1_147_897, 6, 6, 432, 341, 426, 335),
    "Ih": (1_174_585, 5_086, 6, 6, 16, 61, 10, 55),
    "II": (1_179_671, 3_238, 6, 6, 16, 40, 10, 34),
    "III": (1_182_909, 3_239, 6, 6, 16, 40, 10, 34),
    "V": (1_186_148, 19_517, 6, 8, 36, 85, 30, 77),
    "VI": (1_205_665, 13_278, 6, 8, 26, 85, 20, 77),
    "VII_X_French": (1_218_943, 20_176, 6, 6, 66, 46, 60, 40),
}

# name: (knots_p[kP], knots_t[kT], first coefficient, last coefficient),
# compared bit for bit.
EXPECTED_CHECKS = {
    "water1": (15.0, 253.0931824737247, -9719.017623398282, 1725533.8872306305),
    "water_IAPWS95": (5.667908569870076, 187.3949100615331, -108198.74606784507,
                      -58456672.00828794),
    "Ih": (133.33333333333331, 7.0, -628801.4053459661, 459461.225823868),
    "II": (300.0, 6.0, -625680.2893062572, 801021.3361691341),
    "III": (166.66666666666669, 6.0, -578372.9576948105, 469790.5919367225),
    "V": (103.44827586206898, 8.0, -556249.077928369, 890010.4020934952),
    "VI": (473.6842105263158, 8.0, -537790.3506799458, 2381333.7195545523),
    "VII_X_French": (11868.965517241379, 48.421052631578945, 832759.3013080761,
                     239322703.7268515),
}

# The range ends of the knot vectors: (first P, last P, first T, last T).
EXPECTED_RANGES = {
    "water1": (0.0, 2300.5999999999995, 238.99999999999991, 501.0000000000002),
    "water_IAPWS95": (0.1, 299554.3068039695, 179.99999999999997, 19992.81376449084),
    "Ih": (0.0, 400.0, 1.0, 300.99999999999983),
    "II": (0.0, 900.0, 0.0, 270.00000000000006),
    "III": (0.0, 500.0, 0.0, 270.00000000000006),
    "V": (0.0, 1000.0, 0.0, 300.0000000000001),
    "VI": (0.0, 3000.0, 0.0, 400.0000000000001),
    "VII_X_French": (1700.0, 1000000.0, 20.0, 1800.0),
}


def read_spline(path: Path, dims: int = 2):
    """Knot vectors, orders and the coefficient array of a MATLAB v7.3 spline
    over `dims` variables (axes in the order of the knot vectors: P, T, ...)."""
    import h5py

    with h5py.File(path, "r") as h:
        sp = h["sp"]
        form = bytes(np.asarray(sp["form"]).ravel().astype(np.uint8))
        if form != b"B-":
            raise SystemExit(f"{path}: not a B-form spline ({form!r})")
        orders = [int(v) for v in np.asarray(sp["order"]).ravel()]
        numbers = [int(v) for v in np.asarray(sp["number"]).ravel()]
        knots = [np.asarray(h[ref], dtype="<f8").ravel() for ref in np.asarray(sp["knots"]).ravel()]
        # MATLAB stores column-major, so HDF5 sees the axes in reverse order.
        coefs = np.asarray(sp["coefs"], dtype="<f8").T
    if len(orders) != dims or len(knots) != dims or coefs.shape != tuple(numbers):
        raise SystemExit(f"{path}: unexpected layout, orders {orders}, "
                         f"numbers {numbers}, coefs {coefs.shape}")
    return orders, knots, np.ascontiguousarray(coefs)


def encode_record(name: str, orders, knots, coefs, shear) -> bytes:
    kp, kt = orders
    kn_p, kn_t = knots
    cp, ct = coefs.shape
    name_b = name.encode("utf-8")
    out = bytearray()
    out += struct.pack("<B", len(name_b)) + name_b
    out += struct.pack("<BBIIIIB", kp, kt, len(kn_p), len(kn_t), cp, ct, 1 if shear else 0)
    out += kn_p.astype("<f8").tobytes()
    out += kn_t.astype("<f8").tobytes()
    out += coefs.astype("<f8").tobytes(order="C")  # T index fastest
    if shear:
        out += struct.pack("<6d", *shear)
    return bytes(out)


def check_record(name, offset, record, orders, knots, coefs):
    kp, kt = orders
    kn_p, kn_t = knots
    cp, ct = coefs.shape
    got = (offset, len(record), kp, kt, len(kn_p), len(kn_t), cp, ct)
    if got != EXPECTED_RECORDS[name]:
        raise SystemExit(f"{name}: record table mismatch: got {got}, "
                         f"expected {EXPECTED_RECORDS[name]}")
    checks = (float(kn_p[kp]), float(kn_t[kt]), float(coefs[0, 0]), float(coefs[-1, -1]))
    if checks != EXPECTED_CHECKS[name]:
        raise SystemExit(f"{name}: check values mismatch: got {checks!r}, "
                         f"expected {EXPECTED_CHECKS[name]!r}")
    ranges = (float(kn_p[0]), float(kn_p[-1]), float(kn_t[0]), float(kn_t[-1]))
    if ranges != EXPECTED_RANGES[name]:
        raise SystemExit(f"{name}: knot ranges mismatch: got {ranges!r}")


def build(splines_dir: Path) -> bytes:
    out = bytearray(MAGIC + struct.pack("<H", len(PHASES)))
    for name, stem, shear in PHASES:
        orders, knots, coefs = read_spline(splines_dir / stem / f"{stem}.mat")
        record = encode_record(name, orders, knots, coefs, shear)
        check_record(name, len(out), record, orders, knots, coefs)
        out += record
    if len(out) != TOTAL_LENGTH:
        raise SystemExit(f"container is {len(out)} bytes, expected {TOTAL_LENGTH}")
    return bytes(out)


def argument_parser(doc: str, container: str) -> argparse.ArgumentParser:
    """Command line of a container tool: the splines folder, and the output
    (default data/<container>)."""
    here = Path(__file__).resolve().parent.parent
    ap = argparse.ArgumentParser(description=doc.splitlines()[0])
    ap.add_argument("splines_dir", type=Path,
                    help="the seafreeze/splines folder of the unpacked SeaFreeze wheel")
    ap.add_argument("-o", "--output", type=Path, default=here / "data" / container)
    return ap


def write_container(path: Path, data: bytes, contents: str) -> None:
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(data)
    print(f"wrote {path} ({len(data)} bytes, {contents})")


def main(argv=None) -> int:
    args = argument_parser(__doc__, "seafreeze_splines.bin").parse_args(argv)
    write_container(args.output, build(args.splines_dir), f"{len(PHASES)} phases")
    return 0


if __name__ == "__main__":
    sys.exit(main())
