"""Throughput benchmark of tessarin_rs (not a test).

    python bench/run.py [--quick] [--json bench/results.json] [--only SUBSTR]

Prints one table: points (or pressures) per second of every model batch, every
spline phase (scatter and grid) and the phase-boundary functions, for several
batch sizes, with one worker thread and with all threads, plus the peak
resident memory of the largest runs. Each thread setting runs in its own
subprocess because the worker pool is sized once per process from
RAYON_NUM_THREADS.
"""
import argparse
import json
import os
import platform
import subprocess
import sys
import time

import numpy as np

SIZES = [1, 1_000, 100_000, 1_000_000]
QUICK_SIZES = [1, 1_000, 100_000]

MODELS = ["compute_batch_holten", "compute_batch_caupin", "compute_batch_caupin_kim",
          "compute_batch_duska", "compute_batch_shi_tanaka"]
# (phase, P range MPa, T range K) inside each spline's knot range
SPLINES = [("water1", (0.1, 2000.0), (240.0, 500.0)),
           ("Ih", (0.1, 400.0), (2.0, 300.0)),
           ("VI", (0.1, 3000.0), (1.0, 400.0))]
# (variant, T_llcp, P_llcp, pressures around the critical point)
PHASE = [("holten", 228.2, 0.0, (0.0, 150.0)),
         ("caupin", 218.1348, 71.94655, (72.0, 200.0)),
         ("caupin_kim", 219.4717, 58.73897, (59.0, 200.0)),
         ("duska", 220.8932, 54.1617, (55.0, 200.0))]
PHASE_SIZES = [50, 500]

def best_rate(call, n, min_time=0.2, repeats=3):
    """Best points per second over a few timed rounds of at least min_time."""
    call()  # warm-up (creates the pool, parses the spline table)
    best = 0.0
    for _ in range(repeats):
        loops, start = 0, time.perf_counter()
        while True:
            call()
            loops += 1
            elapsed = time.perf_counter() - start
            if elapsed >= min_time:
                break
        best = max(best, loops * n / elapsed)
    return best


def make_cases(m, sizes):
    rng = np.random.default_rng(0)
    cases = []
    for name in MODELS:
        if name not in m.__all__:
            continue
        fn = getattr(m, name)
        for n in sizes:
            t = rng.uniform(200.0, 360.0, n)
            p = rng.uniform(0.1, 200.0, n)
            cases.append((name, n, lambda fn=fn, t=t, p=p: fn(t, p)))
    if "sf_getprop_scatter" in m.__all__:
        for phase, (p0, p1), (t0, t1) in SPLINES:
            for n in sizes:
                p = rng.uniform(p0, p1, n)
                t = rng.uniform(t0, t1, n)
                cases.append((f"sf_getprop_scatter {phase}", n,
                              lambda phase=phase, p=p, t=t: m.sf_getprop_scatter(phase, p, t)))
                side = max(1, int(round(n ** 0.5)))
                pg = np.linspace(p0, p1, side)
                tg = np.linspace(t0, t1, side)
                cases.append((f"sf_getprop_grid {phase}", side * side,
                              lambda phase=phase, p=pg, t=tg: m.sf_getprop_grid(phase, p, t)))
    for variant, tc, pc, (p0, p1) in PHASE:
        spin = getattr(m, f"compute_spinodal_{variant}", None)
        bino = getattr(m, f"compute_binodal_{variant}", None)
        if spin is None:
            continue
        for n in PHASE_SIZES:
            pa = np.linspace(p0, p1, n)
            cases.append((f"compute_spinodal_{variant}", n,
                          lambda spin=spin, pa=pa, tc=tc, pc=pc: spin(pa, tc, pc)))
            if bino is not None:
                s = spin(pa, tc, pc)
                args = (s["p_array"], s["T_upper"], s["T_lower"], tc, pc)
                cases.append((f"compute_binodal_{variant}", n,
                              lambda bino=bino, args=args: bino(*args)))
    return cases


def worker(args):
    """Runs in a subprocess: times every case, prints JSON rows."""
    import tessarin_rs as m

    sizes = QUICK_SIZES if args.quick else SIZES
    rows = []
    for name, n, call in make_cases(m, sizes):
        if args.only and args.only not in name:
            continue
        rows.append({"case": name, "n": n, "rate": best_rate(call, n)})
    print(json.dumps(rows))


def peak_memory(name, n):
    """Peak resident memory (bytes) of one call at size n, in a fresh process."""
    code = f"""
import resource, numpy as np, tessarin_rs as m
n = {n}
t = np.random.default_rng(0).uniform(200.0, 360.0, n)
p = np.random.default_rng(1).uniform(0.1, 200.0, n)
base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
r = m.{name}(t, p)
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(base * 1024, peak * 1024, sum(a.nbytes for a in r.values()))
"""
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    base, peak, result_bytes = map(int, out.stdout.split())
    return {"case": name, "n": n, "extra_peak_bytes": peak - base, "result_bytes": result_bytes}


def compile_and_run(name, extra=()):
    """Builds bench/<name>.cpp against the module's headers with the module's
    floating-point flags, runs it and returns its JSON; None when no compiler
    is available."""
    import shutil
    import tempfile

    cxx = shutil.which(os.environ.get("CXX", "g++")) or shutil.which("c++")
    if cxx is None:
        return None
    here = os.path.dirname(os.path.abspath(__file__))
    src = os.path.join(os.path.dirname(here), "src")
    with tempfile.TemporaryDirectory() as tmp:
        exe = os.path.join(tmp, name)
        subprocess.run([cxx, "-O3", "-std=c++20", "-fno-fast-math", "-ffp-contract=off",
                        "-Wno-psabi", f"-I{src}", os.path.join(here, f"{name}.cpp"), *extra,
                        "-o", exe], check=True)
        return json.loads(subprocess.run([exe], capture_output=True, text=True, check=True).stdout)


def math_call_costs():
    """ns per value of the C library's exp, log and pow and of the vector
    exp and log (bench/floor.cpp)."""
    return compile_and_run("floor")


def math_call_counts():
    """Per model, the exp, log and pow values per point its kernel evaluates
    on the benchmark's points (bench/count_calls.cpp): vector lanes
    ("vexp", "vlog") and calls of the C library ("exp", "log", "pow")."""
    return compile_and_run("count_calls", ["-Wl,--wrap=exp,--wrap=log,--wrap=pow"])


def floors(one, costs, counts):
    """Each model's ns per point (one thread, largest n) against two floors:
    the time of its math calls at the C library's prices (the "libm floor")
    and at the vector math's price per lane on the widest path (the "SIMD
    floor"); the kernel's remaining C library calls count at their own price
    in both."""
    largest = {}
    for row in one:
        if row["case"] in counts and row["n"] >= largest.get(row["case"], {"n": 0})["n"]:
            largest[row["case"]] = row
    out = {}
    for name, row in largest.items():
        c = counts[name]
        library = c["exp"] * costs["exp"] + c["log"] * costs["log"] + c["pow"] * costs["pow"]
        libm = library + c["vexp"] * costs["exp"] + c["vlog"] * costs["log"]
        simd = library + c["vexp"] * costs["vexp"] + c["vlog"] * costs["vlog"]
        ns = 1e9 / row["rate"]
        out[name] = {"ns_per_point": ns, "calls": c, "libm_floor_ns": libm,
                     "libm_ratio": ns / libm if libm else float("nan"), "simd_floor_ns": simd,
                     "simd_ratio": ns / simd if simd else float("nan")}
    return out


def peer_rates(args):
    """Points per second of scipy's B-spline evaluation of the same splines
    (the seven derivatives the properties need), one thread."""
    try:
        sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
        from scipy_peer import scipy_rate
    except ImportError as exc:  # scipy missing
        print(f"(scipy peer skipped: {exc})")
        return {}
    n = 100_000
    return {phase: scipy_rate(phase, n) for phase in ("water1", "VI")
            if not args.only or args.only in f"sf_getprop_scatter {phase}"}


def run_setting(threads, args):
    env = dict(os.environ)
    env.pop("RAYON_RS_NUM_CPUS", None)
    if threads is None:
        env.pop("RAYON_NUM_THREADS", None)
    else:
        env["RAYON_NUM_THREADS"] = str(threads)
    cmd = [sys.executable, __file__, "--worker"] + (["--quick"] if args.quick else [])
    if args.only:
        cmd += ["--only", args.only]
    out = subprocess.run(cmd, env=env, capture_output=True, text=True, check=True)
    return json.loads(out.stdout)


def human(rate):
    for unit, scale in (("G", 1e9), ("M", 1e6), ("k", 1e3)):
        if rate >= scale:
            return f"{rate / scale:7.2f}{unit}"
    return f"{rate:8.1f}"


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    ap.add_argument("--quick", action="store_true", help="skip n = 1e6 and the memory runs")
    ap.add_argument("--only", default="", help="only cases whose name contains this")
    ap.add_argument("--json", default=os.path.join(os.path.dirname(__file__), "results.json"))
    args = ap.parse_args()
    if args.worker:
        return worker(args)

    import tessarin_rs as m

    ncpu = len(os.sched_getaffinity(0))
    one = run_setting(1, args)
    every = run_setting(None, args)
    memory = []
    if not args.quick:
        memory = [peak_memory(name, 1_000_000) for name in MODELS
                  if name in m.__all__ and args.only in name]

    print(f"machine: {platform.machine()}, {ncpu} CPUs available, Python {platform.python_version()}")
    print(f"{'case':<34}{'n':>9}{'1 thread /s':>13}{f'{ncpu} threads /s':>15}{'speed-up':>10}"
          f"{'1 thread, per call':>20}")
    for a, b in zip(one, every):
        speedup = b["rate"] / a["rate"] if a["rate"] else float("nan")
        per_call = a["n"] / a["rate"]
        per_call = f"{per_call * 1e6:.1f} us" if per_call < 1e-3 else f"{per_call * 1e3:.2f} ms"
        print(f"{a['case']:<34}{a['n']:>9}{human(a['rate']):>13}{human(b['rate']):>15}{speedup:>9.2f}x"
              f"{per_call:>20}")
    if memory:
        print(f"\n{'peak memory of one call':<34}{'n':>9}{'extra peak MB':>15}{'results MB':>12}{'ratio':>8}")
        for row in memory:
            ratio = row["extra_peak_bytes"] / row["result_bytes"]
            print(f"{row['case']:<34}{row['n']:>9}{row['extra_peak_bytes'] / 1e6:>15.1f}"
                  f"{row['result_bytes'] / 1e6:>12.1f}{ratio:>8.2f}")
    # Ratios against the floors and against scipy, all from this run.
    costs = math_call_costs()
    counts = math_call_counts()
    floor_rows = {}
    if costs and counts:
        print(f"\nns per value: C library exp {costs['exp']:.2f}, log {costs['log']:.2f}, "
              f"pow {costs['pow']:.2f}; vector exp {costs['vexp']:.2f}, log {costs['vlog']:.2f} "
              f"per lane ({costs['vector_path']}; portable {costs['vexp_portable']:.2f}, "
              f"{costs['vlog_portable']:.2f})")
        print(f"{'one thread, largest n':<28}{'ns/point':>9}{'exp':>7}{'log':>7}{'pow':>5}"
              f"{'libm floor':>12}{'ratio':>7}{'SIMD floor':>12}{'ratio':>7}")
        floor_rows = floors(one, costs, counts)
        for name, f in floor_rows.items():
            c = f["calls"]
            print(f"{name:<28}{f['ns_per_point']:>9.1f}{c['exp'] + c['vexp']:>7.2f}"
                  f"{c['log'] + c['vlog']:>7.2f}{c['pow']:>5.1f}{f['libm_floor_ns']:>12.1f}"
                  f"{f['libm_ratio']:>7.2f}{f['simd_floor_ns']:>12.1f}{f['simd_ratio']:>7.2f}")
    scipy = peer_rates(args)
    if scipy:
        print(f"\n{'scatter vs scipy, one thread':<34}{'n':>9}{'ours /s':>12}{'scipy /s':>12}{'ratio':>8}")
        for phase, rate in scipy.items():
            ours = max((r for r in one if r["case"] == f"sf_getprop_scatter {phase}"),
                       key=lambda r: r["n"], default=None)
            if ours:
                print(f"{phase:<34}{ours['n']:>9}{human(ours['rate']):>12}{human(rate):>12}"
                      f"{ours['rate'] / rate:>8.1f}")
    with open(args.json, "w") as f:
        json.dump({"cpus": ncpu, "one_thread": one, "all_threads": every, "memory": memory,
                   "math_call_ns": costs, "math_calls_per_point": counts, "floors": floor_rows,
                   "scipy_scatter_rate": scipy}, f, indent=1)
    print(f"\nwritten to {args.json}")


if __name__ == "__main__":
    main()
