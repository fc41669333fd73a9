"""The tessarin package over the core: the same bits for any input form,
shapes, blocks, keys, ranges and their policy, errors that name the argument,
critical points and the liquid-liquid transition."""
import dataclasses
import re
import subprocess
import sys
import warnings
from pathlib import Path

import numpy as np
import pytest

import tessarin
import tessarin_rs as ts
from tessarin import _inputs

ROOT = Path(__file__).resolve().parents[1]
MODELS = ["holten", "caupin", "caupin_kim", "duska", "shi_tanaka"]
PHASES = ["water1", "water_IAPWS95", "Ih", "II", "III", "V", "VI", "VII_X_French"]
SOLUTIONS = ["NaClaq", "NaClaq_LP", "NaClaq_HP", "NaClaq_5GPa_2024"]


def core(material, t, p):
    """The core's result at matched points (float64 copies of t and p)."""
    t = np.ascontiguousarray(t, dtype=np.float64).ravel()
    p = np.ascontiguousarray(p, dtype=np.float64).ravel()
    if material in PHASES:
        return ts.sf_getprop_scatter(material, p, t)
    return getattr(ts, f"compute_batch_{material}")(t, p)


def inside_points(material, n, seed=0):
    rng = np.random.default_rng(seed)
    lim = tessarin.valid_range(material)
    return rng.uniform(*lim["T"], n), rng.uniform(*lim["P"], n)


def same_bits(a, b):
    return np.array_equal(np.asarray(a).view(np.int64), np.asarray(b).view(np.int64))


def test_materials_in_fixed_order():
    assert tessarin.materials() == MODELS + PHASES + SOLUTIONS


@pytest.mark.parametrize("material", MODELS + PHASES)
def test_values_and_keys_are_the_cores(material):
    t, p = inside_points(material, 24)
    t[3] = tessarin.valid_range(material)["T"][1] + 50.0  # outside: still the core's value
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        got = tessarin.properties(material, T=t.reshape(4, 6), P=p.reshape(4, 6))
    one = tessarin.properties(material, T=float(t[0]), P=float(p[0]))  # 0-d route
    want = core(material, t, p)
    assert list(got) == list(one) == list(want) == tessarin.keys(material)
    for k in want:
        assert got[k].shape == (4, 6) and got[k].dtype == np.float64
        assert same_bits(got[k].ravel(), want[k]), k
        assert one[k].shape == () and same_bits(one[k], want[k][0]), k


@pytest.mark.parametrize("T, P, shape", [
    (300, 0.1, ()),
    (np.float32(300.0), np.int64(1), ()),
    ([250, 300], 0.1, (2,)),
    (np.array([[250.0], [260.0], [270.0]]), [0.1, 10, 20, 30], (3, 4)),
    (np.arange(250, 262, dtype=np.int16).reshape(2, 3, 2), np.float16(5.0), (2, 3, 2)),
    (np.linspace(250, 300, 12)[::3], [[1.0], [2.0]], (2, 4)),  # strided
    (np.array([], dtype=np.float64), 1.0, (0,)),
])
@pytest.mark.parametrize("material", ["caupin", "Ih"])
def test_any_real_input_broadcasts(material, T, P, shape):
    got = tessarin.properties(material, T=T, P=P, keys=["rho", "G"])
    tb, pb = np.broadcast_arrays(np.asarray(T, dtype=np.float64), np.asarray(P, dtype=np.float64))
    want = core(material, tb, pb)
    for k in ("rho", "G"):
        assert got[k].shape == shape and isinstance(got[k], np.ndarray)
        assert same_bits(got[k].ravel(), want[k])


@pytest.mark.parametrize("material", ["holten", "VI"])
def test_grid_is_pressure_by_temperature(material):
    t = np.linspace(250.0, 300.0, 7)
    p = np.linspace(1.0, 200.0, 5)
    got = tessarin.properties(material, T=list(t), P=p, grid=True)
    pp, tt = np.meshgrid(p, t, indexing="ij")
    want = core(material, tt, pp)
    for k in want:
        assert got[k].shape == (5, 7)
        assert same_bits(got[k].ravel(), want[k]), k


@pytest.mark.parametrize("block_points, grid", [(1, False), (7, False), (5, True), (3, True),
                                                (40, True)])
@pytest.mark.parametrize("material", ["duska", "water1"])
def test_blocks_give_the_bits_of_one_call(monkeypatch, material, block_points, grid):
    """Small blocks: single points, blocks that split an axis, a grid whose
    rows are longer than a block; a NaN and out-of-range points in later
    blocks are still found, counted and reported first-first."""
    n_keys = len(tessarin.keys(material))
    t = np.linspace(250.0, 330.0, 9)
    p = np.array([0.1, 30.0, 60.0, 90.0])
    t[5], t[7] = np.nan, 600.0
    shape = (4, 9) if grid else (4, 9)
    args = dict(T=t, P=p, grid=True) if grid else dict(T=t, P=p[:, None])
    with warnings.catch_warnings(record=True) as whole_warns:
        warnings.simplefilter("always")
        whole = tessarin.properties(material, keys=["rho", "S"], **args)
    monkeypatch.setattr(_inputs, "BLOCK_BYTES", 8 * n_keys * block_points)
    with warnings.catch_warnings(record=True) as block_warns:
        warnings.simplefilter("always")
        blocked = tessarin.properties(material, keys=["rho", "S"], **args)
    for k in ("rho", "S"):
        assert blocked[k].shape == shape
        assert same_bits(blocked[k], whole[k]), k
        assert np.isnan(blocked[k][:, 5]).all()
    assert [str(w.message) for w in block_warns] == [str(w.message) for w in whole_warns]
    assert len(block_warns) == 1 and "4 of 36 points" in str(block_warns[0].message)
    assert "T = 600 K, P = 0.1 MPa at index (0, 7)" in str(block_warns[0].message)


def test_memory_stays_within_selected_keys_and_one_block(monkeypatch):
    """Only the selected keys are kept at full size: the core is never asked
    for more than one block of points at a time."""
    seen = []
    registry = tessarin._materials.MATERIALS
    real = registry["holten"].evaluate
    monkeypatch.setattr(_inputs, "BLOCK_BYTES", 8 * 40 * 100)
    monkeypatch.setitem(registry, "holten", dataclasses.replace(
        registry["holten"], evaluate=lambda P, T: seen.append(len(T)) or real(P, T)))
    t, p = inside_points("holten", 1000)
    out = tessarin.properties("holten", T=t, P=p, keys=["rho"])
    assert max(seen) == 100 and sum(seen) == 1000 and list(out) == ["rho"]
    seen.clear()
    tessarin.properties("holten", T=t, P=p)  # every key kept anyway: one call
    assert seen == [1000]


def test_keys_select_in_the_order_given():
    r = tessarin.properties("Ih", T=250.0, P=1.0, keys=["Vs", "rho", "Vs"])
    assert list(r) == ["Vs", "rho"]
    assert list(tessarin.properties("Ih", T=250.0, P=1.0, keys="rho")) == ["rho"]


@pytest.mark.parametrize("call, error, pattern", [
    (lambda: tessarin.properties("holtn", T=1, P=1), ValueError,
     r"unknown material 'holtn'; valid materials: 'holten', 'caupin', .*'VII_X_French'"),
    (lambda: tessarin.properties(None, T=1, P=1), TypeError, r"material must be a str"),
    (lambda: tessarin.properties("holten", T=1, P=1, keys=["rho", "Vp"]), ValueError,
     r"unknown key 'Vp' for material 'holten'; valid keys: rho, V, S, .*, vel_B$"),
    (lambda: tessarin.properties("holten", T=1, P=1, keys=3), TypeError, r"keys must be a list"),
    (lambda: tessarin.properties("holten", T="300", P=1), TypeError,
     r"^T must be a real number or an array of real numbers, not str$"),
    (lambda: tessarin.properties("holten", T=300, P=[1, None]), TypeError,
     r"^P must be .* not an array of dtype object$"),
    (lambda: tessarin.properties("holten", T=300 + 1j, P=1), TypeError, r"^T .* not complex$"),
    (lambda: tessarin.properties("holten", T=True, P=1), TypeError, r"^T .* not bool$"),
    (lambda: tessarin.properties("holten", T=[[1, 2], [3]], P=1), ValueError,
     r"^T is not a regular array of numbers"),
    (lambda: tessarin.properties("holten", T=[1, 2, 3], P=[1, 2]), ValueError,
     r"^P with shape \(2,\) and T with shape \(3,\) do not broadcast to one shape; .*grid=True"),
    (lambda: tessarin.properties("holten", T=[[1, 2]], P=[1], grid=True), ValueError,
     r"^grid=True needs one-dimensional P and T; T has shape \(1, 2\)$"),
    (lambda: tessarin.properties("holten", T=1, P=1, out_of_range="quiet"), ValueError,
     r"^out_of_range must be one of 'warn', 'nan', 'raise', 'ignore'; got 'quiet'$"),
    (lambda: tessarin.properties("holten", 300, 1), TypeError, r"positional"),
])
def test_errors_name_the_argument(call, error, pattern):
    with pytest.raises(error, match=pattern):
        call()


def outside_case():
    t = np.array([[250.0, 25.0, np.nan], [400.0, 260.0, 20.0]])
    return t, 0.1


def test_out_of_range_warn_once_with_count_and_first_point():
    t, p = outside_case()
    with pytest.warns(RuntimeWarning) as record:
        r = tessarin.properties("holten", T=t, P=p, keys=["rho"])
    assert len(record) == 1 and record[0].filename == __file__
    assert re.match(r"3 of 6 points are outside the valid range of 'holten' \(T 181 to 300 K, "
                    r"P 0 to 400 MPa\), the first T = 25 K, P = 0\.1 MPa at index \(0, 1\); ",
                    str(record[0].message))
    assert same_bits(r["rho"][[0, 1, 1], [1, 0, 2]], core("holten", [25.0, 400.0, 20.0], [p] * 3)
                     ["rho"])


@pytest.mark.parametrize("policy", ["nan", "ignore", "raise"])
def test_out_of_range_other_policies(policy):
    t, p = outside_case()
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        if policy == "raise":
            with pytest.raises(ValueError, match=r"^T = 25 K, P = 0\.1 MPa at index \(0, 1\) is "
                               r"outside the valid range of 'holten' .*, as are 2 more of the 6"):
                tessarin.properties("holten", T=t, P=p, out_of_range=policy)
            return
        r = tessarin.properties("holten", T=t, P=p, out_of_range=policy)
    outside = np.array([[False, True, False], [True, False, True]])
    want = core("holten", t, np.full(t.shape, p))
    for k, v in r.items():
        assert np.isnan(v[0, 2])  # NaN temperature: NaN in every key
        if policy == "nan":
            assert np.isnan(v[outside]).all(), k
        else:
            assert same_bits(v[outside], want[k].reshape(t.shape)[outside]), k


def test_nan_input_gives_nan_and_is_not_out_of_range():
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        for T, P in ((np.nan, 0.1), (250.0, float("nan"))):
            r = tessarin.properties("shi_tanaka", T=T, P=P, out_of_range="raise")
            assert all(np.isnan(v) for v in r.values())


def test_valid_range_of_splines_is_the_documented_knot_range():
    text = (ROOT / "docs" / "splines.md").read_text(encoding="utf-8")
    rows = re.findall(r'^\| `"(\w+)"` \| ([-\d.e]+) to ([-\d.e]+) \| ([-\d.e]+) to ([-\d.e]+) \|$',
                      text, re.M)
    assert [r[0] for r in rows] == PHASES
    for phase, p0, p1, t0, t1 in rows:
        lim = tessarin.valid_range(phase)
        assert lim == {"T": (float(t0), float(t1)), "P": (float(p0), float(p1))}, phase


@pytest.mark.parametrize("model", MODELS)
def test_valid_range_of_models_is_stated_on_their_page(model):
    lim = tessarin.valid_range(model)
    page = (ROOT / "docs" / "models" / f"{model.replace('_kim', '')}.md").read_text("utf-8")
    (t0, t1), (p0, p1) = lim["T"], lim["P"]
    assert f'`tessarin.valid_range("{model}")`: T {t0:g} to {t1:g} K, P {p0:g} to {p1:g} MPa' in page


def test_in_range_includes_limits_and_excludes_nan():
    (t0, t1), (p0, p1) = tessarin.valid_range("Ih").values()
    got = tessarin.in_range("Ih", T=[[t0], [t1], [np.nan], [t1 + 1e-9]], P=[p0, p1])
    assert got.dtype == bool and got.tolist() == [[True, True], [True, True], [False, False],
                                                  [False, False]]
    assert tessarin.in_range("holten", T=[250, 300], P=[0, 500], grid=True).shape == (2, 2)


# Critical points the native search must reproduce: the stated reducing points
# and Duska's as the phase-diagram figures were drawn with.
@pytest.mark.parametrize("model, want", [
    ("holten", (228.2, 0.0)), ("caupin", (218.1348, 71.94655)),
    ("caupin_kim", (219.4717, 58.73897)), ("duska", (220.8932373828083, 54.161669291945344))])
def test_critical_points(model, want):
    from tessarin import _native

    assert tessarin.critical_point(model) == pytest.approx(want, rel=1e-12, abs=1e-9)
    assert _native.critical_point(model) == pytest.approx(want, rel=1e-12, abs=1e-9)


@pytest.mark.parametrize("model, pattern", [
    ("shi_tanaka", r"'shi_tanaka' has no liquid-liquid critical point in this form"),
    ("Ih", r"'Ih' is not a two-state liquid model"),
    ("ice", r"unknown material 'ice'")])
def test_no_critical_point(model, pattern):
    with pytest.raises(ValueError, match=pattern):
        tessarin.critical_point(model)
    with pytest.raises(ValueError, match=pattern):
        tessarin.liquid_liquid(model, P=100.0)


@pytest.mark.parametrize("model", ["holten", "caupin", "caupin_kim", "duska"])
def test_liquid_liquid_is_the_cores_per_pressure(model):
    tc, pc = tessarin.critical_point(model)
    p = np.array([[pc + 120.0, pc - 10.0], [np.nan, pc + 20.0], [pc + 120.0, pc]])
    r = tessarin.liquid_liquid(model, P=p)
    assert float(r["T_c"]) == tc and float(r["P_c"]) == pc
    spin = getattr(ts, f"compute_spinodal_{model}")
    bino = getattr(ts, f"compute_binodal_{model}")
    for idx in ((0, 0), (1, 1), (2, 0)):
        s = spin(np.array([p[idx]]), tc, pc)
        b = bino(s["p_array"], s["T_upper"], s["T_lower"], tc, pc)
        for key, want in (("T_upper", s["T_upper"]), ("T_lower", s["T_lower"]),
                          ("T_binodal", b["T_binodal"]), ("x_lo", b["x_lo"]),
                          ("x_hi", b["x_hi"])):
            assert r[key].shape == p.shape and same_bits(r[key][idx], want[0]), (key, idx)
        assert r["T_lower"][idx] < r["T_binodal"][idx] < r["T_upper"][idx] < tc + 5
    for idx in ((0, 1), (1, 0), (2, 1)):  # below or at P_c, NaN: no transition
        assert all(np.isnan(r[k][idx]) for k in ("T_upper", "T_lower", "T_binodal"))


def test_import_loads_neither_xarray_nor_dask():
    code = ("import sys, tessarin; tessarin.properties('holten', T=[250.0], P=[1.0]); "
            "print(sorted(m for m in ('xarray', 'dask') if m in sys.modules))")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         check=True).stdout
    assert out.strip() == "[]"

