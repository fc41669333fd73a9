"""xarray inputs: results as Datasets with CF-style attributes, lazily
evaluated block by block when the inputs are dask-backed.

xarray is imported only once a caller has passed a DataArray, so importing
the package never imports xarray or dask.
"""
from __future__ import annotations

import functools
import sys
from typing import Any, Iterable, List, Mapping, Sequence, Tuple

import numpy as np

from ._inputs import listing
from ._materials import MATERIALS, VARIABLES, Material


def any_dataarray(values: Iterable[object]) -> bool:
    xr = sys.modules.get("xarray")
    return xr is not None and any(isinstance(v, xr.DataArray) for v in values)


def _arguments(m: Material, values: Mapping[str, Any], grid: bool) -> List[Any]:
    """The inputs in the material's variable order, ready for apply_ufunc:
    DataArrays as they are, numbers as they are; on a grid a plain 1-D input
    becomes a DataArray along a dimension named after its variable."""
    import xarray as xr

    args = []
    for n in m.variables:
        v = values[n]
        if grid:
            if not isinstance(v, xr.DataArray):
                a = np.asarray(v)
                if a.ndim != 1:
                    raise ValueError(f"grid=True needs one-dimensional {listing(m.variables)};"
                                     f" {n} has shape {a.shape}")
                v = xr.DataArray(a, dims=n, coords={n: a})
            elif v.ndim != 1:
                raise ValueError(f"grid=True needs one-dimensional {listing(m.variables)}; "
                                 f"{n} has dimensions {v.dims}")
        elif not isinstance(v, xr.DataArray) and np.ndim(v) != 0:
            raise TypeError(
                f"{n} is a plain array while another input is an xarray.DataArray; its "
                f"dimensions would be ambiguous. Wrap {n} in a DataArray with named "
                f"dimensions (or pass a number).")
        args.append(v)
    if grid:
        dims = [a.dims[0] for a in args]
        if len(set(dims)) != len(dims):
            raise ValueError(f"grid=True needs {listing(m.variables)} along different "
                             f"dimensions; they share {dims[0]!r}")
    return args


def _block_properties(material: str, keys: Tuple[str, ...], policy: str,
                      *arrays: "np.ndarray[Any, Any]") -> Any:
    # Runs on numpy blocks, possibly in a dask worker process. apply_ufunc
    # expects a tuple for several outputs and the array itself for one.
    from ._properties import evaluate

    m = MATERIALS[material]
    r = evaluate(m, dict(zip(m.variables, arrays)), False, keys, policy, stacklevel=1)
    return tuple(r[k] for k in keys) if len(keys) > 1 else r[keys[0]]


def _block_in_range(material: str, *arrays: "np.ndarray[Any, Any]") -> "np.ndarray[Any, Any]":
    from ._properties import _in_range

    m = MATERIALS[material]
    return _in_range(m, dict(zip(m.variables, arrays)), False)


def properties(m: Material, values: Mapping[str, Any], grid: bool, keys: Sequence[str],
               policy: str) -> Any:
    import xarray as xr

    args = _arguments(m, values, grid)
    fn = functools.partial(_block_properties, m.name, tuple(keys), policy)
    out = xr.apply_ufunc(fn, *args, dask="parallelized", output_core_dims=[[] for _ in keys],
                         output_dtypes=[np.float64] * len(keys))
    if len(keys) == 1:
        out = (out,)
    ds = xr.Dataset({k: da for k, da in zip(keys, out)})
    for k in keys:
        q = m.quantities[k]
        ds[k].attrs.update(units=q.units, long_name=q.long_name)
    for n in m.variables:
        if n in ds.coords and not ds.coords[n].attrs:
            ds.coords[n].attrs.update(units=VARIABLES[n].units, long_name=VARIABLES[n].long_name)
    ds.attrs.update(material=m.name, title=m.title)
    return ds


def in_range(m: Material, values: Mapping[str, Any], grid: bool) -> Any:
    import xarray as xr

    args = _arguments(m, values, grid)
    fn = functools.partial(_block_in_range, m.name)
    return xr.apply_ufunc(fn, *args, dask="parallelized", output_dtypes=[np.bool_])
