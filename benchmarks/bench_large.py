"""One robust fit of many points: time against one least-squares solve and the
peers, cost from 1e4 to 1e7 points, peak memory, and a fit on a Dask cluster.

    python benchmarks/bench_large.py [--quick] [--sizes 1e4,1e5,1e6,1e7] [--dask 4e7]

Data: a cubic on x in [-1, 1], noise sd 0.05, 20 % two-sided gross outliers.
Times are medians of whole fits, the methods in turns in one process (compare
ratios: the machine is shared). Peak memory is the growth of the resident set's
high-water mark during one fit, in a child process, over the bytes of x and y.
The Dask run starts a LocalCluster of two worker processes, generates the points
on the workers and keeps them there, fits them, and compares with the
in-memory fit of the same points gathered afterwards; the client's growth is
measured before the gather. Needs scikit-learn and SciPy for the peers and
dask/distributed for the cluster (requirements-bench.txt, requirements-dev.txt).
"""
from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import textwrap
import time
import warnings
from typing import Callable, Dict, List, Sequence

ENV = {"OPENBLAS_NUM_THREADS": "1", "OMP_WAIT_POLICY": "passive"}
for _key, _value in ENV.items():
    os.environ.setdefault(_key, _value)

import numpy as np  # noqa: E402

from zelt_fit import robust_polyfit  # noqa: E402

TRUTH = np.array([0.5, -1.0, 0.8, 0.6])


def data(n: int, seed: int = 0):
    rng = np.random.default_rng(seed)
    x = rng.uniform(-1.0, 1.0, n)
    y = np.polynomial.polynomial.polyval(x, TRUTH) + rng.normal(0.0, 0.05, n)
    bad = rng.choice(n, n // 5, replace=False)
    y[bad] += rng.choice([-1.0, 1.0], bad.size) * rng.uniform(2.0, 5.0, bad.size)
    return x, y


def methods(with_peers: bool) -> Dict[str, Callable]:
    out: Dict[str, Callable] = {
        "robust_polyfit": lambda x, y: robust_polyfit(x, y, 3).coef,
        "numpy.linalg.lstsq": lambda x, y: np.linalg.lstsq(np.vander(x, 4, increasing=True), y, rcond=None)[0],
    }
    if with_peers:
        from scipy.optimize import least_squares
        from sklearn.linear_model import HuberRegressor, LinearRegression, RANSACRegressor

        def cauchy(x, y):
            V = np.vander(x, 4, increasing=True)
            b0 = np.linalg.lstsq(V, y, rcond=None)[0]
            r = y - V @ b0
            f = max(1.4826 * np.median(np.abs(r - np.median(r))), 1e-12)
            return least_squares(lambda b: V @ b - y, b0, loss="cauchy", f_scale=f).x

        out.update({
            "RANSAC (sklearn)": lambda x, y: RANSACRegressor(LinearRegression(fit_intercept=False), random_state=0)
            .fit(np.vander(x, 4, increasing=True), y).estimator_.coef_,
            "least_squares cauchy": cauchy,
            "Huber (sklearn)": lambda x, y: HuberRegressor(alpha=0.0, fit_intercept=False, max_iter=1000)
            .fit(np.vander(x, 4, increasing=True), y).coef_,
        })
    return out


def timings(n: int, repeat: int, with_peers: bool) -> Dict[str, dict]:
    x, y = data(n)
    fits = methods(with_peers)
    names = list(fits)
    times: Dict[str, List[float]] = {k: [] for k in names}
    errors: Dict[str, float] = {}
    for i in range(repeat):
        for j in range(len(names)):
            name = names[(i + j) % len(names)]
            t0 = time.perf_counter()
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                coef = fits[name](x, y)
            times[name].append(time.perf_counter() - t0)
            errors[name] = float(np.max(np.abs(np.asarray(coef) - TRUTH)))
    return {k: {"time": float(np.median(v)), "error": errors[k]} for k, v in times.items()}


PEAK = textwrap.dedent("""
    import json, sys, numpy as np
    sys.path.insert(0, {here!r})
    from bench_large import data
    from zelt_fit import robust_polyfit
    def status(key):
        for line in open("/proc/self/status"):
            if line.startswith(key):
                return int(line.split()[1]) * 1024
    x, y = data({n})
    robust_polyfit(x[:3000], y[:3000], 3)
    base = status("VmRSS")
    open("/proc/self/clear_refs", "w").write("5")
    robust_polyfit(x, y, 3)
    print(json.dumps((status("VmHWM") - base) / (x.nbytes + y.nbytes)))
""")


def peak_memory(n: int) -> float:
    here = os.path.dirname(os.path.abspath(__file__))
    out = subprocess.run([sys.executable, "-c", PEAK.format(here=here, n=n)], capture_output=True,
                         text=True, check=True)
    return float(json.loads(out.stdout.strip().splitlines()[-1]))


DASK = textwrap.dedent("""
    import json, time, numpy as np, dask, dask.array as da
    from dask.distributed import Client, LocalCluster
    from zelt_fit import robust_polyfit
    def status(key):
        for line in open("/proc/self/status"):
            if line.startswith(key):
                return int(line.split()[1]) * 1024
    if __name__ == "__main__":
        n, chunk = {n}, {chunk}
        with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                          env={{"OMP_NUM_THREADS": "1", "OPENBLAS_NUM_THREADS": "1"}}) as cluster, \\
                Client(cluster) as client:
            robust_polyfit(np.linspace(0, 1, 3000), np.linspace(0, 1, 3000) ** 3, 3)
            truth = np.array([0.5, -1.0, 0.8, 0.6])
            x = da.random.RandomState(1).uniform(-1, 1, n, chunks=chunk)
            y = (0.5 - x + 0.8 * x ** 2 + 0.6 * x ** 3
                 + da.random.RandomState(2).normal(0, 0.05, n, chunks=chunk))
            shift = da.random.RandomState(3).uniform(2, 5, n, chunks=chunk)
            sign = da.where(da.random.RandomState(4).uniform(0, 1, n, chunks=chunk) < 0.5, -1.0, 1.0)
            y = da.where(da.random.RandomState(5).uniform(0, 1, n, chunks=chunk) < 0.2, y + sign * shift, y)
            x, y = client.persist([x, y])
            dask.compute(x.sum(), y.sum())
            base = status("VmRSS")
            open("/proc/self/clear_refs", "w").write("5")
            t0 = time.perf_counter(); fit = robust_polyfit(x, y, 3); t_dask = time.perf_counter() - t0
            grown = status("VmHWM") - base
            xs, ys = dask.compute(x, y)
            t0 = time.perf_counter(); mem = robust_polyfit(xs, ys, 3); t_mem = time.perf_counter() - t0
            print(json.dumps({{"n": n, "chunks": len(x.chunks[0]), "dask_s": t_dask, "memory_s": t_mem,
                              "client_growth_mb": grown / 1e6, "error": float(np.max(np.abs(fit.coef - truth))),
                              "rel_vs_memory": float(np.max(np.abs(fit.coef - mem.coef) / np.abs(mem.coef))),
                              "passes": fit.rounds}}))
""")


def dask_run(n: int, chunk: int) -> dict:
    out = subprocess.run([sys.executable, "-c", DASK.format(n=n, chunk=chunk)], capture_output=True,
                         text=True, check=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


def fmt(s: float) -> str:
    return f"{s * 1e3:.3g} ms" if s < 1 else f"{s:.3g} s"


def run(sizes: Sequence[int], peers_at: int, dask_n: int, repeat: int) -> str:
    lines = ["| n | robust_polyfit | lstsq of the design | ratio | per point | peers (time; ratio to robust_polyfit) |",
             "|---|---|---|---|---|---|"]
    for n in sizes:
        peers = n == peers_at
        res = timings(n, repeat if n < 10 ** 7 else 1, peers)
        me, ls = res["robust_polyfit"]["time"], res["numpy.linalg.lstsq"]["time"]
        others = "; ".join(f"{k} {fmt(v['time'])} ({v['time'] / me:.1f}x)" for k, v in res.items()
                           if k not in ("robust_polyfit", "numpy.linalg.lstsq")) or "-"
        lines.append(f"| {n:.0e} | {fmt(me)} | {fmt(ls)} | {me / ls:.1f}x | {me / n * 1e9:.0f} ns | {others} |")
        print(f"  done: large n={n:.0e}", file=sys.stderr)
    parts = ["One robust fit of a cubic, 20 % outliers (times: medians, methods in turns):", "", *lines]
    mem_n = max(sizes)
    parts += ["", f"Peak memory of a fit at n = {mem_n:.0e}: {peak_memory(mem_n):.2f} x the bytes of x and y."]
    if dask_n:
        d = dask_run(dask_n, max(dask_n // 40, 10_000))
        parts += ["", f"Dask, two worker processes, n = {d['n']:.0e} in {d['chunks']} chunks persisted on the "
                  f"workers: {fmt(d['dask_s'])} ({d['passes']} passes) against {fmt(d['memory_s'])} in memory "
                  f"({d['dask_s'] / d['memory_s']:.2f}x); client growth {d['client_growth_mb']:.0f} MB; largest "
                  f"coefficient error {d['error']:.2g}; against the in-memory fit {d['rel_vs_memory']:.1g} relative."]
    return "\n".join(parts)


def workloads(quick: bool) -> list:
    return []


def report(quick: bool) -> str:
    if quick:
        return run([10_000, 100_000], 100_000, 0, 1)
    return run([10_000, 100_000, 1_000_000, 10_000_000], 1_000_000, 40_000_000, 5)


def main(argv: Sequence[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--sizes", default="1e4,1e5,1e6,1e7")
    ap.add_argument("--peers-at", type=float, default=1e6)
    ap.add_argument("--dask", type=float, default=4e7, help="points of the Dask run (0: none)")
    ap.add_argument("--repeat", type=int, default=5)
    args = ap.parse_args(argv)
    if args.quick:
        print(report(True))
        return 0
    print(run([int(float(s)) for s in args.sizes.split(",")], int(args.peers_at), int(args.dask), args.repeat))
    return 0


if __name__ == "__main__":
    sys.exit(main())
