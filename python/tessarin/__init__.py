"""Thermodynamic properties of liquid water and ices.

The friendly layer over the compiled core `tessarin_rs`: scalars, lists and
arrays of any shape, keyword-only temperature (K) and pressure (MPa),
validity ranges, and xarray/dask support when those packages are installed.
"""
from ._version import __version__

__all__ = ["__version__"]
