"""Calls from many Python threads at once, and use after fork and spawn.

A fixed list of calls covers all seventeen functions (with the pool in use:
model batches and spline evaluations large enough to be split) and two of
their errors. Every result is reduced to a digest of its keys, shapes and
bits, so results of concurrent calls, serial calls and calls in child
processes can be compared exactly. Everything runs in fresh interpreters: in
the thread test neither the worker pool nor the spline table exists before
the threads start together.
"""
import json
import textwrap

import pytest

from support import CRIT

CALLS_MODULE = '''
import hashlib
import numpy as np
import tessarin_rs as m

_rng = np.random.default_rng(2024)
T = _rng.uniform(180.0, 400.0, 3000)
P = _rng.uniform(-150.0, 1500.0, 3000)
SF_P = np.linspace(0.1, 900.0, 30)
SF_T = np.linspace(200.0, 350.0, 40)

# Spinodal branches for the binodal calls. The spinodal runs on the calling
# thread and touches neither the pool nor the spline table.
BRANCH = {}
for _model, (_t0, _p0) in CRIT.items():
    _s = getattr(m, "compute_spinodal_" + _model)(_p0 + np.array([5.0, 40.0, 120.0]), _t0, _p0)
    BRANCH[_model] = (_s["p_array"], _s["T_upper"], _s["T_lower"], _t0, _p0)

CALLS = []
# The first eight are the first call of each thread in the thread test: each
# of them creates the pool or the spline table if nobody has yet.
for _model in ("holten", "caupin", "duska", "caupin_kim"):
    CALLS.append(("compute_batch_" + _model, (T, P)))
CALLS += [
    ("sf_getprop_grid", ("Ih", SF_P, SF_T)),
    ("sf_getprop_scatter", ("water1", P[:500] / 2, T[:500])),
    ("sf_eval_raw", ("VI", SF_P, SF_T, 1, 1, True)),
    ("sf_phases", ()),
]
for _model in ("holten", "caupin", "duska", "caupin_kim", "shi_tanaka"):
    CALLS.append(("compute_batch_" + _model, (T[:9], P[:9])))
CALLS.append(("compute_batch_shi_tanaka", (T[:400], P[:400])))
for _model, (_t0, _p0) in CRIT.items():
    CALLS.append(("compute_spinodal_" + _model, (_p0 + np.array([-20.0, 10.0, 80.0]), _t0, _p0)))
    CALLS.append(("compute_binodal_" + _model, BRANCH[_model]))
for _phase in ("water_IAPWS95", "II", "III", "V", "VII_X_French"):
    CALLS.append(("sf_getprop_grid", (_phase, SF_P[::3].copy(), SF_T)))
CALLS += [
    ("sf_getprop_scatter", ("Ih", np.full(300, 50.0), np.linspace(150.0, 270.0, 300))),
    ("sf_eval_raw", ("water1", P[:700] / 2, T[:700], 0, 2, False)),
    ("sf_eval_raw", ("III", SF_P, SF_T, 7, 0, True)),
    ("sf_getprop_grid", ("ice", SF_P, SF_T)),
    ("compute_batch_duska", (T[::2], P)),
]


def digest(out):
    h = hashlib.sha256()
    items = out.items() if isinstance(out, dict) else [("", out)]
    for key, value in items:
        h.update(repr((key, getattr(value, "shape", value))).encode())
        if isinstance(value, np.ndarray):
            h.update(value.tobytes())
    return h.hexdigest()[:24]


def run(i):
    name, args = CALLS[i]
    try:
        return digest(getattr(m, name)(*args))
    except Exception as err:
        return f"{type(err).__name__}: {err}"
'''


@pytest.fixture
def calls_dir(tmp_path):
    (tmp_path / "tessarin_calls.py").write_text(f"CRIT = {CRIT!r}\n" + CALLS_MODULE)
    return tmp_path


THREADS = """
import json, random, sys, threading, time
sys.path.insert(0, {dir!r})
import tessarin_calls as c

N_THREADS, DURATION = 8, {duration}
barrier = threading.Barrier(N_THREADS)
done = [[] for _ in range(N_THREADS)]

def work(k):
    rng = random.Random(k)
    i = k  # first calls: the eight first-use calls, all at once
    barrier.wait()
    end = time.monotonic() + DURATION
    while True:
        done[k].append((i, c.run(i)))
        if time.monotonic() > end:
            break
        i = rng.randrange(len(c.CALLS))

threads = [threading.Thread(target=work, args=(k,)) for k in range(N_THREADS)]
for th in threads:
    th.start()
for th in threads:
    th.join()
serial = [c.run(i) for i in range(len(c.CALLS))]
bad = [(k, c.CALLS[i][0], d, serial[i]) for k in range(N_THREADS) for i, d in done[k]
       if d != serial[i]]
print(json.dumps({{"calls": sum(map(len, done)), "kinds": len({{i for r in done for i, _ in r}}),
                  "bad": bad[:5], "n_bad": len(bad), "errors": sorted(set(
                      s for s in serial if ":" in s))}}))
"""


# The default pool (one thread per CPU), and a pool with more threads than
# CPUs, where workers are preempted in the middle of their chunks.
@pytest.mark.parametrize("pool_threads, seconds", [(None, 2.0), ("5", 1.0)])
def test_eight_threads_match_serial_calls(python_subprocess, calls_dir, summary_line,
                                          pool_threads, seconds):
    env = {"RAYON_NUM_THREADS": pool_threads} if pool_threads else {}
    out = python_subprocess(THREADS.format(dir=str(calls_dir), duration=seconds), env,
                            timeout=180)
    res = json.loads(out.strip().splitlines()[-1])
    assert res["n_bad"] == 0, res["bad"]
    # The two deliberate errors come back as errors; nothing else does.
    assert res["errors"] == ["TypeError: The given array is not contiguous",
                             "ValueError: unknown phase 'ice'"]
    assert res["kinds"] >= 30, res
    summary_line(f"threads (pool {pool_threads or 'default'}): {res['calls']} concurrent calls "
                 f"of {res['kinds']} kinds equal to serial calls")


FORK_SPAWN = """
import json, multiprocessing as mp, sys, threading
sys.path.insert(0, {dir!r})
import tessarin_calls as c

if __name__ == "__main__":
    # The parent has used the pool and the spline table before any child exists.
    want = [c.run(i) for i in range(len(c.CALLS))]
    report = {{}}
    for method in ("fork", "spawn"):
        # A thread keeps the parent's pool busy while the children are created.
        stop = threading.Event()
        def busy():
            while not stop.is_set():
                c.run(0)
        th = threading.Thread(target=busy)
        th.start()
        try:
            with mp.get_context(method).Pool(2) as pool:
                got = pool.map_async(c.run, range(len(c.CALLS)), chunksize=1).get(timeout=120)
                again = pool.map_async(c.run, range(len(c.CALLS))[::-1]).get(timeout=120)
        finally:
            stop.set()
            th.join()
        bad = [c.CALLS[i][0] for i, g in enumerate(got) if g != want[i]]
        bad += [c.CALLS[i][0] for i, g in zip(range(len(c.CALLS))[::-1], again) if g != want[i]]
        report[method] = {{"runs": len(got) + len(again), "bad": bad}}
    report["parent"] = [c.run(i) for i in range(len(c.CALLS))] == want
    print(json.dumps(report))
"""


def test_fork_and_spawn_pools_compute_what_the_parent_does(python_subprocess, calls_dir,
                                                           summary_line):
    code = textwrap.dedent(FORK_SPAWN.format(dir=str(calls_dir)))
    out = python_subprocess(code, {"RAYON_NUM_THREADS": "2"}, timeout=240)
    res = json.loads(out.strip().splitlines()[-1])
    assert res.pop("parent") is True
    for method, r in res.items():
        assert r["bad"] == [], f"{method}: {r['bad']}"
    summary_line("multiprocessing: " + ", ".join(
        f"{r['runs']} {method} runs" for method, r in res.items()) + " equal to the parent's")
