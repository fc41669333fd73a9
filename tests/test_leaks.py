"""Memory: repeated calls leave nothing behind, and exhausted memory is a
MemoryError after which the interpreter carries on.

Each case repeats one call (a success or one error path) a few thousand
times after a warm-up, then compares three measures with their values before
the loop: the bytes traced by tracemalloc (Python objects and NumPy data),
the bytes in use on the C heap (glibc's mallinfo2, which sees the module's
own buffers), and the resident set size (which also sees the recycled memory
that large results live in). The reference counts of the
argument objects must be unchanged. Inputs are large enough that leaking one
buffer, array or small object per call would exceed the bounds several times
over.
"""
import ctypes
import gc
import os
import sys
import tracemalloc

import numpy as np
import pytest

import tessarin_rs as m

from support import CRIT

KIB = 1024
# Largest growth accepted over one loop.
BOUNDS = {"traced": 32 * KIB, "heap": 64 * KIB, "rss": 1024 * KIB}
WARMUP = 100
# AddressSanitizer keeps freed memory in quarantine (so resident memory grows
# by design), serves allocations itself (so glibc's heap figures stay still)
# and reserves its shadow memory in the address space.
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")
CHECKED = ["traced"] if UNDER_ASAN else list(BOUNDS)


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
        "fordblks", "keepcost")]


def _heap_reader():
    try:
        fn = ctypes.CDLL(None).mallinfo2
    except (OSError, AttributeError):
        return lambda: 0
    fn.restype = _MallInfo2

    def in_use():
        info = fn()
        return info.uordblks + info.hblkhd  # small blocks plus mmapped ones
    return in_use


heap_in_use = _heap_reader()


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def measures():
    gc.collect()
    return {"traced": tracemalloc.get_traced_memory()[0], "heap": heap_in_use(), "rss": rss()}


class Raising:
    def __float__(self):
        raise TypeError("no float here") from KeyError("cause")


def build_cases():
    """(id, function, args, kwargs, expected exception or None, repetitions)."""
    rng = np.random.default_rng(5)
    t = rng.uniform(200.0, 350.0, 512)
    p = rng.uniform(-100.0, 400.0, 512)
    big = np.linspace(0.1, 500.0, 8192)
    small_p, small_t = np.linspace(0.1, 400.0, 16), np.linspace(150.0, 270.0, 16)
    out = []

    def add(ident, name, args, kwargs=None, exc=None, reps=3000):
        # Under the sanitizers only the reference counts and the traced bytes
        # are meaningful, and every call is several times slower.
        reps = reps // 4 if UNDER_ASAN else reps
        out.append(pytest.param(name, args, kwargs or {}, exc, reps, id=f"{name}-{ident}"))

    for model in ("caupin", "caupin_kim", "holten", "duska", "shi_tanaka"):
        name = "compute_batch_" + model
        add("ok", name, (t, p), reps=1000)
        add("too_many", name, (t, p, p), exc=TypeError)
        add("unexpected_kw", name, (t, p), {"q": 1}, exc=TypeError)
        add("twice", name, (t,), {"t_k": t}, exc=TypeError)
        add("missing", name, (t,), exc=TypeError)
        add("second_not_array", name, (t, [1.0]), exc=TypeError)
        add("float32", name, (t.astype(np.float32), p), exc=TypeError)
        add("not_contiguous", name, (t, big[::2]), exc=TypeError)
        add("short", name, (t, p[:3]), exc=ValueError)

    for model, (t0, p0) in CRIT.items():
        name = "compute_spinodal_" + model
        pressures = p0 + np.array([5.0, 40.0, 120.0])
        add("ok", name, (pressures, t0, p0), reps=1000)
        add("float_type_error", name, (pressures, Raising(), p0), exc=TypeError)
        add("float_overflow", name, (pressures, t0, 10**400), exc=OverflowError)
        add("not_contiguous", name, (big[::2], t0, p0), exc=TypeError)
        spin = getattr(m, name)(pressures, t0, p0)
        branch = (spin["p_array"], spin["T_upper"], spin["T_lower"])
        name = "compute_binodal_" + model
        add("ok", name, (*branch, t0, p0), reps=600)
        add("short", name, (big, big, big[:5], t0, p0), exc=ValueError)
        add("not_contiguous", name, (big, big, big[::2], t0, p0), exc=TypeError)
        add("last_not_float", name, (*branch, t0, "x"), exc=TypeError)

    for name in ("sf_getprop_grid", "sf_getprop_scatter"):
        add("ok", name, ("Ih", small_p, small_t))
        n = 20 if name == "sf_getprop_grid" else 400
        add("water", name, ("water1", big[:n], big[:n] + 200.0), reps=1000)
        add("unknown_phase", name, ("ice", big, big), exc=ValueError)
        add("phase_not_str", name, (b"Ih", big, big), exc=TypeError)
        add("t_not_contiguous", name, ("Ih", big, big[::2]), exc=TypeError)
    add("mismatch", "sf_getprop_scatter", ("Ih", big, big[:100]), exc=ValueError)
    raw = "sf_eval_raw"
    add("grid", raw, ("VI", small_p, small_t, 1, 2, True))
    add("points", raw, ("II", big[:500], big[:500], 0, 1, False))
    add("mismatch", raw, ("II", big, big[:100], 0, 1, False), exc=ValueError)
    add("negative_order", raw, ("II", big, big, -1, 0, False), exc=OverflowError)
    add("huge_order", raw, ("II", big, big, 0, 2**64, False), exc=OverflowError)
    add("float_order", raw, ("II", big, big, 0, 1.0, False), exc=TypeError)
    add("grid_not_bool", raw, ("II", big, big, 0, 1, 1), exc=TypeError)
    add("surrogate", raw, ("\ud800", big, big, 0, 1, True), exc=UnicodeEncodeError)
    # Results that live in recycled memory: a block never handed back would
    # grow the resident size by hundreds of kilobytes per call.
    wide_t, wide_p = rng.uniform(200.0, 350.0, 4096), rng.uniform(0.1, 400.0, 4096)
    add("recycled", "compute_batch_shi_tanaka", (wide_t, wide_p), reps=100)
    add("recycled", "sf_getprop_scatter", ("water1", wide_p, wide_t), reps=100)
    add("ok", "sf_phases", ())
    add("args", "sf_phases", (1,), exc=TypeError)
    return out


@pytest.fixture(scope="module")
def tracing(summary_line):
    tracemalloc.start()
    worst = dict.fromkeys(BOUNDS, 0)
    yield worst
    tracemalloc.stop()
    summary_line("leaks: largest growth over one loop of repeated calls: " + ", ".join(
        f"{k} {v / KIB:.1f} KiB " + (f"(bound {BOUNDS[k] // KIB} KiB)" if k in CHECKED
                                      else "(not checked)") for k, v in worst.items()))


@pytest.mark.parametrize("name, args, kwargs, exc, reps", build_cases())
def test_repeated_calls_leave_memory_flat(tracing, name, args, kwargs, exc, reps):
    fn = getattr(m, name)
    expected = exc or ()

    def once():
        try:
            fn(*args, **kwargs)
        except expected:
            pass

    if exc:
        with pytest.raises(exc):
            fn(*args, **kwargs)
    for _ in range(WARMUP):
        once()
    watched = [a for a in list(args) + list(kwargs.values())
               if isinstance(a, (np.ndarray, Raising))]
    refs = [sys.getrefcount(a) for a in watched]
    before = measures()
    for _ in range(reps):
        once()
    after = measures()
    assert [sys.getrefcount(a) for a in watched] == refs, "reference counts of the arguments"
    growth = {k: after[k] - before[k] for k in BOUNDS}
    for k, v in growth.items():
        tracing[k] = max(tracing[k], v)
    assert all(growth[k] <= BOUNDS[k] for k in CHECKED), \
        f"{reps} calls grew memory by {growth} (bounds {BOUNDS})"


# --------------------------------------------------------------------------
# Exhausted memory.


def test_grid_beyond_the_address_space_is_memory_error_and_leaves_nothing_behind():
    # 2**23 x 2**22 cells need 256 TiB per property, more than any address
    # space; whatever the call allocated first must be released each time.
    p, t = np.zeros(2**23), np.zeros(2**22)
    refs = sys.getrefcount(p), sys.getrefcount(t)
    for fn, extra in ((m.sf_getprop_grid, ()), (m.sf_eval_raw, (0, 0, True))):
        with pytest.raises(MemoryError):
            fn("Ih", p, t, *extra)
        before = heap_in_use()
        for _ in range(5):
            with pytest.raises(MemoryError):
                fn("Ih", p, t, *extra)
        assert "heap" not in CHECKED or heap_in_use() - before <= BOUNDS["heap"]
    assert (sys.getrefcount(p), sys.getrefcount(t)) == refs
    assert m.sf_getprop_grid("Ih", np.array([0.1]), np.array([270.0]))["Vp"].shape == (1, 1)


# With the address space capped a little above what the process uses, the
# calls run out of memory at different points: before the first result array,
# part-way through the forty (or seventeen) arrays, or while copying inputs.
# Each must raise MemoryError, free what it had allocated, and leave the
# interpreter and the pool working once the cap is lifted. The recycled
# result memory is switched off here: its idle blocks count in the address
# space, and a call short of memory gives them up before it fails (see
# test_short_memory_takes_back_idle_result_memory), so with them the later
# calls would never run out.
EXHAUST = r"""
import ctypes, gc, json, resource, sys
# Large blocks always get a mapping of their own (glibc otherwise raises its
# threshold after the first large free and serves later blocks from heap
# space it already holds), so every result array needs new address space and
# the cap bites whatever ran before. -3 is M_MMAP_THRESHOLD.
ctypes.CDLL(None).mallopt(-3, 128 * 1024)
import numpy as np
import tessarin_rs as m
sys.path.insert(0, {here!r})
from test_leaks import heap_in_use

MIB = 1 << 20
n = 1 << 20
t = np.full(n, 280.0)
p = np.full(n, 50.0)
k = 1 << 17
grid_p, grid_t = np.full(1 << 11, 50.0), np.full(1 << 8, 260.0)
small_t, small_p = t[:100].copy(), p[:100].copy()
want = m.compute_batch_holten(small_t, small_p)["rho"].tobytes()   # starts the pool
want_sf = m.sf_getprop_grid("Ih", grid_p[:3], grid_t[:3])["Vp"].tobytes()

calls = {{
    "batch": lambda: m.compute_batch_holten(t, p),
    "batch_serial": lambda: m.compute_batch_shi_tanaka(t, p),
    "grid": lambda: m.sf_getprop_grid("Ih", grid_p, grid_t),
    "scatter": lambda: m.sf_getprop_scatter("water1", p[:k], t[:k]),
    "raw_grid": lambda: m.sf_eval_raw("Ih", grid_p, grid_t, 1, 0, True),
    # NaN critical temperature: nothing to scan, but the working vectors of
    # a million pressures are still made.
    "spinodal": lambda: m.compute_spinodal_holten(p, float("nan"), 0.0),
    "binodal": lambda: m.compute_binodal_holten(p[:k], t[:k], t[:k], 228.2, 0.0),
}}

def vm_size():
    with open("/proc/self/status") as f:
        return next(int(l.split()[1]) * 1024 for l in f if l.startswith("VmSize:"))

refs = sys.getrefcount(t), sys.getrefcount(p)
gc.collect()
heap0 = heap_in_use()
report = {{}}
for name, call in calls.items():
    failures = 0
    for headroom in (2, 12, 40, 100, 200):
        gc.collect()
        cap = vm_size() + headroom * MIB
        resource.setrlimit(resource.RLIMIT_AS, (cap, resource.RLIM_INFINITY))
        try:
            for _ in range(3):
                try:
                    call()
                except MemoryError:
                    failures += 1
        finally:
            resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY,) * 2)
    gc.collect()
    report[name] = {{"failures": failures, "heap_growth": heap_in_use() - heap0}}
ok = (m.compute_batch_holten(small_t, small_p)["rho"].tobytes() == want and
      m.sf_getprop_grid("Ih", grid_p[:3], grid_t[:3])["Vp"].tobytes() == want_sf)
print(json.dumps({{"calls": report, "works": ok,
                  "refs": [sys.getrefcount(t), sys.getrefcount(p)] == list(refs)}}))
"""


@pytest.mark.skipif(UNDER_ASAN, reason="AddressSanitizer reserves its shadow memory in the "
                    "address space, which cannot then be capped")
def test_running_out_of_memory_part_way_is_memory_error(python_subprocess, summary_line):
    import json
    from pathlib import Path

    out = python_subprocess(EXHAUST.format(here=str(Path(__file__).resolve().parent)),
                            {"RAYON_NUM_THREADS": "2", "TESSARIN_BUFFER_CACHE_MB": "0"},
                            timeout=120)
    res = json.loads(out.strip().splitlines()[-1])
    assert res["works"] and res["refs"], res
    for name, r in res["calls"].items():
        assert r["failures"] >= 3, f"{name}: never ran out of memory ({r})"
        assert r["heap_growth"] <= BOUNDS["heap"], f"{name}: {r}"
    summary_line("out of memory: " + ", ".join(
        f"{k} {r['failures']}" for k, r in res["calls"].items())
        + " MemoryErrors under an address-space cap, heap growth after them at most "
        + f"{max(r['heap_growth'] for r in res['calls'].values()) / KIB:.1f} KiB")
