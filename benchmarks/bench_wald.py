"""The Wald test of a robust fit: its size under contamination and its power.

    python benchmarks/bench_wald.py [--quick] [--datasets 400] [--n 200]

Each data set: n points, x uniform on [-1, 1], y = 1 + x - 0.8 x^2 (+ c x^3 for
the power rows) plus Gaussian noise of sd 0.1; a share of the points (0, 20 or
35 %) gross outliers, shifted up by 1 to 5 (one-sided) or by +-(1 to 5)
(two-sided). robust_polyfit fits degree 4 and `wald_test(["x^3", "x^4"])`
tests the two top terms at the 0.05 level. Under the null (c = 0) the
rejection rate is the test's size, which should be near 0.05; with c != 0 it
is the power. The binomial standard error of a rate near 0.05 over 400 data
sets is 1.1 points. The same data are tested by least squares' F test (degree
4 against degree 2) for comparison.

Inside run.py (`make bench`) it contributes no timing rows, only its report.
"""
from __future__ import annotations

import argparse
import os
import sys
import time
from typing import Dict, List, Sequence

ENV = {"OPENBLAS_NUM_THREADS": "1", "OMP_WAIT_POLICY": "passive"}
for _key, _value in ENV.items():
    os.environ.setdefault(_key, _value)

import numpy as np  # noqa: E402

from zelt_fit import robust_polyfit  # noqa: E402

LEVEL = 0.05
SHARES = (0.0, 0.20, 0.35)
CUBICS = (0.0, 0.05, 0.1, 0.2)


def data(rng: np.random.Generator, n: int, share: float, cubic: float, kind: str):
    x = rng.uniform(-1.0, 1.0, n)
    y = 1.0 + x - 0.8 * x ** 2 + cubic * x ** 3 + rng.normal(0.0, 0.1, n)
    bad = rng.choice(n, int(round(share * n)), replace=False)
    shift = rng.uniform(1.0, 5.0, bad.size)
    if kind == "two-sided":
        shift *= rng.choice([-1.0, 1.0], bad.size)
    y[bad] += shift
    return x, y


def ols_pvalue(x: np.ndarray, y: np.ndarray) -> float:
    """The F test of least squares that x^3 and x^4 are zero (degree 4 against 2)."""
    from scipy.stats import f

    def rss(deg: int) -> float:
        A = np.vander(x, deg + 1, increasing=True)
        r = y - A @ np.linalg.lstsq(A, y, rcond=None)[0]
        return float(r @ r)

    full, reduced = rss(4), rss(2)
    dof = x.size - 5
    return float(f.sf(((reduced - full) / 2.0) / (full / dof), 2, dof))


def run(n: int, datasets: int, kinds: Sequence[str] = ("one-sided", "two-sided")) -> str:
    rows: List[Dict[str, object]] = []
    start = time.perf_counter()
    for kind in kinds:
        for share in SHARES:
            for cubic in CUBICS:
                if share == 0.0 and kind != kinds[0]:
                    continue
                rng = np.random.default_rng([int(share * 100), int(cubic * 1000), len(kind), n])
                rejected = ols_rejected = 0
                for _ in range(datasets):
                    x, y = data(rng, n, share, cubic, kind)
                    test = robust_polyfit(x, y, 4, seed=int(rng.integers(2**31))).wald_test(["x^3", "x^4"])
                    rejected += test.pvalue < LEVEL
                    ols_rejected += ols_pvalue(x, y) < LEVEL
                rows.append({"kind": "clean" if share == 0.0 else kind, "share": share, "cubic": cubic,
                             "rate": rejected / datasets, "ols": ols_rejected / datasets})
    took = time.perf_counter() - start
    lines = [f"Wald test of x^3 and x^4 at {LEVEL}, degree-4 fits, n = {n}, {datasets} data sets per "
             f"cell ({took:.0f} s):", "",
             "| outliers | share | c (x^3) | robust_polyfit rejects | least squares rejects |",
             "|---|---|---|---|---|"]
    for r in rows:
        se = np.sqrt(r["rate"] * (1 - r["rate"]) / datasets)  # type: ignore[operator]
        what = "size" if r["cubic"] == 0.0 else "power"
        lines.append(f"| {r['kind']} | {r['share']:.0%} | {r['cubic']:g} ({what}) | "
                     f"{r['rate']:.1%} +- {se:.1%} | {r['ols']:.1%} |")
    return "\n".join(lines)


def workloads(quick: bool) -> list:
    return []


def report(quick: bool) -> str:
    return run(60 if quick else 200, 6 if quick else 400, ("one-sided",) if quick else ("one-sided", "two-sided"))


def main(argv: Sequence[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="n = 60, 6 data sets per cell (smoke run)")
    ap.add_argument("--datasets", type=int, default=400, help="data sets per cell")
    ap.add_argument("--n", type=int, default=200, help="points per data set")
    args = ap.parse_args(argv)
    if args.quick:
        print(report(True))
    else:
        print(run(args.n, args.datasets))
    return 0


if __name__ == "__main__":
    sys.exit(main())
