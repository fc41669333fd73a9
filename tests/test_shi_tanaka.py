"""Shi–Tanaka two-state model: check values, guard rules and thermodynamic
consistency of the mixture and of both pure states."""
import math

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import tessarin_rs as m

from support import PROPS13, STATE_SUFFIXES, assert_digits

T0, P0, DE, DS, DV = 308.15, 200.0, -6.334577316242091, 8.317, 1.593
# Values the guards give where volume and temperature are undefined.
GUARDED = {"rho": np.inf, "Kt": 0.0, "Ks": 0.0, "alpha": 0.0, "vel": 0.0}

# Values as quoted, by (T K, P MPa).
REFERENCE = {
    (273.15, 0.101325): dict(
        x="0.2365562", rho="999.441253", S="-439.1667", G="519199.124", H="399240.738",
        Cp="4214.8894", Cv="4211.6451", Kt="1921.7044", Ks="1923.1847",
        alpha="-7.859466e-5", vel="1387.1769", rho_A="1034.566927", Cp_A="3675.3981",
        rho_B="900.742939", Kt_B="3859.9200"),
    (230.0, 0.1): dict(x="0.5421223", rho="980.907207", Kt="1482.8414", vel="1256.2159"),
    (300.0, 100.0): dict(x="0.0673284", rho="1037.679558", vel="1659.3938"),
}


def batch(T, P):
    return m.compute_batch_shi_tanaka(np.ascontiguousarray(T, dtype=float),
                                      np.ascontiguousarray(P, dtype=float))


def exponent(T, P):
    """z = Δg/Th formed with the model's IEEE operations, before the clamp."""
    Th = T / T0
    return (DE + DS * Th + DV * (P / P0)) / Th


def same(got, want):
    return got == want or (np.isnan(got) and np.isnan(want))


@pytest.mark.parametrize("T, P", REFERENCE)
def test_reference_values(T, P):
    r = batch([T], [P])
    for key, quoted in REFERENCE[(T, P)].items():
        assert_digits(r[key][0], quoted, f"{key} at T={T} K, P={P} MPa")


@pytest.mark.parametrize("T, P", [(np.nan, 0.1), (273.15, np.nan), (0.0, 0.1), (-50.0, 0.1)])
def test_undefined_input_rules(T, P):
    r = {k: v[0] for k, v in batch([T], [P]).items()}
    assert np.isnan(r["x"])
    nan_input = np.isnan(T) or np.isnan(P)
    for sfx in STATE_SUFFIXES if nan_input else ("",):
        for key in PROPS13:
            assert same(r[key + sfx], GUARDED.get(key, np.nan)), (key + sfx, T, P, r[key + sfx])
    if not nan_input:
        # T <= 0: the state volumes never involve ln Th or 1/Th.
        for key in ("rho_A", "Kt_A", "alpha_A", "rho_B", "Kt_B", "alpha_B"):
            assert np.isfinite(r[key]) and r[key] != 0, (key, T)
        assert np.isnan(r["G_A"]) and np.isnan(r["Cp_B"]), T


def test_clamped_exponents():
    assert exponent(3.0, 20000.0) > 700 and exponent(0.5, 0.1) < -700
    r = batch([3.0, 0.5], [20000.0, 0.1])
    assert r["x"][0] == 1 / (math.exp(700.0) + 1) and r["x"][1] == 1.0
    assert np.all(np.isfinite(r["G"])) and np.all(np.isfinite(r["S"]))


def test_x_is_one_exactly_when_the_logistic_saturates():
    # Near 97 K at -1000 MPa z crosses -36.7, where 1 + exp(z) starts to round to 1.
    T = np.linspace(96.0, 98.0, 4001)
    r = batch(T, np.full_like(T, -1000.0))
    sat = np.array([1.0 + math.exp(exponent(t, -1000.0)) == 1.0 for t in T])
    assert sat.any() and not sat.all()
    wrong = (r["x"] == 1.0) != sat
    assert not wrong.any(), T[wrong]
    # The mixing logarithms use a clamped fraction: no 0·ln 0 where x == 1.
    assert np.all(np.isfinite(r["G"][sat])) and np.all(np.isfinite(r["S"][sat]))


def test_negative_compressibility_rules():
    # At high pressure the volume grows with pressure (Kt < 0): Cv stays Cp,
    # Ks is infinite and there is no sound speed.
    T, P = (a.ravel() for a in np.meshgrid(np.linspace(150, 600, 10), np.linspace(250, 3000, 12)))
    r = batch(T, P)
    for sfx in STATE_SUFFIXES:
        neg = r["Kt" + sfx] < 0
        assert (neg & (r["Cp" + sfx] > 0)).any() and (neg & (r["Cp" + sfx] < 0)).any(), sfx
        ok = (r["Cv" + sfx] == r["Cp" + sfx]) & (r["Ks" + sfx] == np.inf) & np.isnan(r["vel" + sfx])
        assert ok[neg].all(), (sfx, list(zip(T[neg & ~ok], P[neg & ~ok])))


@settings(max_examples=300, deadline=None)
@given(st.lists(st.tuples(st.one_of(st.floats(1e-3, 2000.0), st.floats(-100.0, 0.0),
                                    st.just(np.nan)),
                          st.one_of(st.floats(-3000.0, 30000.0), st.just(np.nan))),
                min_size=1, max_size=20))
def test_pure_state_relations(points):
    T, P = np.array(points).T
    r = batch(T, P)
    # The states differ only by Δg, linear in Th: same curvature in T.
    np.testing.assert_array_equal(r["Cp_B"], r["Cp_A"], err_msg=str(points))
    x = r["x"][np.isfinite(P) & (T > 0)]
    assert np.all((x > 0) & (x <= 1)), points


# Reported derivatives against central differences of the reported G, S, V.
DT, DP = 1e-3, 1e-2  # K, MPa
RTOL = {"V": 1e-7, "S": 1e-6, "Cp": 1e-6, "alpha": 1e-5, "Kt": 1e-6}


@pytest.mark.parametrize("T, P", [(273.15, 0.101325), (230.0, 0.1), (300.0, 100.0),
                                  (250.0, -80.0), (360.0, 400.0)])
@pytest.mark.parametrize("sfx", STATE_SUFFIXES)
def test_thermodynamic_consistency(T, P, sfx):
    r = batch([T, T + DT, T - DT, T, T], [P, P, P, P + DP, P - DP])
    G, S, V = (r[k + sfx] for k in ("G", "S", "V"))
    derived = {
        "V": (G[3] - G[4]) / (2 * DP * 1e6),
        "S": -(G[1] - G[2]) / (2 * DT),
        "Cp": T * (S[1] - S[2]) / (2 * DT),
        "alpha": (V[1] - V[2]) / (2 * DT) / V[0],
        "Kt": -V[0] / ((V[3] - V[4]) / (2 * DP)),
    }
    for key, want in derived.items():
        assert r[key + sfx][0] == pytest.approx(want, rel=RTOL[key]), (key + sfx, T, P)
    Cp, Cv, Kt, Ks, rho, vel = (r[k + sfx][0] for k in ("Cp", "Cv", "Kt", "Ks", "rho", "vel"))
    assert Cp / Cv == pytest.approx(Ks / Kt, rel=1e-12), (sfx, T, P)
    assert vel**2 == pytest.approx(Ks * 1e6 / rho, rel=1e-12), (sfx, T, P)


def test_batch_adds_no_threads(python_subprocess):
    # The worker pool starts its threads on first parallel use; this batch
    # runs on the calling thread and must not start it.
    out = python_subprocess("""
        import os, numpy as np, tessarin_rs as m
        t = np.linspace(200.0, 400.0, 200_000)
        before = len(os.listdir("/proc/self/task"))
        m.compute_batch_shi_tanaka(t, np.full_like(t, 0.1))
        print(before, len(os.listdir("/proc/self/task")))
    """)
    before, after = out.split()
    assert after == before
