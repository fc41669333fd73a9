"""Arguments of every kind, in every position and as keywords, for all
seventeen functions.

Every call must either return a result of the documented layout or raise the
documented error. The expected outcome of each call is predicted here from
the argument rules alone (matching, then conversion in parameter order, then
the checks of the function's own work), and the exception must match it in
type and text. A call that succeeds on odd but acceptable arrays (unaligned,
read-only, subclasses, length-one reversed views, pressures longer than
temperatures, ...) must return the same bits as the same call on clean
copies, and must leave its inputs untouched.

The sweep runs in a child interpreter so that a crash or a hang fails the
test instead of taking pytest down; before each call the case is written to
a file, which the failure message shows.
"""
import ctypes
import faulthandler
import functools
import hashlib
import json
import operator
import os
import re
import sys
import warnings
from decimal import Decimal
from fractions import Fraction
from pathlib import Path

import numpy as np
import pytest

import tessarin_rs as m

from support import (BIN_KEYS, CRIT, LIQUID_KEYS, PHASES, PROPS13, SPIN_KEYS,
                     SPLINE_KEYS)

V, F, S, C, B = "vector", "float", "string", "count", "flag"
MODEL_SIG = (("t_k", V), ("p_mpa", V))
SPIN_SIG = (("p_arr", V), ("t_llcp", F), ("p_llcp", F))
BIN_SIG = (("spin_p", V), ("spin_t_upper", V), ("spin_t_lower", V), ("t_llcp", F), ("p_llcp", F))
SF_SIG = (("phase", S), ("p", V), ("t", V))
RAW_SIG = SF_SIG + (("deriv_p", C), ("deriv_t", C), ("grid", B))

MODELS = ["caupin", "caupin_kim", "holten", "duska", "shi_tanaka"]
TWO_STATE = ["caupin", "caupin_kim", "holten", "duska"]
SIGNATURES = {f"compute_batch_{k}": MODEL_SIG for k in MODELS}
SIGNATURES.update({f"compute_spinodal_{k}": SPIN_SIG for k in TWO_STATE})
SIGNATURES.update({f"compute_binodal_{k}": BIN_SIG for k in TWO_STATE})
SIGNATURES.update(sf_getprop_grid=SF_SIG, sf_getprop_scatter=SF_SIG, sf_eval_raw=RAW_SIG,
                  sf_phases=())
NAMES = list(SIGNATURES)

# Spinodal and binodal calls near the liquid-liquid critical points (CRIT) do
# real work rather than returning the empty result at once.
WITHOUT_SHEAR = {"water1", "water_IAPWS95"}

# Every message a call may raise with: the module's own, CPython's for the
# conversions it delegates, and those of the test objects below (which the
# module must pass on unchanged).
DOCUMENTED = [re.compile(p, re.S) for p in [
    r"\w+\(\) takes \d+ positional arguments? but \d+ (was|were) given",
    r"\w+\(\) got an unexpected keyword argument '.*'",
    r"\w+\(\) got multiple values for argument '\w+'",
    r"\w+\(\) missing \d+ required positional arguments?: '\w+'"
    r"((, '\w+')*,? and '\w+')?",
    r"(\w+\(\) )?keywords must be strings",
    r"tessarin_rs\.sf_phases\(\) takes no (keyword )?arguments( \(\d+ given\))?",
    r"argument '\w+': '\w+' object cannot be converted to '(PyArray<T, D>|PyString|PyBool)'",
    r"argument '\w+': (must be real number, not [\w.]+"
    r"|'[\w.]+' object cannot be interpreted as an integer"
    r"|float\(\) argument must be a string or a (real )?number, not '[\w.]+'"
    r"|can't convert complex to float"
    r"|[Oo]nly (0-dimensional|length-1) arrays can be converted to Python scalars"
    r"|only integer scalar arrays can be converted to a scalar index"
    r"|(\w+\.)?__(float|index)__ returned non-(float|int) \(type \w+\)"
    r"|.*raised by a test object.*)",
    r"The given array is not contiguous",
    r"unknown phase '.*'",
    r"scatter mode needs equal-length P and T \(len\(P\) = \d+, len\(T\) = \d+\)",
    r"(p_mpa|spin_t_upper|spin_t_lower) has \d+ elements but (t_k|spin_p) has \d+; "
    r"it needs at least as many",
    r"int too large to convert to float|can't convert negative int to unsigned"
    r"|int too big to convert",
    r"'utf-8' codec can't encode character .* surrogates not allowed",
    r".*raised by a test object.*",
]]


# --------------------------------------------------------------------------
# The expected outcome of a call.

class Refused(Exception):
    """The error a call must raise: exc is the exception it must equal."""

    def __init__(self, exc):
        super().__init__(exc)
        self.exc = exc


def _c_function(name, restype):
    fn = getattr(ctypes.pythonapi, name)
    fn.restype = restype
    fn.argtypes = [ctypes.py_object]
    return fn


# CPython's own conversions, called directly so that their errors are exactly
# the ones the module meets.
_as_double = _c_function("PyFloat_AsDouble", ctypes.c_double)
_as_u64 = _c_function("PyLong_AsUnsignedLongLong", ctypes.c_ulonglong)


def _rewrapped(param, err):
    new = TypeError(f"argument '{param}': {err}")
    new.__cause__ = err.__cause__
    return new


def _cannot_convert(param, value, target):
    return TypeError(f"argument '{param}': '{type(value).__name__}' object cannot be "
                     f"converted to '{target}'")


def convert(param, kind, value):
    """The converted value of one argument, or Refused with its error."""
    if kind == V:
        if (isinstance(value, np.ndarray) and value.ndim == 1 and value.dtype == np.float64
                and value.dtype.isnative):
            return value
        raise Refused(_cannot_convert(param, value, "PyArray<T, D>"))
    if kind == S:
        if not isinstance(value, str):
            raise Refused(_cannot_convert(param, value, "PyString"))
        try:
            value.encode("utf-8")
        except UnicodeEncodeError as err:
            raise Refused(err) from None
        return str.__str__(value)
    if kind == B:
        if type(value) is bool or isinstance(value, np.bool_):
            return bool(value)
        raise Refused(_cannot_convert(param, value, "PyBool"))
    try:
        if kind == F:
            return _as_double(value)
        return _as_u64(operator.index(value))
    except TypeError as err:
        raise Refused(_rewrapped(param, err)) from None
    except Exception as err:  # passed on unchanged
        raise Refused(err) from None


def _missing_message(name, missing):
    quoted = [f"'{p}'" for p in missing]
    if len(quoted) == 1:
        listed = quoted[0]
    elif len(quoted) == 2:
        listed = " and ".join(quoted)
    else:
        listed = ", ".join(quoted[:-1]) + ", and " + quoted[-1]
    s = "s" if len(missing) > 1 else ""
    return f"{name}() missing {len(missing)} required positional argument{s}: {listed}"


def _contiguous(a):
    return a.flags.c_contiguous or a.flags.f_contiguous


def _at_least(arr, name, n, ref):
    if len(arr) < n:
        raise Refused(ValueError(f"{name} has {len(arr)} elements but {ref} has {n}; "
                                 "it needs at least as many"))


def _require_contiguous(*arrays):
    for a in arrays:
        if not _contiguous(a):
            raise Refused(TypeError("The given array is not contiguous"))


def _check_work(name, v):
    """The checks a function makes on its converted arguments before work."""
    if name.startswith("compute_batch"):
        _require_contiguous(v["t_k"], v["p_mpa"])
        _at_least(v["p_mpa"], "p_mpa", len(v["t_k"]), "t_k")
    elif name.startswith("compute_spinodal"):
        _require_contiguous(v["p_arr"])
    elif name.startswith("compute_binodal"):
        _require_contiguous(v["spin_p"], v["spin_t_upper"], v["spin_t_lower"])
        n = len(v["spin_p"])
        _at_least(v["spin_t_upper"], "spin_t_upper", n, "spin_p")
        _at_least(v["spin_t_lower"], "spin_t_lower", n, "spin_p")
    else:
        if v["phase"] not in PHASES:
            raise Refused(ValueError(f"unknown phase '{v['phase']}'"))
        _require_contiguous(v["p"], v["t"])
        matched = name == "sf_getprop_scatter" or (name == "sf_eval_raw" and not v["grid"])
        if matched and len(v["p"]) != len(v["t"]):
            raise Refused(ValueError("scatter mode needs equal-length P and T "
                                     f"(len(P) = {len(v['p'])}, len(T) = {len(v['t'])})"))


def predict(name, args, kwargs):
    """The converted arguments of a call that must succeed, or Refused."""
    sig = SIGNATURES[name]
    if not sig:
        if any(not isinstance(k, str) for k in kwargs):
            raise Refused(TypeError("keywords must be strings"))
        if kwargs:
            raise Refused(TypeError("tessarin_rs.sf_phases() takes no keyword arguments"))
        if args:
            raise Refused(TypeError(f"tessarin_rs.sf_phases() takes no arguments "
                                    f"({len(args)} given)"))
        return {}
    params = [p for p, _ in sig]
    if len(args) > len(params):
        verb = "was" if len(args) == 1 else "were"
        raise Refused(TypeError(f"{name}() takes {len(params)} positional arguments but "
                                f"{len(args)} {verb} given"))
    slots = dict(zip(params, args))
    for key, value in kwargs.items():
        if not isinstance(key, str):
            raise Refused(TypeError(f"{name}() keywords must be strings"))
        if key not in params:
            raise Refused(TypeError(f"{name}() got an unexpected keyword argument '{key}'"))
        if key in slots:
            raise Refused(TypeError(f"{name}() got multiple values for argument '{key}'"))
        slots[key] = value
    missing = [p for p in params if p not in slots]
    if missing:
        raise Refused(TypeError(_missing_message(name, missing)))
    converted = {p: convert(p, kind, slots[p]) for p, kind in sig}
    _check_work(name, converted)
    return converted


# --------------------------------------------------------------------------
# Checks of a successful call.

def _bits(a):
    return np.ascontiguousarray(a).tobytes()


def _check_array(arr, shape, what):
    assert type(arr) is np.ndarray, f"{what}: {type(arr)}"
    assert arr.dtype == np.float64 and arr.dtype.isnative, f"{what}: dtype {arr.dtype}"
    assert arr.shape == shape, f"{what}: shape {arr.shape}, want {shape}"
    assert arr.flags.c_contiguous and arr.flags.writeable, f"{what}: flags {arr.flags}"


def _is_subsequence(sub, seq):
    """Whether the values of sub appear in seq in the same order (bitwise)."""
    it = iter(np.array(seq, dtype=np.float64).view(np.uint64).tolist())
    return all(x in it for x in np.asarray(sub).view(np.uint64).tolist())


def check_result(name, v, out):
    """The result has the documented layout for the converted arguments v."""
    if name == "sf_phases":
        assert out == dict.fromkeys(PHASES, True) and all(x is True for x in out.values())
        return
    if name == "sf_eval_raw":
        shape = (len(v["p"]), len(v["t"])) if v["grid"] else (len(v["p"]),)
        _check_array(out, shape, name)
        if v["deriv_p"] >= 64 or v["deriv_t"] >= 64:
            assert not out.any(), f"derivative orders beyond the spline give {out}"
        return
    assert type(out) is dict, type(out)
    if name.startswith("compute_batch"):
        assert list(out) == LIQUID_KEYS
        for k, a in out.items():
            _check_array(a, (len(v["t_k"]),), k)
    elif name.startswith("sf_getprop"):
        keys = SPLINE_KEYS[:14] if v["phase"] in WITHOUT_SHEAR else SPLINE_KEYS
        assert list(out) == keys
        shape = ((len(v["p"]), len(v["t"])) if name == "sf_getprop_grid" else (len(v["p"]),))
        for k, a in out.items():
            _check_array(a, shape, k)
    elif name.startswith("compute_spinodal"):
        assert list(out) == SPIN_KEYS
        n = len(out["T_upper"])
        assert n <= len(v["p_arr"])
        closed = 2 * n + 2 if n else 1  # the critical point alone when none is kept
        for k, a in out.items():
            _check_array(a, (closed,) if k in ("T_K", "p_MPa") else (n,), k)
        ends = _bits(np.array([v["t_llcp"]] * 2)), _bits(np.array([v["p_llcp"]] * 2))
        assert (_bits(out["T_K"][[0, -1]]), _bits(out["p_MPa"][[0, -1]])) == ends
        assert _is_subsequence(out["p_array"], v["p_arr"]), "kept pressures not from input"
    else:
        assert list(out) == BIN_KEYS
        n = len(out["T_binodal"])
        if n == 0:
            assert _bits(out["T_K"]) == _bits(np.array([v["t_llcp"]]))
            assert _bits(out["p_MPa"]) == _bits(np.array([v["p_llcp"]]))
            assert out["x"].tolist() == [0.5]
            assert all(out[k].shape == (0,) for k in BIN_KEYS[3:])
        else:
            assert n <= len(v["spin_p"])
            for k, a in out.items():
                _check_array(a, (n,), k)
            for a, b in (("T_K", "T_binodal"), ("p_MPa", "p_array"), ("x", "x_lo")):
                assert _bits(out[a]) == _bits(out[b]), f"{a} differs from {b}"
            for k in ("T_binodal", "x_lo", "x_hi"):
                assert not np.isnan(out[k]).any(), f"NaN in {k}"
            assert _is_subsequence(out["p_array"], v["spin_p"])


def _result_arrays(out):
    values = list(out.values()) if isinstance(out, dict) else [out]
    return [a for a in values if isinstance(a, np.ndarray)]


def _memory_span(a):
    lo, hi = np.lib.array_utils.byte_bounds(a) if hasattr(np.lib, "array_utils") \
        else np.byte_bounds(a)
    return lo, hi


def check_no_shared_memory(inputs, out):
    spans = sorted(_memory_span(a) for a in _result_arrays(out) if a.size)
    for (lo1, hi1), (lo2, hi2) in zip(spans, spans[1:]):
        assert hi1 <= lo2, "two result arrays share memory"
    for a in inputs:
        for r in _result_arrays(out):
            assert not np.shares_memory(a, r), "a result shares memory with an input"


def same_bits(got, want):
    if isinstance(want, dict):
        return list(got) == list(want) and all(
            _bits(got[k]) == _bits(want[k]) and got[k].shape == want[k].shape for k in want)
    return got.shape == want.shape and _bits(got) == _bits(want)


# --------------------------------------------------------------------------
# One call, checked.

class FloatLike:
    def __float__(self):
        return 251.5

    def __repr__(self):
        return "FloatLike()"


class IndexLike:
    def __index__(self):
        return 2

    def __repr__(self):
        return "IndexLike()"


class Raising:
    """__float__ and __index__ raise the given error (with a cause for the
    TypeError, which the rewrapped error must keep)."""

    def __init__(self, kind):
        self.kind = kind

    def _raise(self):
        msg = f"{self.kind.__name__} raised by a test object"
        if self.kind is TypeError:
            raise TypeError(msg) from KeyError("the cause")
        raise self.kind(msg)

    def __float__(self):
        self._raise()

    def __index__(self):
        self._raise()

    def __repr__(self):
        return f"Raising({self.kind.__name__})"


class BadReturn:
    def __float__(self):
        return "not a float"

    def __index__(self):
        return 2.5

    def __repr__(self):
        return "BadReturn()"


class Sub(np.ndarray):
    pass


class PhaseName(str):
    def __str__(self):
        return "not the phase"


def describe(value):
    """A short stable text for a value, used to count distinct cases."""
    if isinstance(value, np.ndarray):
        digest = hashlib.sha1(np.ascontiguousarray(value).view(np.uint8).tobytes()
                              if value.dtype != object else repr(value.tolist()).encode())
        return (f"{type(value).__name__}[{value.dtype.str},{value.shape},{value.strides},"
                f"w{int(value.flags.writeable)}a{int(value.flags.aligned)},"
                f"{digest.hexdigest()[:12]}]")
    text = repr(value)
    return f"{type(value).__name__}:{text if len(text) < 80 else hashlib.sha1(text.encode()).hexdigest()}"


def describe_call(name, args, kwargs):
    return (name + "(" + ", ".join(describe(a) for a in args)
            + "".join(f", {k!r}={describe(x)}" for k, x in kwargs.items()) + ")")


def _clean(value):
    """A contiguous private copy of an accepted array (the reference input)."""
    return np.array(value, dtype=np.float64, order="C", copy=True) \
        if isinstance(value, np.ndarray) else value


class Sweep:
    def __init__(self, last_case_path=None):
        self.cases = set()
        self.calls = 0
        self.outcomes = {}
        self._last = open(last_case_path, "w") if last_case_path else None

    def run(self, name, args=(), kwargs=None):
        kwargs = kwargs or {}
        key = describe_call(name, args, kwargs)
        self.cases.add(key)
        self.calls += 1
        if self._last:
            self._last.seek(0)
            self._last.truncate()
            self._last.write(key)
            self._last.flush()
        try:
            converted = predict(name, args, kwargs)
            expected = None
        except Refused as r:
            converted, expected = None, r.exc
        arrays = [a for a in list(args) + list(kwargs.values()) if isinstance(a, np.ndarray)]
        before = [a.tobytes() if a.dtype != object else None for a in arrays]
        fn = getattr(m, name)
        faulthandler.dump_traceback_later(60, exit=True)
        try:
            try:
                out = fn(*args, **kwargs)
            except Exception as err:  # noqa: BLE001 - compared with the prediction
                got = err
            else:
                got = None
        finally:
            faulthandler.cancel_dump_traceback_later()
        for a, b in zip(arrays, before):
            assert b is None or a.tobytes() == b, f"{key}: an input array was changed"
        if expected is not None:
            assert got is not None, f"{key}: returned, but should raise {expected!r}"
            assert type(got) is type(expected) and str(got) == str(expected), \
                f"{key}: raised {got!r}, want {expected!r}"
            want_cause = expected.__cause__
            assert (type(got.__cause__), str(got.__cause__)) == \
                (type(want_cause), str(want_cause)), f"{key}: cause {got.__cause__!r}"
            assert any(p.fullmatch(str(got)) for p in DOCUMENTED), \
                f"{key}: undocumented message {str(got)!r}"
            label = type(got).__name__
        else:
            assert got is None, f"{key}: raised {got!r}, should succeed"
            check_result(name, converted, out)
            check_no_shared_memory(arrays, out)
            if arrays:
                ref = fn(**{k: _clean(x) for k, x in converted.items()})
                assert same_bits(out, ref), f"{key}: differs from the call on clean copies"
            label = "ok"
        self.outcomes[label] = self.outcomes.get(label, 0) + 1


# --------------------------------------------------------------------------
# Values: a fixed catalogue that every parameter position gets, and
# hypothesis strategies for random mixes.

NAN, INF = float("nan"), float("inf")
EDGE_FLOATS = [NAN, -NAN, INF, -INF, 0.0, -0.0, 5e-324, -5e-324, 2.2250738585072014e-308,
            1e308, -1e308, 1.7976931348623157e308]


def read_only(a):
    a = a.copy()
    a.flags.writeable = False
    return a


def unaligned(a):
    buf = bytearray(a.nbytes + 1)
    out = np.frombuffer(buf, dtype=np.float64, offset=1, count=a.size)
    out[:] = a
    return out


def big_endian(a):
    return a.astype(">f8")


# Variants of a float64 vector; all pass conversion except big-endian, and
# strided or reversed views of more than one element fail the contiguity check.
VARIANTS = {
    "plain": lambda a: a.copy(),
    "read_only": read_only,
    "unaligned": unaligned,
    "strided": lambda a: np.repeat(a, 2)[::2],
    "reversed": lambda a: a[::-1],
    "first_reversed": lambda a: a[:1][::-1],
    "first_strided": lambda a: np.repeat(a, 3)[::3][:1],
    "fortran": np.asfortranarray,
    "subclass": lambda a: a.copy().view(Sub),
    "masked": lambda a: np.ma.masked_array(a, mask=np.arange(a.size) % 2 == 0),
    "column": lambda a: np.stack([a, a], axis=1)[:, 0],
    "row": lambda a: np.stack([a, a])[1],
    "big_endian": big_endian,
    "tail_of_longer": lambda a: np.concatenate([[1.0], a])[1:],
}


def catalogue():
    """(label, factory) pairs: values of every kind."""
    base = np.array([250.0, 0.1, 300.0])
    edge = np.array(EDGE_FLOATS)
    out = [(f"f8_{k}", lambda k=k: VARIANTS[k](base)) for k in VARIANTS]
    out += [(f"edge_floats_{k}", lambda k=k: VARIANTS[k](edge))
            for k in ("plain", "unaligned", "reversed", "read_only")]
    out += [
        ("empty", lambda: np.empty(0)),
        ("empty_reversed", lambda: np.empty(0)[::-1]),
        ("long", lambda: np.linspace(200.0, 400.0, 17)),
        ("float32", lambda: base.astype(np.float32)),
        ("float16", lambda: base.astype(np.float16)),
        ("longdouble", lambda: base.astype(np.longdouble)),
        ("int64", lambda: np.array([250, 1, 300])),
        ("int32", lambda: np.array([250, 1, 300], dtype=np.int32)),
        ("uint8", lambda: np.array([250, 1, 30], dtype=np.uint8)),
        ("bool_array", lambda: np.array([True, False])),
        ("complex", lambda: base.astype(complex)),
        ("object", lambda: base.astype(object)),
        ("unicode", lambda: np.array(["250", "1"])),
        ("bytes_array", lambda: np.array([b"250"])),
        ("datetime", lambda: np.array(["2020-01-01"], dtype="datetime64[D]")),
        ("structured", lambda: np.zeros(2, dtype=[("a", "f8")])),
        ("zero_d", lambda: np.array(250.0)),
        ("zero_d_int", lambda: np.array(3)),
        ("one_by_three", lambda: base.reshape(1, 3)),
        ("three_by_one", lambda: base.reshape(3, 1)),
        ("three_d", lambda: np.zeros((2, 1, 2))),
        ("matrix_2d_empty", lambda: np.zeros((0, 3))),
        ("one_element", lambda: np.array([251.0])),
        ("None", lambda: None),
        ("True", lambda: True),
        ("False", lambda: False),
        ("zero", lambda: 0),
        ("three", lambda: 3),
        ("minus_one", lambda: -1),
        ("two_pow_64", lambda: 2**64),
        ("two_pow_64_minus_1", lambda: 2**64 - 1),
        ("huge_int", lambda: 10**400),
        ("minus_huge_int", lambda: -(10**400)),
        ("float", lambda: 251.5),
        ("nan", lambda: NAN),
        ("inf", lambda: INF),
        ("minus_inf", lambda: -INF),
        ("subnormal", lambda: 5e-324),
        ("big_float", lambda: 1e308),
        ("str_number", lambda: "250"),
        ("str_phase", lambda: "Ih"),
        ("str_water", lambda: "water1"),
        ("str_unknown", lambda: "ice"),
        ("str_empty", lambda: ""),
        ("str_nul", lambda: "wat\x00er1"),
        ("str_surrogate", lambda: "\ud800"),
        ("str_subclass", lambda: PhaseName("VI")),
        ("bytes", lambda: b"Ih"),
        ("bytearray", lambda: bytearray(b"\x00" * 8)),
        ("memoryview", lambda: memoryview(base.copy())),
        ("list", lambda: [250.0, 300.0]),
        ("tuple", lambda: (250.0, 300.0)),
        ("dict", lambda: {"t": 1.0}),
        ("set", lambda: {1.0}),
        ("range", lambda: range(3)),
        ("np_float64", lambda: np.float64(251.5)),
        ("np_float32", lambda: np.float32(251.5)),
        ("np_int64", lambda: np.int64(-3)),
        ("np_uint64_max", lambda: np.uint64(2**64 - 1)),
        ("np_int8", lambda: np.int8(2)),
        ("np_bool_true", lambda: np.bool_(True)),
        ("np_bool_false", lambda: np.bool_(False)),
        ("np_complex", lambda: np.complex128(1 + 2j)),
        ("np_str", lambda: np.str_("II")),
        ("complex", lambda: 1 + 2j),
        ("fraction", lambda: Fraction(1, 3)),
        ("decimal", lambda: Decimal("251.5")),
        ("object", lambda: object()),
        ("float_like", FloatLike),
        ("index_like", IndexLike),
        ("raises_type_error", lambda: Raising(TypeError)),
        ("raises_value_error", lambda: Raising(ValueError)),
        ("raises_overflow", lambda: Raising(OverflowError)),
        ("raises_zero_division", lambda: Raising(ZeroDivisionError)),
        ("bad_return", BadReturn),
        ("function", lambda: len),
    ]
    return out


@functools.lru_cache(maxsize=None)
def spinodal_branch(model):
    t0, p0 = CRIT[model]
    spin = getattr(m, f"compute_spinodal_{model}")(p0 + np.array([5.0, 60.0, 200.0]), t0, p0)
    return spin["p_array"], spin["T_upper"], spin["T_lower"]


def valid_arguments(name):
    """Arguments under which each function does real work."""
    family, _, model = name.partition("_")[2].partition("_")
    if name.startswith("compute_batch"):
        return [np.array([250.0, 300.0, 200.0]), np.array([0.1, 100.0, -50.0])]
    if name.startswith("compute_spinodal"):
        t0, p0 = CRIT[model]
        return [p0 + np.array([5.0, 60.0]), t0, p0]
    if name.startswith("compute_binodal"):
        return [*spinodal_branch(model), *CRIT[model]]
    args = ["Ih", np.array([0.1, 100.0, 300.0]), np.array([250.0, 260.0, 270.0])]
    return args + [1, 0, False] if name == "sf_eval_raw" else args


def fixed_sweep(sweep):
    """Every catalogue value in every parameter position, once positionally
    and once by keyword (keywords in reverse order), the other arguments
    valid; then the argument-matching errors."""
    values = catalogue()
    for name in NAMES:
        params = [p for p, _ in SIGNATURES[name]]
        good = valid_arguments(name)
        for i in range(len(params)):
            for _, make in values:
                args = [a.copy() if isinstance(a, np.ndarray) else a for a in good]
                args[i] = make()
                sweep.run(name, tuple(args))
                sweep.run(name, (), dict(reversed(list(zip(params, args)))))
        sweep.run(name, tuple(good))
        sweep.run(name, tuple(good) + (None,))
        sweep.run(name, tuple(good)[:1], {"unexpected": 1})
        sweep.run(name, (), {1: 2})
        for k in range(len(params)):
            sweep.run(name, tuple(good[:k]))
            sweep.run(name, tuple(good[:k + 1]), {params[k]: good[k]})
    sweep.run("sf_phases", (1,))
    sweep.run("sf_phases", (), {"a": 1})
    sweep.run("sf_phases", (1,), {"a": 1})


def random_sweep(sweep, examples):
    from hypothesis import HealthCheck, given, settings, strategies as st
    from hypothesis.extra import numpy as hnp

    def elements(lo, hi):
        return st.one_of(st.sampled_from(EDGE_FLOATS), st.floats(lo, hi),
                         st.floats(allow_nan=True, allow_infinity=True))

    @st.composite
    def vectors(draw, lo, hi):
        data = draw(hnp.arrays(np.float64, st.integers(0, 6), elements=elements(lo, hi)))
        return VARIANTS[draw(st.sampled_from(sorted(VARIANTS)))](data)

    odd_arrays = hnp.arrays(
        st.sampled_from([np.float32, np.int64, np.complex128, np.bool_, np.uint8, ">f8",
                         np.float16, np.float64]),
        hnp.array_shapes(min_dims=0, max_dims=3, min_side=0, max_side=3))
    objects = st.sampled_from(
        [FloatLike(), IndexLike(), BadReturn(), Fraction(7, 2), Decimal("-1.5"), object(), len]
        + [Raising(e) for e in (TypeError, ValueError, OverflowError, ZeroDivisionError)])
    scalars = st.one_of(
        st.none(), st.booleans(), st.integers(), st.integers(-(2**70), 2**70), st.floats(),
        st.complex_numbers(max_magnitude=1e3), st.text(max_size=4), st.binary(max_size=4),
        st.sampled_from([np.float64(3.5), np.float32(-1), np.int64(-7), np.uint64(2**64 - 1),
                         np.bool_(True), np.bool_(False), np.str_("Ih"), np.complex128(1j),
                         np.array(2.5), np.array([1.0])]))
    containers = st.one_of(st.lists(st.floats(), max_size=3), st.tuples(st.floats()),
                           st.dictionaries(st.text(max_size=2), st.integers(), max_size=2))
    anything = st.one_of(scalars, containers, objects, odd_arrays, vectors(-1e3, 1e3))

    def of_kind(kind, param):
        if kind == V:
            lo, hi = (150.0, 400.0) if param.startswith(("t", "spin_t")) else (-300.0, 2500.0)
            return vectors(lo, hi)
        if kind == F:
            return st.one_of(st.floats(150.0, 300.0), st.floats(-100.0, 300.0), st.floats(),
                             st.integers(-(2**1100), 2**1100),
                             st.sampled_from([np.float64(228.2), np.array(220.0), FloatLike()]))
        if kind == S:
            return st.one_of(st.sampled_from(PHASES + ["ice", "", "ih", "Ih "]),
                             st.text(max_size=6))
        if kind == C:
            return st.one_of(st.integers(0, 8), st.integers(-(2**66), 2**66),
                             st.sampled_from([np.uint64(3), np.int8(-1), IndexLike()]))
        return st.one_of(st.booleans(), st.sampled_from([np.bool_(True), np.bool_(False), 1]))

    @st.composite
    def calls(draw):
        name = draw(st.sampled_from(NAMES))
        sig = SIGNATURES[name]
        params = [p for p, _ in sig]
        if name.startswith("compute_binodal") and draw(st.booleans()):
            model = name.split("_", 2)[2]
            sp, su, sl = spinodal_branch(model)
            lo = draw(st.integers(0, len(sp)))
            looks = ["plain", "unaligned", "read_only", "subclass", "tail_of_longer"]
            values = [VARIANTS[draw(st.sampled_from(looks))](a[lo:]) for a in (sp, su, sl)]
            values += list(CRIT[model])
        else:
            values = [draw(of_kind(kind, p) if draw(st.integers(0, 9)) < 8 else anything)
                      for p, kind in sig]
        n_pos = draw(st.integers(0, len(params)))
        args = list(values[:n_pos])
        rest = draw(st.permutations(list(range(n_pos, len(params)))))
        kwargs = {params[i]: values[i] for i in rest}
        damage = draw(st.sampled_from(["none"] * 8 + ["extra", "drop", "twice", "unknown"]))
        if damage == "extra":
            args.append(draw(anything))
        elif damage == "drop" and kwargs:
            kwargs.pop(next(iter(kwargs)))
        elif damage == "twice" and args and params:
            kwargs[params[0]] = draw(anything)
        elif damage == "unknown":
            kwargs[draw(st.text(min_size=1, max_size=3))] = 0
        return name, tuple(args), kwargs

    @settings(max_examples=examples, deadline=None, database=None, derandomize=True,
              suppress_health_check=list(HealthCheck))
    @given(calls())
    def check(call):
        sweep.run(*call)

    check()


def main(examples, last_case_path):
    warnings.simplefilter("ignore")
    faulthandler.enable()
    sweep = Sweep(last_case_path)
    fixed_sweep(sweep)
    random_sweep(sweep, examples)
    print(json.dumps({"distinct": len(sweep.cases), "calls": sweep.calls,
                      "outcomes": sweep.outcomes}))


# --------------------------------------------------------------------------

HERE = Path(__file__).resolve().parent
EXAMPLES = int(os.environ.get("TESSARIN_SWEEP_EXAMPLES", "1000"))


def test_every_kind_of_argument_in_every_position(python_subprocess, tmp_path, summary_line):
    last = tmp_path / "last_case.txt"
    code = (f"import sys; sys.path.insert(0, {str(HERE)!r}); import test_bad_input as t; "
            f"t.main({EXAMPLES}, {str(last)!r})")
    try:
        out = python_subprocess(code, timeout=600)
    except BaseException as err:
        case = last.read_text() if last.exists() else "(none)"
        raise AssertionError(f"sweep failed; last case: {case}\n{err}") from None
    counts = json.loads(out.strip().splitlines()[-1])
    outcomes = ", ".join(f"{k} {v}" for k, v in sorted(counts["outcomes"].items()))
    summary_line(f"bad-input sweep: {counts['distinct']} distinct cases in "
                 f"{counts['calls']} calls ({outcomes})")
    assert counts["outcomes"].get("ok", 0) > 100 and counts["distinct"] > 5000


# Critical temperatures far beyond any physical value: the downward scan from
# them must still end quickly (it cannot be interrupted, since it holds the
# interpreter lock) and find nothing.
@pytest.mark.parametrize("t_llcp", [1e7, 1e9, 1e12, 1e15, 3e16, 1e300, INF])
def test_spinodal_scan_from_an_absurd_critical_temperature_ends(python_subprocess, t_llcp):
    out = python_subprocess(f"""
        import numpy as np, tessarin_rs as m
        for f in (m.compute_spinodal_holten, m.compute_spinodal_caupin,
                  m.compute_spinodal_caupin_kim, m.compute_spinodal_duska):
            r = f(np.array([0.0, 100.0, -100.0]), float("{t_llcp!r}"), 1.0)
            print(r["T_K"].tolist(), r["p_MPa"].tolist())
    """, timeout=60)
    assert out.split("\n")[:4] == [f"[{t_llcp!r}] [1.0]"] * 4
