"""Coefficient accuracy, degree choice and time per fit: zelt_fit's robust_polyfit
against the robust-regression methods a user would otherwise reach for.

    python benchmarks/bench_peers.py [--quick] [--sizes 60,300,3000] [--datasets 60]
                                     [--datasets-large 40] [--cells NAME,...] [--no-degree]

Needs scikit-learn, SciPy and statsmodels (requirements-bench.txt; `make bench`
installs them). Each cell generates polynomial data sets on x in [-1, 1]^d:
in one variable cycling through degree 1 to 5 (the top coefficient drawn with
magnitude 0.5 to 1, the others uniform in [-1, 1], so that the degree is a
property of the data) and two noise levels (sd 0.02 and 0.1); gross outliers
shifted by 2 to 5 (one-sided, two-sided, or leverage points moved to the right
end of x), a clump on a false line, heavy-tailed or heteroscedastic noise,
clustered or log-spaced x, and two or three variables. Every method fits every
data set. Error = largest absolute coefficient error; a failure is an error
above 0.2. Times are medians per fit; all methods run in turns on each data set
in one process (the order rotating), so a busy moment of the shared machine
hits them all alike: compare ratios, not absolute times.

The degree table gives the share of data sets whose true degree each rule
picks among 0 .. 7: robust_polyfit(deg="auto"), the BIC of least squares, the
BIC of statsmodels' RLM (Tukey) with its rho in place of the squared residual,
and 5-fold cross-validation (median absolute error) of RANSAC and of Huber.

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
from zelt_fit import polynomial_terms, robust_polyfit  # noqa: E402

FAILURE = 0.2
SIZES = (60, 300, 3000)
DATASETS = 60         # per cell, n < 3000
DATASETS_LARGE = 40   # per cell, n >= 3000
NOISES = (0.02, 0.1)
DEGREES = (1, 2, 3, 4, 5)
MAX_DEG = 7
ORACLE = "(ols on the true inliers)"
ME = "robust_polyfit"

# name -> generator settings; "kinds" cycle through the data sets of the cell
CELLS: Dict[str, dict] = {
    "clean": dict(share=0.0),
    "10%": dict(share=0.1),
    "20%": dict(share=0.2),
    "35%": dict(share=0.35),
    "40%": dict(share=0.4),
    "45%": dict(share=0.45),
    "50% one-sided": dict(share=0.5, kinds=("one-sided",)),
    "clump 20%": dict(share=0.2, kinds=("clump",)),
    "t2 noise": dict(share=0.0, noise="t2"),
    "t3 noise": dict(share=0.0, noise="t3"),
    "hetero": dict(share=0.0, noise="hetero"),
    "hetero 20%": dict(share=0.2, noise="hetero", kinds=("two-sided",)),
    "x clustered 20%": dict(share=0.2, design="clustered", kinds=("two-sided",)),
    "x log-spaced 20%": dict(share=0.2, design="log", kinds=("two-sided",)),
    "2 vars 20%": dict(share=0.2, d=2, kinds=("one-sided", "two-sided")),
    "3 vars 35%": dict(share=0.35, d=3, kinds=("one-sided", "two-sided")),
}
KINDS = ("one-sided", "two-sided", "leverage")


def monomials(X: np.ndarray, terms: np.ndarray) -> np.ndarray:
    return np.prod(X[:, None, :] ** terms[None, :, :], axis=2)


def make_data(rng: np.random.Generator, n: int, deg: int, sd: float, share: float = 0.0,
              kind: str = "one-sided", noise: str = "gauss", design: str = "uniform", d: int = 1):
    """x (n, d), y, the true coefficients of `terms`, terms, the inlier mask."""
    terms = polynomial_terms(d, deg)
    beta = rng.uniform(-1.0, 1.0, terms.shape[0])
    top = terms.sum(axis=1) == deg
    beta[top] = rng.choice([-1.0, 1.0], top.sum()) * rng.uniform(0.5, 1.0, top.sum())
    if design == "uniform":
        X = rng.uniform(-1.0, 1.0, (n, d))
    elif design == "clustered":      # three clumps of x, and the two ends
        centres = rng.uniform(-0.8, 0.8, (3, d))
        X = np.clip(centres[rng.integers(0, 3, n)] + rng.normal(0.0, 0.12, (n, d)), -1.0, 1.0)
        X[:2] = [[-1.0] * d, [1.0] * d]
    else:                            # log-spaced: most points crowd the left end
        X = rng.uniform(-1.0, 1.0, (n, d))
        X[:, 0] = 2.0 * (np.geomspace(1.0, 1000.0, n)[rng.permutation(n)] - 1.0) / 999.0 - 1.0
    Phi = monomials(X, terms)
    if noise == "gauss":
        e = rng.normal(0.0, sd, n)
    elif noise in ("t2", "t3"):
        e = sd * rng.standard_t(int(noise[1]), n)
    else:                            # heteroscedastic: sd grows 10x across the first variable
        e = rng.normal(0.0, 1.0, n) * sd * 10.0 ** ((X[:, 0] + 1.0) / 2.0) / np.sqrt(10.0)
    y = Phi @ beta + e
    bad = rng.choice(n, int(round(share * n)), replace=False)
    if bad.size:
        if kind == "one-sided":
            y[bad] += rng.uniform(2.0, 5.0, bad.size)
        elif kind == "two-sided":
            y[bad] += rng.choice([-1.0, 1.0], bad.size) * rng.uniform(2.0, 5.0, bad.size)
        elif kind == "leverage":     # where the basis has most pull, all pulled one way
            X[bad, 0] = rng.uniform(0.85, 1.0, bad.size)
            y[bad] = monomials(X[bad], terms) @ beta + rng.uniform(2.0, 5.0, bad.size)
        else:                        # a clump on a false line of its own
            a, b = rng.uniform(-1.0, 1.0, 2)
            y[bad] = 2.5 + a + b * X[bad, 0] + rng.normal(0.0, sd, bad.size)
    inlier = np.ones(n, dtype=bool)
    inlier[bad] = False
    return X, y, beta, terms, inlier


def methods() -> Dict[str, Callable]:
    """name -> fit(X, y, deg, Phi, seed) returning the coefficients of Phi's columns."""
    import statsmodels.api as sm
    from scipy.optimize import least_squares
    from sklearn.linear_model import HuberRegressor, LinearRegression, RANSACRegressor, TheilSenRegressor

    def recipe(X, y, deg, Phi, seed):
        return robust_polyfit(X if X.shape[1] > 1 else X[:, 0], y, deg, seed=seed).coef

    def ransac(X, y, deg, Phi, seed):
        # sklearn defaults: p + 1 points per trial, 100 trials, threshold = MAD of y.
        m = RANSACRegressor(LinearRegression(fit_intercept=False), random_state=seed).fit(Phi, y)
        return m.estimator_.coef_

    def huber(X, y, deg, Phi, seed):
        return HuberRegressor(alpha=0.0, fit_intercept=False, max_iter=1000).fit(Phi, y).coef_

    def tukey(X, y, deg, Phi, seed):
        return sm.RLM(y, Phi, M=sm.robust.norms.TukeyBiweight()).fit().params

    def theil_sen(X, y, deg, Phi, seed):
        return TheilSenRegressor(fit_intercept=False, random_state=seed, max_subpopulation=2000).fit(Phi, y).coef_

    def scipy_loss(loss):
        # Started from least squares, f_scale = the robust spread of its residuals:
        # scipy's default f_scale = 1 would be as wide as the outliers here.
        def fit(X, y, deg, Phi, seed):
            b0 = z.ols(Phi, y)
            r = y - Phi @ b0
            f_scale = max(1.4826 * np.median(np.abs(r - np.median(r))), 1e-12)
            return least_squares(lambda b: Phi @ b - y, b0, loss=loss, f_scale=f_scale).x
        return fit

    return {
        "ols": lambda X, y, deg, Phi, seed: z.ols(Phi, y),
        ME: recipe,
        "RANSAC (sklearn)": ransac,
        "Huber (sklearn)": huber,
        "Tukey RLM (statsmodels)": tukey,
        "Theil-Sen (sklearn)": theil_sen,
        "least_squares soft_l1": scipy_loss("soft_l1"),
        "least_squares cauchy": scipy_loss("cauchy"),
    }


def dataset(rng: np.random.Generator, n: int, i: int, cell: dict):
    d = cell.get("d", 1)
    deg = DEGREES[i % len(DEGREES)] if d == 1 else (3 if d == 2 else 2)
    kinds = cell.get("kinds", KINDS)
    kind = kinds[(i // len(DEGREES)) % len(kinds)]
    sd = NOISES[(i // (len(DEGREES) * len(kinds))) % len(NOISES)]
    return make_data(rng, n, deg, sd, cell.get("share", 0.0), kind, cell.get("noise", "gauss"),
                     cell.get("design", "uniform"), d), deg


def run_cell(n: int, cell: dict, count: int, fits: Dict[str, Callable], seed: int) -> Dict[str, dict]:
    rng = np.random.default_rng(seed)
    names = list(fits)
    errors: Dict[str, List[float]] = {name: [] for name in names + [ORACLE]}
    times: Dict[str, List[float]] = {name: [] for name in names}
    for i in range(count):
        (X, y, beta, terms, inlier), deg = dataset(rng, n, i, cell)
        Phi = monomials(X, terms)
        errors[ORACLE].append(float(np.max(np.abs(z.ols(Phi[inlier], y[inlier]) - beta))))
        for j in range(len(names)):
            name = names[(i + j) % len(names)]
            t0 = time.perf_counter()
            try:
                with warnings.catch_warnings():
                    warnings.simplefilter("ignore")
                    coef = np.asarray(fits[name](X, y, deg, Phi, 1000 * seed + i), dtype=float)
                err = float(np.max(np.abs(coef - beta)))
            except Exception:  # a method that gives up counts as a failure
                err = np.inf
            times[name].append(time.perf_counter() - t0)
            errors[name].append(err if np.isfinite(err) else np.inf)
    out: Dict[str, dict] = {}
    for name in names + [ORACLE]:
        e = np.array(errors[name])
        # per data set against least squares: the medians of cells whose errors
        # mix two noise levels are decided by a few fits between the two clusters
        ratio = e / np.maximum(np.array(errors["ols"]), 1e-300)
        out[name] = {"median": float(np.median(e)), "p90": float(np.quantile(e, 0.9)),
                     "failures": float(np.mean(e > FAILURE)), "ratio_ols": float(np.median(ratio)),
                     "time": float(np.median(times[name])) if name in times else None}
    return out


# -- degree choice -------------------------------------------------------------
def degree_rules() -> Dict[str, Callable]:
    """name -> pick(x, y, seed) returning a degree in 0 .. MAX_DEG (one variable)."""
    import statsmodels.api as sm
    from sklearn.linear_model import HuberRegressor, LinearRegression, RANSACRegressor
    from sklearn.model_selection import KFold, cross_val_score

    def auto(x, y, seed):
        return robust_polyfit(x, y, "auto", max_deg=MAX_DEG, seed=seed).degree

    def ols_bic(x, y, seed):
        n = y.size
        scores = []
        for d in range(MAX_DEG + 1):
            Phi = z.design_matrix_1d(d, x)
            r = y - Phi @ z.ols(Phi, y)
            scores.append(n * np.log(max(r @ r / n, 1e-300)) + (d + 1) * np.log(n))
        return int(np.argmin(scores))

    def rlm_bic(x, y, seed):
        # the rho of Tukey's biweight in place of the squared residual, at RLM's scale
        n = y.size
        scores = []
        for d in range(MAX_DEG + 1):
            res = sm.RLM(y, z.design_matrix_1d(d, x), M=sm.robust.norms.TukeyBiweight()).fit()
            rho = sm.robust.norms.TukeyBiweight().rho(res.resid / res.scale)
            scores.append(2.0 * np.sum(rho) + 2.0 * n * np.log(res.scale) + (d + 1) * np.log(n))
        return int(np.argmin(scores))

    def cv(make):
        def pick(x, y, seed):
            scores = []
            for d in range(MAX_DEG + 1):
                Phi = z.design_matrix_1d(d, x)
                s = cross_val_score(make(seed), Phi, y, cv=KFold(5, shuffle=True, random_state=seed),
                                    scoring="neg_median_absolute_error")
                scores.append(-np.mean(s))
            return int(np.argmin(scores))
        return pick

    return {
        "robust_polyfit(deg='auto')": auto,
        "OLS BIC": ols_bic,
        "RLM Tukey rho-BIC": rlm_bic,
        "RANSAC 5-fold CV": cv(lambda s: RANSACRegressor(LinearRegression(fit_intercept=False), random_state=s)),
        "Huber 5-fold CV": cv(lambda s: HuberRegressor(alpha=0.0, fit_intercept=False, max_iter=1000)),
    }


DEGREE_CELLS = {"clean": dict(share=0.0), "20%": dict(share=0.2), "35%": dict(share=0.35)}


def run_degree_cell(n: int, cell: dict, count: int, rules: Dict[str, Callable], seed: int) -> Dict[str, float]:
    rng = np.random.default_rng(seed)
    hits: Dict[str, List[bool]] = {name: [] for name in rules}
    for i in range(count):
        (X, y, beta, terms, inlier), deg = dataset(rng, n, i, cell)
        for name, pick in rules.items():
            try:
                with warnings.catch_warnings():
                    warnings.simplefilter("ignore")
                    hits[name].append(pick(X[:, 0], y, 1000 * seed + i) == deg)
            except Exception:
                hits[name].append(False)
    return {name: float(np.mean(h)) for name, h in hits.items()}


# -- reports -------------------------------------------------------------------
def fmt_time(s) -> str:
    if s is None:
        return "-"
    return f"{s * 1e3:.3g} ms" if s >= 1e-3 else f"{s * 1e6:.3g} us"


def fmt_err(e: float) -> str:
    return "inf" if not np.isfinite(e) else f"{e:.3g}"


def results_table(results: Dict[tuple, Dict[str, dict]]) -> str:
    lines = ["| n | cell | method | median error | 90th pct error | failures (> 0.2) | time per fit |",
             "|---|---|---|---|---|---|---|"]
    for (n, name), cell in results.items():
        best = min(v["median"] for k, v in cell.items() if k != ORACLE)
        for method, v in cell.items():
            med = fmt_err(v["median"])
            if method != ORACLE and v["median"] <= best * (1 + 1e-9):
                med = f"**{med}**"
            lines.append(f"| {n} | {name} | {method} | {med} | {fmt_err(v['p90'])} | "
                         f"{v['failures']:.0%} | {fmt_time(v['time'])} |")
    return "\n".join(lines)


def goals_table(results: Dict[tuple, Dict[str, dict]]) -> str:
    """robust_polyfit against the best of the others, cell by cell."""
    lines = ["| n | cell | robust_polyfit median / best other's (who) | failures / best other's | "
             "median / least squares | per data set: error / least squares' (median) | time / RANSAC's |",
             "|---|---|---|---|---|---|---|"]
    for (n, name), cell in results.items():
        others = {k: v for k, v in cell.items() if k not in (ME, ORACLE)}
        best = min(others, key=lambda k: others[k]["median"])
        best_fail = min(v["failures"] for v in others.values())
        me = cell[ME]
        lines.append(f"| {n} | {name} | {me['median'] / others[best]['median']:.2f} ({best}) | "
                     f"{me['failures']:.0%} / {best_fail:.0%} | {me['median'] / cell['ols']['median']:.2f} | "
                     f"{me['ratio_ols']:.3f} | {me['time'] / cell['RANSAC (sklearn)']['time']:.2f} |")
    return "\n".join(lines)


def degree_table(results: Dict[tuple, Dict[str, float]]) -> str:
    rules = list(next(iter(results.values())))
    lines = ["| n | cell | " + " | ".join(rules) + " |", "|---|---|" + "---|" * len(rules)]
    for (n, name), cell in results.items():
        best = max(cell.values())
        cells = [f"**{v:.0%}**" if v >= best else f"{v:.0%}" for v in cell.values()]
        lines.append(f"| {n} | {name} | " + " | ".join(cells) + " |")
    return "\n".join(lines)


def run(sizes: Sequence[int], cells: Sequence[str], datasets: int, datasets_large: int,
        degrees: bool = True) -> str:
    fits = methods()
    results: Dict[tuple, Dict[str, dict]] = {}
    t0 = time.perf_counter()
    for n in sizes:
        count = datasets_large if n >= 3000 else datasets
        for name in cells:
            results[(n, name)] = run_cell(n, CELLS[name], count, fits, seed=n + 7919 * list(CELLS).index(name))
            print(f"  done: peers n={n} {name} ({count} data sets)", file=sys.stderr)
    counts = ", ".join(f"{datasets_large if n >= 3000 else datasets} at n = {n}" for n in sizes)
    parts = [f"Robust fits against their peers ({counts} data sets per cell; times from one process, "
             "methods in turns):", "", results_table(results), "", goals_table(results)]
    if degrees:
        rules = degree_rules()
        dres: Dict[tuple, Dict[str, float]] = {}
        for n in sizes:
            count = datasets_large if n >= 3000 else datasets
            for name, cell in DEGREE_CELLS.items():
                dres[(n, name)] = run_degree_cell(n, cell, count, rules, seed=10 * n + len(name))
                print(f"  done: degree n={n} {name}", file=sys.stderr)
        parts += ["", f"Share of data sets whose true degree (1 to 5) each rule picks among 0 .. {MAX_DEG}:",
                  "", degree_table(dres)]
    parts.append(f"\n({time.perf_counter() - t0:.0f} s in all)")
    return "\n".join(parts)


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
        return run([60], ["clean", "20%"], 6, 2, degrees=False)
    return run(SIZES, list(CELLS), DATASETS, DATASETS_LARGE)


def main(argv: Sequence[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="n = 60 only, 6 data sets per cell (smoke run)")
    ap.add_argument("--sizes", default=",".join(map(str, SIZES)), help="comma-separated n")
    ap.add_argument("--cells", default=",".join(CELLS), help="comma-separated cell names")
    ap.add_argument("--datasets", type=int, default=DATASETS, help="data sets per cell for n < 3000")
    ap.add_argument("--datasets-large", type=int, default=DATASETS_LARGE,
                    help="data sets per cell for n >= 3000")
    ap.add_argument("--no-degree", action="store_true", help="skip the degree-choice table")
    args = ap.parse_args(argv)
    if args.quick:
        print(report(True))
        return 0
    sizes = [int(s) for s in args.sizes.split(",")]
    print(run(sizes, args.cells.split(","), args.datasets, args.datasets_large, not args.no_degree))
    return 0


if __name__ == "__main__":
    sys.exit(main())
