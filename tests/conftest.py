import os
import shutil
import subprocess
import sys
import sysconfig
import textwrap
from pathlib import Path

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


ROOT = Path(__file__).resolve().parents[1]


def cxx_command():
    """The C++ compiler the extension would be built with (CXX, else Python's
    own), as an argument list, or None when there is none."""
    cxx = (os.environ.get("CXX") or sysconfig.get_config_var("CXX") or "c++").split()
    exe = shutil.which(cxx[0])
    return [exe, *cxx[1:]] if exe else None


def build_and_run_cpp(tmp_path, source, extra_sources=(), flags=(), try_asan=False):
    """Compiles a C++ program against the module's kernel headers (src/ and
    tests/cpp/ on the include path), runs it and returns its stdout; skips
    when no C++ compiler is available and fails when it does not build or
    exits with an error.

    Kernel-level properties that Python cannot reach (for example that two
    evaluation routes of one function agree) are checked this way. Under the
    sanitizer run the programs are instrumented like the module; otherwise,
    with try_asan, AddressSanitizer is used where it links."""
    cxx = cxx_command()
    if cxx is None:
        pytest.skip("no C++ compiler")
    exe = tmp_path / "check"
    sanitize = os.environ.get("TESSARIN_SANITIZE_CXXFLAGS", "").split()
    cmd = [*cxx, "-std=c++20", "-O2", "-ffp-contract=off", "-Wno-psabi", "-pthread", *sanitize,
           f"-I{ROOT / 'src'}", f"-I{ROOT / 'tests' / 'cpp'}", *flags, str(source),
           *map(str, extra_sources), "-o", str(exe)]
    # The compiler itself runs without the sanitizer runtime the test run
    # may have preloaded.
    compile_env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    built = None
    if try_asan and not sanitize:
        built = subprocess.run(cmd[:1] + ["-fsanitize=address"] + cmd[1:], capture_output=True,
                               text=True, env=compile_env)
    if built is None or built.returncode != 0:
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
