"""Liquid-liquid spinodal and binodal of the two-state models."""
import math

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st
from scipy.optimize import brentq

import tessarin_rs as m

from support import BIN_KEYS, CRIT, SPIN_KEYS

MODELS = list(CRIT)


def spinodal(model, p, t_llcp=None, p_llcp=None):
    t0, p0 = CRIT[model]
    fn = getattr(m, f"compute_spinodal_{model}")
    return fn(np.asarray(p, dtype=float), t0 if t_llcp is None else t_llcp,
              p0 if p_llcp is None else p_llcp)


def binodal(model, sp, su, sl):
    t0, p0 = CRIT[model]
    fn = getattr(m, f"compute_binodal_{model}")
    return fn(np.asarray(sp, dtype=float), np.asarray(su, dtype=float),
              np.asarray(sl, dtype=float), t0, p0)


def binodal_of(model, spin):
    return binodal(model, spin["p_array"], spin["T_upper"], spin["T_lower"])


def pressures_with_spinodal(model):
    """Pressures above the critical one, where every model has a spinodal."""
    return CRIT[model][1] + np.array([5.0, 25.0, 60.0, 120.0, 200.0])


# Independent two-state quantities (L, theta, W) of each model.
def holten_params(T, P):
    t = (T - 228.2) / 228.2
    p = P * 1e6 / 113918721.64239688
    k1, k2 = -0.31569232, 5.2992608
    k0 = 0.3823876960993088 / k2
    u, v = p - k2 * t, p + k2 * t
    D = (1 + k0 * k2 + k1 * u) ** 2 - 4 * k0 * k1 * k2 * u
    L0K2 = 4.115665650084945
    L = L0K2 / (2 * k1 * k2) * (1 + k0 * k2 - math.sqrt(D) + k1 * v)
    return L, 1.0, 2 + 0.5212269 * p


def caupin_params(Tc, Pc, Pu, om, lam, a, b, d, f):
    def params(T, P):
        t = (T - Tc) / Tc
        p = (P - Pc) / Pu
        L = lam * (t + a * p + b * t * p + d * p**2 + f * t**2)
        return L, T / Tc, 2 + om * p
    return params


def duska_params(T, P):
    tau, pi = T / 647.096, P / 22.064
    L = (-0.43743227 + 0.43306058 * tau + 2.1944047 * tau**2 + 0.018525106 * pi
         - 0.013836753 * tau * pi - 1.630174e-5 * pi**2 + 7.6204693e-6 * pi**3)
    W = 0.41420925 * (1 + 1.6181775 * tau + 0.036615174 * pi + 0.007147719 * tau * pi)
    return L, tau, W


PARAMS = {
    "holten": holten_params,
    "caupin": caupin_params(218.1348, 71.94655, 99.51973388645685, 0.1854443, 1.653737,
                            0.103025, -0.0392417, -0.01039947, 1.021512),
    "caupin_kim": caupin_params(219.4717, 58.73897, 97.35349858089678, 0.2931166, 2.701194,
                                0.06424121, -0.05480673, -0.007881021, 0.5910234),
    "duska": duska_params,
}


def residual(L, th, W, x):
    return L + th * math.log(x / (1 - x)) + W * (1 - 2 * x)


def gmix(L, th, W, x):
    return L * x + th * (x * math.log(x) + (1 - x) * math.log1p(-x)) + W * x * (1 - x)


def stable_roots(L, th, W):
    """Outer roots of the equilibrium condition, by Brent's method."""
    s = math.sqrt(1 - 2 * th / W)
    x1, x2 = (1 - s) / 2, (1 + s) / 2
    f = lambda x: residual(L, th, W, x)  # noqa: E731
    return (brentq(f, 1e-14, x1, xtol=1e-16, rtol=1e-15),
            brentq(f, x2, 1 - 1e-14, xtol=1e-16, rtol=1e-15), x1, x2)


def delta_g(model, T, P):
    L, th, W = PARAMS[model](T, P)
    lo, hi, _, _ = stable_roots(L, th, W)
    return gmix(L, th, W, hi) - gmix(L, th, W, lo)


# ---------------------------------------------------------------------------
# Published check values.

def test_holten_reference_spinodal_and_binodal():
    s = spinodal("holten", [1.0, 20.0], 228.2, 0.0)
    expected = {
        "T_upper": [228.0662, 226.1575], "T_lower": [228.0439, 224.1179],
        "x_lo_upper": [0.4528, 0.2964], "x_hi_upper": [0.5295, 0.6072],
        "x_lo_lower": [0.4705, 0.3928], "x_hi_lower": [0.5472, 0.7036],
    }
    for key, want in expected.items():
        np.testing.assert_allclose(s[key], want, atol=5e-5, err_msg=key)
    assert len(s["T_K"]) == len(s["p_MPa"]) == 6
    b = binodal_of("holten", s)
    for key, want in {"T_binodal": [228.0551, 225.1394], "x_lo": [0.4587, 0.3220],
                      "x_hi": [0.5413, 0.6780]}.items():
        np.testing.assert_allclose(b[key], want, atol=5e-5, err_msg=key)


def test_caupin_reference_spinodal_and_binodal():
    s = spinodal("caupin", [60.0, 100.0], 218.1348, 71.94655)
    np.testing.assert_array_equal(s["p_array"], [100.0])
    np.testing.assert_allclose(s["T_upper"], [213.6124], atol=5e-5)
    np.testing.assert_allclose(s["T_lower"], [207.8957], atol=5e-5)
    b = binodal_of("caupin", s)
    np.testing.assert_allclose(b["T_binodal"], [211.7162], atol=5e-5)


# ---------------------------------------------------------------------------
# Spinodal.

@pytest.mark.parametrize("model", MODELS)
def test_spinodal_shape_and_closed_curve(model):
    t0, p0 = CRIT[model]
    P = np.concatenate([[p0 - 50.0], pressures_with_spinodal(model)])
    s = spinodal(model, P)
    assert list(s) == SPIN_KEYS
    kept = s["p_array"]
    mlen = len(kept)
    assert mlen >= 4, f"{model}: kept {kept}"
    # Kept pressures are a subsequence of the input, in input order.
    pos = [int(np.flatnonzero(P == p)[0]) for p in kept]
    assert pos == sorted(pos)
    for key in SPIN_KEYS[2:]:
        assert s[key].shape == (mlen,), key
    assert s["T_K"].shape == s["p_MPa"].shape == (2 * mlen + 2,)
    assert s["T_K"][0] == s["T_K"][-1] == t0 and s["p_MPa"][0] == s["p_MPa"][-1] == p0
    np.testing.assert_array_equal(s["T_K"][1:mlen + 1], s["T_upper"])
    np.testing.assert_array_equal(s["T_K"][mlen + 1:-1], s["T_lower"][::-1])
    np.testing.assert_array_equal(s["p_MPa"][1:mlen + 1], kept)
    np.testing.assert_array_equal(s["p_MPa"][mlen + 1:-1], kept[::-1])
    assert np.all(s["T_lower"] < s["T_upper"])
    assert np.all(s["x_lo_upper"] < s["x_hi_upper"])
    assert np.all(s["x_lo_lower"] < s["x_hi_lower"])


@pytest.mark.parametrize("model", MODELS)
def test_spinodal_bounds_are_where_three_roots_appear(model):
    """Just inside each bound the condition has three roots, just outside one."""
    s = spinodal(model, pressures_with_spinodal(model))
    for P, tu, tl in zip(s["p_array"], s["T_upper"], s["T_lower"]):
        def three(T):
            L, th, W = PARAMS[model](T, P)
            e = 1 - 2 * th / W
            if W <= 0 or e <= 0:
                return False
            x1, x2 = (1 - math.sqrt(e)) / 2, (1 + math.sqrt(e)) / 2
            f = [residual(L, th, W, x) for x in (1e-12, x1, x2, 1 - 1e-12)]
            # Roots closer to 0 or 1 than 1e-12 do not count.
            return f[0] * f[1] < 0 and f[1] * f[2] < 0 and f[2] * f[3] < 0
        assert three(tu - 1e-6) and (tl == 5.0 or three(tl + 1e-6)), (model, P, tu, tl)
        if tu < CRIT[model][0] + 5 - 1e-9:  # the upper search stops at t_llcp + 5
            assert not three(tu + 1e-6), (model, P, tu)
        if tl > 5.0:
            assert not three(tl - 1e-6), (model, P, tl)


@pytest.mark.parametrize("model", MODELS)
def test_spinodal_compositions_are_the_outer_roots_inside_the_bounds(model):
    s = spinodal(model, pressures_with_spinodal(model))
    for i, P in enumerate(s["p_array"]):
        for T, lo, hi in ((s["T_upper"][i] - 0.001, s["x_lo_upper"][i], s["x_hi_upper"][i]),
                          (s["T_lower"][i] + 0.001, s["x_lo_lower"][i], s["x_hi_lower"][i])):
            want_lo, want_hi, _, _ = stable_roots(*PARAMS[model](T, P))
            assert abs(lo - want_lo) < 1e-9 and abs(hi - want_hi) < 1e-9, (model, P, T)


@pytest.mark.parametrize("model", MODELS)
@pytest.mark.parametrize("t_llcp", [None, math.nan, math.inf, 1e300])
def test_spinodal_one_point_results(model, t_llcp):
    # An empty input, pressures without a three-root region, NaN pressures,
    # and critical temperatures that give no usable scan.
    t0, p0 = CRIT[model]
    t = t0 if t_llcp is None else t_llcp
    for P in ([], [p0 - 300.0, math.nan]) if t_llcp is None else ([p0 + 60.0],):
        s = spinodal(model, P, t, p0)
        assert list(s) == SPIN_KEYS
        np.testing.assert_array_equal(s["T_K"], [t])
        np.testing.assert_array_equal(s["p_MPa"], [p0])
        for key in SPIN_KEYS[2:]:
            assert s[key].shape == (0,), (model, P, key)


def test_lower_bound_is_exactly_five_kelvin_when_five_kelvin_is_inside():
    s = spinodal("holten", [300.0, 400.0])
    assert list(s["T_lower"]) == [5.0, 5.0]
    L, th, W = holten_params(5.0, 300.0)
    assert W > 2 * th  # the region really reaches 5 K


@pytest.mark.parametrize("model, P, kept", [
    # Holten T_upper: 100 MPa 221.0 K, 150 MPa 217.6 K, 200 MPa 213.0 K,
    # 400 MPa 144.2 K; no spinodal at negative pressures.
    ("holten", [200.0, 400.0], [200.0, 400.0]),     # a fall of 69 K is kept
    ("holten", [400.0, 200.0], [200.0]),            # a rise of 69 K drops 400
    ("holten", [100.0, -50.0, 400.0, 200.0, -20.0, 150.0], [200.0, 150.0]),
    # Caupin (Table III) has a low-temperature island below its critical
    # pressure (T_upper 84 K at -28 MPa); the branch above drops it.
    ("caupin", [-28.0, 76.94655, 91.94655], [76.94655, 91.94655]),
    ("caupin", [91.94655, -28.0], [91.94655, -28.0]),
])
def test_continuity_filter(model, P, kept):
    s = spinodal(model, P)
    np.testing.assert_array_equal(s["p_array"], kept)


@settings(max_examples=25, deadline=None)
@given(st.sampled_from(MODELS),
       st.lists(st.floats(-150.0, 300.0, allow_nan=False), min_size=1, max_size=6))
def test_each_pressure_is_searched_independently(model, offsets):
    """A kept pressure's values equal those of a call with it alone."""
    P = CRIT[model][1] + np.array(offsets)
    s = spinodal(model, P)
    for i, p in enumerate(s["p_array"]):
        alone = spinodal(model, [p])
        for key in SPIN_KEYS[2:]:
            assert alone[key][0] == s[key][i], (model, list(P), p, key)


# ---------------------------------------------------------------------------
# Binodal.

@pytest.mark.parametrize("model", MODELS)
def test_binodal_points_are_coexistence_points(model):
    """At each point the fractions are the stable roots and have equal g."""
    s = spinodal(model, pressures_with_spinodal(model))
    b = binodal_of(model, s)
    assert list(b) == BIN_KEYS
    assert len(b["T_binodal"]) >= 4, model
    np.testing.assert_array_equal(b["T_K"], b["T_binodal"])
    np.testing.assert_array_equal(b["p_MPa"], b["p_array"])
    np.testing.assert_array_equal(b["x"], b["x_lo"])
    su = dict(zip(s["p_array"], s["T_upper"]))
    sl = dict(zip(s["p_array"], s["T_lower"]))
    for P, T, xl, xh in zip(b["p_array"], b["T_binodal"], b["x_lo"], b["x_hi"]):
        ctx = (model, P, T)
        assert sl[P] + 1e-4 <= T <= su[P] - 2e-4, ctx
        L, th, W = PARAMS[model](T, P)
        want_lo, want_hi, x1, x2 = stable_roots(L, th, W)
        assert xl < x1 < x2 < xh, ctx
        # 35 halvings of a bracket shorter than 0.5.
        assert abs(xl - want_lo) < 1e-10 and abs(xh - want_hi) < 1e-10, ctx
        # 25 halvings of one sample spacing: the sign change of g(x_hi) - g(x_lo)
        # lies within that distance of the reported temperature.
        tol = 2 * (su[P] - sl[P]) / 2**25
        assert delta_g(model, T - tol, P) * delta_g(model, T + tol, P) <= 0, ctx
        slope = abs(delta_g(model, T + tol, P) - delta_g(model, T - tol, P)) / (2 * tol)
        assert abs(gmix(L, th, W, xh) - gmix(L, th, W, xl)) <= slope * tol + 1e-12, ctx


@pytest.mark.parametrize("model", MODELS)
def test_binodal_empty_result(model):
    t0, p0 = CRIT[model]
    P = pressures_with_spinodal(model)[1]
    s = spinodal(model, [P])
    tu, tl = s["T_upper"][0], s["T_lower"][0]
    mid = (tu + tl) / 2
    cases = [
        ([], [], []),
        ([P], [mid + 1e-4], [mid - 1e-4]),         # interval of 2e-4 K
        ([P, P], [tl, math.nan], [tu, tl]),         # inverted, NaN
        ([p0 - 80.0], [t0 - 1.0], [t0 - 20.0]),     # no three-root region there
    ]
    for sp, su, sl in cases:
        b = binodal(model, sp, su, sl)
        assert list(b) == BIN_KEYS
        np.testing.assert_array_equal(b["T_K"], [t0])
        np.testing.assert_array_equal(b["p_MPa"], [p0])
        np.testing.assert_array_equal(b["x"], [0.5])
        for key in BIN_KEYS[3:]:
            assert b[key].shape == (0,), (model, sp, su, sl, key)


def test_binodal_skips_bad_points_and_keeps_input_order():
    s = spinodal("holten", [20.0, 100.0])
    sp = [100.0, 50.0, 20.0]
    su = [s["T_upper"][1], 200.0, s["T_upper"][0]]
    sl = [s["T_lower"][1], 200.0, s["T_lower"][0]]
    b = m.compute_binodal_holten(np.array(sp), np.array(su + [1.0, 2.0]),
                                 np.array(sl + [3.0]), 228.2, 0.0)
    np.testing.assert_array_equal(b["p_array"], [100.0, 20.0])
    ref = binodal_of("holten", s)
    np.testing.assert_array_equal(b["T_binodal"], ref["T_binodal"][::-1])


# ---------------------------------------------------------------------------
# The Python surface.

@pytest.mark.parametrize("model", MODELS)
def test_docstrings_hold_only_the_signature(model):
    sp = getattr(m, f"compute_spinodal_{model}")
    bn = getattr(m, f"compute_binodal_{model}")
    assert sp.__text_signature__ == "(p_arr, t_llcp, p_llcp)" and sp.__doc__ is None
    assert bn.__text_signature__ == "(spin_p, spin_t_upper, spin_t_lower, t_llcp, p_llcp)"
    assert bn.__doc__ is None


def test_not_contiguous_arrays_are_refused():
    a = np.arange(10.0)[::2]
    ok = np.arange(5.0)
    calls = [
        lambda: m.compute_spinodal_duska(a, 220.0, 54.0),
        lambda: m.compute_binodal_caupin(a, ok, ok, 218.0, 72.0),
        lambda: m.compute_binodal_caupin(ok, a, ok, 218.0, 72.0),
        lambda: m.compute_binodal_caupin(ok, ok, a, 218.0, 72.0),
    ]
    for call in calls:
        with pytest.raises(TypeError, match="^The given array is not contiguous$"):
            call()


@pytest.mark.parametrize("short", ["spin_t_upper", "spin_t_lower"])
def test_short_temperature_arrays_are_refused(short):
    args = {"spin_p": np.zeros(3), "spin_t_upper": np.zeros(3), "spin_t_lower": np.zeros(3)}
    args[short] = np.zeros(2)
    with pytest.raises(ValueError) as err:
        m.compute_binodal_holten(**args, t_llcp=228.2, p_llcp=0.0)
    msg = str(err.value)
    assert short in msg and "spin_p" in msg and "2" in msg and "3" in msg, msg


@pytest.mark.parametrize("call, message", [
    (lambda: m.compute_binodal_holten(),
     "compute_binodal_holten() missing 5 required positional arguments: 'spin_p', "
     "'spin_t_upper', 'spin_t_lower', 't_llcp', and 'p_llcp'"),
    (lambda: m.compute_spinodal_caupin([1.0], 1.0, 1.0),
     "argument 'p_arr': 'list' object cannot be converted to 'PyArray<T, D>'"),
    (lambda: m.compute_binodal_duska(np.zeros(1), np.zeros(1), np.zeros(1, np.float32), 1, 1),
     "argument 'spin_t_lower': 'ndarray' object cannot be converted to 'PyArray<T, D>'"),
    (lambda: m.compute_spinodal_holten(np.zeros(1), "x", 0.0),
     "argument 't_llcp': "),
    (lambda: m.compute_binodal_holten(np.zeros(1), np.zeros(1), np.zeros(1), 1.0, None),
     "argument 'p_llcp': "),
])
def test_argument_errors_name_the_parameter(call, message):
    # The float conversions carry CPython's own text after the prefix.
    with pytest.raises(TypeError) as err:
        call()
    got = str(err.value)
    assert got == message or (message.endswith(": ") and got.startswith(message)), got
