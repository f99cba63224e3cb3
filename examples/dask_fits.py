"""Robust fits on a Dask cluster
=============================

Robust fits on a Dask cluster: one robust_polyfit per sensor, then one huge fit.

Each of a few hundred sensors has its own noisy cubic response with gross
outliers (a faulty reading now and then). The script fits every sensor on a
Dask distributed cluster of worker processes (a task fits a batch of sensors),
shows a progress bar, checks that the results equal a run in this one process
bit for bit, and prints the throughput of both. Then it generates tens of
millions of readings on the workers, keeps them there, and fits them all with
one robust_polyfit of the Dask arrays: every round of the refit is one
reduction over the chunks, and this process never holds the data.

On a LocalCluster started here:

.. code-block:: sh

    python examples/dask_fits.py

On an existing cluster:

.. code-block:: sh

    python examples/dask_fits.py --scheduler tcp://host:8786

With the size of the huge fit and of its chunks:

.. code-block:: sh

    python examples/dask_fits.py --huge 40000000 --chunk 2000000

Threads. A fit holds the interpreter lock, so a worker process runs one fit at
a time, and the fit's chain phase runs on an OpenMP team inside it. Give each
worker process a team of as many threads as it has worker threads (the
OMP_NUM_THREADS of the worker's environment: the LocalCluster here gets it
through the nanny's ``env``; on a real cluster start each worker as
``OMP_NUM_THREADS=2 dask worker tcp://host:8786 --nthreads 2``), and as many
processes x threads as the machine has cores. More threads than cores hurt:
the chain phase waits at its end for its slowest thread, so a thread that the
system has parked holds up its whole team, while the team's waiting threads
spin on cores that the other processes need.
"""
from __future__ import annotations

import argparse
import os
import time
from typing import Dict, List, Optional, Sequence, Tuple

import numpy as np
from dask.distributed import Client, LocalCluster, progress

from zelt_fit import PolyFit, robust_polyfit

Sensor = Tuple[np.ndarray, np.ndarray]  # (temperatures, readings)


def make_sensors(n_sensors: int, n_points: int, seed: int) -> List[Sensor]:
    """Cubic responses around a common shape, 15% gross outliers each."""
    rng = np.random.default_rng(seed)
    sensors = []
    for _ in range(n_sensors):
        truth = np.array([0.5, -1.0, 0.8, 0.6]) + rng.normal(0.0, 0.2, 4)
        u = np.sort(rng.uniform(-1.0, 1.0, n_points))
        y = np.polynomial.polynomial.polyval(u, truth) + rng.normal(0.0, 0.05, n_points)
        bad = rng.choice(n_points, int(0.15 * n_points), replace=False)
        y[bad] += rng.uniform(2.0, 4.0, bad.size)
        sensors.append((20.0 + 15.0 * u, y))
    return sensors


def fit_sensor(x: np.ndarray, y: np.ndarray, seed: int) -> PolyFit:
    # Runs in a worker: the data arrive pickled, the fit travels back pickled.
    return robust_polyfit(x, y, 3, seed=seed)


def fit_batch(batch: Sequence[Sensor], seed: int) -> List[PolyFit]:
    # One task fits a batch: a task costs the scheduler about a millisecond,
    # as much as a small fit.
    return [fit_sensor(x, y, seed) for x, y in batch]


def identical(a: PolyFit, b: PolyFit) -> bool:
    # Every array of a fit, each float bit for bit.
    return all(np.array_equal(getattr(a, k), getattr(b, k)) for k in ("coef", "cov", "inliers", "search_coef"))


def omp_threads() -> Optional[str]:
    return os.environ.get("OMP_NUM_THREADS")


def run(client: Client, seed: int, sensors: Sequence[Sensor],
        show_progress: bool) -> Tuple[List[PolyFit], float]:
    t0 = time.perf_counter()
    batch = max(1, len(sensors) // (8 * max(1, len(client.nthreads()))))
    batches = [list(sensors[i:i + batch]) for i in range(0, len(sensors), batch)]
    futures = client.map(fit_batch, batches, [seed] * len(batches))
    if show_progress:
        progress(futures)
    results: List[PolyFit] = [fit for part in client.gather(futures) for fit in part]
    return results, time.perf_counter() - t0


TRUTH = np.array([150.0, 2.0, -0.04])   # kilofrancs against years since 2005


def huge_fit(client: Client, n: int, chunk: int, seed: int, show_progress: bool) -> Dict[str, float]:
    """Readings generated and kept on the workers, fitted as Dask arrays."""
    import dask.array as da

    rx, rn, rb, rs = (da.random.RandomState(seed + k) for k in range(4))
    years = rx.uniform(1990.0, 2020.0, n, chunks=chunk)
    t = years - 2005.0
    y = TRUTH[0] + TRUTH[1] * t + TRUTH[2] * t ** 2 + rn.normal(0.0, 0.5, n, chunks=chunk)
    wrong = rb.uniform(0.0, 1.0, n, chunks=chunk) < 0.2         # a fifth of the readings
    y = da.where(wrong, y + rs.uniform(20.0, 60.0, n, chunks=chunk), y)
    years, y = client.persist([years, y])
    if show_progress:
        progress(years, y)
        print()
    t0 = time.perf_counter()
    fit = robust_polyfit(years, y, 2)
    seconds = time.perf_counter() - t0
    truth = np.polynomial.Polynomial(TRUTH)(np.polynomial.Polynomial([-2005.0, 1.0])).coef
    grid = np.linspace(1990.0, 2020.0, 31)
    miss = float(np.max(np.abs(fit.predict(grid) - np.polynomial.polynomial.polyval(grid, truth))))
    print(f"\nhuge fit: {n:,} readings in {len(years.chunks[0])} chunks on the workers, {seconds:.2f} s, "
          f"{fit.rounds} passes")
    print(f"  inliers {fit.n_inliers:,} ({fit.n_inliers / n:.1%}); largest miss of the curve "
          f"{miss:.4f} kilofrancs; residual scale {fit.scale:.4f}")
    return {"huge_n": n, "huge_s": seconds, "huge_miss": miss}


def main(argv: Optional[Sequence[str]] = None) -> Dict[str, float]:
    ap = argparse.ArgumentParser(description=(__doc__ or "").split("\n")[0])
    ap.add_argument("--sensors", type=int, default=300)
    ap.add_argument("--points", type=int, default=200)
    ap.add_argument("--seed", type=int, default=7)
    ap.add_argument("--scheduler", help="address of a running scheduler (default: a LocalCluster)")
    ap.add_argument("--workers", type=int, default=os.cpu_count() or 1,
                    help="LocalCluster worker processes (default: one per core)")
    ap.add_argument("--threads-per-worker", type=int, default=1)
    ap.add_argument("--quiet", action="store_true", help="no progress bar")
    ap.add_argument("--huge", type=float, default=2e7, help="readings of the huge fit (0: none)")
    ap.add_argument("--chunk", type=float, default=1e6, help="readings per chunk of the huge fit")
    args = ap.parse_args(argv)

    sensors = make_sensors(args.sensors, args.points, args.seed)
    t0 = time.perf_counter()
    local = [fit_sensor(x, y, args.seed) for x, y in sensors]
    t_local = time.perf_counter() - t0

    cluster = None
    if args.scheduler:
        client = Client(args.scheduler)
    else:
        omp = str(args.threads_per_worker)
        cluster = LocalCluster(n_workers=args.workers, threads_per_worker=args.threads_per_worker,
                               processes=True, env={"OMP_NUM_THREADS": omp},
                               dashboard_address=None)
        client = Client(cluster)
    try:
        nthreads = client.nthreads()
        teams = client.run(omp_threads)
        for addr in sorted(nthreads):
            if teams.get(addr) != str(nthreads[addr]):
                print(f"warning: worker {addr} has {nthreads[addr]} threads but "
                      f"OMP_NUM_THREADS={teams.get(addr)}")
        remote, t_remote = run(client, args.seed, sensors, not args.quiet)
        huge = huge_fit(client, int(args.huge), int(args.chunk), args.seed, not args.quiet) if args.huge else {}
    finally:
        client.close()
        if cluster is not None:
            cluster.close()

    same = all(identical(a, b) for a, b in zip(local, remote)) and len(local) == len(remote)
    n = len(sensors)
    print(f"\n{n} robust cubic fits of {args.points} points")
    print(f"  one process            {t_local:8.2f} s  {n / t_local:8.1f} fits/s")
    print(f"  {len(nthreads)} worker processes     {t_remote:8.2f} s  {n / t_remote:8.1f} fits/s"
          f"  ({t_local / t_remote:.2f}x)")
    print(f"  results equal the one-process run bit for bit: {same}")
    if not same:
        raise SystemExit("results differ from the one-process run")
    return {**huge, "fits": n, "workers": len(nthreads), "local_s": t_local, "cluster_s": t_remote,
            "identical": float(same)}


if __name__ == "__main__":
    main()
