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
(tests/output_bits.py) under qemu-x86_64 emulating a processor without AVX
(Nehalem), with TESSARIN_SIMD unset, so that the run-time choice itself is
exercised: the kernels must take the portable path and the liquid models
(whose math is vmath's) must give the recorded bits (needs the Debian package
qemu-user; takes a few minutes).
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


# Functions whose kernels take no C library call that could round differently
# on another processor (their exp and log are vmath's): their bits must match
# the record wherever it was made.
MACHINE_INDEPENDENT = {"compute_batch_holten", "compute_batch_caupin", "compute_batch_caupin_kim",
                       "compute_batch_duska", "compute_batch_shi_tanaka"}


def qemu_run(build):
    """Every output of the seventeen functions on an emulated processor
    without AVX; the machine-independent ones must keep the recorded bits."""
    qemu = shutil.which("qemu-x86_64")
    if qemu is None:
        print("qemu-x86_64 not found (Debian package qemu-user)", file=sys.stderr)
        return False
    env = dict(os.environ, PYTHONPATH=str(Path(build).resolve()))
    env.pop("TESSARIN_SIMD", None)
    code = ("import json, sys; sys.path.insert(0, 'tests'); import output_bits, tessarin_rs; "
            "from tessarin import _native; "
            "print(json.dumps([_native.build_info(), output_bits.compute(tessarin_rs)]))")
    run = subprocess.run([qemu, "-cpu", "Nehalem", sys.executable, "-c", code], env=env, cwd=ROOT,
                         capture_output=True, text=True)
    if run.returncode:
        print(run.stderr, file=sys.stderr)
        return False
    info, got = json.loads(run.stdout)
    sys.path.insert(0, str(ROOT / "tests"))
    import output_bits
    want = output_bits.load()["hashes"]
    moved = sorted(k for k in want if got.get(k) != want[k])
    bad = [k for k in moved if k.split(":")[0].split("/")[0] in MACHINE_INDEPENDENT]
    print(f"emulated Nehalem: cpu {info['cpu']!r}, path {info['simd']!r}; {len(moved)} of "
          f"{len(want)} outputs differ from the record ({len(bad)} of the machine-independent "
          "functions)")
    others = sorted({k.split(":")[0].split("/")[0] for k in moved} - MACHINE_INDEPENDENT)
    if others:
        print("  (through the C library's exp, log and pow: " + ", ".join(others) + ")")
    for k in bad[:20]:
        print("  " + k)
    return info["simd"] == "portable" and not bad


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
