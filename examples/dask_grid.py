"""Scale-out: a large temperature-pressure grid of liquid-water density with dask.

Evaluates one model of tessarin_rs on an n_P x n_T grid (10^4 x 10^4 = 10^8
points by default, T 200-370 K, P 0.1-400 MPa) chunk by chunk with
``dask.array.map_blocks`` and reduces every chunk at once to a few numbers
(count, sum, smallest and largest density with their states), so memory stays
bounded by a few chunks in flight however large the grid is. It prints the
density range over the grid and the rate; with matplotlib installed it also
saves the chunk means as a coarse map, ``dask_grid.png``, in the output
folder. The default grid takes one to two minutes on two cores with the
Holten model; ``--nt``, ``--np`` and ``--chunk`` set the sizes.

Parallelism. The grid runs on dask's threaded scheduler. tessarin_rs releases
the interpreter lock (GIL) while it evaluates compute_batch_holten,
compute_batch_caupin, compute_batch_caupin_kim and compute_batch_duska and
the sf_* spline evaluations (sf_getprop_grid here), so several chunks run
at the same time: one chunk at a time spreads over the module's own worker
pool, the others run on their dask threads. Starting the process with
RAYON_NUM_THREADS=1 leaves the parallelism to dask alone.
compute_batch_shi_tanaka keeps the lock and evaluates on the calling thread,
so with that model the chunks take turns.

Running the same code on a dask distributed cluster: install tessarin (and
dask[distributed]) on every worker, then create a client before computing:

    from dask.distributed import Client
    client = Client("tcp://scheduler-host:8786")  # or Client() for a local cluster

``dask.compute`` then sends the chunk tasks to the workers (drop the
``scheduler="threads"`` argument in ``evaluate`` so the client's scheduler is
used). Each worker process has its own tessarin_rs worker pool: to avoid
running more threads than cores, give each worker either one dask thread and
RAYON_NUM_THREADS = its cores, or one dask thread per core and
RAYON_NUM_THREADS=1. Only the small per-chunk summaries travel back.

    python examples/dask_grid.py [--outdir DIR] [--nt N] [--np N] [--chunk N]
                                 [--model NAME] [--threads N]

The output folder defaults to the current directory and is created if needed.
"""
from __future__ import annotations

import sys
import time
from pathlib import Path
from typing import Callable, NamedTuple, Optional, Sequence

import numpy as np
import numpy.typing as npt

import tessarin_rs as ts
from _plotting import picture_parser, picture_path

Array = npt.NDArray[np.float64]

# A density source takes the pressures (column, MPa) and temperatures (row, K)
# of one chunk and returns the chunk's densities (kg/m3), shape (n_P, n_T).
Source = Callable[[Array, Array], Array]


def model_source(batch: Callable[[Array, Array], dict[str, Array]]) -> Source:
    def density(p: Array, t: Array) -> Array:
        p_grid, t_grid = np.broadcast_arrays(p, t)
        # Model batches take matched one-dimensional points.
        r = batch(np.ascontiguousarray(t_grid).ravel(), np.ascontiguousarray(p_grid).ravel())
        return r["rho"].reshape(p_grid.shape)
    return density


def spline_source(phase: str) -> Source:
    def density(p: Array, t: Array) -> Array:
        # The grid entry builds the P x T grid itself.
        return ts.sf_getprop_grid(phase, np.ascontiguousarray(p).ravel(),
                                  np.ascontiguousarray(t).ravel())["rho"]
    return density


SOURCES: dict[str, Source] = {
    "holten": model_source(ts.compute_batch_holten),
    "caupin": model_source(ts.compute_batch_caupin),
    "caupin_kim": model_source(ts.compute_batch_caupin_kim),
    "duska": model_source(ts.compute_batch_duska),
    "shi_tanaka": model_source(ts.compute_batch_shi_tanaka),
    "water1": spline_source("water1"),
    "water_IAPWS95": spline_source("water_IAPWS95"),
}

# Per-chunk summary, in this order along the last axis.
FIELDS = ("count", "sum", "min", "t_min", "p_min", "max", "t_max", "p_max")


def chunk_summary(p: Array, t: Array, source: Source) -> Array:
    """The FIELDS of one chunk's finite densities, shape (1, 1, len(FIELDS));
    NaN extremes when the chunk has no finite value."""
    rho = source(p, t)
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


def evaluate(source: Source, t_range: tuple[float, float], p_range: tuple[float, float],
             n_t: int, n_p: int, chunk: int, threads: Optional[int]) -> Summary:
    import dask
    import dask.array as da

    # Lazy coordinate vectors: no chunk of the grid exists until a task needs it.
    p = da.linspace(*p_range, n_p, chunks=chunk)[:, None]
    t = da.linspace(*t_range, n_t, chunks=chunk)[None, :]
    summaries = da.map_blocks(chunk_summary, p, t, source=source, new_axis=2,
                              chunks=(1, 1, len(FIELDS)), dtype=np.float64,
                              meta=np.empty((0, 0, 0), dtype=np.float64))
    start = time.perf_counter()
    (stats,) = dask.compute(summaries, scheduler="threads", num_workers=threads)
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
    parser.add_argument("--model", choices=sorted(SOURCES), default="holten",
                        help="liquid model or water spline phase (default: holten)")
    parser.add_argument("--tmin", type=float, default=200.0, help="K (default: 200)")
    parser.add_argument("--tmax", type=float, default=370.0, help="K (default: 370)")
    parser.add_argument("--pmin", type=float, default=0.1, help="MPa (default: 0.1)")
    parser.add_argument("--pmax", type=float, default=400.0, help="MPa (default: 400)")
    parser.add_argument("--threads", type=int, default=None,
                        help="dask threads (default: one per CPU)")
    args = parser.parse_args(argv)
    if min(args.nt, args.np, args.chunk) < 1:
        parser.error("--nt, --np and --chunk must be positive")
    try:
        import dask  # noqa: F401
    except ImportError:
        sys.exit("dask is not installed: pip install 'dask[array]'")

    s = evaluate(SOURCES[args.model], (args.tmin, args.tmax), (args.pmin, args.pmax),
                 args.nt, args.np, args.chunk, args.threads)
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
