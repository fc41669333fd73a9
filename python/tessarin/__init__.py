"""Thermodynamic properties of liquid water and ices.

The friendly layer over the compiled core `tessarin_rs`: scalars, lists and
arrays of any shape, keyword-only temperature T (K) and pressure P (MPa)
(and the molality m, mol/kg, for the NaCl solutions), validity ranges, and
xarray/dask support when those packages are installed.

    >>> import tessarin
    >>> r = tessarin.properties("holten", T=273.15, P=0.101325)
    >>> float(r["rho"])  # kg/m3
    999.842...

Functions: `materials`, `keys`, `properties`, `valid_range`, `in_range`,
`critical_point`, `liquid_liquid`; phase equilibria of water and the ices:
`whichphase`, `phase_name`, `phase_number`, `phase_range`, `phase_line`,
`melting_pressure`, `melting_temperature`, `triple_points`,
`density_to_pressure`, and with NaCl brine (the molality m) `whichphase`,
`phase_line` and `freezing_temperature`. The core's functions stay available, with their
strict one-dimensional float64 arguments, in `tessarin_rs`.
"""
from ._liquid import critical_point, liquid_liquid
from ._phases import (PhaseLine, density_to_pressure, freezing_temperature, melting_pressure,
                      melting_temperature, phase_line, phase_name, phase_number, phase_range,
                      triple_points, whichphase)
from ._properties import in_range, keys, materials, properties, valid_range
from ._version import __version__

__all__ = ["PhaseLine", "__version__", "critical_point", "density_to_pressure",
           "freezing_temperature", "in_range", "keys", "liquid_liquid", "materials",
           "melting_pressure", "melting_temperature", "phase_line", "phase_name", "phase_number",
           "phase_range", "properties", "triple_points", "valid_range", "whichphase"]
