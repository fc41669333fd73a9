"""Two builds of tessarin_rs side by side (not a test).

    python bench/compare.py BASELINE [--build DIR] [--only SUBSTR] [--rounds R]
                            [--sizes 1,100000,1000000] [--threads 1]

BASELINE and DIR (default: the tessarin_rs found on PYTHONPATH, else
build/dev) are import roots, such as build folders of tools/dev_build.sh.
Every case of bench/run.py whose name contains SUBSTR (default: the liquid
models) is timed in both builds, in subprocesses that alternate between the
builds for R rounds, keeping each build's best rate, so that a busy machine
slows both alike. Prints points per second, the time of one call and the
ratio of this build to the baseline.
"""
import argparse
import json
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


def worker(args):
    """Runs in a subprocess: best rate of every selected case, as JSON."""
    sys.path.insert(0, HERE)
    import tessarin_rs as m
    from run import best_rate, make_cases

    sizes = [int(s) for s in args.sizes.split(",")]
    rows = [{"case": name, "n": n, "rate": best_rate(call, n, min_time=0.1, repeats=2)}
            for name, n, call in make_cases(m, sizes) if args.only in name]
    print(json.dumps(rows))


def run_build(root, args):
    env = dict(os.environ, PYTHONPATH=os.path.abspath(root), RAYON_NUM_THREADS=str(args.threads))
    env.pop("RAYON_RS_NUM_CPUS", None)
    cmd = [sys.executable, __file__, "--worker", "--only", args.only, "--sizes", args.sizes]
    out = subprocess.run(cmd, env=env, capture_output=True, text=True, check=True)
    return json.loads(out.stdout)


def default_build():
    try:
        import tessarin_rs
        return os.path.dirname(os.path.abspath(tessarin_rs.__file__))
    except ImportError:
        return os.path.join(os.path.dirname(HERE), "build", "dev")


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("baseline", nargs="?")
    ap.add_argument("--build", default=None)
    ap.add_argument("--only", default="compute_batch")
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--sizes", default="1,100000,1000000")
    ap.add_argument("--threads", type=int, default=1)
    ap.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.worker:
        return worker(args)
    if not args.baseline:
        ap.error("the baseline build is required")
    build = args.build or default_build()
    best = {"base": {}, "this": {}}
    for _ in range(args.rounds):
        for label, root in (("base", args.baseline), ("this", build)):
            for row in run_build(root, args):
                key = (row["case"], row["n"])
                best[label][key] = max(best[label].get(key, 0.0), row["rate"])
    print(f"baseline {args.baseline}\nthis     {build}\n{args.threads} thread(s), best of "
          f"{args.rounds} alternating rounds")
    print(f"{'case':<30}{'n':>9}{'baseline /s':>13}{'this /s':>13}{'baseline call':>15}"
          f"{'this call':>12}{'ratio':>8}")
    for key, rate in best["this"].items():
        base = best["base"].get(key)
        if not base:
            continue
        name, n = key
        print(f"{name:<30}{n:>9}{base:>13.4g}{rate:>13.4g}{n / base * 1e6:>13.1f}us"
              f"{n / rate * 1e6:>10.1f}us{rate / base:>8.2f}")


if __name__ == "__main__":
    main()
