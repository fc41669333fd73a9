"""Aqueous NaCl through the tessarin package: the molality m as a third
variable (broadcasting, grids, blocks, xarray), the bits of the compiled
function, and the joined material's valid region, a union of two boxes."""
import importlib.util
import re
import warnings

import numpy as np
import pytest

import tessarin
from tessarin import _inputs, _native

SOLUTIONS = ["NaClaq", "NaClaq_LP", "NaClaq_HP", "NaClaq_5GPa_2024"]


def native(material, p, t, m):
    p, t, m = (np.ascontiguousarray(x, dtype=np.float64).ravel()
               for x in np.broadcast_arrays(p, t, m))
    return _native.nacl_properties(material, p, t, m, False)


def same_bits(a, b):
    return np.array_equal(np.asarray(a).view(np.int64), np.asarray(b).view(np.int64))


@pytest.mark.parametrize("material", SOLUTIONS)
def test_values_are_the_compiled_functions(material):
    t = np.array([[260.0], [300.0], [350.0]], dtype=np.float32)  # broadcast, converted
    p = [0.1, 600.0]
    m = np.array([0, 1, 4], dtype=np.int64).reshape(3, 1, 1)
    got = tessarin.properties(material, T=t, P=p, m=m, out_of_range="ignore")
    want = native(material, np.asarray(p, float), t.astype(float), m.astype(float))
    assert list(got) == list(want) == tessarin.keys(material)
    for k in want:
        assert got[k].shape == (3, 3, 2) and same_bits(got[k].ravel(), want[k]), k
    one = tessarin.properties(material, T=300.0, P=600.0, m=1, out_of_range="ignore")
    row = native(material, 600.0, 300.0, 1.0)
    assert all(one[k].shape == () and same_bits(one[k], row[k][0]) for k in row)


@pytest.mark.parametrize("block_points", [None, 1, 4])
def test_grid_is_pressure_by_temperature_by_molality(monkeypatch, block_points):
    if block_points:
        monkeypatch.setattr(_inputs, "BLOCK_BYTES", 8 * 29 * block_points)
    p, t, m = np.array([0.1, 700.0]), np.array([280.0, 300.0, 320.0]), [0.5, 1.0, 2.0, 4.0]
    got = tessarin.properties("NaClaq", T=t, P=p, m=m, grid=True, keys=["rho", "phi"])
    want = _native.nacl_properties("NaClaq", p, t, np.array(m), True)
    for k in got:
        assert got[k].shape == (2, 3, 4) and same_bits(got[k], want[k]), k


# (T, P, m) of "NaClaq": inside the low- or the high-pressure box, or in
# their bounding box but outside both.
UNION_CASES = [
    ((300.0, 100.0, 1.0), True),
    ((600.0, 100.0, 1.0), False),   # above 501 K only from 499.9 MPa up
    ((600.0, 600.0, 1.0), True),
    ((300.0, 100.0, 7.005), False),  # LP ends at 7 mol/kg
    ((300.0, 800.0, 7.005), True),
    ((229.5, 100.0, 1.0), False),   # LP starts at 229.9 K
    ((np.nan, 100.0, 1.0), False),
]


def test_joined_material_is_valid_on_the_union_of_its_boxes():
    t, p, m = np.array([c[0] for c in UNION_CASES]).T
    inside = np.array([c[1] for c in UNION_CASES])
    assert tessarin.in_range("NaClaq", T=t, P=p, m=m).tolist() == inside.tolist()
    r = tessarin.properties("NaClaq", T=t, P=p, m=m, keys=["rho"], out_of_range="nan")
    assert np.isnan(r["rho"]).tolist() == (~inside).tolist()
    with pytest.raises(ValueError, match=r"^T = 600 K, P = 100 MPa, m = 1 mol kg-1 at index "
                       r"\(1,\) is outside the valid range of 'NaClaq' \(T 229\.9 to 501 K, P 0 "
                       r"to 1001 MPa, m 0 to 7 mol kg-1; or T 229 to 2001 K, .*, as are 2 more"):
        tessarin.properties("NaClaq", T=t, P=p, m=m, out_of_range="raise")
    # The single-point route checks the union too.
    for (tv, pv, mv), ok in UNION_CASES[:-1]:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            tessarin.properties("NaClaq", T=tv, P=pv, m=mv, keys="rho")
        assert len(caught) == (not ok), (tv, pv, mv)
    lo, hi = tessarin.valid_range("NaClaq"), tessarin.valid_range("NaClaq_LP")
    assert list(lo) == ["T", "P", "m"] and lo["T"][1] > 2000
    assert lo["m"] == pytest.approx((0, 7.01))
    assert hi == {"T": pytest.approx((229.9, 501.0)), "P": (0.0, 1001.0), "m": (0.0, 7.0)}
    assert "m" not in tessarin.valid_range("water1")


@pytest.mark.parametrize("call, pattern", [
    (lambda: tessarin.properties("water1", T=300, P=0.1, m=1.0),
     r"^'water1' takes no molality m; only the NaCl solutions do \('NaClaq', .*\)$"),
    (lambda: tessarin.properties("NaClaq", T=300, P=0.1), r"^'NaClaq' needs the molality m"),
    (lambda: tessarin.in_range("NaClaq_LP", T=300, P=0.1), r"^'NaClaq_LP' needs the molality"),
])
def test_molality_given_to_a_pure_phase_or_missing_for_a_solution(call, pattern):
    with pytest.raises(TypeError, match=pattern):
        call()


def test_errors_list_three_variables():
    with pytest.raises(ValueError, match=r"^grid=True needs one-dimensional P, T and m; m has"):
        tessarin.properties("NaClaq", T=[300.0], P=[0.1], m=[[1.0]], grid=True)
    with pytest.raises(ValueError, match=r"do not broadcast .* one-dimensional P, T and m pass"):
        tessarin.properties("NaClaq", T=[300.0, 310.0], P=0.1, m=[1.0, 2.0, 3.0])


@pytest.mark.skipif(importlib.util.find_spec("xarray") is None, reason="xarray not installed")
def test_molality_as_a_dataarray_dimension():
    import xarray as xr

    m = xr.DataArray([0.5, 1.0, 2.0], dims="m", coords={"m": [0.5, 1.0, 2.0]})
    t = xr.DataArray([280.0, 300.0], dims="T", coords={"T": [280.0, 300.0]})
    ds = tessarin.properties("NaClaq_LP", T=t, P=0.1, m=m)
    plain = tessarin.properties("NaClaq_LP", T=t.values, P=[0.1], m=m.values, grid=True)
    assert ds["m"].attrs == {"units": "mol kg-1", "long_name": "molality of NaCl"}
    for k, v in ds.data_vars.items():
        assert v.dims == ("T", "m") and same_bits(v.values, plain[k][0]), k
        assert re.fullmatch(r"[\w\- ]+", v.attrs["units"]) and v.attrs["long_name"], k
    assert (ds["Vm"].attrs["units"], ds["phi"].attrs["units"]) == ("cm3 mol-1", "1")
    inside = tessarin.in_range("NaClaq", T=t + 300.0, P=0.1, m=m)
    assert inside.dims == ("T", "m") and not inside.values.any()
