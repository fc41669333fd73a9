"""tessarin with xarray inputs: Datasets with coordinates and CF attributes,
lazy evaluation of dask-backed inputs on any scheduler (a distributed
cluster of worker processes included), bit for bit the plain results."""
import numpy as np
import pytest

import tessarin

xr = pytest.importorskip("xarray")
pytest.importorskip("dask.array")

T = np.linspace(250.0, 300.0, 6)
P = np.array([0.1, 50.0, 100.0])


def axes():
    return (xr.DataArray(T, dims="T", coords={"T": T}),
            xr.DataArray(P, dims="pressure", coords={"pressure": P}))


def same_bits(a, b):
    return np.array_equal(np.asarray(a).view(np.int64), np.asarray(b).view(np.int64))


@pytest.mark.parametrize("material, keys", [("caupin", None), ("III", ["rho", "Vs"]),
                                            ("water1", ["Kp"])])
def test_dataset_has_coordinates_attributes_and_the_plain_bits(material, keys):
    t, p = axes()
    shift = 30.0 if material == "III" else 0.0
    ds = tessarin.properties(material, T=t - shift, P=p, keys=keys)
    plain = tessarin.properties(material, T=T - shift, P=P, grid=True, keys=keys)
    assert isinstance(ds, xr.Dataset) and list(ds.data_vars) == list(plain)
    assert ds.attrs["material"] == material
    np.testing.assert_array_equal(ds.coords["pressure"], P)
    for k, v in ds.data_vars.items():
        assert v.dims == ("pressure", "T")
        assert v.attrs["units"] and v.attrs["long_name"], k
        assert same_bits(v.values, plain[k]), k
    # A coordinate named after a variable gains its attributes; others stay.
    assert ds["T"].attrs == {"units": "K", "long_name": "temperature"}
    assert ds["pressure"].attrs == {}


def test_units_follow_the_keys():
    ds = tessarin.properties("holten", T=xr.DataArray([250.0]), P=0.1,
                             keys=["rho", "Cp", "Kt", "alpha", "vel", "x", "rho_B"])
    units = {k: v.attrs["units"] for k, v in ds.data_vars.items()}
    assert units == {"rho": "kg m-3", "Cp": "J kg-1 K-1", "Kt": "MPa", "alpha": "K-1",
                     "vel": "m s-1", "x": "1", "rho_B": "kg m-3"}
    assert ds["rho_B"].attrs["long_name"] == "density of pure state B"


def test_dask_backed_inputs_give_a_lazy_dataset():
    t, p = axes()
    lazy = tessarin.properties("Ih", T=t.chunk({"T": 4}), P=p, keys=["rho", "Vp"],
                               out_of_range="raise")
    assert lazy["rho"].chunks is not None
    plain = tessarin.properties("Ih", T=T, P=P, grid=True, keys=["rho", "Vp"])
    computed = lazy.compute(scheduler="synchronous")
    for k in plain:
        assert same_bits(computed[k].values, plain[k]), k
    bad = tessarin.properties("Ih", T=t.chunk({"T": 4}) + 100.0, P=p, out_of_range="raise")
    with pytest.raises(ValueError, match="outside the valid range of 'Ih'"):
        bad.compute(scheduler="synchronous")  # the policy applies when blocks are computed


def test_in_range_and_grid_with_dataarrays():
    t, p = axes()
    inside = tessarin.in_range("holten", T=t + 30.0, P=p)
    assert inside.dims == ("pressure", "T")
    np.testing.assert_array_equal(inside.values, tessarin.in_range("holten", T=T + 30.0, P=P,
                                                                   grid=True))
    ds = tessarin.properties("holten", T=T, P=p, grid=True, keys="rho")
    assert ds["rho"].dims == ("pressure", "T")


@pytest.mark.parametrize("kwargs, error, pattern", [
    (dict(T=xr.DataArray(T, dims="x"), P=P), TypeError, "P is a plain array"),
    (dict(T=xr.DataArray(T, dims="x"), P=xr.DataArray(P, dims="x"), grid=True), ValueError,
     "along different dimensions; they share 'x'"),
    (dict(T=xr.DataArray([T], dims=("a", "b")), P=P, grid=True), ValueError,
     "grid=True needs one-dimensional"),
])
def test_ambiguous_dataarray_calls_are_refused(kwargs, error, pattern):
    with pytest.raises(error, match=pattern):
        tessarin.properties("holten", **kwargs)


@pytest.mark.slow
def test_distributed_cluster_computes_the_same_bits():
    """A Dataset over dask chunks, computed by two worker processes of a
    distributed cluster (each importing tessarin itself), equals the direct
    evaluation bit for bit, for a liquid model and an ice."""
    distributed = pytest.importorskip("distributed")
    t = xr.DataArray(np.linspace(230.0, 270.0, 40), dims="T").chunk({"T": 7})
    p = xr.DataArray(np.linspace(0.1, 200.0, 30), dims="P").chunk({"P": 11})
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None, env={"RAYON_NUM_THREADS": "1"},
                                  worker_class=distributed.Nanny, silence_logs=40,
                                  death_timeout=60) as cluster, \
            distributed.Client(cluster, timeout=60) as client:
        for material in ("duska", "V"):
            lazy = tessarin.properties(material, T=t, P=p, keys=["rho", "Cp", "S"],
                                       out_of_range="ignore")
            computed = client.compute(lazy).result(timeout=120)
            plain = tessarin.properties(material, T=t.values, P=p.values, grid=True,
                                        keys=["rho", "Cp", "S"], out_of_range="ignore")
            for k in plain:
                assert computed[k].dims == ("P", "T")
                assert same_bits(computed[k].values, plain[k]), (material, k)
        workers = client.run(lambda: __import__("os").environ.get("RAYON_NUM_THREADS"))
        assert sorted(workers.values()) == ["1", "1"]
