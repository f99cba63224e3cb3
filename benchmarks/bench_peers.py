"""Coefficient accuracy, degree choice and time per fit: zelt_fit's robust_polyfit
against the robust-regression methods a user would otherwise reach for.

    python benchmarks/bench_peers.py [--quick] [--sizes 60,300,3000] [--datasets 60]
                                     [--datasets-large 40] [--cells NAME,...] [--methods NAME,...]
                                     [--no-degree] [--degree-sizes 60,300] [--degree-cells NAME,...]
                                     [--degree-rules NAME,...] [--no-classic]
                                     [--search n_chains=10,n_warmup=100] [--seed-offset 1]
                                     [--json FILE]

Needs scikit-learn, SciPy and statsmodels (requirements-bench.txt; `make bench`
installs them). Each cell generates polynomial data sets on x in [-1, 1]^d:
in one variable cycling through degree 1 to 5 (the top coefficient drawn with
magnitude 0.5 to 1, the others uniform in [-1, 1], so that the degree is a
property of the data) and two noise levels (sd 0.02 and 0.1); gross outliers
shifted by 2 to 5 (one-sided, two-sided, or leverage points moved to the right
end of x), a clump on a false line, heavy-tailed or heteroscedastic noise,
clustered or log-spaced x, and two or three variables. The leverage cells put
20 % bad leverage points in: x moved to [4, 6] in the first variable (2 to 3
times the range of the rest, which lie on [-1, 1]), y on a wrong line a + b x
(a, b uniform in [-1, 1]) plus the noise; there every coefficient has magnitude
0.5 to 1 (random sign) and the noise sd is 0.05. Every method fits every
data set. Error = largest absolute coefficient error; a failure is an error
above 0.2. Times are medians per fit; all methods run in turns on each data set
in one process (the order rotating), so a busy moment of the shared machine
hits them all alike: compare ratios, not absolute times. For robust_polyfit
each cell also gives the share of true coefficients inside its 95 % intervals
(`conf_int`), and the run the smallest set of points any of its fits on
contaminated data rested on (`n_inliers`), against h = floor((n + p + 1) / 2)
and against ceil(n / 2).

The classic table fits the four textbook data sets of tests/data (degree 1,
the fits of tests/data/README.md) with every method and seeds 0 to 4 and lists
the rows each flags: robust_polyfit the rows outside `inliers`, RANSAC those
outside `inlier_mask_`, Huber its `outliers_`, and every other method the rows
whose residual exceeds 2.5 x 1.4826 x the MAD of its residuals.

The degree table gives the share of data sets whose true degree each rule
picks among 0 .. 7: robust_polyfit(deg="auto"), the BIC of least squares, the
BIC of statsmodels' RLM (Tukey) with its rho in place of the squared residual,
the same with robust_polyfit's fit of each degree and the top candidate's scale,
and 5-fold cross-validation (median absolute error) of RANSAC and of Huber;
beside them, what the data allow: the BIC of least squares on the true inliers
alone (no rule that sees the outliers should be expected to beat it by much).

When RLM Tukey runs, a paired table sets robust_polyfit against it on the
same data sets: the ratio of the median errors with a 90 % bootstrap interval,
and the median of the per-data-set ratios. The cell "t2 noise sd 0.05" has one
noise level, so that its median is not decided by the few data sets between
two levels' clusters.

`--search` passes its SearchSettings to every robust_polyfit call (cells,
degree choice, textbook sets); the data are the same whatever the settings, so
runs with different settings compare cell by cell; `--seed-offset` moves every
robust_polyfit seed (the same data, other searches: how far a cell moves by
chance). `--methods robust_polyfit`
runs it alone (with least squares, whose errors the ratios need), the textbook
table too; `--json` writes robust_polyfit's figures per cell to a file.

Inside run.py (`make bench`) it contributes no timing rows, only its report.
"""
from __future__ import annotations

import argparse
import os
import pathlib
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
from zelt_fit import SearchSettings, polynomial_terms  # noqa: E402
from zelt_fit import robust_polyfit as _robust_polyfit  # noqa: E402

FAILURE = 0.2
SIZES = (60, 300, 3000)
DATASETS = 60         # per cell, n < 3000
DATASETS_LARGE = 40   # per cell, n >= 3000
NOISES = (0.02, 0.1)
DEGREES = (1, 2, 3, 4, 5)
MAX_DEG = 7
ORACLE = "(ols on the true inliers)"
ME = "robust_polyfit"
AUTO = "robust_polyfit(deg='auto')"

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
    # one noise level: the median of a cell that mixes two levels falls between
    # their clusters and moves by several per cent from a few data sets
    "t2 noise sd 0.05": dict(share=0.0, noise="t2", noises=(0.05,)),
    "hetero": dict(share=0.0, noise="hetero"),
    "hetero 20%": dict(share=0.2, noise="hetero", kinds=("two-sided",)),
    "x clustered 20%": dict(share=0.2, design="clustered", kinds=("two-sided",)),
    "x log-spaced 20%": dict(share=0.2, design="log", kinds=("two-sided",)),
    "2 vars 20%": dict(share=0.2, d=2, kinds=("one-sided", "two-sided")),
    "3 vars 35%": dict(share=0.35, d=3, kinds=("one-sided", "two-sided")),
    # bad leverage points: far out in x, on a wrong line; unit-size coefficients
    "leverage 20% deg 2": dict(share=0.2, kinds=("bad leverage",), degrees=(2,), noises=(0.05,), unit=True),
    "leverage 20% deg 4": dict(share=0.2, kinds=("bad leverage",), degrees=(4,), noises=(0.05,), unit=True),
    "leverage 2 vars 20%": dict(share=0.2, d=2, kinds=("bad leverage",), degrees=(2,), noises=(0.05,),
                                unit=True),
}
KINDS = ("one-sided", "two-sided", "leverage")
DATA = pathlib.Path(__file__).resolve().parents[1] / "tests" / "data"
# file -> response, predictors, documented outlying rows, documented good leverage rows (numbered from 1)
CLASSIC = {
    "starsCYG": ("log.light", ("log.Te",), (11, 20, 30, 34), ()),
    "hbk": ("Y", ("X1", "X2", "X3"), tuple(range(1, 11)), (11, 12, 13, 14)),
    "stackloss": ("stack.loss", ("Air.Flow", "Water.Temp", "Acid.Conc."), (1, 3, 4, 21), ()),
    "wood": ("y", ("x1", "x2", "x3", "x4", "x5"), (4, 6, 8, 19), ()),
}
CLASSIC_SEEDS = (0, 1, 2, 3, 4)
# the sets robust_polyfit's fits rested on: (n, p, n_inliers, cell) of every fit on contaminated data
SETS: List[tuple] = []


# the search settings of every robust_polyfit call (--search); None: its defaults
SEARCH: List[SearchSettings] = []
# added to every robust_polyfit seed (--seed-offset): the same data, other
# searches, to see how much a cell moves with the seed alone
SEED_OFFSET = [0]


def robust_polyfit(*args, **kwargs):
    """robust_polyfit with the run's search settings and seed offset."""
    if SEARCH:
        kwargs.setdefault("search", SEARCH[0])
    kwargs["seed"] = kwargs.get("seed", 42) + SEED_OFFSET[0]
    return _robust_polyfit(*args, **kwargs)


def parse_search(text: str) -> SearchSettings:
    """"n_chains=10,n_warmup=100" -> SearchSettings(n_chains=10, n_warmup=100)."""
    fields = {f: type(getattr(SearchSettings(), f)) for f in SearchSettings.__dataclass_fields__}
    values = {}
    for part in filter(None, text.split(",")):
        key, sep, value = part.partition("=")
        key = key.strip()
        if not sep or key not in fields:
            raise ValueError(f"--search takes name=value pairs of {', '.join(fields)}; got {part!r}")
        values[key] = fields[key](value)
    return SearchSettings(**values)


def monomials(X: np.ndarray, terms: np.ndarray) -> np.ndarray:
    return np.prod(X[:, None, :] ** terms[None, :, :], axis=2)


def make_data(rng: np.random.Generator, n: int, deg: int, sd: float, share: float = 0.0,
              kind: str = "one-sided", noise: str = "gauss", design: str = "uniform", d: int = 1,
              unit: bool = False):
    """x (n, d), y, the true coefficients of `terms`, terms, the inlier mask.
    unit: every coefficient of magnitude 0.5 to 1, not only the top ones."""
    terms = polynomial_terms(d, deg)
    beta = rng.uniform(-1.0, 1.0, terms.shape[0])
    top = np.ones(terms.shape[0], dtype=bool) if unit else terms.sum(axis=1) == deg
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
        elif kind == "bad leverage":  # far out in x, on a wrong line
            X[bad, 0] = rng.uniform(4.0, 6.0, bad.size)
            a, b = rng.uniform(-1.0, 1.0, 2)
            y[bad] = a + b * X[bad, 0] + e[bad]
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
        return robust_polyfit(X if X.shape[1] > 1 else X[:, 0], y, deg, seed=seed)  # the fit: intervals too

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


METHOD_NAMES = ("ols", ME, "RANSAC (sklearn)", "Huber (sklearn)", "Tukey RLM (statsmodels)", "Theil-Sen (sklearn)",
                "least_squares soft_l1", "least_squares cauchy")


def dataset(rng: np.random.Generator, n: int, i: int, cell: dict):
    d = cell.get("d", 1)
    degrees = cell.get("degrees", DEGREES if d == 1 else (3 if d == 2 else 2,))
    noises = cell.get("noises", NOISES)
    deg = degrees[i % len(degrees)]
    kinds = cell.get("kinds", KINDS)
    kind = kinds[(i // len(degrees)) % len(kinds)]
    sd = noises[(i // (len(degrees) * len(kinds))) % len(noises)]
    return make_data(rng, n, deg, sd, cell.get("share", 0.0), kind, cell.get("noise", "gauss"),
                     cell.get("design", "uniform"), d, cell.get("unit", False)), deg


def cell_name(cell: dict, table: Dict[str, dict] = CELLS) -> str:
    return next((k for k, v in table.items() if v is cell), "?")


def coefficients(result, level: float = 0.95):
    """The coefficients of a method's answer, and the 95 % intervals (p, 2) of
    a fit that has them (robust_polyfit), else None."""
    if hasattr(result, "conf_int"):
        return np.asarray(result.coef, dtype=float), np.asarray(result.conf_int(level), dtype=float)
    return np.asarray(result, dtype=float), None


def run_cell(n: int, cell: dict, count: int, fits: Dict[str, Callable], seed: int) -> Dict[str, dict]:
    rng = np.random.default_rng(seed)
    names = list(fits)
    errors: Dict[str, List[float]] = {name: [] for name in names + [ORACLE]}
    times: Dict[str, List[float]] = {name: [] for name in names}
    covered: Dict[str, List[float]] = {name: [] for name in names}
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
                    answer = fits[name](X, y, deg, Phi, 1000 * seed + i)
                coef, ci = coefficients(answer)
                err = float(np.max(np.abs(coef - beta)))
                if ci is not None:
                    covered[name].extend(((ci[:, 0] <= beta) & (beta <= ci[:, 1])).astype(float))
                    if name == ME and cell.get("share", 0.0) > 0:
                        SETS.append((n, beta.size, int(answer.n_inliers), cell_name(cell)))
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
                     "time": float(np.median(times[name])) if name in times else None,
                     "times": times.get(name), "errors": e,
                     "coverage": float(np.mean(covered[name])) if covered.get(name) else None}
    return out


# -- degree choice -------------------------------------------------------------
# what the data allow: least squares' BIC on the true inliers alone
DEGREE_ORACLE = "(OLS BIC on the true inliers)"


def least_squares_bic(x: np.ndarray, y: np.ndarray) -> int:
    n = y.size
    scores = []
    for d in range(MAX_DEG + 1):
        Phi = z.design_matrix_1d(d, x)
        r = y - Phi @ z.ols(Phi, y)
        scores.append(n * np.log(max(r @ r / n, 1e-300)) + (d + 1) * np.log(n))
    return int(np.argmin(scores))


def degree_rules() -> Dict[str, Callable]:
    """name -> pick(x, y, seed) returning a degree in 0 .. MAX_DEG (one variable)."""
    import statsmodels.api as sm
    from sklearn.linear_model import HuberRegressor, LinearRegression, RANSACRegressor
    from sklearn.model_selection import KFold, cross_val_score

    def auto(x, y, seed):
        auto.last = robust_polyfit(x, y, "auto", max_deg=MAX_DEG, seed=seed)  # its set, for the collapse count
        return auto.last.degree

    def ols_bic(x, y, seed):
        return least_squares_bic(x, y)

    def rlm_bic(x, y, seed):
        # the rho of Tukey's biweight in place of the squared residual, at RLM's scale
        n = y.size
        scores = []
        for d in range(MAX_DEG + 1):
            res = sm.RLM(y, z.design_matrix_1d(d, x), M=sm.robust.norms.TukeyBiweight()).fit()
            rho = sm.robust.norms.TukeyBiweight().rho(res.resid / res.scale)
            scores.append(2.0 * np.sum(rho) + 2.0 * n * np.log(res.scale) + (d + 1) * np.log(n))
        return int(np.argmin(scores))

    def mm_bic(x, y, seed):
        # the robust BIC: the bisquare rho (c = 4.685) of each candidate's
        # residuals at the largest candidate's scale, plus p log n; here on
        # robust_polyfit's fit of each fixed degree
        n = y.size
        fits_ = [robust_polyfit(x, y, d, seed=seed) for d in range(MAX_DEG + 1)]
        s = max(fits_[-1].scale, 1e-300)
        norm = sm.robust.norms.TukeyBiweight()
        scores = [2.0 * np.sum(norm.rho((y - f.predict(x)) / s)) + (d + 1) * np.log(n) for d, f in enumerate(fits_)]
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
        AUTO: auto,
        "OLS BIC": ols_bic,
        "RLM Tukey rho-BIC": rlm_bic,
        "bisquare rho-BIC (robust_polyfit fits)": mm_bic,
        "RANSAC 5-fold CV": cv(lambda s: RANSACRegressor(LinearRegression(fit_intercept=False), random_state=s)),
        "Huber 5-fold CV": cv(lambda s: HuberRegressor(alpha=0.0, fit_intercept=False, max_iter=1000)),
    }


DEGREE_CELLS = {"clean": dict(share=0.0), "20%": dict(share=0.2), "35%": dict(share=0.35),
                "20% degree 1-4": dict(share=0.2, degrees=(1, 2, 3, 4)),
                # every coefficient of unit size and one noise level, as the leverage cells have them
                "20% degree 1-4 unit sd 0.05": dict(share=0.2, degrees=(1, 2, 3, 4), noises=(0.05,), unit=True)}
DEGREE_DEFAULT = ("clean", "20%", "35%")


def run_degree_cell(n: int, cell: dict, count: int, rules: Dict[str, Callable], seed: int) -> Dict[str, float]:
    rng = np.random.default_rng(seed)
    hits: Dict[str, List[bool]] = {name: [] for name in list(rules) + [DEGREE_ORACLE]}
    for i in range(count):
        (X, y, beta, terms, inlier), deg = dataset(rng, n, i, cell)
        hits[DEGREE_ORACLE].append(least_squares_bic(X[inlier, 0], y[inlier]) == deg)
        for name, pick in rules.items():
            pick.__dict__.pop("last", None)
            try:
                with warnings.catch_warnings():
                    warnings.simplefilter("ignore")
                    hits[name].append(pick(X[:, 0], y, 1000 * seed + i) == deg)
            except Exception:
                hits[name].append(False)
            last = pick.__dict__.get("last")
            if last is not None and cell.get("share", 0.0) > 0:
                SETS.append((n, last.coef.size, int(last.n_inliers), "degree " + cell_name(cell, DEGREE_CELLS)))
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
             "median / least squares | per data set: error / least squares' (median) | time / RANSAC's | "
             "95 % intervals cover |",
             "|---|---|---|---|---|---|---|---|"]
    for (n, name), cell in results.items():
        others = {k: v for k, v in cell.items() if k not in (ME, ORACLE)}
        best = min(others, key=lambda k: others[k]["median"])
        best_fail = min(v["failures"] for v in others.values())
        me = cell[ME]
        ransac = (f"{me['time'] / cell['RANSAC (sklearn)']['time']:.2f}" if "RANSAC (sklearn)" in cell else "-")
        lines.append(f"| {n} | {name} | {me['median'] / others[best]['median']:.2f} ({best}) | "
                     f"{me['failures']:.0%} / {best_fail:.0%} | {me['median'] / cell['ols']['median']:.2f} | "
                     f"{me['ratio_ols']:.3f} | {ransac} | "
                     f"{'-' if me['coverage'] is None else format(me['coverage'], '.1%')} |")
    return "\n".join(lines)


PAIRED = "Tukey RLM (statsmodels)"


def paired_table(results: Dict[tuple, Dict[str, dict]], other: str = PAIRED, boot: int = 2000) -> str:
    """robust_polyfit against one method on the same data sets: the ratio of the
    median errors with a 90 % bootstrap interval (data sets resampled, seeded),
    and the median of the per-data-set ratios."""
    lines = [f"| n | cell | data sets | median error: robust_polyfit / {other} | 90 % bootstrap interval | "
             "per data set: median of the ratios |", "|---|---|---|---|---|---|"]
    rng = np.random.default_rng(12345)
    for (n, name), cell in results.items():
        if ME not in cell or other not in cell:
            continue
        a, b = cell[ME]["errors"], cell[other]["errors"]
        ok = np.isfinite(a) & np.isfinite(b)
        a, b = a[ok], b[ok]
        idx = rng.integers(0, a.size, (boot, a.size))
        ratios = np.median(a[idx], axis=1) / np.median(b[idx], axis=1)
        lo, hi = np.quantile(ratios, [0.05, 0.95])
        lines.append(f"| {n} | {name} | {a.size} | {np.median(a) / np.median(b):.3f} | {lo:.3f} - {hi:.3f} | "
                     f"{np.median(a / np.maximum(b, 1e-300)):.3f} |")
    return "\n".join(lines)


def collapse_table(sets: Sequence[tuple]) -> str:
    """The smallest set robust_polyfit rested on, per n, over every fit on
    contaminated data, against h = floor((n + p + 1) / 2) and ceil(n / 2), and
    the cells of the fits below h (with 50 % one-sided outliers the clean
    points are n / 2 < h: there a set below h is the right answer)."""
    lines = ["| n | fits on contaminated data | smallest set (p) | h = floor((n+p+1)/2) | "
             "fits below h | fits below ceil(n/2) | smallest set - h | cells of the fits below h |",
             "|---|---|---|---|---|---|---|---|"]
    for n in sorted({s[0] for s in sets}):
        rows = [s for s in sets if s[0] == n]
        p = np.array([r[1] for r in rows])
        m = np.array([r[2] for r in rows])
        h = (n + p + 1) // 2
        k = int(np.argmin(m))
        below: Dict[str, int] = {}
        for r, b in zip(rows, m < h):
            if b:
                below[r[3] if len(r) > 3 else "?"] = below.get(r[3] if len(r) > 3 else "?", 0) + 1
        cells = ", ".join(f"{c} ({k_})" for c, k_ in below.items()) or "-"
        lines.append(f"| {n} | {len(rows)} | {m[k]} ({p[k]}) | {h[k]} | {int(np.sum(m < h))} | "
                     f"{int(np.sum(m < (n + 1) // 2))} | {int(np.min(m - h))} | {cells} |")
    return "\n".join(lines)


# -- the textbook data sets ------------------------------------------------------
def load_classic(name: str):
    """X (n, d), y and the row numbers (from 1) of tests/data/<name>.csv."""
    import csv
    with open(DATA / f"{name}.csv", newline="") as fh:
        rows = list(csv.reader(fh))
    header, body = rows[0], rows[1:]
    response, predictors = CLASSIC[name][:2]
    cols = [header.index(c) for c in predictors]
    X = np.array([[float(r[c]) for c in cols] for r in body])
    y = np.array([float(r[header.index(response)]) for r in body])
    return X, y, np.array([int(r[0]) for r in body])


def flaggers() -> Dict[str, Callable]:
    """name -> flag(X, y, Phi, seed) returning a boolean mask of the rows flagged."""
    from sklearn.linear_model import HuberRegressor, LinearRegression, RANSACRegressor
    fits = methods()

    def by_residual(name):
        def flag(X, y, Phi, seed):
            r = y - Phi @ coefficients(fits[name](X, y, 1, Phi, seed))[0]
            return np.abs(r) > 2.5 * 1.4826 * np.median(np.abs(r - np.median(r)))
        return flag

    out: Dict[str, Callable] = {}
    for name in fits:
        out[name] = by_residual(name)
    out[ME] = lambda X, y, Phi, seed: ~robust_polyfit(X if X.shape[1] > 1 else X[:, 0], y, 1, seed=seed).inliers
    out["RANSAC (sklearn)"] = lambda X, y, Phi, seed: ~RANSACRegressor(
        LinearRegression(fit_intercept=False), random_state=seed).fit(Phi, y).inlier_mask_
    out["Huber (sklearn)"] = lambda X, y, Phi, seed: HuberRegressor(
        alpha=0.0, fit_intercept=False, max_iter=1000).fit(Phi, y).outliers_
    return out


def compact(rows: Sequence[int]) -> str:
    """1, 2, 3, 5 -> "1-3, 5"."""
    rows = sorted(rows)
    if not rows:
        return "none"
    parts, start = [], rows[0]
    for a, b in zip(rows, rows[1:] + [None]):
        if b != a + 1:
            parts.append(str(start) if start == a else f"{start}-{a}")
            start = b
    return ", ".join(parts)


def run_classic(seeds: Sequence[int] = CLASSIC_SEEDS, only: Sequence[str] | None = None) -> Dict[tuple, dict]:
    """(data set, method) -> the rows flagged per seed and the seeds that flag
    every documented row (and keep the documented good leverage rows); `only`:
    those methods."""
    flag = flaggers()
    if only is not None:
        flag = {k: v for k, v in flag.items() if k in only}
    out: Dict[tuple, dict] = {}
    for data, (_, predictors, documented, good) in CLASSIC.items():
        X, y, names = load_classic(data)
        Phi = monomials(X, polynomial_terms(X.shape[1], 1))
        for method, f in flag.items():
            flagged = []
            for seed in seeds:
                try:
                    with warnings.catch_warnings():
                        warnings.simplefilter("ignore")
                        mask = np.asarray(f(X, y, Phi, seed), dtype=bool)
                    flagged.append(tuple(int(r) for r in names[mask]))
                except Exception as exc:  # a method that gives up flags nothing
                    flagged.append(None)
                    print(f"  {method} on {data}: {type(exc).__name__}: {exc}", file=sys.stderr)
            hit = [f is not None and set(documented) <= set(f) for f in flagged]
            kept = [f is not None and not (set(good) & set(f)) for f in flagged]
            out[(data, method)] = {"flagged": flagged, "all": sum(hit), "kept": sum(kept), "seeds": len(seeds),
                                   "documented": documented, "good": good}
    return out


def classic_table(res: Dict[tuple, dict]) -> str:
    lines = ["| data set (documented rows) | method | rows flagged (seed 0; other seeds' if different) | "
             "seeds flagging every documented row | seeds keeping the good leverage rows |",
             "|---|---|---|---|---|"]
    for (data, method), v in res.items():
        first = v["flagged"][0]
        shown = "fails" if first is None else compact(first)
        differ = [k for k, f in enumerate(v["flagged"]) if f != first]
        if differ:  # a short list of the other seeds' rows, else which seeds differ
            other = sorted({v["flagged"][k] for k in differ}, key=lambda f: (f is None, f or ()))
            text = "; ".join("fails" if f is None else compact(f) for f in other)
            shown += f"; {text}" if len(text) <= 40 else f"; other rows in seeds {', '.join(map(str, differ))}"
        good = f"{v['kept']}/{v['seeds']} (rows {compact(v['good'])})" if v["good"] else "-"
        lines.append(f"| {data} ({compact(v['documented'])}) | {method} | {shown} | "
                     f"{v['all']}/{v['seeds']} | {good} |")
    return "\n".join(lines)


def degree_table(results: Dict[tuple, Dict[str, float]]) -> str:
    rules = list(next(iter(results.values())))
    lines = ["| n | cell | " + " | ".join(rules) + " |", "|---|---|" + "---|" * len(rules)]
    for (n, name), cell in results.items():
        best = max(v for k, v in cell.items() if k != DEGREE_ORACLE)
        cells = [f"**{v:.1%}**" if v >= best and k != DEGREE_ORACLE else f"{v:.1%}" for k, v in cell.items()]
        lines.append(f"| {n} | {name} | " + " | ".join(cells) + " |")
    return "\n".join(lines)


def run(sizes: Sequence[int], cells: Sequence[str], datasets: int, datasets_large: int,
        degrees: bool = True, degree_sizes: Sequence[int] | None = None, classic: bool = True,
        only: Sequence[str] | None = None, degree_cells: Sequence[str] = DEGREE_DEFAULT,
        degree_only: Sequence[str] | None = None, record: Dict[str, list] | None = None) -> str:
    """The report; `record` (if given) receives robust_polyfit's figures:
    "cells", "degree" and "classic", lists of plain dicts."""
    fits = methods()
    if only is not None:  # least squares stays: the per-data-set ratios need it
        fits = {k: v for k, v in fits.items() if k == "ols" or k in only}
    results: Dict[tuple, Dict[str, dict]] = {}
    t0 = time.perf_counter()
    del SETS[:]
    for n in sizes:
        count = datasets_large if n >= 3000 else datasets
        for name in cells:
            results[(n, name)] = run_cell(n, CELLS[name], count, fits, seed=n + 7919 * list(CELLS).index(name))
            print(f"  done: peers n={n} {name} ({count} data sets)", file=sys.stderr)
    counts = ", ".join(f"{datasets_large if n >= 3000 else datasets} at n = {n}" for n in sizes)
    parts = [f"Robust fits against their peers ({counts} data sets per cell; times from one process, "
             "methods in turns):", "", results_table(results), "", goals_table(results)] if results else []
    if results and any(PAIRED in cell for cell in results.values()):
        parts += ["", f"robust_polyfit against {PAIRED}, paired on the same data sets:", "", paired_table(results)]
    if degrees:
        rules = degree_rules()
        if degree_only is not None:
            rules = {k: v for k, v in rules.items() if k in degree_only}
        dres: Dict[tuple, Dict[str, float]] = {}
        dsizes = sizes if degree_sizes is None else degree_sizes
        dcounts = ", ".join(f"{datasets_large if n >= 3000 else datasets} at n = {n}" for n in dsizes)
        for n in dsizes:
            count = datasets_large if n >= 3000 else datasets
            for name in degree_cells:
                dres[(n, name)] = run_degree_cell(n, DEGREE_CELLS[name], count, rules, seed=10 * n + len(name))
                print(f"  done: degree n={n} {name}", file=sys.stderr)
        parts += ["", f"Share of data sets ({dcounts} per cell) whose true degree (1 to 5 unless the cell says) each rule picks "
                  f"among 0 .. {MAX_DEG}:",
                  "", degree_table(dres)]
    if SETS:
        parts += ["", "Smallest set a robust_polyfit fit rested on (`n_inliers`), over its fits on "
                  "contaminated data (the degree table's included when it runs):", "", collapse_table(SETS)]
    if classic:
        cres = run_classic(only=only)
        parts += ["", f"The textbook data sets (degree 1; seeds {CLASSIC_SEEDS[0]}-{CLASSIC_SEEDS[-1]}); "
                  "robust_polyfit: ~inliers, RANSAC: ~inlier_mask_, Huber: outliers_, the others: "
                  "|residual| > 2.5 x 1.4826 x MAD of their residuals:", "", classic_table(cres)]
    if record is not None:
        record["search"] = [dict(SEARCH[0].__dict__)] if SEARCH else [None]
        record["cells"] = [dict(n=n, cell=name, **{k: v for k, v in res[ME].items()
                                                     if k not in ("times", "errors")}) for (n, name), res in results.items() if ME in res]
        record["degree"] = [dict(n=n, cell=name, share=res[AUTO]) for (n, name), res in
                            (dres.items() if degrees else ()) if AUTO in res]
        record["classic"] = [dict(data=data, seed=k, flagged=f) for (data, method), v in
                             (cres.items() if classic else ()) if method == ME for k, f in enumerate(v["flagged"])]
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
        return run([60], ["clean", "20%", "leverage 20% deg 2"], 6, 2, degrees=False)
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
    ap.add_argument("--degree-sizes", default=None, help="comma-separated n of the degree table (default: --sizes)")
    ap.add_argument("--degree-cells", default=",".join(DEGREE_DEFAULT),
                    help="comma-separated cells of the degree table, of: " + ", ".join(DEGREE_CELLS).replace("%", "%%"))
    ap.add_argument("--degree-rules", default=None,
                    help="comma-separated rules of the degree table (default: all; the cross-validated ones are slow)")
    ap.add_argument("--no-classic", action="store_true", help="skip the table of the textbook data sets")
    ap.add_argument("--methods", default=None,
                    help="comma-separated methods of the cells (least squares always runs; default: all)")
    ap.add_argument("--search", default=None,
                    help="search settings of every robust_polyfit call, e.g. n_chains=10,n_warmup=100")
    ap.add_argument("--seed-offset", type=int, default=0,
                    help="added to every robust_polyfit seed: the same data, other searches")
    ap.add_argument("--json", default=None, help="write robust_polyfit's figures per cell to this file")
    args = ap.parse_args(argv)
    del SEARCH[:]
    SEED_OFFSET[0] = args.seed_offset
    if args.search is not None:
        try:
            SEARCH.append(parse_search(args.search))
        except ValueError as err:
            ap.error(str(err))
    if args.quick:
        print(report(True))
        return 0
    sizes = [int(s) for s in args.sizes.split(",")]
    cells = [c for c in args.cells.split(",") if c]  # --cells "": the degree table alone
    degree_cells = [c for c in args.degree_cells.split(",") if c]
    unknown = [c for c in cells if c not in CELLS] + [c for c in degree_cells if c not in DEGREE_CELLS]
    if unknown:
        ap.error(f"unknown cell(s) {unknown}; known: {', '.join(CELLS)}")
    degree_sizes = None if args.degree_sizes is None else [int(s) for s in args.degree_sizes.split(",")]
    only = None if args.methods is None else args.methods.split(",")
    if only is not None and not set(only) <= set(METHOD_NAMES):
        ap.error(f"unknown method(s) {sorted(set(only) - set(METHOD_NAMES))}; known: {', '.join(METHOD_NAMES)}")
    record: Dict[str, list] = {}
    print(run(sizes, cells, args.datasets, args.datasets_large, not args.no_degree,
              degree_sizes, not args.no_classic, only, degree_cells,
              None if args.degree_rules is None else args.degree_rules.split(","), record))
    if args.json is not None:
        import json
        with open(args.json, "w") as fh:
            json.dump(record, fh, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
