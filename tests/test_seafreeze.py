"""SeaFreeze Gibbs splines: the embedded container, B-spline evaluation,
phase properties and the four sf_* entry points."""

import math
import struct
from fractions import Fraction
from pathlib import Path

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import tessarin_rs as tr

from support import PHASES, SPLINE_KEYS, SPLINE_KEYS_WITHOUT_SHEAR

ROOT = Path(__file__).resolve().parents[1]
CONTAINER = ROOT / "data" / "seafreeze_splines.bin"

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
    assert keys == (SPLINE_KEYS if SHEAR[name] else SPLINE_KEYS_WITHOUT_SHEAR)


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
    assert list(g) == SPLINE_KEYS_WITHOUT_SHEAR
    assert g["rho"][0, 1] == pytest.approx(996.5563894998261, rel=PROP_RTOL)
    pp, tt = np.meshgrid(p, t, indexing="ij")
    s = tr.sf_getprop_scatter("water1", pp.ravel(), tt.ravel())
    for key in SPLINE_KEYS_WITHOUT_SHEAR:
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
    assert list(g) == SPLINE_KEYS and all(v.shape == (n_p, n_t) for v in g.values())
    assert tr.sf_eval_raw("Ih", p, t, 0, 0, True).shape == (n_p, n_t)
    if n_p == n_t:
        s = tr.sf_getprop_scatter("water1", p, t)
        assert list(s) == SPLINE_KEYS_WITHOUT_SHEAR and all(v.shape == (0,) for v in s.values())
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


SAME_BITS = """
    import hashlib, numpy as np, tessarin_rs as tr
    from tessarin import _native
    rng = np.random.default_rng(1)
    special = [np.nan, np.inf, -np.inf, 0.0, -1.0]
    h = hashlib.sha256()
    for phase, (p0, p1, t0, t1) in _native.knot_ranges().items():
        # Inside the knot range, a little outside it, and special values.
        p = rng.uniform(p0 - 0.05 * (p1 - p0), p1 * 1.05, 3001)
        t = rng.uniform(t0 - 0.05 * (t1 - t0), t1 * 1.05, 3001)
        p[::17], t[5::23] = rng.choice(special, 177), rng.choice(special, 131)
        for d in (tr.sf_getprop_scatter(phase, p, t), tr.sf_getprop_grid(phase, p[:61], t[:263])):
            for v in d.values():
                h.update(v.tobytes())
    print(h.hexdigest())
"""


@pytest.fixture(scope="module")
def two_thread_bits():
    from conftest import run_python
    return run_python(SAME_BITS, {"RAYON_NUM_THREADS": "2"})


# The processor's widest vector path (AVX2 where it has it) against the
# portable one, and one thread against two.
@pytest.mark.parametrize("env", [{"RAYON_NUM_THREADS": "1"},
                                 {"RAYON_NUM_THREADS": "2", "TESSARIN_SIMD": "portable"}],
                         ids=["one_thread", "portable_path"])
def test_thread_count_and_vector_path_do_not_change_bits(python_subprocess, two_thread_bits, env):
    assert python_subprocess(SAME_BITS, env) == two_thread_bits


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
