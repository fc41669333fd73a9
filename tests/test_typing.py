"""The type stubs shipped with the module agree with the compiled module.

The stub package (tessarin_rs-stubs) is read with ast and compared with the
module's own signature metadata, its annotations are checked against what the
module really accepts and returns, and mypy --strict runs over the example
scripts with the stubs found the way an installed user's checker finds them.
"""
import ast
import inspect
import os
import re
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import tessarin_rs

ROOT = Path(__file__).resolve().parents[1]
STUB_PACKAGE = "tessarin_rs-stubs"
# Installed from a wheel the stubs sit beside the extension; in a development
# build they are only in the source tree.
INSTALLED_STUBS = Path(tessarin_rs.__file__).resolve().parent / STUB_PACKAGE
STUBS = INSTALLED_STUBS if INSTALLED_STUBS.is_dir() else ROOT / STUB_PACKAGE
STUB_TREE = ast.parse((STUBS / "__init__.pyi").read_text(encoding="utf-8"))
STUB_FUNCS = {n.name: n for n in STUB_TREE.body if isinstance(n, ast.FunctionDef)}


def stub_all():
    for node in STUB_TREE.body:
        if isinstance(node, ast.Assign) and any(
                isinstance(t, ast.Name) and t.id == "__all__" for t in node.targets):
            return ast.literal_eval(node.value)
    raise AssertionError("the stub has no __all__")


def stub_public_names():
    names = set()
    for node in STUB_TREE.body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            names.add(node.name)
        elif isinstance(node, (ast.Assign, ast.AnnAssign)):
            targets = node.targets if isinstance(node, ast.Assign) else [node.target]
            names.update(t.id for t in targets if isinstance(t, ast.Name))
    return sorted(n for n in names if not n.startswith("_"))


def test_stub_lists_the_module_names():
    assert stub_all() == tessarin_rs.__all__
    assert stub_public_names() == sorted(n for n in dir(tessarin_rs) if not n.startswith("_"))


def stub_params(fn):
    a = fn.args
    kinds = [(a.posonlyargs, "POSITIONAL_ONLY"), (a.args, "POSITIONAL_OR_KEYWORD"),
             ([a.vararg] if a.vararg else [], "VAR_POSITIONAL"),
             (a.kwonlyargs, "KEYWORD_ONLY"), ([a.kwarg] if a.kwarg else [], "VAR_KEYWORD")]
    params = [(arg.arg, kind) for args, kind in kinds for arg in args]
    n_defaults = len(a.defaults) + sum(d is not None for d in a.kw_defaults)
    return params, n_defaults


@pytest.mark.parametrize("name", tessarin_rs.__all__)
def test_stub_parameters_match_signature(name):
    sig = inspect.signature(getattr(tessarin_rs, name))
    module = [(p.name, p.kind.name) for p in sig.parameters.values()]
    n_defaults = sum(p.default is not p.empty for p in sig.parameters.values())
    assert stub_params(STUB_FUNCS[name]) == (module, n_defaults), name


# A value for every parameter name, so that each function can be called with
# its stub's keyword names alone.
BASE = {"t_k": 250.0, "p_mpa": 0.1, "p_arr": 20.0, "t_llcp": 228.2, "p_llcp": 0.0,
        "spin_p": 20.0, "spin_t_upper": 226.1575, "spin_t_lower": 224.1179,
        "phase": "Ih", "p": 0.1, "t": 270.0, "deriv_p": 0, "deriv_t": 1, "grid": True}

# Typed constructors for arrays of other dtypes: written inline, NumPy's
# overloads let mypy infer any dtype from the expected parameter type.
PROBE_HEADER = """\
import numpy as np
import tessarin_rs
from numpy.typing import NDArray


def as_f32(v: float) -> NDArray[np.float32]:
    return np.array([v], dtype=np.float32)


def as_i64(v: float) -> NDArray[np.int64]:
    return np.array([int(v)], dtype=np.int64)

"""

# Per stub annotation: argument forms ({v} is the parameter's base value) that
# the annotation admits, forms it refuses, and forms it admits but the module
# refuses at run time (properties a static type cannot express). Admitted
# forms must pass mypy and run; refused ones must fail both.
FORMS = {
    "_Float64Array": {
        "ok": ["np.array([{v}])", "np.broadcast_to(np.array([{v}]), (1,))"],
        "bad": ["[{v}]", "{v}", "as_f32({v})", "as_i64({v})"],
        "runtime": [("np.array([[{v}]])", TypeError), ("np.array([{v}], dtype='>f8')", TypeError)],
    },
    "_Real": {
        "ok": ["{v}", "int({v})", "np.float32({v})", "np.int64(int({v}))"],
        "bad": ["str({v})", "None"],
    },
    "str": {"ok": ["{v!r}"], "bad": ["{v!r}.encode()", "None"]},
    "SupportsIndex": {
        "ok": ["{v}", "np.uint8({v})", "True"],
        "bad": ["1.5", "'1'"],
        "runtime": [("-1", OverflowError)],
    },
    "bool | np.bool_": {
        "ok": ["{v}", "np.True_", "np.bool_(False)"],
        "bad": ["1", "None", "'yes'"],
    },
}


def annotation(name, param):
    """The stub's annotation of a parameter as source text (None when the stub
    lacks the parameter, which the signature test reports)."""
    for arg in STUB_FUNCS[name].args.args if name in STUB_FUNCS else ():
        if arg.arg == param:
            return ast.unparse(arg.annotation)
    return None


def module_params(name):
    return list(inspect.signature(getattr(tessarin_rs, name)).parameters)


def test_every_annotation_has_argument_forms():
    missing = {(n, p, annotation(n, p)) for n in tessarin_rs.__all__ for p in module_params(n)
               if annotation(n, p) not in FORMS}
    assert not missing, f"no argument forms for: {sorted(missing, key=str)}"


def call_source(name, param=None, form=None):
    """Source of a keyword call with every argument in the first admitted form
    of its annotation, except `param`, which is given in `form`."""
    def arg(p):
        chosen = form if p == param else FORMS[annotation(name, p)]["ok"][0]
        return f"{p}={chosen.format(v=BASE[p])}"
    return f"tessarin_rs.{name}({', '.join(map(arg, module_params(name)))})"


CALLS = [(name, param, form, kind, exc)
         for name in tessarin_rs.__all__ for param in module_params(name)
         for kind, forms in FORMS.get(annotation(name, param), {}).items()
         for form, exc in ((f, None) if kind != "runtime" else f for f in forms)]


def eval_env():
    env = {}
    exec(PROBE_HEADER, env)
    return env


def is_f64_array(x):
    return isinstance(x, np.ndarray) and x.dtype == np.float64


RETURNS = {
    "dict[str, _Float64Array]": lambda r: isinstance(r, dict) and all(
        isinstance(k, str) and is_f64_array(v) for k, v in r.items()),
    "_Float64Array": is_f64_array,
    "dict[str, bool]": lambda r: isinstance(r, dict) and all(
        isinstance(k, str) and isinstance(v, bool) for k, v in r.items()),
}


@pytest.mark.parametrize("name", tessarin_rs.__all__)
def test_return_annotation_holds(name):
    returns = ast.unparse(STUB_FUNCS[name].returns)
    result = eval(call_source(name), eval_env())
    assert RETURNS[returns](result), f"{name}: {type(result)} is not {returns}"


def test_argument_forms_at_run_time():
    env = eval_env()
    failures = []
    for name, param, form, kind, exc in CALLS:
        src = call_source(name, param, form)
        try:
            eval(src, env)
        except Exception as e:  # noqa: BLE001 - every outcome is compared below
            expected = kind != "ok" and isinstance(e, exc or TypeError) and (
                exc is not None or f"argument '{param}'" in str(e))
            if not expected:
                failures.append(f"{src}: {e!r}")
        else:
            if kind != "ok":
                failures.append(f"{src}: accepted")
    assert not failures, "\n".join(failures)


# Result keys documented in the stub's module docstring, per function family.
def documented_keys():
    families, current = {}, None
    for line in ast.get_docstring(STUB_TREE).splitlines():
        head = re.match(r"(Liquid-model|Spinodal|Binodal|Spline property) results", line)
        if head:
            current = families.setdefault(head.group(1), [])
        elif current is not None and (m := re.match(r' {4}"(\w+)"\s', line)):
            current.append((m.group(1), "ice phases only" in line))
    return families


DOC = documented_keys()
LIQUID = [k for k, _ in DOC["Liquid-model"]]
PROPS = [k for k in LIQUID if k != "x"]
EXPECTED_KEYS = {
    "compute_batch": LIQUID + [k + "_A" for k in PROPS] + [k + "_B" for k in PROPS],
    "compute_spinodal": [k for k, _ in DOC["Spinodal"]],
    "compute_binodal": [k for k, _ in DOC["Binodal"]],
    "sf_getprop:water1": [k for k, ice in DOC["Spline property"] if not ice],
    "sf_getprop:Ih": [k for k, _ in DOC["Spline property"]],
}


@pytest.mark.parametrize("name, phase", [
    *((n, None) for n in tessarin_rs.__all__ if n.startswith("compute_")),
    ("sf_getprop_grid", "water1"), ("sf_getprop_grid", "Ih"), ("sf_getprop_scatter", "water1")])
def test_documented_keys_match_results(name, phase):
    src = call_source(name, "phase", repr(phase)) if phase else call_source(name)
    result = eval(src, eval_env())
    family = f"sf_getprop:{phase}" if phase else next(k for k in EXPECTED_KEYS if name.startswith(k))
    assert list(result) == EXPECTED_KEYS[family], src


def mypy_env(tmp_path):
    """Environment in which mypy finds the stubs as a stub-only package, as it
    does in site-packages once the wheel is installed."""
    env = dict(os.environ)
    if STUBS != INSTALLED_STUBS:
        site = tmp_path / "site"
        site.mkdir()
        (site / STUB_PACKAGE).symlink_to(STUBS, target_is_directory=True)
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(site), env.get("PYTHONPATH")]))
    env.pop("MYPYPATH", None)
    return env


# Calls of the tessarin package as users write them: (source, whether mypy
# must refuse it). The package's inline annotations must give the results
# the annotated types, keep T and P keyword-only and refuse non-numbers.
PACKAGE_PROBE = [
    ("import numpy as np", False),
    ("import xarray as xr", False),
    ("from numpy.typing import NDArray", False),
    ("import tessarin", False),
    ('r: dict[str, NDArray[np.float64]] = tessarin.properties("holten", T=300.0, P=0.1)', False),
    ('g = tessarin.properties("Ih", T=[250, 260], P=np.arange(3), grid=True, keys=["rho"])',
     False),
    ('ds: xr.Dataset = tessarin.properties("holten", T=xr.DataArray([300.0]), P=0.1)', False),
    ('ok: NDArray[np.bool_] = tessarin.in_range("Ih", T=[[1.0, 2.0]], P=np.float32(3))', False),
    ('tc, pc = tessarin.critical_point("duska")', False),
    ('ll: dict[str, NDArray[np.float64]] = tessarin.liquid_liquid("holten", P=[1.0, 20.0])',
     False),
    ('lims: dict[str, tuple[float, float]] = tessarin.valid_range("water1")', False),
    ('names: list[str] = tessarin.materials() + tessarin.keys("VI")', False),
    ('w: NDArray[np.float64] = tessarin.whichphase(P=[0.1, 300.0], T=260)', False),
    ('line = tessarin.phase_line("Ih", "water1", T=[250.0, 260.0])', False),
    ('ok2: NDArray[np.bool_] = line["stable"]', False),
    ('tp: dict[tuple[str, str, str], tuple[float, float]] = tessarin.triple_points()', False),
    ('pm: NDArray[np.float64] = tessarin.density_to_pressure("Ih", rho=930.0, T=255.0)', False),
    ('n: int = tessarin.phase_number(tessarin.phase_name(w[0]))', False),
    ('tessarin.phase_line("Ih", "water1", 250.0)', True),
    ('wb: NDArray[np.float64] = tessarin.whichphase(P=0.1, T=[260.0, 270.0], m=[[0.5], [1.0]])',
     False),
    ('lb = tessarin.phase_line("Ih", "NaClaq", P=[0.1, 100.0], m=1.0)', False),
    ('tf: NDArray[np.float64] = tessarin.freezing_temperature(P=np.linspace(0, 2000, 5), m=2)',
     False),
    ('tessarin.freezing_temperature(P=0.1)', True),
    ('tessarin.freezing_temperature(0.1, 1.0)', True),
    ('b: dict[str, NDArray[np.float64]] = tessarin.properties("NaClaq", T=300.0, P=0.1, m=1)',
     False),
    ('ds3: xr.Dataset = tessarin.properties("NaClaq", T=300.0, P=0.1, m=xr.DataArray([1.0]))',
     False),
    ('tessarin.properties("NaClaq", T=300.0, P=0.1, m="1")', True),
    ('tessarin.properties("holten", 300.0, 0.1)', True),
    ('tessarin.properties("holten", T="300", P=0.1)', True),
    ('tessarin.properties("holten", T=300.0, P=0.1, out_of_range="quiet")', True),
    ('ds2: xr.Dataset = tessarin.properties("holten", T=300.0, P=0.1)', True),
]


# Type checking runs no module code, so the sanitizer pass skips it. The
# package is checked as a package where it is imported from (a development
# build folder or site-packages), so its annotations hold as users see them;
# the examples and probes are checked as modules found through MYPYPATH.
@pytest.mark.slow
def test_mypy_strict_on_examples_package_and_probes(tmp_path):
    pytest.importorskip("mypy")
    lines = PROBE_HEADER.splitlines()
    refused = {}
    for name, param, form, kind, _ in CALLS:
        lines.append(call_source(name, param, form))
        if kind == "bad":
            refused.setdefault("stub_probe.py", set()).add(len(lines))
    probes = {"stub_probe.py": lines, "package_probe.py": [src for src, _ in PACKAGE_PROBE]}
    refused["package_probe.py"] = {i for i, (_, bad) in enumerate(PACKAGE_PROBE, 1) if bad}
    for name, text in probes.items():
        (tmp_path / name).write_text("\n".join(text) + "\n")
    modules = [p.stem for p in sorted((ROOT / "examples").glob("*.py"))]
    modules += [Path(name).stem for name in probes]
    env = mypy_env(tmp_path)
    env["MYPYPATH"] = os.pathsep.join([str(ROOT / "examples"), str(tmp_path)])
    proc = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--config-file", str(ROOT / "pyproject.toml"),
         "--cache-dir", str(tmp_path / "cache"), "--no-pretty", "--no-error-summary",
         "-p", "tessarin", *(a for m in modules for a in ("-m", m))],
        cwd=tmp_path, env=env, capture_output=True, text=True, timeout=300)
    errors = [m.groups() for m in re.finditer(r"^(.+?):(\d+): error: (.*)$", proc.stdout, re.M)]
    problems = [f"{f}:{n}: {msg}" for f, n, msg in errors if Path(f).name not in probes]
    for name, text in probes.items():
        flagged = {int(n) for f, n, _ in errors if Path(f).name == name}
        problems += [f"mypy {'accepts' if n in refused[name] else 'refuses'} {text[n - 1]}"
                     for n in sorted(flagged ^ refused[name])]
    assert not problems, "\n".join(problems) + "\n" + proc.stdout + proc.stderr
    assert proc.returncode == 1, proc.stdout + proc.stderr
