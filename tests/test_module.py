"""The module surface: registration, doc strings and argument errors."""
import importlib
import re

import numpy as np
import pytest

import tessarin_rs as m

ALL_FUNCTIONS = [
    "compute_batch_caupin",
    "compute_batch_caupin_kim",
    "compute_batch_holten",
    "compute_batch_duska",
    "compute_batch_shi_tanaka",
    "compute_spinodal_caupin",
    "compute_spinodal_caupin_kim",
    "compute_spinodal_holten",
    "compute_spinodal_duska",
    "compute_binodal_caupin",
    "compute_binodal_caupin_kim",
    "compute_binodal_holten",
    "compute_binodal_duska",
    "sf_getprop_grid",
    "sf_getprop_scatter",
    "sf_eval_raw",
    "sf_phases",
]

SIGNATURES = {
    "compute_batch": "(t_k, p_mpa)",
    "compute_spinodal": "(p_arr, t_llcp, p_llcp)",
    "compute_binodal": "(spin_p, spin_t_upper, spin_t_lower, t_llcp, p_llcp)",
    "sf_getprop_grid": "(phase, p, t)",
    "sf_getprop_scatter": "(phase, p, t)",
    "sf_eval_raw": "(phase, p, t, deriv_p, deriv_t, grid)",
    "sf_phases": "()",
}

DOCS = {
    "compute_batch_caupin": "Caupin (2019) Table III fit \u2014 without Kim et al. kT data (default).",
    "compute_batch_caupin_kim": "Caupin (2019) Table II fit \u2014 with Kim et al. kT data.",
    "sf_getprop_grid": "Native equivalent of seafreeze.getProp(...) for grid input.\n\n"
    "PT is an ndarray of [P_arr, T_arr]; output arrays are shape (n_P, n_T).",
    "sf_getprop_scatter": "Native equivalent of seafreeze.getProp(...) for scatter input\n"
    "(matched P and T arrays; output is 1D of length n).",
    "sf_eval_raw": "Debug entry: raw spline derivative at a grid of points.",
}


def test_all_lists_the_seventeen_functions_in_table_order():
    assert m.__all__ == ALL_FUNCTIONS
    for name in m.__all__:
        assert callable(getattr(m, name))


def test_reimport_returns_same_module():
    assert importlib.import_module("tessarin_rs") is m
    assert importlib.reload(m) is m


@pytest.mark.parametrize("name", ALL_FUNCTIONS)
def test_signature_doc_and_module(name):
    fn = getattr(m, name)
    prefix = next(k for k in SIGNATURES if name.startswith(k))
    assert fn.__text_signature__ == SIGNATURES[prefix]
    assert fn.__doc__ == DOCS.get(name)
    assert fn.__module__ == "tessarin_rs"
    assert fn.__name__ == name


T = np.array([273.15, 300.0])
P = np.array([0.1, 0.1])


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda f: f(T), "compute_batch_holten() missing 1 required positional argument: 'p_mpa'"),
        (lambda f: f(), "compute_batch_holten() missing 2 required positional arguments: 't_k' and 'p_mpa'"),
        (lambda f: f(p_mpa=P), "compute_batch_holten() missing 1 required positional argument: 't_k'"),
        (lambda f: f(T, P, P), "compute_batch_holten() takes 2 positional arguments but 3 were given"),
        (lambda f: f(T, t_k=T), "compute_batch_holten() got multiple values for argument 't_k'"),
        (lambda f: f(T, P, q=1), "compute_batch_holten() got an unexpected keyword argument 'q'"),
        (lambda f: f([273.15], P), "argument 't_k': 'list' object cannot be converted to 'PyArray<T, D>'"),
        (lambda f: f((1.0,), P), "argument 't_k': 'tuple' object cannot be converted to 'PyArray<T, D>'"),
        (lambda f: f(1.0, P), "argument 't_k': 'float' object cannot be converted to 'PyArray<T, D>'"),
        (lambda f: f(T.astype(np.float32), P), "argument 't_k': 'ndarray' object cannot be converted to 'PyArray<T, D>'"),
        (lambda f: f(T.astype(np.int64), P), "argument 't_k': 'ndarray' object cannot be converted to 'PyArray<T, D>'"),
        (lambda f: f(np.zeros((2, 2)), P), "argument 't_k': 'ndarray' object cannot be converted to 'PyArray<T, D>'"),
        (lambda f: f(np.float64(1.0), P), "argument 't_k': 'float64' object cannot be converted to 'PyArray<T, D>'"),
        (lambda f: f(T, [0.1, 0.1]), "argument 'p_mpa': 'list' object cannot be converted to 'PyArray<T, D>'"),
        # Byte-swapped doubles are not native float64.
        (lambda f: f(T.astype(">f8"), P), "argument 't_k': 'ndarray' object cannot be converted to 'PyArray<T, D>'"),
        # The first failing conversion wins, in parameter order.
        (lambda f: f(p_mpa=[1.0], t_k=[1.0]), "argument 't_k': 'list' object cannot be converted to 'PyArray<T, D>'"),
    ],
)
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as exc:
        call(m.compute_batch_holten)
    assert str(exc.value) == message


def test_one_positional_too_many_says_was():
    # Every function has at least two parameters, so "was" can only be checked
    # on the message pattern of the zero-parameter function, which CPython
    # itself rejects.
    with pytest.raises(TypeError):
        m.sf_phases(1)


def test_keyword_and_positional_calls_agree():
    a = m.compute_batch_holten(T, P)
    b = m.compute_batch_holten(t_k=T, p_mpa=P)
    c = m.compute_batch_holten(T, p_mpa=P)
    d = m.compute_batch_holten(p_mpa=P, t_k=T)
    for key in a:
        for other in (b, c, d):
            np.testing.assert_array_equal(a[key], other[key], err_msg=key)


def test_ndarray_subclass_is_accepted():
    class Sub(np.ndarray):
        pass

    r = m.compute_batch_holten(T.view(Sub), P)
    assert r["rho"].shape == (2,)


@pytest.mark.parametrize("name", [n for n in ALL_FUNCTIONS if n.startswith("compute_binodal")])
def test_binodal_missing_lists_five_names(name):
    with pytest.raises(TypeError) as exc:
        getattr(m, name)()
    assert str(exc.value) == (
        f"{name}() missing 5 required positional arguments: 'spin_p', 'spin_t_upper', "
        "'spin_t_lower', 't_llcp', and 'p_llcp'"
    )


class Weird:
    """Its float conversion raises a TypeError with a cause."""

    def __float__(self):
        try:
            raise KeyError("inner")
        except KeyError as inner:
            raise TypeError("no float for you") from inner


@pytest.mark.parametrize("name", [n for n in ALL_FUNCTIONS if n.startswith("compute_spinodal")])
def test_float_conversion_errors_are_rewrapped(name):
    fn = getattr(m, name)
    with pytest.raises(TypeError) as exc:
        fn(np.array([10.0]), "hot", 50.0)
    assert str(exc.value) == "argument 't_llcp': must be real number, not str"
    with pytest.raises(TypeError) as exc:
        fn(np.array([10.0]), 220.0, Weird())
    assert str(exc.value) == "argument 'p_llcp': no float for you"
    assert isinstance(exc.value.__cause__, KeyError)
    # Other exceptions pass through unchanged.
    with pytest.raises(OverflowError):
        fn(np.array([10.0]), 10**400, 50.0)


@pytest.mark.parametrize(
    "kwargs, exc_type, pattern",
    [
        (dict(phase=1), TypeError, r"^argument 'phase': 'int' object cannot be converted to 'PyString'$"),
        (dict(deriv_p=-1), OverflowError, r"negative"),
        (dict(deriv_t=1.5), TypeError, r"^argument 'deriv_t': 'float' object cannot be interpreted as an integer$"),
        (dict(grid=1), TypeError, r"^argument 'grid': 'int' object cannot be converted to 'PyBool'$"),
    ],
)
def test_other_argument_kinds(kwargs, exc_type, pattern):
    args = dict(phase="water1", p=np.array([0.1]), t=np.array([300.0]), deriv_p=0, deriv_t=0, grid=False)
    args.update(kwargs)
    with pytest.raises(exc_type) as exc:
        m.sf_eval_raw(**args)
    assert re.search(pattern, str(exc.value))


def test_numpy_bool_is_a_flag():
    a = m.sf_eval_raw("water1", np.array([0.1]), np.array([300.0]), 0, 0, np.bool_(True))
    assert a.shape == (1, 1)


def test_subinterpreter_import_is_refused(python_subprocess):
    out = python_subprocess(
        """
        import tessarin_rs
        try:
            import _xxsubinterpreters as interpreters
        except ImportError:
            print("skip")
            raise SystemExit
        interp = interpreters.create()
        try:
            interpreters.run_string(interp, "import tessarin_rs")
        except Exception as exc:
            print("refused", type(exc).__name__)
        else:
            print("imported")
        """
    )
    if out.strip() == "skip":
        pytest.skip("no sub-interpreter API in this Python")
    assert out.strip().startswith("refused")
