"""Coefficient accuracy and time per fit: zelt_core's robust fits against the
robust-regression methods a user would otherwise reach for.

    python benchmarks/bench_peers.py [--quick] [--sizes 60,1000,10000] [--datasets 240]
                                     [--datasets-large 60] [--shares 0,0.1,0.2,0.35,0.4]

Needs scikit-learn, SciPy and statsmodels (requirements-bench.txt; `make bench`
installs them). For every n and outlier share it generates polynomial data sets
cycling through degree 1 to 5, three kinds of outliers (one-sided shifts,
two-sided shifts, leverage points moved to the right end of x with shifted y)
and two noise levels, and fits each with every method. Error = largest absolute
coefficient error (coefficients of x^0 .. x^deg, x in [-1, 1]); a failure is an
error above 0.2. Times are medians per fit; all methods run in turns on each data
set in one process (the order rotating), so a busy moment of the shared machine
hits them all alike: compare ratios, not absolute times.

Inside run.py (`make bench`) it contributes no timing rows, only its report.
"""
from __future__ import annotations

import argparse
import os
import sys
import time
import warnings
from typing import Callable, Dict, List, Sequence

# Set before NumPy and the module load (run.py applies ENV to its child the same
# way): OpenBLAS's idle workers spin and take the second core from the
# tournament's OpenMP team, and on this shared machine a spinning OpenMP wait
# stalls whenever another process holds a core (benchmarks/README.md).
ENV = {"OPENBLAS_NUM_THREADS": "1", "OMP_WAIT_POLICY": "passive"}
for _key, _value in ENV.items():
    os.environ.setdefault(_key, _value)

import numpy as np  # noqa: E402

import zelt_core as z  # noqa: E402
from zelt_fit import robust_polyfit  # noqa: E402

FAILURE = 0.2
SIZES = (60, 1000, 10_000)
SHARES = (0.0, 0.1, 0.2, 0.35, 0.4)
DATASETS = 240        # per cell, n < 10000
DATASETS_LARGE = 60   # per cell, n >= 10000
KINDS = ("one-sided", "two-sided", "leverage")
NOISES = (0.02, 0.1)
DEGREES = (1, 2, 3, 4, 5)


def make_data(rng: np.random.Generator, n: int, deg: int, share: float, kind: str, noise: float):
    """Polynomial with coefficients in [-1, 1] on x in [-1, 1]; gross outliers
    shifted by 2 to 5 (the clean curve spans about 1 to 4)."""
    beta = rng.uniform(-1.0, 1.0, deg + 1)
    x = rng.uniform(-1.0, 1.0, n)
    y = np.polynomial.polynomial.polyval(x, beta) + rng.normal(0.0, noise, n)
    bad = rng.choice(n, int(round(share * n)), replace=False)
    if bad.size:
        if kind == "one-sided":
            y[bad] += rng.uniform(2.0, 5.0, bad.size)
        elif kind == "two-sided":
            y[bad] += rng.choice([-1.0, 1.0], bad.size) * rng.uniform(2.0, 5.0, bad.size)
        else:  # leverage: where the basis has most pull, all pulled one way
            x[bad] = rng.uniform(0.85, 1.0, bad.size)
            y[bad] = np.polynomial.polynomial.polyval(x[bad], beta) + rng.uniform(2.0, 5.0, bad.size)
    inlier = np.ones(n, dtype=bool)
    inlier[bad] = False
    return x, y, beta, inlier


def methods() -> Dict[str, Callable]:
    """name -> fit(x, y, deg, Phi, seed) returning coefficients of x^0 .. x^deg."""
    import statsmodels.api as sm
    from scipy.optimize import least_squares
    from sklearn.linear_model import HuberRegressor, LinearRegression, RANSACRegressor

    def tournament(x, y, deg, Phi, seed):
        return np.array(z.TournamentMCMC(seed=seed).fit(Phi, y).beta_mcmc)

    def recipe(x, y, deg, Phi, seed):
        return robust_polyfit(x, y, deg, seed=seed).coef

    def ransac(x, y, deg, Phi, seed):
        # sklearn defaults: p + 1 points per trial, 100 trials, threshold = MAD of y.
        m = RANSACRegressor(LinearRegression(fit_intercept=False), random_state=seed).fit(Phi, y)
        return m.estimator_.coef_

    def huber(x, y, deg, Phi, seed):
        return HuberRegressor(alpha=0.0, fit_intercept=False, max_iter=1000).fit(Phi, y).coef_

    def tukey(x, y, deg, Phi, seed):
        return sm.RLM(y, Phi, M=sm.robust.norms.TukeyBiweight()).fit().params

    def scipy_loss(loss):
        # Started from least squares, f_scale = the robust spread of its residuals:
        # scipy's default f_scale = 1 would be as wide as the outliers here.
        def fit(x, y, deg, Phi, seed):
            b0 = z.ols(Phi, y)
            r = y - Phi @ b0
            f_scale = max(1.4826 * np.median(np.abs(r - np.median(r))), 1e-12)
            return least_squares(lambda b: Phi @ b - y, b0, loss=loss, f_scale=f_scale).x
        return fit

    return {
        "ols": lambda x, y, deg, Phi, seed: z.ols(Phi, y),
        "tournament alone": tournament,
        "robust_polyfit": recipe,
        "RANSAC (sklearn)": ransac,
        "Huber (sklearn)": huber,
        "Tukey RLM (statsmodels)": tukey,
        "least_squares soft_l1": scipy_loss("soft_l1"),
        "least_squares cauchy": scipy_loss("cauchy"),
    }


ORACLE = "(ols on the true inliers)"


def run_cell(n: int, share: float, count: int, fits: Dict[str, Callable], seed: int) -> Dict[str, dict]:
    rng = np.random.default_rng(seed)
    names = list(fits)
    errors: Dict[str, List[float]] = {name: [] for name in names + [ORACLE]}
    times: Dict[str, List[float]] = {name: [] for name in names}
    for i in range(count):
        deg = DEGREES[i % len(DEGREES)]
        kind = KINDS[(i // len(DEGREES)) % len(KINDS)]
        noise = NOISES[(i // (len(DEGREES) * len(KINDS))) % len(NOISES)]
        x, y, beta, inlier = make_data(rng, n, deg, share, kind, noise)
        Phi = z.design_matrix_1d(deg, x)
        errors[ORACLE].append(float(np.max(np.abs(z.ols(Phi[inlier], y[inlier]) - beta))))
        for j in range(len(names)):
            name = names[(i + j) % len(names)]
            t0 = time.perf_counter()
            try:
                with warnings.catch_warnings():
                    warnings.simplefilter("ignore")
                    coef = np.asarray(fits[name](x, y, deg, Phi, 1000 * seed + i), dtype=float)
                err = float(np.max(np.abs(coef - beta)))
            except Exception:  # a method that gives up counts as a failure
                err = np.inf
            times[name].append(time.perf_counter() - t0)
            errors[name].append(err if np.isfinite(err) else np.inf)
    # How often the recipe returned least squares on exactly the true inliers
    # (same error to 9 digits): medians of 60 to 240 fits move with a few fits.
    same = np.isclose(errors["robust_polyfit"], errors[ORACLE], rtol=1e-9, atol=0.0)
    out = {"same as oracle": float(np.mean(same))}
    for name in names + [ORACLE]:
        e = np.array(errors[name])
        out[name] = {
            "median": float(np.median(e)),
            "p90": float(np.quantile(e, 0.9)),
            "failures": float(np.mean(e > FAILURE)),
            "time": float(np.median(times[name])) if name in times else None,
        }
    return out


def fmt_time(s) -> str:
    if s is None:
        return "-"
    return f"{s * 1e3:.3g} ms" if s >= 1e-3 else f"{s * 1e6:.3g} us"


def fmt_err(e: float) -> str:
    return "inf" if not np.isfinite(e) else f"{e:.3g}"


def results_table(results: Dict[tuple, Dict[str, dict]]) -> str:
    lines = ["| n | outliers | method | median error | 90th pct error | failures (> 0.2) | time per fit |",
             "|---|---|---|---|---|---|---|"]
    for (n, share), cell in results.items():
        best = min(v["median"] for k, v in cell.items() if k not in (ORACLE, "same as oracle"))
        for name, v in cell.items():
            if name == "same as oracle":
                continue
            med = fmt_err(v["median"])
            if name != ORACLE and v["median"] <= best * (1 + 1e-9):  # ties: the same fit
                med = f"**{med}**"
            lines.append(f"| {n} | {share:.0%} | {name} | {med} | {fmt_err(v['p90'])} | "
                         f"{v['failures']:.0%} | {fmt_time(v['time'])} |")
    return "\n".join(lines)


def goals_table(results: Dict[tuple, Dict[str, dict]]) -> str:
    """The recipe against the best of the others, cell by cell."""
    me = "robust_polyfit"
    lines = ["| n | outliers | lowest median error (recipe's) | recipe failures / best other's | "
             "recipe time / RANSAC time | recipe = ols on the true inliers |", "|---|---|---|---|---|---|"]
    for (n, share), cell in results.items():
        others = {k: v for k, v in cell.items() if k not in (me, ORACLE, "same as oracle")}
        best_med = min(others, key=lambda k: others[k]["median"])
        best_fail = min(v["failures"] for v in others.values())
        tied = cell[me]["median"] <= others[best_med]["median"] * (1 + 1e-9)  # ties: the same fit
        winner = me if tied else best_med
        ratio = cell[me]["time"] / cell["RANSAC (sklearn)"]["time"]
        lines.append(f"| {n} | {share:.0%} | {winner} ({fmt_err(cell[me]['median'])}) | "
                     f"{cell[me]['failures']:.0%} / {best_fail:.0%} | {ratio:.2f} | "
                     f"{cell['same as oracle']:.0%} of fits |")
    return "\n".join(lines)


def run(sizes: Sequence[int], shares: Sequence[float], datasets: int, datasets_large: int) -> str:
    fits = methods()
    results: Dict[tuple, Dict[str, dict]] = {}
    t0 = time.perf_counter()
    for n in sizes:
        for share in shares:
            count = datasets_large if n >= 10_000 else datasets
            results[(n, share)] = run_cell(n, share, count, fits, seed=int(n + 1000 * share))
            print(f"  done: peers n={n} outliers={share:.0%} ({count} data sets)", file=sys.stderr)
    counts = ", ".join(f"{datasets_large if n >= 10_000 else datasets} at n = {n}" for n in sizes)
    return "\n".join([
        f"Robust fits against their peers ({counts} data sets per cell; "
        f"{time.perf_counter() - t0:.0f} s in all; times from one process, methods in turns):",
        "",
        results_table(results),
        "",
        goals_table(results),
    ])


def peers_available() -> bool:
    try:
        import scipy, sklearn, statsmodels  # noqa: F401, E401
    except ImportError:
        return False
    return True


# run.py's interface: no timing rows, only the report.
def workloads(quick: bool) -> list:
    return []


def report(quick: bool) -> str:
    if not peers_available():
        return ("Robust fits against their peers: skipped (scikit-learn, SciPy and statsmodels "
                "are not installed; pip install -r requirements-bench.txt)")
    if quick:
        return run([60], [0.0, 0.2], 6, 2)
    return run(SIZES, SHARES, DATASETS, DATASETS_LARGE)


def main(argv: Sequence[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="n = 60 only, 6 data sets per cell (smoke run)")
    ap.add_argument("--sizes", default=",".join(map(str, SIZES)), help="comma-separated n")
    ap.add_argument("--shares", default=",".join(map(str, SHARES)), help="comma-separated outlier shares")
    ap.add_argument("--datasets", type=int, default=DATASETS, help="data sets per cell for n < 10000")
    ap.add_argument("--datasets-large", type=int, default=DATASETS_LARGE,
                    help="data sets per cell for n >= 10000")
    args = ap.parse_args(argv)
    if args.quick:
        print(report(True))
        return 0
    sizes = [int(s) for s in args.sizes.split(",")]
    shares = [float(s) for s in args.shares.split(",")]
    print(run(sizes, shares, args.datasets, args.datasets_large))
    return 0


if __name__ == "__main__":
    sys.exit(main())
