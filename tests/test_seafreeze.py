"""SeaFreeze Gibbs splines: the embedded container, B-spline evaluation,
phase properties and the four sf_* entry points."""

import math
import os
import shutil
import struct
import subprocess
import sysconfig
from fractions import Fraction
from pathlib import Path

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import tessarin_rs as tr

ROOT = Path(__file__).resolve().parents[1]
CONTAINER = ROOT / "data" / "seafreeze_splines.bin"

PHASES = ["water1", "water_IAPWS95", "Ih", "II", "III", "V", "VI", "VII_X_French"]
KEYS14 = ["G", "V", "rho", "S", "H", "U", "A", "Cp", "Cv", "Kt", "Ks", "Kp", "alpha", "vel"]
KEYS17 = KEYS14 + ["shear", "Vp", "Vs"]
# (deriv_p, deriv_t) of G, Gp, Gt, Gpp, Gtt, Gpt, Gppp.
PROP_ORDERS = [(0, 0), (1, 0), (0, 1), (2, 0), (0, 2), (1, 1), (3, 0)]


def arr(*v):
    return np.array(v, dtype=np.float64)


# --------------------------------------------------------------------------
# An independent reader of the container, used to check its contents and as
# the source of knots and coefficients for the scipy cross-check.

def read_container(data):
    assert data[:4] == b"TSF1"
    (count,) = struct.unpack_from("<H", data, 4)
    pos, recs = 6, {}
    for _ in range(count):
        start = pos
        name_len = data[pos]
        name = data[pos + 1:pos + 1 + name_len].decode("utf-8")
        pos += 1 + name_len
        kp, kt, mp, mt, cp, ct, flag = struct.unpack_from("<BBIIIIB", data, pos)
        pos += 19
        # Copies: most arrays start at offsets that are not multiples of 8.
        kn_p = np.frombuffer(data, "<f8", mp, pos).astype(np.float64); pos += 8 * mp
        kn_t = np.frombuffer(data, "<f8", mt, pos).astype(np.float64); pos += 8 * mt
        coefs = np.frombuffer(data, "<f8", cp * ct, pos).astype(np.float64).reshape(cp, ct)
        pos += 8 * cp * ct
        shear = None
        if flag:
            shear = struct.unpack_from("<6d", data, pos); pos += 48
        recs[name] = dict(offset=start, size=pos - start, kp=kp, kt=kt, knots_p=kn_p,
                          knots_t=kn_t, coefs=coefs, shear=shear)
    return recs, pos


@pytest.fixture(scope="module")
def records():
    data = CONTAINER.read_bytes()
    recs, end = read_container(data)
    assert end == len(data) == 1_239_119
    return recs


# name: offset, bytes, kP, kT, mP, mT, cP, cT, first/last P knot, first/last T knot
RECORD_TABLE = {
    "water1": (6, 26_682, 6, 6, 86, 46, 80, 40, 0, 2300.5999999999995, 238.99999999999991,
               501.0000000000002),
    "water_IAPWS95": (26_688, 1_147_897, 6, 6, 432, 341, 426, 335, 0.1, 299554.3068039695,
                      179.99999999999997, 19992.81376449084),
    "Ih": (1_174_585, 5_086, 6, 6, 16, 61, 10, 55, 0, 400, 1, 300.99999999999983),
    "II": (1_179_671, 3_238, 6, 6, 16, 40, 10, 34, 0, 900, 0, 270.00000000000006),
    "III": (1_182_909, 3_239, 6, 6, 16, 40, 10, 34, 0, 500, 0, 270.00000000000006),
    "V": (1_186_148, 19_517, 6, 8, 36, 85, 30, 77, 0, 1000, 0, 300.0000000000001),
    "VI": (1_205_665, 13_278, 6, 8, 26, 85, 20, 77, 0, 3000, 0, 400.0000000000001),
    "VII_X_French": (1_218_943, 20_176, 6, 6, 66, 46, 60, 40, 1700, 1e6, 20, 1800),
}
# name: knots_p[kP], knots_t[kT], first and last coefficient
CHECK_VALUES = {
    "water1": (15, 253.0931824737247, -9719.017623398282, 1725533.8872306305),
    "water_IAPWS95": (5.667908569870076, 187.3949100615331, -108198.74606784507,
                      -58456672.00828794),
    "Ih": (133.33333333333331, 7, -628801.4053459661, 459461.225823868),
    "II": (300, 6, -625680.2893062572, 801021.3361691341),
    "III": (166.66666666666669, 6, -578372.9576948105, 469790.5919367225),
    "V": (103.44827586206898, 8, -556249.077928369, 890010.4020934952),
    "VI": (473.6842105263158, 8, -537790.3506799458, 2381333.7195545523),
    "VII_X_French": (11868.965517241379, 48.421052631578945, 832759.3013080761,
                     239322703.7268515),
}
SHEAR = {
    "water1": None,
    "water_IAPWS95": None,
    "Ih": (3.04, -0.00462, 0, -0.00607, 1000, 273.15),
    "II": (4.1, 0.0175, 0, -0.014, 1100, 273),
    "III": (2.57, 0.0175, 0, -0.014, 1100, 273),
    "V": (2.57, 0.0175, 0, -0.014, 1100, 273),
    "VI": (2.57, 0.0175, 0, -0.014, 1100, 273),
    "VII_X_French": (10, 0.0033, 4.8e-05, -0.014, 1300, 273),
}


def test_container_header_and_order():
    data = CONTAINER.read_bytes()
    assert data[:6] == b"TSF1\x08\x00"
    recs, _ = read_container(data)
    assert list(recs) == PHASES


@pytest.mark.parametrize("name", PHASES)
def test_container_record(records, name):
    r = records[name]
    off, size, kp, kt, mp, mt, cp, ct, p0, p1, t0, t1 = RECORD_TABLE[name]
    got = (r["offset"], r["size"], r["kp"], r["kt"], len(r["knots_p"]), len(r["knots_t"]),
           *r["coefs"].shape)
    assert got == (off, size, kp, kt, mp, mt, cp, ct), name
    # Ranges and check values bit for bit: a transposed matrix or another
    # file cannot reproduce them.
    assert (r["knots_p"][0], r["knots_p"][-1], r["knots_t"][0], r["knots_t"][-1]) == (p0, p1, t0, t1)
    kn_p_k, kn_t_k, c_first, c_last = CHECK_VALUES[name]
    assert (r["knots_p"][kp], r["knots_t"][kt], r["coefs"][0, 0], r["coefs"][-1, -1]) == (
        kn_p_k, kn_t_k, c_first, c_last), name
    assert r["shear"] == SHEAR[name]
    # Clamped knot vectors, which evaluation relies on.
    assert np.all(r["knots_p"][:kp] == p0) and np.all(r["knots_p"][-kp:] == p1)
    assert np.all(r["knots_t"][:kt] == t0) and np.all(r["knots_t"][-kt:] == t1)


@pytest.mark.parametrize("name", PHASES)
def test_module_reads_each_record(records, name):
    """The corners of a clamped spline are exactly its first and last
    coefficient, so these values come straight out of the module's copy."""
    r = records[name]
    kn_p, kn_t = r["knots_p"], r["knots_t"]
    p, t = arr(kn_p[0], kn_p[-1]), arr(kn_t[0], kn_t[-1])
    got = tr.sf_eval_raw(name, p, t, 0, 0, False)
    assert got.tolist() == [r["coefs"][0, 0], r["coefs"][-1, -1]], name
    # Orders at or above the spline's order vanish, even at NaN.
    nan = arr(np.nan)
    assert tr.sf_eval_raw(name, nan, nan, r["kp"], 0, False).tolist() == [0.0]
    assert tr.sf_eval_raw(name, nan, nan, 0, r["kt"], False).tolist() == [0.0]
    keys = list(tr.sf_getprop_scatter(name, p, t))
    assert keys == (KEYS17 if SHEAR[name] else KEYS14)


def test_phases_listing():
    d = tr.sf_phases()
    assert sorted(d) == sorted(PHASES)
    assert all(v is True for v in d.values())


@pytest.mark.parametrize("name", ["ice", "", "WATER1", "Water1", "ih", "water1 ", "water1\0",
                                  "vi", "VII_X_french"])
def test_unknown_phase_names(name):
    p = arr(0.1)
    for call in (lambda: tr.sf_getprop_scatter(name, p, p),
                 lambda: tr.sf_getprop_grid(name, p, p),
                 lambda: tr.sf_eval_raw(name, p, p, 0, 0, True)):
        with pytest.raises(ValueError) as e:
            call()
        assert str(e.value) == f"unknown phase '{name}'"


# --------------------------------------------------------------------------
# Raw spline values.

WATER1_DERIVS = [  # (deriv_p, deriv_t, value at 0.1 MPa, 300 K)
    (0, 0, -5267.28216317337),
    (1, 0, 1003.455509930454),
    (0, 1, -393.05569703511384),
    (2, 0, -0.45196435205116),
    (0, 2, -13.935320965034878),
    (1, 1, 0.2757376956927201),
    (3, 0, 0.001338705297518276),
]


@pytest.mark.parametrize("dp,dt,expected", WATER1_DERIVS)
def test_water1_derivatives(dp, dt, expected):
    got = tr.sf_eval_raw("water1", arr(0.1), arr(300.0), dp, dt, False)[0]
    assert got == pytest.approx(expected, rel=1e-12, abs=0), (dp, dt)


@pytest.mark.parametrize("p,t,expected", [
    (-10.0, 300.0, -15425.466343378313),   # below the first P knot
    (0.1, 600.0, -624669.6554135126),      # above the last T knot
])
def test_water1_extrapolation(p, t, expected):
    got = tr.sf_eval_raw("water1", arr(p), arr(t), 0, 0, False)[0]
    assert got == pytest.approx(expected, rel=1e-12, abs=0), (p, t)


@pytest.mark.parametrize("phase,dp,dt,expect_zero", [
    ("water1", 6, 0, True), ("water1", 5, 0, False), ("water1", 0, 6, True),
    ("V", 0, 7, False), ("V", 0, 8, True), ("VI", 0, 8, True), ("VI", 6, 0, True),
    ("water1", 2**64 - 1, 0, True),
])
def test_derivative_order_limit(phase, dp, dt, expect_zero):
    p, t = arr(0.1, 150.0, np.nan), arr(300.0, 250.0, 300.0)
    if phase in ("V", "VI"):
        p, t = arr(500.0, 800.0, np.nan), arr(150.0, 200.0, 150.0)
    got = tr.sf_eval_raw(phase, p, t, dp, dt, False)
    if expect_zero:
        assert got.tolist() == [0.0, 0.0, 0.0], (phase, dp, dt)
    else:
        assert np.all(np.isfinite(got[:2])) and np.all(got[:2] != 0), (phase, dp, dt, got)
        assert math.isnan(got[2])


def test_nan_coordinates_give_nan():
    got = tr.sf_eval_raw("water1", arr(np.nan, 0.1, np.nan), arr(300.0, np.nan, np.nan), 1, 1, False)
    assert np.all(np.isnan(got))


def test_continuous_at_interior_knot(records):
    assert 35.0 in records["water1"]["knots_p"]
    t, h = arr(300.0), 1e-6
    at = tr.sf_eval_raw("water1", arr(35.0), t, 0, 0, False)[0]
    left = tr.sf_eval_raw("water1", arr(35.0 - h), t, 0, 0, False)[0]
    slope = tr.sf_eval_raw("water1", arr(35.0 - h), t, 1, 0, False)[0]
    assert at == pytest.approx(left + h * slope, rel=1e-12)


# --------------------------------------------------------------------------
# Cross-check against scipy's B-splines, relative to the size of the summed
# terms sum |c| |B_P| |B_T|: far from the reference point the derivatives are
# small differences of large terms, and what can be asked of any evaluation
# is agreement to rounding of those terms.

TERM_RTOL = 1e-13


def scipy_eval(rec, p, t, dp, dt):
    from scipy.interpolate import BSpline
    kp, kt = rec["kp"], rec["kt"]
    c = rec["coefs"]
    bp = BSpline(rec["knots_p"], np.eye(c.shape[0]), kp - 1)(p, nu=dp)
    bt = BSpline(rec["knots_t"], np.eye(c.shape[1]), kt - 1)(t, nu=dt)
    value = np.einsum("ni,ij,nj->n", bp, c, bt)
    scale = np.einsum("ni,ij,nj->n", np.abs(bp), np.abs(c), np.abs(bt))
    return value, scale


def random_inside(rec, n, seed):
    rng = np.random.default_rng(seed)
    kn_p, kn_t = rec["knots_p"], rec["knots_t"]
    return rng.uniform(kn_p[0], kn_p[-1], n), rng.uniform(kn_t[0], kn_t[-1], n)


@pytest.mark.parametrize("name", PHASES)
def test_raw_matches_scipy(records, name):
    rec = records[name]
    p, t = random_inside(rec, 60, seed=len(name))
    for dp, dt in PROP_ORDERS:
        ref, scale = scipy_eval(rec, p, t, dp, dt)
        got = tr.sf_eval_raw(name, p, t, dp, dt, False)
        err = np.abs(got - ref) / scale
        i = int(np.argmax(err))
        assert err[i] <= TERM_RTOL, (name, dp, dt, p[i], t[i], got[i], ref[i], scale[i])


def derivs_from_props(d, t):
    """The seven Gibbs derivatives recovered from a property dict, and the
    size of the rounding that the recovery itself adds (Kp = ... - 1 loses
    the low bits of Gp Gppp / Gpp^2 when Kp is small)."""
    gp = d["V"] * 1e6
    gpp = -gp / d["Kt"]
    gppp_scale = (np.abs(d["Kp"]) + 1) * gpp * gpp / np.abs(gp)
    values = {
        (0, 0): d["G"], (1, 0): gp, (0, 1): -d["S"], (2, 0): gpp,
        (0, 2): -d["Cp"] / t, (1, 1): d["alpha"] * gp,
        (3, 0): (d["Kp"] + 1) * gpp * gpp / gp,
    }
    recovery = {k: 8 * np.finfo(float).eps * (gppp_scale if k == (3, 0) else np.abs(v))
                for k, v in values.items()}
    return values, recovery


@pytest.mark.parametrize("name", PHASES)
def test_properties_agree_with_raw_derivatives(records, name):
    """The property functions evaluate all seven derivatives in one pass;
    they must agree with the one-derivative-at-a-time evaluation to rounding
    of the summed terms (plus the rounding of recovering them from the
    properties)."""
    rec = records[name]
    p, t = random_inside(rec, 60, seed=100 + len(name))
    rec_d, recovery = derivs_from_props(tr.sf_getprop_scatter(name, p, t), t)
    for dp, dt in PROP_ORDERS:
        raw = tr.sf_eval_raw(name, p, t, dp, dt, False)
        _, scale = scipy_eval(rec, p, t, dp, dt)
        err = (np.abs(rec_d[dp, dt] - raw) - recovery[dp, dt]) / scale
        i = int(np.argmax(err))
        assert err[i] <= TERM_RTOL, (name, dp, dt, p[i], t[i], rec_d[dp, dt][i], raw[i])


# --------------------------------------------------------------------------
# Properties.

WATER1_PROPS = dict(
    G=-5267.28216317337, V=0.0010034555099304539, rho=996.5563894998261, S=393.05569703511384,
    H=112649.42694736079, U=112549.08139636774, A=-5367.627714166415, Cp=4180.596289510463,
    Cv=4130.129072473847, Kt=2220.2094155799, Ks=2247.338783325227, Kp=5.5761958719707385,
    alpha=0.0002747881624685389, vel=1501.7005310008055)
PROP_CASES = [
    ("water1", 0.1, 300.0, WATER1_PROPS),
    ("Ih", 0.1, 270.0, dict(rho=917.1811672183045, Cp=2073.476750659136, Kt=8530.527325759838,
                            Ks=8797.557605944661, vel=3097.087642183689, shear=3441.7435074514333,
                            Vp=3820.3816541028737, Vs=1937.1430225280642)),
    ("VI", 1000.0, 300.0, dict(rho=1351.0818515984722, Vp=4466.875024657639,
                               Vs=2207.8410520756806)),
    # Far above the knot range: extrapolated, negative density, so the
    # speeds are NaN while the shear modulus is still computed.
    ("Ih", 5000.0, 270.0, dict(rho=-2364.1775982456106, vel=np.nan, Vp=np.nan, Vs=np.nan,
                               shear=18601.62100389472)),
]
PROP_RTOL = 1e-10


@pytest.mark.parametrize("phase,p,t,expected", PROP_CASES)
def test_property_values(phase, p, t, expected):
    d = tr.sf_getprop_scatter(phase, arr(p), arr(t))
    for key, value in expected.items():
        got = d[key][0]
        if math.isnan(value):
            assert math.isnan(got), (phase, p, t, key, got)
        else:
            assert got == pytest.approx(value, rel=PROP_RTOL, abs=0), (phase, p, t, key)


@pytest.mark.parametrize("phase", ["water1", "Ih"])
@pytest.mark.parametrize("p,t", [(np.nan, 270.0), (0.1, np.nan), (np.nan, np.nan)])
def test_nan_point_gives_nan_everywhere(phase, p, t):
    d = tr.sf_getprop_scatter(phase, arr(p, 0.1), arr(t, 270.0))
    assert len(d) == (17 if phase == "Ih" else 14)
    for key, v in d.items():
        assert math.isnan(v[0]), (phase, p, t, key, v[0])
        assert math.isfinite(v[1]), (phase, key)  # the neighbour is unaffected


def test_grid_shape_and_cells():
    p, t = arr(0.1, 100.0), arr(280.0, 300.0, 320.0)
    g = tr.sf_getprop_grid("water1", p, t)
    assert list(g) == KEYS14
    assert g["rho"][0, 1] == pytest.approx(996.5563894998261, rel=PROP_RTOL)
    pp, tt = np.meshgrid(p, t, indexing="ij")
    s = tr.sf_getprop_scatter("water1", pp.ravel(), tt.ravel())
    for key in KEYS14:
        assert g[key].shape == (2, 3) and g[key].flags.c_contiguous and g[key].flags.writeable
        np.testing.assert_array_equal(g[key].ravel(), s[key], err_msg=key)


@settings(max_examples=25, deadline=None)
@given(st.sampled_from(PHASES),
       st.lists(st.floats(-100, 4000), min_size=0, max_size=5),
       st.lists(st.floats(0, 2000), min_size=0, max_size=5))
def test_grid_cell_equals_scatter_and_raw(phase, p_list, t_list):
    p, t = np.array(p_list, dtype=np.float64), np.array(t_list, dtype=np.float64)
    g = tr.sf_getprop_grid(phase, p, t)
    raw = tr.sf_eval_raw(phase, p, t, 1, 0, True)
    assert raw.shape == (len(p), len(t))
    pp, tt = np.meshgrid(p, t, indexing="ij")
    s = tr.sf_getprop_scatter(phase, pp.ravel(), tt.ravel())
    r = tr.sf_eval_raw(phase, pp.ravel(), tt.ravel(), 1, 0, False)
    np.testing.assert_array_equal(raw.ravel(), r)
    for key, v in g.items():
        assert v.shape == (len(p), len(t))
        np.testing.assert_array_equal(v.ravel(), s[key], err_msg=f"{phase} {key} {p} {t}")


@pytest.mark.parametrize("n_p,n_t", [(0, 0), (0, 3), (2, 0)])
def test_empty_inputs(n_p, n_t):
    p, t = np.linspace(0.1, 100, n_p), np.linspace(250, 300, n_t)
    g = tr.sf_getprop_grid("Ih", p, t)
    assert list(g) == KEYS17 and all(v.shape == (n_p, n_t) for v in g.values())
    assert tr.sf_eval_raw("Ih", p, t, 0, 0, True).shape == (n_p, n_t)
    if n_p == n_t:
        s = tr.sf_getprop_scatter("water1", p, t)
        assert list(s) == KEYS14 and all(v.shape == (0,) for v in s.values())
        assert tr.sf_eval_raw("water1", p, t, 0, 0, False).shape == (0,)


def test_inputs_are_copied_and_results_independent():
    base = np.concatenate([[0.0], np.linspace(0.1, 300, 100)]).tobytes()
    p = np.frombuffer(b"\0" + base, dtype=np.float64, offset=1)  # unaligned
    t = np.full(101, 260.0)
    d = tr.sf_getprop_scatter("Ih", p, t)
    before = d["rho"].copy()
    t[:] = 100.0
    np.testing.assert_array_equal(d["rho"], before)
    d["rho"][:] = 0
    assert d["V"][1] > 0 and not np.shares_memory(d["rho"], d["V"])


# --------------------------------------------------------------------------
# Argument handling and error precedence.

P3, T2 = arr(0.1, 1.0, 2.0), arr(250.0, 260.0)
STRIDED = np.arange(6, dtype=np.float64)[::2]


@pytest.mark.parametrize("call,exc,message", [
    # Unknown phase wins over contiguity and lengths.
    (lambda: tr.sf_getprop_scatter("ice", P3, T2), ValueError, "unknown phase 'ice'"),
    (lambda: tr.sf_getprop_grid("ice", STRIDED, T2), ValueError, "unknown phase 'ice'"),
    (lambda: tr.sf_eval_raw("ice", P3, STRIDED, 0, 0, False), ValueError, "unknown phase 'ice'"),
    # Contiguity wins over lengths; p is checked before t.
    (lambda: tr.sf_getprop_scatter("Ih", STRIDED, T2), TypeError,
     "The given array is not contiguous"),
    (lambda: tr.sf_getprop_grid("Ih", T2, STRIDED), TypeError, "The given array is not contiguous"),
    (lambda: tr.sf_eval_raw("Ih", P3, STRIDED, 0, 0, False), TypeError,
     "The given array is not contiguous"),
    # Matched points need equal lengths; the message names both.
    (lambda: tr.sf_getprop_scatter("Ih", P3, T2), ValueError,
     "scatter mode needs equal-length P and T"),
    (lambda: tr.sf_eval_raw("water1", P3, T2, 0, 0, False), ValueError,
     "scatter mode needs equal-length P and T"),
    # Conversion errors.
    (lambda: tr.sf_eval_raw("Ih", P3, P3, -1, 0, False), OverflowError, None),
    (lambda: tr.sf_eval_raw("Ih", P3, P3, 0, 0, 1), TypeError,
     "argument 'grid': 'int' object cannot be converted to 'PyBool'"),
    (lambda: tr.sf_getprop_grid(1, P3, P3), TypeError,
     "argument 'phase': 'int' object cannot be converted to 'PyString'"),
    (lambda: tr.sf_getprop_grid("Ih", [0.1], P3), TypeError,
     "argument 'p': 'list' object cannot be converted to 'PyArray<T, D>'"),
])
def test_errors(call, exc, message):
    with pytest.raises(exc) as e:
        call()
    if message:
        assert message in str(e.value)
    if message == "scatter mode needs equal-length P and T":
        assert "3" in str(e.value) and "2" in str(e.value)


def test_grid_accepts_unequal_lengths_and_numpy_bool():
    assert tr.sf_eval_raw("Ih", P3, T2, 0, 0, True).shape == (3, 2)
    assert tr.sf_eval_raw("Ih", P3, P3, 0, 0, np.bool_(False)).shape == (3,)
    assert tr.sf_eval_raw(phase="Ih", p=P3, t=T2, deriv_p=0, deriv_t=1, grid=True).shape == (3, 2)


@pytest.mark.parametrize("fn", ["sf_getprop_grid", "sf_eval_raw"])
def test_grid_too_large_is_memory_error(fn):
    # 2**23 x 2**22 cells of 8 bytes are beyond any address space.
    p, t = np.zeros(2**23), np.zeros(2**22)
    args = ("Ih", p, t) + ((0, 0, True) if fn == "sf_eval_raw" else ())
    with pytest.raises(MemoryError):
        getattr(tr, fn)(*args)


# --------------------------------------------------------------------------
# One-time initialisation of the phase table.

def test_first_use_from_two_python_threads(python_subprocess):
    out = python_subprocess("""
        import threading, numpy as np, tessarin_rs as tr
        barrier, out = threading.Barrier(2), [None, None]
        def work(i):
            barrier.wait()
            out[i] = tr.sf_getprop_scatter("Ih", np.array([0.1]), np.array([270.0]))["Vp"][0]
        ts = [threading.Thread(target=work, args=(i,)) for i in range(2)]
        [t.start() for t in ts]; [t.join() for t in ts]
        assert out[0] == out[1] and abs(out[0] - 3820.3816541028737) < 1e-6, out
        print("ok")
    """)
    assert out.strip() == "ok"


# The parser and the table without Python: several threads race for the first
# lookup (the interpreter lock cannot serialise them here), and damaged
# containers must fail cleanly without reading past their end (checked under
# AddressSanitizer where available).
HARNESS = r"""
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <thread>
#include <vector>
#include "seafreeze/container.hpp"
#include "seafreeze/props.hpp"
#include "seafreeze/table.hpp"
using namespace tessarin::seafreeze;

static int failures = 0;
#define CHECK(c) do { if (!(c)) { std::printf("FAIL line %d: %s\n", __LINE__, #c); ++failures; } } while (0)

template <class E>
static bool throws(std::vector<unsigned char> v, const char* what = nullptr) {
  // Exactly-sized heap copy, so any read past the end is caught by ASan.
  try { parse_splines(std::span<const unsigned char>(v.data(), v.size())); }
  catch (const E& e) { return !what || std::strcmp(e.what(), what) == 0; }
  catch (...) { return false; }
  return false;
}

int main() {
  std::atomic<bool> go{false};
  const Spline2D* seen[8] = {};
  std::vector<std::thread> ts;
  for (int i = 0; i < 8; ++i)
    ts.emplace_back([&, i] { while (!go.load()) {} seen[i] = get_phase("water1"); });
  go = true;
  for (auto& t : ts) t.join();
  CHECK(parse_count() == 1);
  for (auto* s : seen) CHECK(s != nullptr && s == seen[0]);
  CHECK(seen[0]->order_p == 6 && seen[0]->knots_p.size() == 86 && seen[0]->coefs.size() == 3200);
  CHECK(!get_phase("ice") && !get_phase("") && !get_phase("WATER1"));
  CHECK(parse_count() == 1);

  auto all = container_bytes();
  CHECK(all.size() == CONTAINER_SIZE);
  const std::vector<unsigned char> full(all.begin(), all.end());
  CHECK(parse_splines(full).size() == 8);

  // Truncated anywhere, including at record boundaries.
  for (std::size_t cut : {0, 3, 5, 6, 7, 25, 26687, 26688, 26689, 1174585, 1239118})
    CHECK(throws<std::out_of_range>(std::vector<unsigned char>(full.begin(), full.begin() + cut)));
  // One record more declared than present.
  auto more = full; more[4] = 9;
  CHECK(throws<std::out_of_range>(more));
  // A huge count must not wrap around or allocate before the check.
  auto huge = full; std::memset(&huge[6 + 1 + 6 + 2 + 8], 0xFF, 8);  // cP, cT of water1
  CHECK(throws<std::out_of_range>(huge));
  auto bad_name = full; bad_name[7] = 0xFF;
  CHECK(throws<std::runtime_error>(bad_name, "invalid utf-8 phase name"));
  auto bad_magic = full; bad_magic[3] = '2';
  CHECK(throws<std::runtime_error>(bad_magic));

  // A later record with the same name replaces the earlier one.
  const std::size_t w1 = 26682;
  std::vector<unsigned char> dup(full.begin(), full.begin() + 6 + w1);
  dup.insert(dup.end(), full.begin() + 6, full.begin() + 6 + w1);
  dup[4] = 2;
  const double marker = 12345.5;
  std::memcpy(&dup[dup.size() - 8], &marker, 8);  // last coefficient of the second copy
  auto tab = parse_splines(dup);
  CHECK(tab.size() == 1 && tab.at("water1").coefs.back() == marker);

  // Splines that cannot be evaluated safely give NaN, never a stray read.
  Spline2D s = tab.at("water1");
  CHECK(std::isfinite(eval_point(s, 0, 0, 0.1, 300)));
  Spline2D big = s; big.order_p = 13;
  CHECK(std::isnan(eval_point(big, 0, 0, 0.1, 300)) && std::isnan(point_props(big, 0.1, 300).G));
  Spline2D short_c = s; short_c.coefs.resize(3199);
  CHECK(std::isnan(eval_point(short_c, 0, 0, 0.1, 300)) &&
        std::isnan(gibbs_derivs(short_c, 0.1, 300).gp));
  Spline2D few = s; few.knots_t.resize(11);
  CHECK(std::isnan(eval_point(few, 0, 0, 0.1, 300)));
  CHECK(eval_point(big, 13, 0, 0.1, 300) == 0.0);
  std::printf(failures ? "failed\n" : "ok\n");
  return failures != 0;
}
"""


def _compiler():
    cxx = os.environ.get("CXX") or sysconfig.get_config_var("CXX") or "c++"
    exe = shutil.which(cxx.split()[0])
    return [exe] + cxx.split()[1:] if exe else None


def test_table_parser_harness(tmp_path):
    cxx = _compiler()
    if cxx is None:
        pytest.skip("no C++ compiler")
    src = tmp_path / "harness.cpp"
    src.write_text(HARNESS)
    exe = tmp_path / "harness"
    sd = ROOT / "src" / "seafreeze"
    base = cxx + ["-std=c++20", "-O0", "-pthread", f"-I{ROOT / 'src'}",
                  f'-DTESSARIN_CONTAINER_PATH="{CONTAINER}"',
                  str(src), str(sd / "table.cpp"), str(sd / "container.cpp"), "-o", str(exe)]
    r = subprocess.run(base[:1] + ["-fsanitize=address"] + base[1:], capture_output=True, text=True)
    if r.returncode != 0:  # no sanitizer runtime: plain build
        r = subprocess.run(base, capture_output=True, text=True)
    assert r.returncode == 0, r.stderr
    run = subprocess.run([str(exe)], capture_output=True, text=True, timeout=60)
    assert run.returncode == 0 and run.stdout.strip().endswith("ok"), run.stdout + run.stderr


# --------------------------------------------------------------------------
# Batch evaluation: the property functions evaluate several points in
# lockstep and share work between the rows and columns of a grid; a point's
# bits must not depend on its neighbours, its position in the batch, the
# thread count or whether it is a grid cell.

def mixed_points(rec, n, seed):
    """Mostly inside the knot range, with knots, their neighbours, points
    outside and special values mixed in."""
    rng = np.random.default_rng(seed)
    p, t = random_inside(rec, n, seed)
    special = np.array([np.nan, np.inf, -np.inf, 0.0, -1.0, -300.0, 1e6])
    for axis, kn in ((p, rec["knots_p"]), (t, rec["knots_t"])):
        idx = rng.choice(n, n // 4, replace=False)
        pool = np.concatenate([kn, np.nextafter(kn, -np.inf), np.nextafter(kn, np.inf), special])
        axis[idx] = rng.choice(pool, len(idx))
    return p, t


def bits(d):
    return {k: v.view(np.int64).copy() for k, v in d.items()}


@pytest.mark.parametrize("name", ["water1", "water_IAPWS95", "Ih", "VI"])
def test_scatter_bits_independent_of_position(records, name):
    p, t = mixed_points(records[name], 1001, seed=7)
    whole = bits(tr.sf_getprop_scatter(name, p, t))
    for shift in (1, 2, 3):  # moves every point to another lane of its group
        pad = np.full(shift, np.nan)
        got = bits(tr.sf_getprop_scatter(name, np.concatenate([pad, p]), np.concatenate([pad, t])))
        for key, v in whole.items():
            diff = np.nonzero(got[key][shift:] != v)[0]
            assert diff.size == 0, (name, shift, key, p[diff[0]], t[diff[0]])
    for i in range(0, len(p), 97):  # alone, the point takes the single-point path
        alone = bits(tr.sf_getprop_scatter(name, p[i:i + 1].copy(), t[i:i + 1].copy()))
        for key, v in whole.items():
            assert alone[key][0] == v[i], (name, key, p[i], t[i])


@pytest.mark.parametrize("name", ["water1", "V"])
def test_multi_tile_grid_equals_scatter(records, name):
    """Grids wider than a column block and taller than a row block, in
    random order, with rows and columns outside the range or NaN."""
    p, _ = mixed_points(records[name], 150, seed=11)
    _, t = mixed_points(records[name], 301, seed=12)
    g = tr.sf_getprop_grid(name, p, t)
    pp, tt = np.meshgrid(p, t, indexing="ij")
    s = tr.sf_getprop_scatter(name, pp.ravel(), tt.ravel())
    for key, v in g.items():
        diff = np.nonzero(v.ravel().view(np.int64) != s[key].view(np.int64))[0]
        assert diff.size == 0, (name, key, pp.ravel()[diff[0]], tt.ravel()[diff[0]])


def test_thread_count_does_not_change_bits(python_subprocess):
    code = """
        import hashlib, numpy as np, tessarin_rs as tr
        rng = np.random.default_rng(1)
        p, t = rng.uniform(-50, 2400, 20001), rng.uniform(230, 510, 20001)
        p[::7] = np.nan
        h = hashlib.sha256()
        for d in (tr.sf_getprop_scatter("water1", p, t),
                  tr.sf_getprop_grid("VI", np.linspace(-10, 3100, 181), np.linspace(-5, 420, 263))):
            for v in d.values():
                h.update(v.tobytes())
        print(h.hexdigest())
    """
    one = python_subprocess(code, {"RAYON_NUM_THREADS": "1"})
    two = python_subprocess(code, {"RAYON_NUM_THREADS": "2"})
    assert one == two


def exact_basis(knots, k, x, nd):
    """Exact values of the derivatives 0..nd of the k B-splines active at x
    (rational arithmetic on the stored doubles), with the interval of the
    module's span search: {d: [B^(d)_i for i = span-k+1 .. span]}."""
    n = len(knots) - k
    span = k - 1 if knots[k - 1] >= x else n - 1 if x >= knots[n] else \
        max(i for i in range(k - 1, n) if knots[i] <= x)
    kn = [Fraction(v) for v in knots]
    xf = Fraction(x)
    memo = {}

    def b(i, m, d):  # d-th derivative of the order-m B-spline starting at knot i
        key = (i, m, d)
        if key not in memo:
            if m == 1:
                v = Fraction(int(i == span and d == 0))
            elif d == 0:
                v = Fraction(0)
                if kn[i + m - 1] > kn[i]:
                    v += (xf - kn[i]) / (kn[i + m - 1] - kn[i]) * b(i, m - 1, 0)
                if kn[i + m] > kn[i + 1]:
                    v += (kn[i + m] - xf) / (kn[i + m] - kn[i + 1]) * b(i + 1, m - 1, 0)
            else:
                v = Fraction(0)
                if kn[i + m - 1] > kn[i]:
                    v += (m - 1) * b(i, m - 1, d - 1) / (kn[i + m - 1] - kn[i])
                if kn[i + m] > kn[i + 1]:
                    v -= (m - 1) * b(i + 1, m - 1, d - 1) / (kn[i + m] - kn[i + 1])
            memo[key] = v
        return memo[key]

    return span, {d: [b(i, k, d) for i in range(span - k + 1, span + 1)] for d in range(nd + 1)}


@pytest.mark.parametrize("name", ["water1", "water_IAPWS95", "VI"])
def test_properties_match_exact_derivatives(records, name):
    """Against exact rational arithmetic on the stored knots and coefficients,
    at knots, next to knots and at the ends of the range, where the rounding
    of the basis recursion matters most."""
    rec = records[name]
    kn_p, kn_t, c = rec["knots_p"], rec["knots_t"], rec["coefs"]
    rng = np.random.default_rng(3)
    p = np.concatenate([[kn_p[0], kn_p[-1], np.nextafter(kn_p[-1], 0)],
                        rng.choice(kn_p, 4), np.nextafter(rng.choice(kn_p[1:], 3), -np.inf)])
    t = np.concatenate([[kn_t[0], kn_t[-1], np.nextafter(kn_t[-1], 0)],
                        rng.choice(kn_t, 4), rng.uniform(kn_t[0], kn_t[-1], 3)])
    with np.errstate(divide="ignore", invalid="ignore"):
        got, recovery = derivs_from_props(tr.sf_getprop_scatter(name, p, t), t)
    for j in range(len(p)):
        sp, bp = exact_basis(kn_p, rec["kp"], p[j], 3)
        st, bt = exact_basis(kn_t, rec["kt"], t[j], 2)
        block = c[sp - rec["kp"] + 1:sp + 1, st - rec["kt"] + 1:st + 1]
        for dp, dt in PROP_ORDERS:
            if (dp, dt) == (0, 2) and t[j] == 0:
                continue  # Gtt is recovered as -Cp / T
            terms = [Fraction(block[a, b]) * bp[dp][a] * bt[dt][b]
                     for a in range(rec["kp"]) for b in range(rec["kt"])]
            exact = float(sum(terms))
            scale = float(sum(abs(x) for x in terms))
            err = abs(got[dp, dt][j] - exact) - recovery[dp, dt][j]
            assert err <= TERM_RTOL * scale, (name, dp, dt, p[j], t[j], got[dp, dt][j], exact, scale)


KERNEL_CHECK = r"""
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>
#include "seafreeze/props.hpp"
#include "seafreeze/table.hpp"
using namespace tessarin::seafreeze;

static int failures = 0;
#define CHECK(c, ...) do { if (!(c)) { std::printf("FAIL line %d: " #c " ", __LINE__); std::printf(__VA_ARGS__); std::printf("\n"); ++failures; } } while (0)

static bool same(const Props& a, const Props& b) { return std::memcmp(&a, &b, sizeof a) == 0; }
static bool same(const GibbsDerivs& a, const GibbsDerivs& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// Points on, next to and between the knots of both axes, outside the range,
// and the special values.
static std::vector<double> axis_points(const std::vector<double>& kn, std::mt19937_64& rng) {
  std::vector<double> v(kn);
  for (double k : kn) { v.push_back(std::nextafter(k, -INFINITY)); v.push_back(std::nextafter(k, INFINITY)); }
  std::uniform_real_distribution<double> in(kn.front(), kn.back());
  for (int i = 0; i < 200; ++i) v.push_back(in(rng));
  const double w = kn.back() - kn.front();
  for (double x : {kn.front() - w, kn.back() + w, double(NAN), double(INFINITY), -double(INFINITY), 0.0})
    v.push_back(x);
  return v;
}

// The properties of a whole batch through the lane kernels, point by point.
static std::vector<Props> batch(const Spline2D& s, const std::vector<double>& p, const std::vector<double>& t) {
  std::vector<Props> out(p.size());
  scatter_props(s, p.data(), t.data(), 0, p.size(), [&](std::size_t i, const auto& r, std::size_t count) {
    for (std::size_t l = 0; l < count; ++l) {
      double* f = &out[i + l].G;
      for (std::size_t k = 0; k < PROPS_SIZE; ++k) f[k] = r.f[k][l];
    }
  });
  return out;
}

// |B^(d)_i(x)| of the k active functions by de Boor on unit coefficients.
static void abs_basis(std::span<const double> kn, std::size_t k, std::size_t span, double x, std::size_t d, double* out) {
  for (std::size_t i = 0; i < k; ++i) {
    double c[MAX_ORDER] = {};
    c[i] = 1;
    if (d >= k) { out[i] = 0; continue; }
    differentiate(kn, c, k, span, d);
    out[i] = std::fabs(de_boor_1d(kn, c, k - d, span, x));
  }
}

static void check_spline(const char* name, const Spline2D& s, std::mt19937_64& rng, bool vs_deboor) {
  const std::vector<double> xp = axis_points(s.knots_p, rng), xt = axis_points(s.knots_t, rng);
  // The span search without branches finds the intervals of the bisection.
  for (double x : xp)
    CHECK(std::isnan(x) || x <= s.knots_p.front() || x >= s.knots_p.back() ||
              locate_span(s.knots_p, s.order_p, x) == find_span(s.knots_p, s.order_p, x), "%s p=%.17g", name, x);
  for (double x : xt)
    CHECK(std::isnan(x) || x <= s.knots_t.front() || x >= s.knots_t.back() ||
              locate_span(s.knots_t, s.order_t, x) == find_span(s.knots_t, s.order_t, x), "%s t=%.17g", name, x);
  // Constants computed per point (no table) give the table's bits.
  Spline2D bare = s;
  bare.factors_p = bare.factors_t = SpanFactors{};
  std::uniform_int_distribution<std::size_t> pick_p(0, xp.size() - 1), pick_t(0, xt.size() - 1);
  std::vector<double> p, t;
  for (int i = 0; i < 3001; ++i) { p.push_back(xp[pick_p(rng)]); t.push_back(xt[pick_t(rng)]); }
  const std::vector<Props> lanes = batch(s, p, t);
  const double orders[7][2] = {{0, 0}, {1, 0}, {0, 1}, {2, 0}, {0, 2}, {1, 1}, {3, 0}};
  double worst = 0;
  for (std::size_t i = 0; i < p.size(); ++i) {
    const GibbsDerivs d = gibbs_derivs(s, p[i], t[i]);
    CHECK(same(d, gibbs_derivs(bare, p[i], t[i])), "%s table vs per point at %.17g %.17g", name, p[i], t[i]);
    CHECK(same(lanes[i], point_props(s, p[i], t[i])), "%s lanes vs single at %.17g %.17g", name, p[i], t[i]);
    if (!p_inside(s, p[i]) || !t_inside(s, t[i])) {
      // Outside the knot range the derivatives are eval_point's, bit for bit.
      if (std::isnan(p[i]) || std::isnan(t[i])) continue;
      const double* dv = &d.g;
      for (int o = 0; o < 7; ++o) {
        const auto dp = static_cast<std::size_t>(orders[o][0]), dt = static_cast<std::size_t>(orders[o][1]);
        const double ref = eval_point(s, dp, dt, p[i], t[i]);
        CHECK(std::memcmp(&dv[o], &ref, sizeof ref) == 0 || (std::isnan(dv[o]) && std::isnan(ref)),
              "%s outside (%zu,%zu) at %.17g %.17g: %.17g vs %.17g", name, dp, dt, p[i], t[i], dv[o], ref);
      }
      continue;
    }
    if (!vs_deboor) continue;
    const std::size_t sp = find_span(s.knots_p, s.order_p, p[i]), st = find_span(s.knots_t, s.order_t, t[i]);
    const double* c0 = s.coefs.data() + (sp + 1 - s.order_p) * s.n_t + (st + 1 - s.order_t);
    const double* dv = &d.g;
    for (int o = 0; o < 7; ++o) {
      const auto dp = static_cast<std::size_t>(orders[o][0]), dt = static_cast<std::size_t>(orders[o][1]);
      double bp[MAX_ORDER], bt[MAX_ORDER], scale = 0;
      abs_basis(s.knots_p, s.order_p, sp, p[i], dp, bp);
      abs_basis(s.knots_t, s.order_t, st, t[i], dt, bt);
      for (std::size_t a = 0; a < s.order_p; ++a)
        for (std::size_t b = 0; b < s.order_t; ++b) scale += std::fabs(c0[a * s.n_t + b]) * bp[a] * bt[b];
      const double ref = eval_point(s, dp, dt, p[i], t[i]);
      const double err = scale > 0 ? std::fabs(dv[o] - ref) / scale : std::fabs(dv[o] - ref);
      worst = std::fmax(worst, err);
      CHECK(err <= 1e-13, "%s (%zu,%zu) at %.17g %.17g: %.17g vs %.17g", name, dp, dt, p[i], t[i], dv[o], ref);
    }
  }
  std::printf("%s worst %.2e\n", name, worst);
}

// A clamped spline of orders kp x kt with random coefficients; every fourth
// interior P knot is doubled and one T knot has multiplicity kt - 1.
static Spline2D synthetic(std::size_t kp, std::size_t kt, std::mt19937_64& rng) {
  Spline2D s;
  s.order_p = kp;
  s.order_t = kt;
  auto clamped = [](std::size_t k, std::size_t interior, double lo, double hi, std::size_t repeat_every, std::size_t mult) {
    std::vector<double> kn(k, lo);
    for (std::size_t i = 1; i <= interior; ++i) {
      const double x = lo + (hi - lo) * static_cast<double>(i) / static_cast<double>(interior + 1);
      for (std::size_t m = 0; m < (i % repeat_every == 0 ? mult : 1); ++m) kn.push_back(x);
    }
    kn.insert(kn.end(), k, hi);
    return kn;
  };
  s.knots_p = clamped(kp, 9, -3.0, 40.0, 4, 2);
  s.knots_t = clamped(kt, 7, 100.0, 250.0, 5, kt > 2 ? kt - 1 : 1);
  s.n_p = s.knots_p.size() - kp;
  s.n_t = s.knots_t.size() - kt;
  std::uniform_real_distribution<double> c(-1000.0, 1000.0);
  for (std::size_t i = 0; i < s.n_p * s.n_t; ++i) s.coefs.push_back(c(rng));
  prepare(s);
  return s;
}

int main() {
  std::mt19937_64 rng(3);
  for (const char* name : {"water1", "water_IAPWS95", "Ih", "V", "VI", "VII_X_French"})
    check_spline(name, *get_phase(name), rng, false);
  const std::size_t orders[][2] = {{1, 1}, {2, 3}, {3, 4}, {4, 2}, {5, 6}, {8, 8}, {12, 3}, {6, 7}};
  for (const auto& o : orders) {
    char name[32];
    std::snprintf(name, sizeof name, "order %zux%zu", o[0], o[1]);
    const Spline2D s = synthetic(o[0], o[1], rng);
    CHECK(evaluable(s), "%s", name);
    check_spline(name, s, rng, true);
  }
  std::printf(failures ? "failed\n" : "ok\n");
  return failures != 0;
}
"""


def test_kernel_batch_paths(tmp_path):
    """Without Python, and unoptimised so that the C++ semantics alone are
    checked: the branch-free span search against the bisection, the
    per-interval table against constants computed per point, the lane
    kernels against single points, and splines of other orders (the path
    with run-time orders, with repeated knots) against eval_point."""
    from conftest import build_and_run_cpp

    sd = ROOT / "src" / "seafreeze"
    out = build_and_run_cpp(tmp_path, KERNEL_CHECK, [sd / "table.cpp", sd / "container.cpp"],
                            ["-O0", f'-DTESSARIN_CONTAINER_PATH="{CONTAINER}"'])
    assert out.strip().endswith("ok"), out
