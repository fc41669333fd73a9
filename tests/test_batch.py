"""The model batch procedure shared by the liquid-water models."""
import os
import threading
import time

import numpy as np
import pytest

import tessarin_rs as m

from support import LIQUID_KEYS as KEYS

MODELS = ["compute_batch_caupin", "compute_batch_caupin_kim", "compute_batch_holten",
          "compute_batch_duska", "compute_batch_shi_tanaka"]
PARALLEL_MODELS = [n for n in MODELS if n != "compute_batch_shi_tanaka"]


def sample_points(n, seed=1):
    rng = np.random.default_rng(seed)
    t = rng.uniform(200.0, 360.0, n)
    p = rng.uniform(-150.0, 300.0, n)
    return t, p


def assert_same_bits(a, b, label):
    for key in KEYS:
        x, y = a[key].view(np.uint64), b[key].view(np.uint64)
        bad = np.flatnonzero(x != y)
        assert bad.size == 0, f"{label}: {key} differs at {bad[:5]}"


@pytest.mark.parametrize("model", MODELS)
def test_dictionary_layout(model):
    t, p = sample_points(5)
    r = getattr(m, model)(t, p)
    assert list(r) == KEYS
    for key, arr in r.items():
        assert arr.dtype == np.float64 and arr.shape == (5,), key
        assert arr.flags.writeable and arr.flags.c_contiguous and arr.flags.owndata, key


@pytest.mark.parametrize("model", MODELS)
def test_empty_input(model):
    r = getattr(m, model)(np.array([]), np.array([]))
    assert list(r) == KEYS
    assert all(a.shape == (0,) and a.dtype == np.float64 for a in r.values())


@pytest.mark.parametrize("model", MODELS)
def test_length_rules(model):
    fn = getattr(m, model)
    t, p = sample_points(4)
    longer = np.concatenate([p, [1e9, np.nan]])
    a, b = fn(t, p), fn(t, longer)
    assert_same_bits(a, b, "extra pressures are ignored")
    with pytest.raises(ValueError, match=r"p_mpa has 3 elements but t_k has 4"):
        fn(t, p[:3])


@pytest.mark.parametrize("model", MODELS)
@pytest.mark.parametrize("which", ["t_k", "p_mpa"])
def test_non_contiguous_input(model, which):
    t, p = sample_points(8)
    args = {"t_k": t, "p_mpa": p}
    args[which] = args[which][::2]
    other = "p_mpa" if which == "t_k" else "t_k"
    args[other] = args[other][:4].copy()
    with pytest.raises(TypeError, match=r"^The given array is not contiguous$"):
        getattr(m, model)(**args)


@pytest.mark.parametrize("model", MODELS)
def test_unaligned_and_readonly_inputs(model):
    t, p = sample_points(33)
    raw_t = bytearray(b"\0" + t.tobytes())
    raw_p = bytearray(b"\0" * 3 + p.tobytes())
    ut = np.frombuffer(raw_t, dtype=np.float64, offset=1)
    up = np.frombuffer(raw_p, dtype=np.float64, offset=3)
    assert not ut.flags.aligned and not up.flags.aligned
    ro_t = t.copy()
    ro_t.flags.writeable = False
    fn = getattr(m, model)
    assert_same_bits(fn(t, p), fn(ut, up), "unaligned inputs")
    assert_same_bits(fn(t, p), fn(ro_t, p), "read-only input")


@pytest.mark.parametrize("model", MODELS)
def test_results_are_independent_arrays(model):
    t, p = sample_points(6)
    fn = getattr(m, model)
    r = fn(t, p)
    before = {k: v.copy() for k, v in r.items()}
    t[:] = 500.0
    p[:] = 0.0
    r["rho"][:] = -1.0
    for key in KEYS[1:]:
        np.testing.assert_array_equal(r[key], before[key], err_msg=key)
    bases = {id(a.base) for a in r.values() if a.base is not None}
    assert len(bases) == len([a for a in r.values() if a.base is not None])


@pytest.mark.parametrize("model", MODELS)
def test_position_does_not_change_a_point(model):
    t, p = sample_points(3000, seed=7)
    t[1234], p[1234] = 250.0, 50.0
    t[17], p[17] = 250.0, 50.0
    r = getattr(m, model)(t, p)
    single = getattr(m, model)(np.array([250.0]), np.array([50.0]))
    for key in KEYS:
        a = np.array([r[key][17], r[key][1234], single[key][0]]).view(np.uint64)
        assert a[0] == a[1] == a[2], key


THREAD_CHECK = """
import hashlib, sys
import numpy as np
import tessarin_rs as m
rng = np.random.default_rng(3)
t = rng.uniform(190.0, 380.0, 100_000)
p = rng.uniform(-200.0, 400.0, 100_000)
for name in sys.argv[1:] or {models!r}:
    r = getattr(m, name)(t, p)
    h = hashlib.sha256()
    for k, v in r.items():
        h.update(k.encode()); h.update(v.tobytes())
    print(name, h.hexdigest())
"""


def test_results_do_not_depend_on_thread_count(python_subprocess):
    code = THREAD_CHECK.format(models=PARALLEL_MODELS)
    outs = {n: python_subprocess(code, {"RAYON_NUM_THREADS": str(n)}) for n in (1, 2, 7)}
    assert outs[1] == outs[2] == outs[7]
    assert python_subprocess(code, {"RAYON_NUM_THREADS": "x", "RAYON_RS_NUM_CPUS": "3"}) == outs[1]


def test_lock_is_released_during_evaluation():
    t, p = sample_points(400_000)
    ticks = []
    stop = threading.Event()

    def ticker():
        while not stop.is_set():
            ticks.append(time.perf_counter())
            time.sleep(0.001)

    th = threading.Thread(target=ticker)
    th.start()
    time.sleep(0.01)
    try:
        start = len(ticks)
        t0 = time.perf_counter()
        m.compute_batch_holten(t, p)
        t1 = time.perf_counter()
        during = [x for x in ticks[start:] if t0 < x < t1]
    finally:
        stop.set()
        th.join()
    # The batch takes a good fraction of a second; a ticker that is locked out
    # would not tick at all while it runs.
    assert t1 - t0 > 0.02, "batch too fast to tell"
    assert len(during) >= 3, f"{len(during)} ticks during {t1 - t0:.3f} s"


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs os.fork")
def test_forked_child_gets_a_working_pool(python_subprocess):
    out = python_subprocess(
        """
        import os
        import numpy as np
        import tessarin_rs as m
        t = np.linspace(230.0, 350.0, 50_000)
        p = np.linspace(0.1, 100.0, 50_000)
        ref = m.compute_batch_holten(t, p)["rho"]
        pid = os.fork()
        if pid == 0:
            ok = np.array_equal(m.compute_batch_holten(t, p)["rho"], ref)
            os._exit(0 if ok else 3)
        _, status = os.waitpid(pid, 0)
        print("child", os.waitstatus_to_exitcode(status))
        print("parent", np.array_equal(m.compute_batch_holten(t, p)["rho"], ref))
        """,
        {"RAYON_NUM_THREADS": "2"},
        timeout=60,
    )
    assert out.split() == ["child", "0", "parent", "True"]


def test_multiprocessing_fork_pool(python_subprocess):
    out = python_subprocess(
        """
        import multiprocessing as mp
        import numpy as np
        import tessarin_rs as m

        def work(seed):
            t = np.full(20_000, 250.0 + seed)
            return float(m.compute_batch_holten(t, np.full(20_000, 0.1))["rho"].sum())

        if __name__ == "__main__":
            work(0)
            with mp.get_context("fork").Pool(2) as pool:
                got = pool.map(work, range(4))
            print(got == [work(s) for s in range(4)])
        """,
        {"RAYON_NUM_THREADS": "2"},
        timeout=60,
    )
    assert out.strip() == "True"


def test_concurrent_calls_from_python_threads():
    t, p = sample_points(20_000, seed=11)
    ref = m.compute_batch_holten(t, p)
    results = [None] * 4

    def run(i):
        results[i] = m.compute_batch_holten(t, p)

    threads = [threading.Thread(target=run, args=(i,)) for i in range(4)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    for r in results:
        assert_same_bits(ref, r, "concurrent call")


def test_exhausted_memory_raises_memory_error(python_subprocess):
    # Forty result arrays of 4e6 points need 1.28 GB; with the address space
    # capped below that, the interpreter must survive with a MemoryError.
    out = python_subprocess(
        """
        import resource
        import numpy as np
        import tessarin_rs as m
        t = np.full(4_000_000, 300.0)
        p = np.full(4_000_000, 0.1)
        resource.setrlimit(resource.RLIMIT_AS, (1 << 30, resource.RLIM_INFINITY))
        try:
            m.compute_batch_holten(t, p)
        except MemoryError:
            print("MemoryError")
        resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
        print(m.compute_batch_holten(t[:3], p[:3])["rho"].shape)
        """
    )
    assert out.split("\n")[:2] == ["MemoryError", "(3,)"]


@pytest.mark.parametrize("model", MODELS)
def test_every_nan_is_the_same_quiet_nan(model):
    t = np.array([np.nan, 250.0, -300.0, np.inf, 250.0, np.nan])
    p = np.array([0.1, np.nan, np.nan, 0.1, -1e6, -300.0])
    r = getattr(m, model)(t, p)
    canonical = np.array([np.nan]).view(np.uint64)[0]
    for key, arr in r.items():
        bits = arr.view(np.uint64)[np.isnan(arr)]
        assert np.all(bits == canonical), key
