"""Scale-out: a large temperature-pressure grid of liquid-water density with dask.

Evaluates one material of tessarin on an n_P x n_T grid (10^4 x 10^4 = 10^8
points by default, T 200-370 K, P 0.1-400 MPa) chunk by chunk with
``dask.array.map_blocks`` and reduces every chunk at once to a few numbers
(count, sum, smallest and largest density with their states), so memory stays
bounded by a few chunks in flight however large the grid is. It prints the
density range over the grid and the rate; with matplotlib installed it also
saves the chunk means as a coarse map, ``dask_grid.png``, in the output
folder. The default grid takes one to two minutes on two cores with the
Holten model; ``--nt``, ``--np`` and ``--chunk`` set the sizes. Values are
evaluated as they come (out_of_range="ignore"): the default grid reaches
beyond the range of most models.

Scheduler. The grid runs on whatever dask scheduler is active: the local
threaded scheduler by default (``--threads N`` sets its size), or a dask
distributed cluster when ``--address tcp://scheduler-host:8786`` names one
(install tessarin and dask[distributed] on every worker). The same code runs
on a cluster created in Python once a client exists:

    from dask.distributed import Client, LocalCluster
    client = Client(LocalCluster(n_workers=2, threads_per_worker=1,
                                 env={"RAYON_NUM_THREADS": "2"}))

Threads per worker. tessarin evaluates every liquid model except Shi-Tanaka,
and every spline, on a pool of worker threads with the interpreter lock
(GIL) released, so several chunks run at the same time: one chunk at a time
spreads over the pool, the others run on their dask threads. The pool's size
comes from RAYON_NUM_THREADS, read once per process, so set it in each
worker's environment to keep dask threads x pool threads within the cores:
one dask thread and RAYON_NUM_THREADS = the worker's cores, or one dask
thread per core and RAYON_NUM_THREADS=1. For a cluster started from the
shell:

    RAYON_NUM_THREADS=1 dask worker tcp://scheduler-host:8786 --nthreads 4

and for a LocalCluster the ``env=`` argument above. Shi-Tanaka keeps the
lock and evaluates on the calling thread, so with it the chunks of one
process take turns. Only the small per-chunk summaries travel back.

    python examples/dask_grid.py [--outdir DIR] [--nt N] [--np N] [--chunk N]
                                 [--model NAME] [--threads N] [--address ADDR]

The output folder defaults to the current directory and is created if needed.
"""
from __future__ import annotations

import sys
import time
from pathlib import Path
from typing import NamedTuple, Optional, Sequence

import numpy as np
import numpy.typing as npt

import tessarin
from _plotting import picture_parser, picture_path

Array = npt.NDArray[np.float64]


def density(p: Array, t: Array, material: str) -> Array:
    """Densities (kg/m3) of one chunk, shape (n_P, n_T), from its pressures
    (a column, MPa) and temperatures (a row, K)."""
    r = tessarin.properties(material, T=t.ravel(), P=p.ravel(), grid=True, keys=["rho"],
                            out_of_range="ignore")
    return r["rho"]

# Per-chunk summary, in this order along the last axis.
FIELDS = ("count", "sum", "min", "t_min", "p_min", "max", "t_max", "p_max")


def chunk_summary(p: Array, t: Array, material: str) -> Array:
    """The FIELDS of one chunk's finite densities, shape (1, 1, len(FIELDS));
    NaN extremes when the chunk has no finite value."""
    rho = density(p, t, material)
    out = np.full((1, 1, len(FIELDS)), np.nan)
    finite = np.isfinite(rho)
    out[0, 0, 0] = np.count_nonzero(finite)
    out[0, 0, 1] = rho[finite].sum()
    if out[0, 0, 0] > 0:
        p_grid, t_grid = np.broadcast_arrays(p, t)
        masked = np.where(finite, rho, np.nan)
        for col, pick in ((2, np.nanargmin), (5, np.nanargmax)):
            i = int(pick(masked))
            out[0, 0, col:col + 3] = masked.flat[i], t_grid.flat[i], p_grid.flat[i]
    return out


class Summary(NamedTuple):
    points: int
    finite: int
    mean: float
    low: tuple[float, float, float]  # rho, T, P of the smallest density
    high: tuple[float, float, float]  # and of the largest
    chunk_mean: Array  # (chunks along P, chunks along T)
    p_edges: Array
    t_edges: Array
    seconds: float


def evaluate(material: str, t_range: tuple[float, float], p_range: tuple[float, float],
             n_t: int, n_p: int, chunk: int, threads: Optional[int]) -> Summary:
    import dask
    import dask.array as da

    # Lazy coordinate vectors: no chunk of the grid exists until a task needs it.
    p = da.linspace(*p_range, n_p, chunks=chunk)[:, None]
    t = da.linspace(*t_range, n_t, chunks=chunk)[None, :]
    summaries = da.map_blocks(chunk_summary, p, t, material=material, new_axis=2,
                              chunks=(1, 1, len(FIELDS)), dtype=np.float64,
                              meta=np.empty((0, 0, 0), dtype=np.float64))
    start = time.perf_counter()
    # The active scheduler computes: a distributed client's if one exists,
    # otherwise the local threads (num_workers sizes only those).
    with dask.config.set(num_workers=threads):
        (stats,) = dask.compute(summaries)
    seconds = time.perf_counter() - start

    f = {name: stats[..., k] for k, name in enumerate(FIELDS)}
    count = f["count"]
    finite = int(count.sum())
    with np.errstate(invalid="ignore", divide="ignore"):
        chunk_mean = np.where(count > 0, f["sum"] / count, np.nan)
    nan3 = (float("nan"),) * 3
    low = high = nan3
    if finite:
        i = int(np.nanargmin(f["min"]))
        low = (float(f["min"].flat[i]), float(f["t_min"].flat[i]), float(f["p_min"].flat[i]))
        i = int(np.nanargmax(f["max"]))
        high = (float(f["max"].flat[i]), float(f["t_max"].flat[i]), float(f["p_max"].flat[i]))
    return Summary(
        points=n_t * n_p, finite=finite,
        mean=float(f["sum"].sum() / finite) if finite else float("nan"),
        low=low, high=high, chunk_mean=chunk_mean,
        p_edges=block_edges(p_range, n_p, chunk), t_edges=block_edges(t_range, n_t, chunk),
        seconds=seconds)


def block_edges(span: tuple[float, float], n: int, chunk: int) -> Array:
    """Boundaries of the chunks of an n-point linspace over span, halfway
    between the last point of one chunk and the first of the next."""
    x = np.linspace(*span, n)
    step = x[1] - x[0] if n > 1 else 1.0
    starts = np.arange(0, n, chunk)
    edges = np.empty(len(starts) + 1)
    edges[:-1] = x[starts] - step / 2
    edges[-1] = x[-1] + step / 2
    return edges


def plot(summary: Summary, model: str, path: Path) -> None:
    from matplotlib.figure import Figure

    fig = Figure(figsize=(7, 5))
    ax = fig.subplots()
    mesh = ax.pcolormesh(summary.t_edges, summary.p_edges, summary.chunk_mean,
                         cmap="viridis", shading="flat")
    fig.colorbar(mesh, ax=ax, label="Mean density of the chunk (kg/m³)")
    ax.set_xlabel("Temperature (K)")
    ax.set_ylabel("Pressure (MPa)")
    ax.set_title(f"{model}: {summary.points:,} points, one cell per dask chunk")
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    print(f"saved {path}")


def main(argv: Optional[Sequence[str]] = None) -> None:
    parser = picture_parser(__doc__)
    parser.add_argument("--nt", type=int, default=10_000, help="temperatures (default: 10000)")
    parser.add_argument("--np", type=int, default=10_000, help="pressures (default: 10000)")
    parser.add_argument("--chunk", type=int, default=250,
                        help="chunk side in points (default: 250, i.e. 62500 points)")
    parser.add_argument("--model", choices=tessarin.materials(), default="holten",
                        help="liquid model or spline phase (default: holten)")
    parser.add_argument("--tmin", type=float, default=200.0, help="K (default: 200)")
    parser.add_argument("--tmax", type=float, default=370.0, help="K (default: 370)")
    parser.add_argument("--pmin", type=float, default=0.1, help="MPa (default: 0.1)")
    parser.add_argument("--pmax", type=float, default=400.0, help="MPa (default: 400)")
    parser.add_argument("--threads", type=int, default=None,
                        help="threads of the local scheduler (default: one per CPU)")
    parser.add_argument("--address", default=None,
                        help="address of a running dask distributed scheduler, e.g. "
                             "tcp://scheduler-host:8786 (default: local threads)")
    args = parser.parse_args(argv)
    if min(args.nt, args.np, args.chunk) < 1:
        parser.error("--nt, --np and --chunk must be positive")
    try:
        import dask  # noqa: F401
    except ImportError:
        sys.exit("dask is not installed: pip install 'tessarin[xarray]'")

    client = None
    if args.address is not None:
        try:
            from distributed import Client
        except ImportError:
            sys.exit("dask distributed is not installed: pip install 'tessarin[xarray]'")
        client = Client(args.address)
        print(f"computing on the cluster at {args.address}")
    try:
        s = evaluate(args.model, (args.tmin, args.tmax), (args.pmin, args.pmax),
                     args.nt, args.np, args.chunk, args.threads)
    finally:
        if client is not None:
            client.close()
    n_chunks = s.chunk_mean.size
    print(f"{args.model}: {args.np} x {args.nt} = {s.points:,} points "
          f"(T {args.tmin:g}-{args.tmax:g} K, P {args.pmin:g}-{args.pmax:g} MPa) "
          f"in {n_chunks} chunks")
    print(f"time {s.seconds:.2f} s, {s.points / s.seconds:,.0f} points/s")
    print(f"finite densities: {s.finite:,} of {s.points:,}; mean {s.mean:.3f} kg/m3")
    print(f"smallest density {s.low[0]:.4f} kg/m3 at {s.low[1]:.3f} K, {s.low[2]:.3f} MPa")
    print(f"largest density  {s.high[0]:.4f} kg/m3 at {s.high[1]:.3f} K, {s.high[2]:.3f} MPa")
    path = picture_path(args.outdir, "dask_grid.png", "the map")
    if path is not None:
        plot(s, args.model, path)


if __name__ == "__main__":
    main(sys.argv[1:])
