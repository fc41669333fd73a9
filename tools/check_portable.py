#!/usr/bin/env python3
"""Checks that a build's AVX code cannot run on a processor without AVX2.

    python tools/check_portable.py [build folder] [--qemu]

The kernels' wide variants are functions compiled with the AVX2 target
attribute (their names end in _avx2) and chosen at run time by cpu::path().
An inline function or template instantiated inside such a function, if it
were emitted out of line with AVX instructions, could be the copy the linker
keeps for the portable code as well. This check disassembles the extension
modules and fails when any function other than a *_avx2 entry point holds a
VEX- or EVEX-encoded (AVX) instruction. An entry point may call functions of
the module built for the baseline (the spline kernels hand points outside
the knot range to the extrapolating route): such a callee cannot take 256-bit
vectors, and if it were an AVX copy this check would name it.

With --qemu it also evaluates every output of the output-bits record
(tests/output_bits.py) natively and under qemu-x86_64 emulating a processor
without AVX (Nehalem), with TESSARIN_SIMD unset, so that the run-time choice
itself is exercised: the emulated run must take the portable path and give
the native bits, NaN signs aside (needs the Debian package qemu-user; takes
under a minute).
"""
import argparse
import json
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
FUNC = re.compile(r"^[0-9a-f]+ <(.+)>:$")
INSN = re.compile(r"^\s+[0-9a-f]+:\s+(\S+)\s*(.*)$")


def functions(so):
    """{symbol: [(mnemonic, operands)]} of an object's text, demangled."""
    out = subprocess.run(["objdump", "-d", "-C", "--no-show-raw-insn", str(so)],
                         capture_output=True, text=True, check=True).stdout
    funcs, current = {}, None
    for line in out.splitlines():
        m = FUNC.match(line)
        if m:
            current = funcs.setdefault(m.group(1), [])
            continue
        m = INSN.match(line)
        if m and current is not None:
            current.append((m.group(1), m.group(2)))
    return funcs


def is_avx(mnemonic, operands):
    # Every VEX- or EVEX-encoded instruction has a mnemonic beginning with
    # "v" (verr/verw are old protected-mode instructions, not vector ones);
    # a ymm or zmm register gives one away too.
    return ((mnemonic.startswith("v") and mnemonic not in ("verr", "verw"))
            or re.search(r"%[yz]mm\d", operands) is not None)


# Helpers that carry an AVX target attribute of their own (simd.hpp): only
# AVX2 code calls them.
AVX_HELPERS = {"tessarin::simd::sqrt(double __vector(4))"}


def check(so):
    funcs = functions(so)
    entry = {name for name in funcs if re.search(r"_avx2\(", name)}
    problems = []
    for name, insns in funcs.items():
        if name not in entry and name not in AVX_HELPERS and any(is_avx(mnem, ops) for mnem, ops in insns):
            problems.append(f"AVX instructions outside the AVX2 entry points: {name}")
    return entry, problems


# Every output of the seventeen functions, hashed as it is and with each NaN
# replaced by the one default NaN: the emulator does not reproduce the sign
# that the processor gives the NaN of an invalid operation (in some of the
# splines' Cp, Cv and Ks), so only the second hash can be compared across it.
PROBE = """
import hashlib, json, sys
import numpy as np
sys.path.insert(0, "tests")
import output_bits, tessarin_rs
from tessarin import _native
as_is = output_bits.compute(tessarin_rs)
output_bits.digest = lambda a: hashlib.sha256(
    np.where(np.isnan(a), np.nan, np.ascontiguousarray(a)).tobytes()).hexdigest()[:16]
print(json.dumps([_native.build_info(), as_is, output_bits.compute(tessarin_rs)]))
"""


def qemu_run(build):
    """Every output of the seventeen functions natively and on an emulated
    processor without AVX: the emulated run must take the portable path and
    give the native bits (NaN signs aside)."""
    qemu = shutil.which("qemu-x86_64")
    if qemu is None:
        print("qemu-x86_64 not found (Debian package qemu-user)", file=sys.stderr)
        return False
    env = dict(os.environ, PYTHONPATH=str(Path(build).resolve()))
    env.pop("TESSARIN_SIMD", None)
    runs = []
    for prefix in ([], [qemu, "-cpu", "Nehalem"]):
        run = subprocess.run(prefix + [sys.executable, "-c", PROBE], env=env, cwd=ROOT,
                             capture_output=True, text=True)
        if run.returncode:
            print(run.stderr, file=sys.stderr)
            return False
        runs.append(json.loads(run.stdout))
    (_, native, native_nan), (info, emulated, emulated_nan) = runs
    nan_sign = sorted(k for k in native if native[k] != emulated[k])
    moved = sorted(k for k in native_nan if native_nan[k] != emulated_nan[k])
    print(f"emulated Nehalem: cpu {info['cpu']!r}, path {info['simd']!r}; {len(moved)} of "
          f"{len(native)} outputs differ from the native run "
          f"({len(nan_sign) - len(moved)} more in the sign of a NaN only)")
    for k in moved[:20]:
        print("  " + k)
    return info["simd"] == "portable" and not moved


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("build", nargs="?", default=str(ROOT / "build" / "dev"))
    ap.add_argument("--qemu", action="store_true")
    args = ap.parse_args()
    modules = sorted(Path(args.build).glob("tessarin_rs*.so")) + sorted(
        Path(args.build).glob("tessarin/_native*.so"))
    if not modules:
        ap.error(f"no extension modules in {args.build}")
    ok = True
    for so in modules:
        entry, problems = check(so)
        print(f"{so.name}: {len(entry)} AVX2 entry points, {len(problems)} problems")
        for p in problems:
            print("  " + p)
        ok = ok and not problems
    if args.qemu:
        ok = qemu_run(args.build) and ok
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
