"""Input handling shared by every function of the package: conversion of
scalars, lists and arrays, broadcasting or grids, cutting the points into
blocks that bound the memory of an evaluation, and the out-of-range policy.

Variables are handled by name and in the order a material lists them, so a
material with a further variable (or a new function over the same inputs)
uses the same machinery unchanged.
"""
from __future__ import annotations

import math
import warnings
from typing import (Any, Callable, Dict, Iterator, List, Mapping, Optional, Sequence,
                    Tuple, Union)

import numpy as np
import numpy.typing as npt

Array = npt.NDArray[np.float64]
Bounds = Tuple[float, float]
Shape = Tuple[int, ...]
_Real = Union[float, "np.integer[Any]", "np.floating[Any]"]
# Temperatures, pressures and the like: a number, a (nested) list of numbers
# or an array of any real dtype and shape.
RealArrayLike = Union[_Real, Sequence[_Real], Sequence[Sequence[_Real]],
                      Sequence[Sequence[Sequence[_Real]]], "npt.NDArray[Any]"]

POLICIES = ("warn", "nan", "raise", "ignore")

# Memory of one block's results, all keys together: large evaluations are cut
# into blocks of about this size, so that beyond the arrays the caller asked
# for only one block's worth of the other keys exists at a time.
BLOCK_BYTES = 4 << 20

_REAL_KINDS = "fiu"


def as_real(name: str, value: object) -> "float | np.ndarray[Any, Any]":
    """`value` as a Python float (for a plain int or float) or as an array of
    a real dtype (integer or floating, kept as given so that conversion to
    float64 can happen block by block). Errors name the argument."""
    if type(value) is float or type(value) is int:
        return float(value)
    if isinstance(value, (str, bytes)):
        raise TypeError(f"{name} must be a real number or an array of real numbers, "
                        f"not {type(value).__name__}")
    try:
        arr = np.asarray(value)
    except (ValueError, TypeError) as exc:
        raise ValueError(f"{name} is not a regular array of numbers: {exc}") from None
    if arr.dtype.kind not in _REAL_KINDS:
        what = (type(value).__name__ if arr.ndim == 0 and not isinstance(value, np.ndarray)
                else f"an array of dtype {arr.dtype}")
        raise TypeError(f"{name} must be a real number or an array of real numbers, "
                        f"not {what}")
    return arr


def check_policy(out_of_range: object) -> str:
    if out_of_range not in POLICIES:
        raise ValueError(f"out_of_range must be one of {', '.join(map(repr, POLICIES))}; "
                         f"got {out_of_range!r}")
    return str(out_of_range)


def select_keys(material: str, valid: Sequence[str], keys: object) -> Sequence[str]:
    """The requested result keys, in the order given and without repeats; all
    keys for None. A single str counts as one key."""
    if keys is None:
        return valid
    if isinstance(keys, str):
        keys = [keys]
    try:
        chosen = list(dict.fromkeys(keys))  # type: ignore[call-overload]
    except TypeError:
        raise TypeError(f"keys must be a list of key names (str), not "
                        f"{type(keys).__name__}") from None
    unknown = [k for k in chosen if k not in valid]
    if unknown:
        raise ValueError(f"unknown key {unknown[0]!r} for material {material!r}; "
                         f"valid keys: {', '.join(valid)}")
    return chosen


def listing(names: Sequence[str]) -> str:
    """"P and T", "P, T and m"."""
    return " and ".join(n for n in (", ".join(names[:-1]), names[-1]) if n)


class Points:
    """The points of one call: variables in a material's order, and the shape
    of the results. On a grid every variable is one axis of the result;
    otherwise they broadcast against each other."""

    def __init__(self, names: Sequence[str], values: Sequence[object], grid: bool):
        self.names = tuple(names)
        self.grid = grid
        self.values = [as_real(n, v) for n, v in zip(names, values)]
        self.shape: Shape
        if grid:
            bad = [(n, np.shape(v)) for n, v in zip(names, self.values) if np.ndim(v) != 1]
            if bad:
                raise ValueError(f"grid=True needs one-dimensional {listing(names)}; "
                                 f"{bad[0][0]} has shape {bad[0][1]}")
            self.shape = tuple(len(v) for v in self.values)  # type: ignore[arg-type]
        else:
            shapes = [np.shape(v) for v in self.values]
            try:
                self.shape = (shapes[0] if shapes.count(shapes[0]) == len(shapes)
                              else tuple(np.broadcast_shapes(*shapes)))
            except ValueError:
                listed = " and ".join(f"{n} with shape {s}" for n, s in zip(names, shapes))
                raise ValueError(
                    f"{listed} do not broadcast to one shape; for every combination of "
                    f"one-dimensional {listing(names)} pass grid=True") from None
        self.size = math.prod(self.shape)

    def full(self, i: int) -> "np.ndarray[Any, Any]":
        """Variable i as an array of the result's shape (a read-only view
        where it has to be broadcast)."""
        v = self.values[i]
        if self.grid:
            axes = [1] * len(self.shape)
            axes[i] = -1
            v = np.reshape(v, axes)
        elif type(v) is not float and v.shape == self.shape:  # type: ignore[union-attr]
            return v  # type: ignore[return-value]
        return np.broadcast_to(v, self.shape)

    def at(self, flat_index: int) -> Dict[str, float]:
        """The variables at one point, given by its index in the flattened result."""
        index = np.unravel_index(flat_index, self.shape)
        return {n: float(self.full(i)[index]) for i, n in enumerate(self.names)}


class Block:
    """A box of points whose results fill elements start..stop of the
    flattened result, in row-major order. `index` selects it in the result:
    whole leading axes by integer, then a slice of the next axis (the
    remaining axes whole)."""

    def __init__(self, points: Points, index: Tuple[Any, ...], start: int, stop: int):
        self.points = points
        self.index = index
        self.start = start
        self.stop = stop
        self._flat: Optional[List[Array]] = None

    def flat(self) -> List[Array]:
        """One contiguous 1-D float64 array per variable, the block's points in
        row-major order (views of the caller's arrays where they allow it)."""
        if self._flat is None:
            p = self.points
            self._flat = [
                np.ascontiguousarray(p.full(i)[self.index], dtype=np.float64).reshape(-1)
                for i in range(len(p.names))]
        return self._flat

    def axes(self) -> List[Array]:
        """On a grid: the block's part of each axis as a contiguous 1-D
        float64 array."""
        out = []
        for i, v in enumerate(self.points.values):
            part = self.index[i] if i < len(self.index) else slice(None)
            if not isinstance(part, slice):
                part = slice(part, part + 1)
            out.append(np.ascontiguousarray(np.asarray(v)[part], dtype=np.float64))
        return out

    def views(self) -> List["np.ndarray[Any, Any]"]:
        """Each variable over the block, broadcastable to the block's shape."""
        if self.points.grid:
            axes = self.axes()
            n = len(axes)
            return [a.reshape([-1 if j == i else 1 for j in range(n)])
                    for i, a in enumerate(axes)]
        return self.flat()


def blocks(points: Points, block_points: int) -> Iterator[Block]:
    """Boxes of at most `block_points` points (at least one row of the last
    axis's elements at a time when a single row is larger) covering the
    result in row-major order."""
    shape, n = points.shape, points.size
    if n <= block_points:
        yield Block(points, (), 0, n)  # also for n = 0
        return
    # Split along the last axis whose trailing box exceeds the block size;
    # every axis before it is stepped one index at a time.
    inner, axis = 1, len(shape)
    while axis > 0 and inner * shape[axis - 1] <= block_points:
        axis -= 1
        inner *= shape[axis]
    axis -= 1
    step = max(1, block_points // inner)
    start = 0
    for outer in np.ndindex(*shape[:axis]):
        for lo in range(0, shape[axis], step):
            hi = min(lo + step, shape[axis])
            stop = start + (hi - lo) * inner
            yield Block(points, tuple(int(i) for i in outer) + (slice(lo, hi),), start, stop)
            start = stop


# Ranges and points are described with their variables in the order of
# `units` (temperature first), whatever the material's grid-axis order.
def describe_ranges(ranges: Mapping[str, Bounds], units: Mapping[str, str]) -> str:
    return ", ".join(f"{n} {ranges[n][0]:g} to {ranges[n][1]:g} {u}"
                     for n, u in units.items() if n in ranges)


def describe_point(values: Mapping[str, float], units: Mapping[str, str]) -> str:
    return ", ".join(f"{n} = {values[n]:g} {u}" for n, u in units.items() if n in values)


def inside(values: "np.ndarray[Any, Any]", bounds: Optional[Bounds]) -> bool:
    """True when every value lies within `bounds` (limits included; no bounds:
    any value) and none is NaN. A few values are compared one by one, which
    costs less than two reductions."""
    lo, hi = bounds if bounds is not None else (-math.inf, math.inf)
    if values.size <= 16:
        for x in (values if values.ndim == 1 else values.reshape(-1)).tolist():
            if not lo <= x <= hi:  # also true for NaN
                return False
        return True
    v_lo, v_hi = values.min(), values.max()  # NaN if any value is NaN
    return bool(lo <= v_lo and v_hi <= hi)


def in_boxes(views: Sequence["np.ndarray[Any, Any]"],
             boxes: Sequence[Sequence[Optional[Bounds]]]) -> Any:
    """True where a point lies in one of `boxes` (each the bounds of every
    view, None for any value), limits included; a NaN in a bounded view lies
    in none. Broadcasts the views."""
    result: Any = np.False_
    for bounds in boxes:
        box: Any = np.True_
        for v, b in zip(views, bounds):
            if b is not None:
                box = box & (v >= b[0]) & (v <= b[1])
        result = result | box
    return result


class RangeCheck:
    """The out-of-range policy over the blocks of one call.

    A point is outside when any variable is below or above its range; a point
    with a NaN variable is never outside (its results are NaN anyway). With
    `boxes` the valid region is their union instead of the box `ranges`: a
    point is outside when it is outside every box."""

    def __init__(self, policy: str, material: str, ranges: Optional[Mapping[str, Bounds]],
                 points: Points, units: Mapping[str, str],
                 boxes: Optional[Sequence[Mapping[str, Bounds]]] = None):
        self.policy = policy
        self.material = material
        self.points = points
        self.units = units
        names = points.names
        self.ranges: Dict[str, Bounds] = {}
        self.boxes: List[Dict[str, Bounds]] = [self.ranges]
        if ranges is not None and policy != "ignore":
            self.ranges.update((n, ranges[n]) for n in names if n in ranges)
            if boxes:
                self.boxes = [{n: b[n] for n in names if n in b} for b in boxes]
        self.bounds = [[box.get(n) for n in names] for box in self.boxes]
        self.count = 0
        self.first: Optional[int] = None

    def masks(self, views: Sequence["np.ndarray[Any, Any]"]) -> Tuple[Any, Any]:
        """(points with a NaN variable, points outside the range) of a block,
        each a flat boolean array or None when there is none."""
        for bounds in self.bounds:
            if all(inside(v, b) for v, b in zip(views, bounds)):
                return None, None
        return self._masks(views)

    def _masks(self, views: Sequence["np.ndarray[Any, Any]"]) -> Tuple[Any, Any]:
        nan: Any = False
        for v in views:
            nan = nan | np.isnan(v)
        out = np.logical_not(in_boxes(views, self.bounds))
        shape = np.broadcast_shapes(*(np.shape(v) for v in views))
        out = np.broadcast_to(out & ~nan, shape).reshape(-1)
        nan = np.broadcast_to(nan, shape).reshape(-1)
        return (nan if nan.any() else None), (out if out.any() else None)

    def note(self, start: int, outside: Any) -> None:
        """Counts the outside points of the block starting at `start`."""
        if outside is None:
            return
        if self.first is None:
            self.first = start + int(np.argmax(outside))
        self.count += int(np.count_nonzero(outside))

    def _first_text(self) -> str:
        assert self.first is not None
        text = describe_point(self.points.at(self.first), self.units)
        if not self.points.shape:
            return text
        index = tuple(int(i) for i in np.unravel_index(self.first, self.points.shape))
        return f"{text} at index {index}"

    def _range_text(self) -> str:
        boxes = "; or ".join(describe_ranges(b, self.units) for b in self.boxes)
        return f"the valid range of {self.material!r} ({boxes})"

    def raise_if_outside(self) -> None:
        if not self.count:
            return
        others = (f", as are {self.count - 1} more of the {self.points.size} points"
                  if self.count > 1 else "")
        raise ValueError(f"{self._first_text()} is outside {self._range_text()}{others}. "
                         f"Pass out_of_range='warn', 'nan' or 'ignore' to evaluate anyway.")

    def warn(self, stacklevel: int) -> None:
        if not self.count or self.policy != "warn":
            return
        if self.points.size == 1:
            what = f"{self._first_text()} is outside {self._range_text()}; its values are"
        else:
            what = (f"{self.count} of {self.points.size} points are outside "
                    f"{self._range_text()}, the first {self._first_text()}; their values are")
        warnings.warn(f"{what} extrapolations. out_of_range='nan' masks them, 'ignore' "
                      f"accepts them silently.", RuntimeWarning, stacklevel=stacklevel + 1)


BlockFn = Callable[[Block], Mapping[str, "np.ndarray[Any, Any]"]]


def run(points: Points, evaluate: BlockFn, keys: Sequence[str], all_keys: int,
        check: RangeCheck, stacklevel: int) -> Dict[str, "np.ndarray[Any, Any]"]:
    """Evaluates `evaluate` block by block and assembles the arrays of `keys`
    in the shape of the points, applying NaN inputs and the range policy.

    `evaluate` returns, for a block, flat arrays of its points (at least the
    requested keys); `all_keys` is how many arrays it produces per point,
    which sets the block size. When every key is requested no block is
    smaller than the whole, since the results must all be kept anyway."""
    if check.policy == "raise":
        for block in blocks(points, _block_points(all_keys)):
            check.note(block.start, check.masks(block.views())[1])
        check.raise_if_outside()
    whole = len(keys) >= all_keys
    size = points.size if whole else _block_points(all_keys)
    shape = points.shape
    out: Dict[str, "np.ndarray[Any, Any]"] = {}
    for block in blocks(points, max(size, 1)):
        nan, outside = check.masks(block.views())
        r = evaluate(block)
        if check.policy == "nan" and outside is not None:
            nan = outside if nan is None else nan | outside
        else:
            check.note(block.start, outside)
        if block.stop - block.start == points.size:  # one block: the results as they come
            out = {k: r[k] if r[k].shape == shape else r[k].reshape(shape) for k in keys}
            if nan is not None:
                for k in keys:
                    out[k].reshape(-1)[nan] = np.nan
            continue
        if not out:
            out = {k: np.empty(shape, dtype=r[k].dtype) for k in keys}
        for k in keys:
            part = out[k].reshape(-1)[block.start:block.stop]
            part[...] = r[k].reshape(-1)
            if nan is not None:
                part[nan] = np.nan
    check.warn(stacklevel + 1)
    return out


def _block_points(all_keys: int) -> int:
    return max(1, BLOCK_BYTES // (8 * max(all_keys, 1)))
