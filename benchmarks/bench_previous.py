"""robust_polyfit against the previous estimator, side by side on the same data
in one process.

    python benchmarks/bench_previous.py [--prev DIR] [--sizes 60,300,3000]
                                        [--datasets 60] [--datasets-large 20] [--cells NAME,...]

The previous zelt_fit is the package folder DIR/zelt_fit_prev (default
/tmp/prev, or $ZELT_PREV_DIR), made from an older commit with

    git archive <commit> src/zelt_fit | tar -x -C /tmp/prev
    cp -r /tmp/prev/src/zelt_fit /tmp/prev/zelt_fit_prev

(its imports are relative; zelt_core is the installed one). Without that
folder the script says so and exits 0. Inside run.py (`make bench`) it
contributes no timing rows, only its report.

The cells and the data are those of bench_peers.py (same generator, same
seeds); least squares runs beside the two as the yardstick. Error = largest
absolute coefficient error, a failure one above 0.2; the 95 % intervals'
coverage is the share of true coefficients inside `conf_int`. The four
textbook data sets of tests/data are fitted by both (the rows outside
`inliers`, seeds 0 to 4). Times are
medians per fit with the methods in turns on each data set (the order
rotating), so a busy moment of the shared machine hits both alike: read the
ratio new / previous, not the times.
"""
from __future__ import annotations

import argparse
import importlib
import os
import pathlib
import sys
import time
from typing import Callable, Dict, Optional, Sequence

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import bench_peers as bp  # noqa: E402  (sets the thread environment before NumPy loads)

import numpy as np  # noqa: E402

import zelt_core as z  # noqa: E402
from zelt_fit import robust_polyfit  # noqa: E402

PREV_DIR = os.environ.get("ZELT_PREV_DIR", "/tmp/prev")
CELLS = ("clean", "45%", "50% one-sided", "hetero", "t2 noise",
         "leverage 20% deg 2", "leverage 20% deg 4", "leverage 2 vars 20%")
SIZES = (60, 300, 3000)
DATASETS = 60
DATASETS_LARGE = 20
NEW, PREV = "robust_polyfit (new)", "robust_polyfit (previous)"


def load_previous(folder: str):
    """The previous package's robust_polyfit, or None when the folder is absent."""
    if not (pathlib.Path(folder) / "zelt_fit_prev" / "__init__.py").is_file():
        return None
    if folder not in sys.path:
        sys.path.insert(0, folder)
    return importlib.import_module("zelt_fit_prev").robust_polyfit


def fits(previous: Callable) -> Dict[str, Callable]:
    def wrap(f):
        return lambda X, y, deg, Phi, seed: f(X if X.shape[1] > 1 else X[:, 0], y, deg, seed=seed)
    return {"ols": lambda X, y, deg, Phi, seed: z.ols(Phi, y), NEW: wrap(robust_polyfit), PREV: wrap(previous)}


def table(results: Dict[tuple, Dict[str, dict]]) -> str:
    lines = ["| n | cell | failures new / previous | median error new / previous (ratio) | "
             "per data set: error / least squares', new / previous | 95 % coverage new / previous | "
             "time new / previous (medians) |",
             "|---|---|---|---|---|---|---|"]
    for (n, name), cell in results.items():
        a, b = cell[NEW], cell[PREV]
        cov = ("-" if a["coverage"] is None or b["coverage"] is None
               else f"{a['coverage']:.1%} / {b['coverage']:.1%}")
        lines.append(f"| {n} | {name} | {a['failures']:.0%} / {b['failures']:.0%} | "
                     f"{a['median']:.3g} / {b['median']:.3g} ({a['median'] / b['median']:.2f}) | "
                     f"{a['ratio_ols']:.3f} / {b['ratio_ols']:.3f} | {cov} | "
                     f"{bp.fmt_time(a['time'])} / {bp.fmt_time(b['time'])} ({a['time'] / b['time']:.2f}) |")
    return "\n".join(lines)


def pooled_time_ratio(results: Dict[tuple, Dict[str, dict]], n: int) -> Optional[str]:
    new = [t for (m, _), c in results.items() if m == n for t in c[NEW]["times"]]
    old = [t for (m, _), c in results.items() if m == n for t in c[PREV]["times"]]
    if not new:
        return None
    return (f"n = {n}, every cell pooled ({len(new)} fits each): median time per fit "
            f"{bp.fmt_time(float(np.median(new)))} new, {bp.fmt_time(float(np.median(old)))} previous; "
            f"ratio new / previous {np.median(new) / np.median(old):.2f}")


def classic_table(previous: Callable, seeds: Sequence[int] = bp.CLASSIC_SEEDS) -> str:
    """The textbook data sets: the rows each estimator leaves out of its inliers."""
    lines = ["| data set (documented rows) | estimator | rows flagged (seed 0; other seeds' if different) | "
             "seeds flagging every documented row | seeds keeping the good leverage rows |",
             "|---|---|---|---|---|"]
    for data, (_, _, documented, good) in bp.CLASSIC.items():
        X, y, names = bp.load_classic(data)
        for label, fit in ((NEW, robust_polyfit), (PREV, previous)):
            flagged = [tuple(int(r) for r in names[~fit(X if X.shape[1] > 1 else X[:, 0], y, 1, seed=s).inliers])
                       for s in seeds]
            differ = sorted({f for f in flagged[1:] if f != flagged[0]})
            shown = bp.compact(flagged[0]) + "".join(f"; {bp.compact(f)}" for f in differ)
            hit = sum(set(documented) <= set(f) for f in flagged)
            kept = f"{sum(not set(good) & set(f) for f in flagged)}/{len(seeds)}" if good else "-"
            lines.append(f"| {data} ({bp.compact(documented)}) | {label} | {shown} | {hit}/{len(seeds)} | {kept} |")
    return "\n".join(lines)


def run(previous: Callable, sizes: Sequence[int], cells: Sequence[str], datasets: int,
        datasets_large: int) -> str:
    methods = fits(previous)
    results: Dict[tuple, Dict[str, dict]] = {}
    t0 = time.perf_counter()
    for n in sizes:
        count = datasets_large if n >= 3000 else datasets
        for name in cells:
            seed = n + 7919 * list(bp.CELLS).index(name)  # bench_peers' data sets
            results[(n, name)] = bp.run_cell(n, bp.CELLS[name], count, methods, seed=seed)
            print(f"  done: previous n={n} {name} ({count} data sets)", file=sys.stderr)
    counts = ", ".join(f"{datasets_large if n >= 3000 else datasets} at n = {n}" for n in sizes)
    parts = [f"robust_polyfit against the previous estimator ({counts} data sets per cell, the data of "
             "bench_peers.py; one process, methods in turns):", "", table(results), ""]
    parts += [line for n in sizes if (line := pooled_time_ratio(results, n))]
    parts += ["", f"The textbook data sets (degree 1, seeds {bp.CLASSIC_SEEDS[0]}-{bp.CLASSIC_SEEDS[-1]}; "
              "rows outside `inliers`):", "", classic_table(previous)]
    parts.append(f"\n({time.perf_counter() - t0:.0f} s in all)")
    return "\n".join(parts)


# run.py's interface: no timing rows, only the report (skipped without the folder).
ENV = bp.ENV


def workloads(quick: bool) -> list:
    return []


def report(quick: bool) -> str:
    previous = load_previous(PREV_DIR)
    if previous is None:
        return (f"robust_polyfit against the previous estimator: skipped ({PREV_DIR}/zelt_fit_prev not found; "
                "see benchmarks/bench_previous.py)")
    if quick:
        return run(previous, [60], ["clean", "leverage 20% deg 4"], 3, 2)
    return run(previous, SIZES, CELLS, DATASETS, DATASETS_LARGE)


def main(argv: Sequence[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--prev", default=PREV_DIR, help="folder holding zelt_fit_prev (default %(default)s)")
    ap.add_argument("--sizes", default=",".join(map(str, SIZES)), help="comma-separated n")
    ap.add_argument("--cells", default=",".join(CELLS), help="comma-separated cell names of bench_peers.py")
    ap.add_argument("--datasets", type=int, default=DATASETS, help="data sets per cell for n < 3000")
    ap.add_argument("--datasets-large", type=int, default=DATASETS_LARGE,
                    help="data sets per cell for n >= 3000")
    args = ap.parse_args(argv)
    cells = args.cells.split(",")
    unknown = [c for c in cells if c not in bp.CELLS]
    if unknown:
        ap.error(f"unknown cell(s) {unknown}; known: {', '.join(bp.CELLS)}")
    previous = load_previous(args.prev)
    if previous is None:
        print(f"robust_polyfit against the previous estimator: skipped ({args.prev}/zelt_fit_prev not found; "
              "see this script's docstring)")
        return 0
    print(run(previous, [int(s) for s in args.sizes.split(",")], cells, args.datasets, args.datasets_large))
    return 0


if __name__ == "__main__":
    sys.exit(main())
