import os
import subprocess
import sys
import textwrap

import pytest


def run_python(code, env_extra=None, timeout=120):
    """Runs `code` in a fresh interpreter and returns its stdout.

    Used where a test needs a process of its own: the worker pool is sized
    once per process from the environment, and fork/threading behaviour must
    not leak into the test runner.
    """
    env = dict(os.environ)
    for key in ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS"):
        env.pop(key, None)
    env.update(env_extra or {})
    proc = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        env=env,
        capture_output=True,
        text=True,
        timeout=timeout,
    )
    if proc.returncode != 0:
        raise AssertionError(
            f"subprocess failed ({proc.returncode}):\n{proc.stdout}\n{proc.stderr}"
        )
    return proc.stdout


@pytest.fixture
def python_subprocess():
    return run_python


def stated_tolerance(text):
    """Half a unit in the last digit of a value written as `text`.

    Reference values are quoted to a given number of digits; a computed value
    matches when it rounds to the quoted one (with a little slack for the
    rounding of the quoted value itself)."""
    mantissa, _, exponent = text.lower().partition("e")
    decimals = len(mantissa.partition(".")[2])
    return 0.5 * 10.0 ** (-decimals + int(exponent or 0)) * 1.0001


def assert_digits(got, text, label=""):
    want = float(text)
    tol = stated_tolerance(text)
    assert abs(got - want) <= tol, f"{label}: got {got!r}, want {text} (±{tol:.3g})"


ROOT = __import__("pathlib").Path(__file__).resolve().parents[1]


def build_and_run_cpp(tmp_path, source, extra_sources=(), flags=()):
    """Compiles a small C++ program against the module's kernel headers, runs
    it and returns its stdout; skips when no C++ compiler is available.

    Kernel-level properties that Python cannot reach (for example that two
    evaluation routes of one function agree) are checked this way."""
    import shutil
    import sysconfig

    cxx = (os.environ.get("CXX") or sysconfig.get_config_var("CXX") or "c++").split()
    exe_path = shutil.which(cxx[0])
    if exe_path is None:
        pytest.skip("no C++ compiler")
    src = tmp_path / "check.cpp"
    src.write_text(source)
    exe = tmp_path / "check"
    # Under the sanitizer run the checks are instrumented like the module;
    # the compiler itself runs without the preloaded sanitizer runtime.
    sanitize = os.environ.get("TESSARIN_SANITIZE_CXXFLAGS", "").split()
    cmd = [exe_path, *cxx[1:], "-std=c++20", "-O2", "-ffp-contract=off", "-Wno-psabi", *sanitize,
           f"-I{ROOT / 'src'}", f"-I{ROOT / 'tests' / 'cpp'}", *flags, str(src), *map(str, extra_sources), "-o", str(exe)]
    compile_env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    built = subprocess.run(cmd, capture_output=True, text=True, env=compile_env)
    assert built.returncode == 0, built.stderr
    run = subprocess.run([str(exe)], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stdout + run.stderr
    return run.stdout


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "slow: takes several seconds; left out of the sanitizer pass")


# Counts that the reliability tests gather (cases tried, calls compared, the
# memory growth measured), shown at the end of the run.
_SUMMARY_LINES = []


@pytest.fixture(scope="session")
def summary_line():
    """Returns a function that adds one line to the end-of-run summary."""
    return _SUMMARY_LINES.append


def pytest_terminal_summary(terminalreporter):
    if _SUMMARY_LINES:
        terminalreporter.section("reliability figures")
        for line in _SUMMARY_LINES:
            terminalreporter.write_line(line)
