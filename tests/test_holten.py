"""Holten two-state model: published check values and its special rules."""
import numpy as np
import pytest

import tessarin_rs as m

from support import assert_digits

# (T K, P MPa, key, value as quoted)
REFERENCE = [
    (273.15, 0.101325, "rho", "999.842291"),
    (273.15, 0.101325, "x", "0.0966547"),
    (273.15, 0.101325, "Cp", "4218.300"),
    (273.15, 0.101325, "Cv", "4215.795"),
    (273.15, 0.101325, "Kt", "1965.216"),
    (273.15, 0.101325, "Ks", "1966.384"),
    (273.15, 0.101325, "alpha", "-6.83042e-5"),
    (273.15, 0.101325, "vel", "1402.389"),
    (273.15, 0.101325, "S", "-0.147646"),
    (273.15, 0.101325, "G", "101.3427"),
    (273.15, 0.101325, "rho_A", "1071.226"),
    (273.15, 0.101325, "rho_B", "907.436"),
    (230.0, 0.1, "x", "0.338730"),
    (230.0, 0.1, "rho", "945.3165"),
    (230.0, 0.1, "Kt", "466.733"),
    (230.0, 0.1, "vel", "1176.011"),
    (200.0, -100.0, "x", "0.826750"),
]


@pytest.mark.parametrize("T, P, key, quoted", REFERENCE)
def test_reference_values(T, P, key, quoted):
    got = m.compute_batch_holten(np.array([T]), np.array([P]))[key][0]
    assert_digits(got, quoted, f"{key} at T={T} K, P={P} MPa")


def one(T, P):
    return {k: v[0] for k, v in m.compute_batch_holten(np.array([T]), np.array([P])).items()}


def test_state_b_at_the_melting_point_is_mechanically_unstable():
    r = one(273.15, 0.101325)
    assert r["Kt_B"] == np.inf and r["Ks_B"] == np.inf
    assert np.isnan(r["vel_B"])
    assert r["Cv_B"] == r["Cp_B"]


def test_mirrored_root_with_unstable_mixture():
    r = one(200.0, -100.0)
    assert r["x"] > 0.5
    assert r["Kt"] == np.inf and r["Ks"] == np.inf and np.isnan(r["vel"])
    assert r["Cv"] == r["Cp"]


def test_at_minus_300_mpa_background_is_undefined_but_x_is_solved():
    r = one(250.0, -300.0)
    assert 0.0 < r["x"] < 1.0
    for key in ("rho", "V", "S", "G", "Cp", "rho_A", "G_A", "rho_B", "G_B"):
        assert not np.isfinite(r[key]), key


def test_fraction_where_the_residual_vanishes_exactly():
    # The published bisection meets a residual of exactly 0 at this point and
    # then drifts to the top of its bracket, 1.3e-11 above the root; the
    # root of the equilibrium condition for the point's L and omega, to 120
    # bits, is 0.1970936387593100235.
    assert abs(one(232.24139945001593, 29.882428387856315)["x"] - 0.19709363875931002) <= 1e-15


@pytest.mark.parametrize("T", [3000.0, 5000.0, 8000.0])
def test_far_above_range_takes_newton_branch(T):
    x = one(T, 0.1)["x"]
    assert 0.0 < x < 1e-15


@pytest.mark.parametrize("T, P", [(np.nan, 0.1), (273.15, np.nan)])
def test_nan_input_gives_nan_properties(T, P):
    r = one(T, P)
    for key in ("rho", "S", "G", "Cp", "rho_B"):
        assert np.isnan(r[key]), key


def test_x_above_half_exactly_when_field_negative():
    # On the bisection paths the reported x is mirrored when L < 0; along an
    # isobar the field changes sign once, so x crosses 0.5 once.
    t = np.linspace(190.0, 320.0, 2000)
    x = m.compute_batch_holten(t, np.full_like(t, 0.1))["x"]
    above = x > 0.5
    assert above[0] and not above[-1]
    assert np.count_nonzero(above[1:] != above[:-1]) == 1


STEP = {"T": 1e-3, "P": 1e-3}


def derivative(key, T, P, var):
    h = STEP[var]
    if var == "T":
        a, b = one(T + h, P), one(T - h, P)
    else:
        a, b = one(T, P + h), one(T, P - h)
    return (a[key] - b[key]) / (2 * h)


@pytest.mark.parametrize("T, P", [(273.15, 0.1), (250.0, 50.0), (320.0, 150.0), (235.0, 10.0)])
@pytest.mark.parametrize("suffix", ["", "_A", "_B"])
def test_thermodynamic_consistency(T, P, suffix):
    """V, S, Cp, alpha and Kt agree with finite differences of G, S and V."""
    r = one(T, P)
    g = lambda k: k + suffix
    V, S, Cp = r[g("V")], r[g("S")], r[g("Cp")]
    checks = {
        "V": (derivative(g("G"), T, P, "P") / 1e6, V),
        "S": (-derivative(g("G"), T, P, "T"), S),
        "Cp": (T * derivative(g("S"), T, P, "T"), Cp),
        "alpha": (derivative(g("V"), T, P, "T") / V, r[g("alpha")]),
    }
    kt = -V / (derivative(g("V"), T, P, "P"))
    if np.isfinite(r[g("Kt")]):
        checks["Kt"] = (kt, r[g("Kt")])
    for name, (numeric, reported) in checks.items():
        assert numeric == pytest.approx(reported, rel=2e-5, abs=1e-9), (
            f"{name}{suffix} at T={T}, P={P}: finite difference {numeric!r}, reported {reported!r}"
        )
