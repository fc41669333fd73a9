#!/usr/bin/env python3
"""Checks that no AVX instruction lies outside the AVX2 entry points.

    python tools/check_portable_isa.py [--qemu] [build folder or .so ...]   (default build/dev)

The wide kernels are functions marked with the AVX2 target whose every stage
is inlined into them; the rest of the module is built for baseline x86-64
and must run on a processor without AVX. A helper that the compiler emitted
out of line from AVX code (an inline function or template instantiated in a
wide function and shared with the portable code through the linker) would
break that on such a processor only. This disassembles every extension
module and lists the functions that contain VEX- or EVEX-encoded
instructions (mnemonics starting with "v", ymm and zmm registers): each must
be an AVX2 entry point (its name contains "avx2"), or the check fails.

With --qemu it also runs the vector kernels (spline properties, model
batches) natively and under an emulated processor without AVX (qemu-x86_64
-cpu Nehalem, Debian package qemu-user), and compares the bits: a stray AVX
instruction on the portable path stops the emulated run, and a path that
computes differently shows as different bits. The whole suite can run under
the emulator the same way (slowly):
    qemu-x86_64 -cpu Nehalem "$(python3 -c 'import sys; print(sys.executable)')" -m pytest tests
"""
import re
import subprocess
import sys
from pathlib import Path

HEADER = re.compile(r"^[0-9a-f]+ <(.*)>:$")
# Mnemonics of the VEX/EVEX encodings all start with "v" (verr and verw are
# old protected-mode instructions, not vector ones).
VEX = re.compile(r"^\s*[0-9a-f]+:\s+(v(?!err|erw)[a-z0-9]+)\b|[yz]mm\d")


def wide_functions(so):
    dis = subprocess.run(["objdump", "-d", "--no-show-raw-insn", "-C", str(so)],
                         capture_output=True, text=True, check=True).stdout
    found, name = {}, None
    for line in dis.splitlines():
        m = HEADER.match(line)
        if m:
            name = m.group(1)
        elif name and VEX.search(line):
            found[name] = found.get(name, 0) + 1
    return found


# The spline kernels call no library function but the square root, so their
# bits must agree anywhere. The model kernels call the C library's log and
# exp where they do not have their own, and glibc picks variants of those by
# processor features (FMA among them): their bits are shown for information
# (the portable path natively, and emulated), and a leak shows as a crash of
# the emulated run. The emulator does not reproduce the sign of the NaN that
# an invalid operation of the processor makes, so every NaN is hashed as the
# same one (the suite compares the NaNs of the two paths natively, bit for
# bit).
PROBE = """
import hashlib, numpy as np, tessarin_rs as tr
rng = np.random.default_rng(1)
h = hashlib.sha256()
def update(h, v):
    h.update(np.where(np.isnan(v), np.nan, v).tobytes())
for phase in tr.sf_phases():
    p, t = rng.uniform(-50, 2500, 2000), rng.uniform(0, 520, 2000)
    p[::13] = np.nan
    for d in (tr.sf_getprop_scatter(phase, p, t), tr.sf_getprop_grid(phase, p[:40], t[:150])):
        for v in d.values():
            update(h, v)
models = hashlib.sha256()
for name in ("duska", "holten", "caupin"):
    r = getattr(tr, "compute_batch_" + name)(rng.uniform(150, 400, 999), rng.uniform(-200, 400, 999))
    for v in r.values():
        update(models, v)
print("splines", h.hexdigest()[:16], "models", models.hexdigest()[:16])
"""


def emulated_run(folder):
    """True when the probe runs under qemu and its splines have the bits of
    the native runs."""
    import os
    env = dict(os.environ, PYTHONPATH=str(folder.resolve()))
    env.pop("TESSARIN_SIMD", None)
    runs = {}
    for label, prefix, extra in (("native", [], {}),
                                 ("native portable", [], {"TESSARIN_SIMD": "portable"}),
                                 ("qemu Nehalem", ["qemu-x86_64", "-cpu", "Nehalem"], {})):
        proc = subprocess.run(prefix + [sys.executable, "-c", PROBE], env={**env, **extra},
                              capture_output=True, text=True, timeout=1800)
        if proc.returncode != 0:
            print(f"{label}: failed: {proc.stderr[-300:]}")
            return False
        runs[label] = proc.stdout.split()
        print(f"{label}: {proc.stdout.strip()}")
    emulated = runs["qemu Nehalem"]
    print("models: " + ("same bits" if emulated == runs["native portable"] else
                        "different bits (expected where they call the C library's log or exp)"))
    return emulated[:2] == runs["native"][:2] == runs["native portable"][:2]


def main(argv):
    qemu = "--qemu" in argv
    argv = [a for a in argv if a != "--qemu"]
    targets = [Path(a) for a in argv] or [Path(__file__).resolve().parents[1] / "build" / "dev"]
    modules = []
    for t in targets:
        modules += sorted(t.rglob("*.so")) if t.is_dir() else [t]
    if not modules:
        print("no extension modules found in", ", ".join(map(str, targets)))
        return 2
    bad = 0
    for so in modules:
        found = wide_functions(so)
        if not found:
            print(f"ok   {so.name}: no AVX instructions")
        for name, count in sorted(found.items()):
            entry = "avx2" in name
            bad += not entry
            print(f"{'ok  ' if entry else 'LEAK'} {so.name}: {count:6d} AVX instructions in {name}")
    print("no AVX code outside the AVX2 entry points" if not bad else
          f"{bad} function(s) with AVX code that the portable path may run")
    if qemu:
        folders = {so.parent.parent if so.parent.name == "tessarin" else so.parent for so in modules}
        for folder in sorted(folders):
            same = emulated_run(folder)
            print(f"{folder}: " + ("same bits without AVX" if same else "DIFFERENT without AVX"))
            bad += not same
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
