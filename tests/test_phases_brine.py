"""Ice and NaCl brine: freezing points near the published ones, ice-brine
lines that are equalities of muw and M_w G_ice and agree with whichphase on
either side, the freezing temperature as the stable ice's line, the LP/HP
blend, and the molality's broadcasting and ranges."""
import numpy as np
import pytest

import tessarin
from tessarin import _native

MW = 0.018015268  # kg/mol

# Freezing points at 0.1 MPa: m (mol/kg), published T (K), tolerance (K),
# 1.5 x the deviation measured when this was written (docs/nacl.md). Pure
# water: 273.1526 K (IAPWS R14-08); the NaCl spline's own water freezes
# 0.0788 K higher. 1 mol/kg: 269.85 K (measured +0.0004 K). 0.5 mol/kg: a
# depression of 1.6 K below 273.15 K (measured 1.6134 K).
FREEZING = [(0.0, 273.1526, 0.118), (0.5, 273.15 - 1.6, 0.020), (1.0, 269.85, 0.00062)]

ICES = ["Ih", "II", "III", "V", "VI", "VII_X_French"]
MOLALITIES = [0.0, 0.5, 2.0, 4.0, 6.0]


@pytest.mark.parametrize("m, published, tol", FREEZING)
def test_freezing_point_near_published(m, published, tol):
    assert abs(float(tessarin.freezing_temperature(P=0.1, m=m)) - published) <= tol


def muw_minus_ice(ice, P, T, m):
    """muw - M_w G_ice and the scale of muw (J/mol, at least M_w x 1 J/kg)."""
    mu = tessarin.properties("NaClaq", T=T, P=P, m=m, keys=["muw"], out_of_range="ignore")["muw"]
    g = tessarin.properties(ice, T=T, P=P, keys=["G"], out_of_range="ignore")["G"]
    return mu - MW * g, np.maximum(np.abs(mu), MW)


def line_cases():
    for ice in ICES:
        for var in ("T", "P"):
            lo, hi = tessarin.phase_range(ice)[var]
            lo, hi = (max(lo, 229.0), min(hi, 2001.0)) if var == "T" else (lo, min(hi, 10001.0))
            yield ice, var, np.linspace(lo, hi, 25)


@pytest.mark.parametrize("ice, var, values", list(line_cases()),
                         ids=lambda v: v if isinstance(v, str) else "")
def test_ice_brine_lines_are_equalities_consistent_with_whichphase(ice, var, values):
    m = np.array(MOLALITIES)[:, None]
    line = tessarin.phase_line(ice, "NaClaq", **{var: values}, m=m)
    assert line["P"].shape == (len(MOLALITIES), len(values))
    found = ~np.isnan(line["P"])
    assert found.any() and not line["stable"][~found].any()
    mm = np.broadcast_to(m, found.shape)[found]
    P, T = line["P"][found], line["T"][found]
    diff, scale = muw_minus_ice(ice, P, T, mm)
    assert (np.abs(diff) <= 1e-9 * scale).all()
    # A tiny step of the solved variable either way crosses from the ice to
    # the brine at every stable point.
    solved = "T" if var == "P" else "P"
    x = line[solved][found]
    step = 1e-6 * (np.abs(x) + 1.0)
    use = line["stable"][found]
    sides = [tessarin.whichphase(**{"P": P, "T": T, solved: x + sign * step}, m=mm)[use]
             for sign in (-1.0, 1.0)]
    want = {tessarin.phase_number(ice), 0}
    for below, above in zip(*sides):
        assert {below, above} == want, (ice, below, above)


def test_freezing_temperature_is_the_stable_ices_line():
    P = np.array([0.1, 100.0, 250.0, 400.0, 700.0, 1500.0, 3000.0, 6000.0])
    m = np.array([0.0, 1.0, 4.0])[:, None]
    T = tessarin.freezing_temperature(P=P, m=m)
    assert T.shape == (3, len(P)) and np.isfinite(T).all()
    # Just below it the stable phase is an ice, and its line with the brine
    # gives the same point; just above, the brine.
    below = tessarin.whichphase(P=P, T=T - 1e-6, m=m)
    assert (below > 0).all() and (tessarin.whichphase(P=P, T=T + 1e-6, m=m) == 0).all()
    for number in np.unique(below):
        at = below == number
        line = tessarin.phase_line(tessarin.phase_name(number), "NaClaq",
                                   P=np.broadcast_to(P, T.shape)[at],
                                   m=np.broadcast_to(m, T.shape)[at])
        np.testing.assert_allclose(line["T"], T[at], rtol=1e-9)
        assert line["stable"].all()
    # Salt lowers the freezing point; deep in the salt the brine leaves its
    # range (229.9 K below 499.9 MPa) before it freezes.
    assert (np.diff(T, axis=0) < 0).all()
    assert np.isnan(tessarin.freezing_temperature(P=[300.0, 0.1, 0.1, np.nan],
                                                  m=[6.5, 7.5, np.nan, 1.0])).all()


def test_joined_brine_freezes_between_its_splines():
    # muw is blended between 499.9 and 1001 MPa, so the freezing point lies
    # between those of LP and HP, joins each of them at the ends of the
    # blend and moves continuously across them.
    m = np.array([0.5, 2.0, 4.0])[:, None]
    P = np.array([600.0, 700.0, 800.0, 900.0])
    by = {mat: _native.freezing_temperature(mat, *(np.ascontiguousarray(a.reshape(-1)) for a in
                                                   np.broadcast_arrays(P, m)))
          for mat in ("NaClaq_LP", "NaClaq_HP", "NaClaq")}
    lo, hi = np.minimum(by["NaClaq_LP"], by["NaClaq_HP"]), np.maximum(by["NaClaq_LP"],
                                                                      by["NaClaq_HP"])
    assert (lo <= by["NaClaq"]).all() and (by["NaClaq"] <= hi).all()
    for edge in (499.9, 1001.0):
        T = tessarin.freezing_temperature(P=[edge - 1e-6, edge + 1e-6], m=m)
        assert (np.abs(np.diff(T, axis=1)) < 1e-5).all()


def test_whichphase_with_molality():
    # At 0.1 MPa and 270 K: Ih for pure water and 0.5 mol/kg (freezing at
    # 271.54 K), brine from 1 mol/kg (freezing at 269.85 K).
    got = tessarin.whichphase(P=0.1, T=270.0, m=[0.0, 0.5, 1.0, 2.0])
    np.testing.assert_array_equal(got, [1.0, 1.0, 0.0, 0.0])
    # m outside 0..7.01 mol/kg or NaN: no answer; without m: pure water.
    assert np.isnan(tessarin.whichphase(P=0.1, T=268.0, m=[-0.1, 7.5, np.nan])).all()
    assert tessarin.whichphase(P=0.1, T=272.0) == 1 and tessarin.whichphase(
        P=0.1, T=272.0, m=1.0).shape == ()
    p, t, m = np.linspace(0, 2500, 9), np.linspace(200, 400, 7), np.array([0.0, 1.0, 4.0])
    grid = tessarin.whichphase(P=p, T=t, m=m, grid=True)
    assert grid.shape == (9, 7, 3)
    np.testing.assert_array_equal(grid, tessarin.whichphase(P=p[:, None, None],
                                                            T=t[:, None], m=m))


@pytest.mark.parametrize("call, error, pattern", [
    (lambda: tessarin.phase_line("Ih", "NaClaq", T=260.0), TypeError, "needs the molality m"),
    (lambda: tessarin.phase_line("Ih", "water1", T=260.0, m=1.0), TypeError, "only for"),
    (lambda: tessarin.phase_line("NaClaq", "water1", P=0.1, m=1.0), ValueError, "must be an ice"),
    (lambda: tessarin.phase_line("NaClaq", "NaClaq_LP", P=0.1, m=1.0), ValueError,
     "a solution too"),
    (lambda: tessarin.phase_line("Ih", "NaClaq", P=[0.1, 1.0], m=[1.0, 2.0, 3.0]), ValueError,
     "broadcast"),
    (lambda: tessarin.freezing_temperature(P=0.1, m="1"), TypeError, "m must be a real number"),
])
def test_errors(call, error, pattern):
    with pytest.raises(error, match=pattern):
        call()
