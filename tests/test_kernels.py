"""The C++ kernel checks of tests/cpp: properties of the kernels that Python
cannot reach, each a program that exits with an error when a check fails."""
import pytest

from conftest import ROOT, build_and_run_cpp

SRC = ROOT / "src"
CONTAINER = ROOT / "data" / "seafreeze_splines.bin"
SPLINE_TABLE = [SRC / "seafreeze" / "table.cpp", SRC / "seafreeze" / "container.cpp"]
# The spline checks run unoptimised, so that the C++ semantics alone are
# checked; the table check under AddressSanitizer where it links, so that a
# read past the end of a damaged container is caught.
SPLINE_FLAGS = ["-O0", f'-DTESSARIN_CONTAINER_PATH="{CONTAINER}"']
NACL_TABLE = [SRC / "nacl" / "table.cpp", SRC / "nacl" / "container.cpp"]
NACL_FLAGS = ["-O0", f'-DTESSARIN_NACL_CONTAINER_PATH="{ROOT / "data" / "seafreeze_nacl.bin"}"']

# file in tests/cpp: (extra sources, flags, try AddressSanitizer)
CHECKS = {
    "vmath.cpp": ((), (), False),
    "holten.cpp": ((), (), False),
    "caupin.cpp": ((SRC / "caupin" / "wide.cpp",), (), False),
    "duska.cpp": ((SRC / "duska" / "wide.cpp",), (), False),
    "shi_tanaka.cpp": ((), (), False),
    "seafreeze_kernels.cpp": (SPLINE_TABLE, SPLINE_FLAGS, False),
    "seafreeze_table.cpp": (SPLINE_TABLE, SPLINE_FLAGS, True),
    "nacl_parse.cpp": (NACL_TABLE, NACL_FLAGS, True),
}
# Checks that take several seconds to compile.
SLOW = {"nacl_parse.cpp"}


@pytest.mark.parametrize(
    "name", [pytest.param(n, marks=pytest.mark.slow) if n in SLOW else n for n in CHECKS])
def test_kernel_check(tmp_path, name):
    extra, flags, try_asan = CHECKS[name]
    out = build_and_run_cpp(tmp_path, ROOT / "tests" / "cpp" / name, extra, flags, try_asan)
    assert out.strip().endswith("ok"), out
