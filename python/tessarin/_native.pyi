"""The compiled part of the tessarin package (built from the same kernels as
tessarin_rs)."""

def build_info() -> dict[str, str]:
    """The compiler, C library and processor features of this build and machine."""

def critical_point(model: str) -> tuple[float, float]:
    """Liquid-liquid critical point (T in K, P in MPa) of a two-state model:
    'holten', 'caupin', 'caupin_kim' or 'duska'."""

def knot_ranges() -> dict[str, tuple[float, float, float, float]]:
    """(P first, P last, T first, T last) knots of every SeaFreeze phase, MPa and K."""
