"""A batch of short series (robust_polyfit with y of shape (n, m)) against a loop
of single calls, in one run: series per second of both, their ratio, and a
check that the two give the same answers bit for bit.

    python benchmarks/bench_batch.py [--series 400] [--n 60] [--deg 2] [--rounds 5]
                                     [--no-search] [--cube 40] [--workers 2]

The data: m series sharing x (n points in [0, 1]), each a random polynomial
of the degree with Gaussian noise and a fifth of its points pushed down
(clouds). The batch and the loop fit the same series, taking turns `rounds`
times (the order alternating), so a busy moment of the shared machine hits
both; the figures are medians. ``--cube S`` also fits an S x S x n cube
chunked over space through ``zelt_fit.xarray.polyfit`` on a local Dask cluster
of `--workers` worker processes (one thread each), and reports its time, its
series per second and the growth of this process's resident memory against
the cube's size (xarray and distributed needed; skipped without them).
Inside run.py (`make bench`) it contributes its report, on a short run.
"""
from __future__ import annotations

import argparse
import os
import resource
import statistics
import sys
import time
from typing import Optional, Sequence

ENV = {"OPENBLAS_NUM_THREADS": "1", "OMP_WAIT_POLICY": "passive"}
for _key, _value in ENV.items():
    os.environ.setdefault(_key, _value)

import numpy as np  # noqa: E402

from zelt_fit import SearchSettings, robust_polyfit  # noqa: E402


def series(m: int, n: int, deg: int, seed: int = 0):
    rng = np.random.default_rng(seed)
    x = np.linspace(0.0, 1.0, n)
    coef = rng.normal(0.0, 1.0, (deg + 1, m))
    Y = np.polynomial.polynomial.polyval(x, coef).T + rng.normal(0.0, 0.05, (n, m))
    Y -= rng.uniform(0.5, 2.0, (n, m)) * (rng.uniform(size=(n, m)) < 0.2)
    return x, Y


def compare(m: int = 400, n: int = 60, deg: int = 2, rounds: int = 5, no_search: bool = False) -> str:
    x, Y = series(m, n, deg)
    # --no-search: one chain and no steps, so that the rest of a fit (the refit) shows alone
    kw = {"search": SearchSettings(n_chains=1, n_warmup=0, n_deep=0, n_elite=1)} if no_search else {}
    robust_polyfit(x, Y[:, :4], deg, progress=False, **kw)    # imports and first calls, not timed
    batch_s, loop_s = [], []
    same = True
    for r in range(rounds):
        for side in ((0, 1) if r % 2 == 0 else (1, 0)):
            t0 = time.perf_counter()
            if side == 0:
                batch = robust_polyfit(x, Y, deg, progress=False, **kw)
                batch_s.append(time.perf_counter() - t0)
            else:
                fits = [robust_polyfit(x, Y[:, k], deg, **kw) for k in range(m)]
                loop_s.append(time.perf_counter() - t0)
        same = same and all(batch[k].coef.tobytes() == fits[k].coef.tobytes() and
                            batch[k].inliers.tobytes() == fits[k].inliers.tobytes() for k in range(m))
    tb, tl = statistics.median(batch_s), statistics.median(loop_s)
    load = " ".join(f"{v:.2f}" for v in os.getloadavg())
    return "\n".join([
        f"Batch of {m} series of {n} points, degree {deg}, against {m} single calls "
        f"({rounds} rounds in turns, medians; load average {load}; "
        f"OMP_NUM_THREADS={os.environ.get('OMP_NUM_THREADS', 'unset')}):",
        "",
        "| | time | series/s |",
        "| --- | ---: | ---: |",
        f"| batch `robust_polyfit(x, Y, {deg})`{' without the search' if no_search else ''} | {tb:.3f} s | "
        f"{m / tb:.0f} |",
        f"| loop of single calls | {tl:.3f} s | {m / tl:.0f} |",
        "",
        f"batch / loop speed-up: {tl / tb:.2f}x; identical answers (coefficients and inliers, bit for bit): "
        f"{'yes' if same else 'NO'}",
    ])


def _rss_mib() -> float:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2 ** 20


def cube_run(size: int, n: int = 48, workers: int = 2) -> str:
    """The xarray layer on a Dask cube generated on the workers, chunked over
    space (clouds: a fifth of the scenes darker, one in twenty missing): time,
    series/s, this (client) process's memory growth, and the median error of
    the fitted trends against xarray's least-squares polyfit on the same cube."""
    try:
        import dask.array as da
        import xarray as xr
        from distributed import Client, LocalCluster, wait
    except ImportError as err:
        return f"cube on a local cluster: skipped ({err})"
    from zelt_fit.xarray import polyfit

    chunk = max(1, size // (4 * workers))
    with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None,
                      env={"OMP_NUM_THREADS": "1", "OPENBLAS_NUM_THREADS": "1"}) as cluster, Client(cluster):
        t = np.linspace(0.0, 4.0, n)
        rs = da.random.RandomState(0)
        trend = rs.normal(0.0, 0.02, (size, size, 1), chunks=(chunk, size, 1))
        noise = rs.normal(0.0, 0.004, (size, size, n), chunks=(chunk, size, n))
        cover = rs.uniform(0.0, 1.0, (size, size, n), chunks=(chunk, size, n))
        clean = 0.25 + trend * t + noise
        # clouds: a fifth of the scenes darker, and one in twenty missing (NaN)
        data = da.where(cover < 0.2, clean - 0.1, da.where(cover > 0.95, np.nan, clean))
        cube = xr.DataArray(data, dims=("y", "x", "time"), coords={"time": t})
        # a small cube first, so that the client's imports and first calls are not counted
        small = cube[:8, :8]
        float(np.nanmedian(abs(polyfit(small, "time", 2, seed=0, missing="drop").polyfit_coefficients.sel(degree=1)
                               - trend[:8, :8, 0]).compute().values))
        float(np.nanmedian(abs(small.polyfit("time", 2, skipna=True).polyfit_coefficients.sel(degree=1)
                               - trend[:8, :8, 0]).compute().values))
        before = _rss_mib()
        peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
        t0 = time.perf_counter()
        fit = polyfit(cube, "time", 2, seed=0, missing="drop")
        # the fit computed where the chunks live (the client holds references only)
        slopes = fit.polyfit_coefficients.sel(degree=1).persist()
        wait(slopes.data)
        elapsed = time.perf_counter() - t0
        after = _rss_mib()
        peak_after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
        # then the pixels' errors gathered (one number a pixel, a 48th of the cube)
        err_robust = float(np.nanmedian(abs(slopes - trend[..., 0]).compute().values))
        t1 = time.perf_counter()
        ls = cube.polyfit("time", 2, skipna=True).polyfit_coefficients.sel(degree=1)
        err_ls = float(np.nanmedian(abs(ls - trend[..., 0]).compute().values))
        elapsed_ls = time.perf_counter() - t1
    cube_mib = size * size * n * 8 / 2 ** 20
    grown = max(after - before, 0.0)
    peak_grown = max(peak_after - peak, 0.0)
    return (f"Cube {size} x {size} x {n} ({cube_mib:.0f} MiB) chunked {chunk} rows of pixels a chunk, "
            f"on a local cluster of {workers} worker processes (1 thread each): {elapsed:.1f} s, "
            f"{size * size / elapsed:.0f} series/s; client memory growth {grown:.1f} MiB "
            f"({grown / cube_mib:.1%} of the cube; its peak resident set grew {peak_grown:.1f} MiB, "
            f"{peak_grown / cube_mib:.1%}). Median trend error: {err_robust:.3g} robust, "
            f"{err_ls:.3g} by xarray's least-squares polyfit ({err_ls / err_robust:.1f}x; its time {elapsed_ls:.1f} s)")


# run.py's interface: no timing rows, only the report of a short run.
def workloads(quick: bool) -> list:
    return []


def report(quick: bool) -> str:
    return compare(40 if quick else 400, 60, 2, 1 if quick else 3)


def main(argv: Optional[Sequence[str]] = None) -> int:
    ap = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    ap.add_argument("--series", type=int, default=400, help="series in the batch (default %(default)s)")
    ap.add_argument("--n", type=int, default=60, help="points per series (default %(default)s)")
    ap.add_argument("--deg", type=int, default=2, help="degree (default %(default)s)")
    ap.add_argument("--rounds", type=int, default=5, help="timed rounds of each side (default %(default)s)")
    ap.add_argument("--no-search", action="store_true",
                    help="search with one chain and no steps: the time of the rest of a fit")
    ap.add_argument("--cube", type=int, default=0, help="also fit a CUBE x CUBE x 48 cube on a local cluster")
    ap.add_argument("--workers", type=int, default=2, help="worker processes of that cluster (default %(default)s)")
    args = ap.parse_args(argv)
    print(compare(args.series, args.n, args.deg, args.rounds, args.no_search))
    if args.cube:
        print()
        print(cube_run(args.cube, 48, args.workers))
    return 0


if __name__ == "__main__":
    sys.exit(main())
