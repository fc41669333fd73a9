"""Phase equilibria of the tessarin package: published melting pressures and
triple points within the deviation measured for the splines, the stable
phase at reference states, coexistence lines that are true equalities of
the Gibbs energies and agree with whichphase on either side, and the
density inversion."""
import itertools
import warnings

import numpy as np
import pytest

import tessarin

PHASES = ["water1", "Ih", "II", "III", "V", "VI", "VII_X_French"]

# IAPWS R14-08 (Table 3) melting pressures: ice, T (K), published P (MPa),
# and the tolerance: 1.5 x the deviation of the SeaFreeze splines measured
# when this was written (docs/phases.md).
MELTING = [
    ("Ih", 260.0, 138.268, 0.39),    # measured -0.256 MPa
    ("III", 254.0, 268.685, 14.2),   # measured +9.46 MPa (0.34 K along the steep III curve)
    ("V", 265.0, 479.640, 1.26),     # measured -0.834 MPa
    ("VI", 320.0, 1356.76, 6.72),    # measured -4.48 MPa
]

# IAPWS R14-08 triple points with the liquid: phases, published P (MPa) and
# T (K), tolerances in P and T (1.5 x the measured deviation).
TRIPLE = [
    (("Ih", "III", "water1"), 208.566, 251.165, 1.46, 0.069),     # -0.973 MPa, -0.046 K
    (("III", "V", "water1"), 350.100, 256.164, 0.015, 0.00015),   # +0.0095 MPa, +0.0001 K
    (("V", "VI", "water1"), 632.400, 273.31, 3.0, 0.145),         # +2.00 MPa, +0.096 K
    (("VI", "VII_X_French", "water1"), 2216.0, 355.0, 7.27, 1.2),  # -4.84 MPa, -0.80 K
]

# (P MPa, T K, phase). At 3000 MPa and 300 K ice VII is the stable ice in
# nature, but the VI spline, whose range reaches 3000 MPa, lies 4.6 kJ/kg
# below the VII spline there, and 150 K at 0.1 MPa lies outside the liquid's
# range (where its spline would wrongly win).
STABLE = [(0.1, 260.0, "Ih"), (0.1, 300.0, "water1"), (300.0, 250.0, "III"),
          (500.0, 260.0, "V"), (1000.0, 280.0, "VI"), (2500.0, 400.0, "VII_X_French"),
          (3000.0, 300.0, "VI"), (0.1, 150.0, "Ih")]


def gibbs(phase, P, T):
    return tessarin.properties(phase, T=T, P=P, keys=["G"], out_of_range="ignore")["G"]


def overlap(a, b, var):
    ra, rb = tessarin.phase_range(a)[var], tessarin.phase_range(b)[var]
    return max(ra[0], rb[0]), min(ra[1], rb[1])


@pytest.mark.parametrize("ice, T, published, tol", MELTING)
def test_melting_pressure_near_published(ice, T, published, tol):
    assert abs(float(tessarin.melting_pressure(T=T, ice=ice)) - published) <= tol
    line = tessarin.phase_line(ice, "water1", T=T)
    assert line["stable"] and abs(float(line["P"]) - published) <= tol


def test_triple_points_near_published_and_true():
    found = tessarin.triple_points()
    # The ice-only points are those of the splines (Ih-II-III, II-III-V, II-V-VI).
    assert set(found) == {t[0] for t in TRIPLE} | {
        ("Ih", "II", "III"), ("II", "III", "V"), ("II", "V", "VI")}
    assert [p for p, _ in found.values()] == sorted(p for p, _ in found.values())
    for names, p_pub, t_pub, tol_p, tol_t in TRIPLE:
        p, t = found[names]
        assert abs(p - p_pub) <= tol_p and abs(t - t_pub) <= tol_t, (names, p, t)
    for names, (p, t) in found.items():
        g = [float(gibbs(n, p, t)) for n in names]
        assert max(g) - min(g) <= 1e-9 * max(max(map(abs, g)), 1.0), names
        assert tessarin.phase_name(tessarin.whichphase(P=p, T=t)) in names


def test_whichphase_reference_states_and_outside():
    P, T, want = zip(*STABLE)
    got = tessarin.whichphase(P=list(P), T=list(T))
    assert [tessarin.phase_name(n) for n in got] == list(want)
    # Outside every range, or a NaN coordinate: NaN.
    assert np.isnan(tessarin.whichphase(P=[0.1, np.nan, 0.1], T=[2000.0, 250.0, np.nan])).all()
    assert tessarin.whichphase(P=0.1, T=260).shape == ()


def test_whichphase_broadcasts_and_grids_alike():
    p, t = np.linspace(0.0, 2500.0, 37), np.linspace(150.0, 400.0, 23)
    grid = tessarin.whichphase(P=p, T=t, grid=True)
    assert grid.shape == (37, 23)
    np.testing.assert_array_equal(grid, tessarin.whichphase(P=p[:, None], T=t))
    # A point's result does not depend on where it sits in the batch.
    flat = grid.reshape(-1)
    pp, tt = np.meshgrid(p, t, indexing="ij")
    np.testing.assert_array_equal(
        tessarin.whichphase(P=pp.reshape(-1)[::-1].copy(), T=tt.reshape(-1)[::-1].copy()),
        flat[::-1])


def line_cases():
    for a, b in itertools.combinations(PHASES, 2):
        for var in ("T", "P"):
            lo, hi = overlap(a, b, var)
            if lo < hi:
                yield a, b, var, np.linspace(lo, hi, 41)


@pytest.mark.parametrize("a, b, var, values", list(line_cases()),
                         ids=lambda v: v if isinstance(v, str) else "")
def test_coexistence_lines_are_equalities_consistent_with_whichphase(a, b, var, values):
    line = tessarin.phase_line(a, b, **{var: values})
    found = ~np.isnan(line["P"])
    assert not line["stable"][~found].any()
    if not found.any():
        return
    P, T = line["P"][found], line["T"][found]
    np.testing.assert_array_equal(line[var][found], values[found])
    ga, gb = gibbs(a, P, T), gibbs(b, P, T)
    # Equal to 1e-9 of their size; where the energies pass close to zero
    # (near the triple point of the reference state) the scale is 1 J/kg.
    scale = np.maximum(np.maximum(np.abs(ga), np.abs(gb)), 1.0)
    assert (np.abs(ga - gb) <= 1e-9 * scale).all()
    # Stable points away from the range limits: a tiny step of the solved
    # variable either way crosses from one phase to the other.
    solved = "T" if var == "P" else "P"
    x = line[solved][found]
    lo, hi = overlap(a, b, solved)
    step = 1e-6 * (np.abs(x) + 1.0)
    use = line["stable"][found] & (x - step > lo) & (x + step < hi)
    sides = []
    for sign in (-1.0, 1.0):
        moved = {"P": P[use], "T": T[use], solved: (x + sign * step)[use]}
        sides.append(tessarin.whichphase(**moved))
    want = {tessarin.phase_number(a), tessarin.phase_number(b)}
    for below, above in zip(*sides):
        assert {below, above} == want, (a, b, below, above)


def test_line_keeps_the_input_shape_and_marks_no_root():
    line = tessarin.phase_line("Ih", 0, T=[[250.0, 260.0], [300.0, np.nan]])
    assert all(v.shape == (2, 2) for v in line.values()) and line["stable"].dtype == bool
    # Ih does not exist above 301 K (outside the overlap), nor at NaN.
    assert np.isnan(line["P"][1]).all() and not line["stable"][1].any()
    # Scalars give 0-d results identical to the array's elements.
    one = tessarin.phase_line("Ih", "water1", T=260.0)
    assert one["P"].shape == () and one["P"] == line["P"][0, 1]


def test_melting_curves():
    # Below the Ih-III-liquid triple point the liquid never coexists stably
    # with an ice; between it and 273.16 K it meets Ih at the lowest pressure.
    t = np.array([250.0, 254.0, 260.0, 300.0, 350.0])
    p = tessarin.melting_pressure(T=t)
    assert np.isnan(p[0])
    np.testing.assert_array_equal(p[1:3], tessarin.phase_line("Ih", "water1", T=t[1:3])["P"])
    assert tessarin.melting_pressure(T=260.0, ice="V") > 400.0
    # melting_temperature inverts it on the single-valued branches.
    np.testing.assert_allclose(tessarin.melting_temperature(P=p[1:]), t[1:], rtol=1e-9)
    assert np.isnan(tessarin.melting_temperature(P=2400.0))


# (material, densities kg/m3, temperature K): spline phases and liquid models.
DENSITY_CASES = [
    ("Ih", [921.0, 925.0, 930.0], 255.0),
    ("VI", [1320.0, 1350.0, 1450.0], 300.0),
    ("water1", [990.0, 1100.0, 1300.0], 320.0),
    ("holten", [1000.0, 1050.0, 1080.0], 280.0),
    ("duska", [1000.0, 1040.0, 1060.0], 250.0),
]


@pytest.mark.parametrize("material, rho, T", DENSITY_CASES)
def test_density_to_pressure_inverts_density(material, rho, T):
    P = tessarin.density_to_pressure(material, rho=rho, T=T)
    assert np.isfinite(P).all()
    got = tessarin.properties(material, T=T, P=P, keys=["rho"])["rho"]
    np.testing.assert_allclose(got, rho, rtol=1e-9)
    # Out of reach within the pressure range: NaN.
    lo, hi = tessarin.valid_range(material)["P"]
    ends = tessarin.properties(material, T=T, P=[lo, hi], keys=["rho"])["rho"]
    assert np.isnan(tessarin.density_to_pressure(material, rho=[ends[0] - 1.0, ends[1] + 1.0],
                                                 T=T)).all()


def test_density_to_pressure_range_policy():
    with pytest.raises(ValueError, match="T = 350 K"):
        tessarin.density_to_pressure("Ih", rho=920.0, T=[250.0, 350.0], out_of_range="raise")
    assert np.isnan(tessarin.density_to_pressure("Ih", rho=920.0, T=350.0, out_of_range="nan"))
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        tessarin.density_to_pressure("Ih", rho=920.0, T=350.0)
    assert len(caught) == 1 and caught[0].filename == __file__


@pytest.mark.parametrize("call, error, pattern", [
    (lambda: tessarin.phase_line("Ih", "water1"), TypeError, "exactly one of T"),
    (lambda: tessarin.phase_line("Ih", "water1", T=250.0, P=100.0), TypeError, "exactly one"),
    (lambda: tessarin.phase_line("Ih", 1, T=250.0), ValueError, "two different phases"),
    (lambda: tessarin.phase_line("IV", "water1", T=250.0), ValueError, "a = 'IV'"),
    (lambda: tessarin.phase_line("Ih", "water_IAPWS95", T=250.0), ValueError, "b = "),
    (lambda: tessarin.phase_name(np.nan), ValueError, "NaN"),
    (lambda: tessarin.phase_name(4), ValueError, "not a phase number"),
    (lambda: tessarin.phase_number("ice"), ValueError, "6 'VI'"),
    (lambda: tessarin.melting_pressure(T=260.0, ice="water1"), ValueError, "must be an ice"),
])
def test_errors(call, error, pattern):
    with pytest.raises(error, match=pattern):
        call()


def test_names_numbers_and_ranges():
    for name in PHASES:
        n = tessarin.phase_number(name)
        assert tessarin.phase_name(n) == tessarin.phase_name(float(n)) == name
        assert tessarin.phase_range(n) == tessarin.phase_range(name) == tessarin.valid_range(name)


def test_same_bits_with_one_and_several_threads(python_subprocess):
    code = """
        import hashlib, numpy as np, tessarin
        rng = np.random.default_rng(3)
        P, T = rng.uniform(0, 2500, 20000), rng.uniform(150, 400, 20000)
        h = hashlib.sha256(tessarin.whichphase(P=P, T=T).tobytes())
        line = tessarin.phase_line("VI", "water1", T=np.linspace(240, 400, 500))
        h.update(line["P"].tobytes())
        m = rng.uniform(0, 6, 20000)
        h.update(tessarin.whichphase(P=P, T=T, m=m).tobytes())
        h.update(tessarin.freezing_temperature(P=P[:500], m=m[:500]).tobytes())
        print(h.hexdigest())
    """
    one = python_subprocess(code, {"RAYON_NUM_THREADS": "1"})
    assert one == python_subprocess(code, {"RAYON_NUM_THREADS": "3"})
