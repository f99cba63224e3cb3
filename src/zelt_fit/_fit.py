"""`robust_polyfit`: scale, search, consensus refit, back to the original units."""
from __future__ import annotations

import warnings
from typing import Optional, Sequence, Union

import numpy as np

from . import _checks, _engine
from ._passes import ArrayRows, Evaluation
from ._refit import Columns, Penalty, Stage1, best_start, biweight_start, consensus_rounds, robust_refit
from ._result import PolyFit
from ._terms import as_terms, is_closed, polynomial_terms
from ._units import fit_scaling

__all__ = ["robust_polyfit", "SEARCH_POINTS", "PLOT_POINTS", "MAX_DEG"]

# Above this many points the search runs on a subset spread over the data (the
# consensus set and the refit use every point): its cost grows with n, while
# finding the right set of points does not need all of them. Measured in one
# variable: at n = 10 000 a 2000-point search gave the same results as the
# full one in 40 % of its time.
SEARCH_POINTS = 2000
# A fit keeps at most this many of its points, spread over the data, to draw.
PLOT_POINTS = 5000

# Candidates of deg="auto": 0 .. max_deg, by default 7 in one variable and less
# in several, where the search's cost grows with the number of terms.
MAX_DEG = 7


def default_max_deg(d: int, basis: str, n: int) -> int:
    """7 in one variable; in several the largest degree whose basis has at most
    20 terms (4 in two variables, 3 in three; a tensor basis 3 and 2), and
    never more terms than n - 1."""
    from ._terms import _count_total

    def count(deg: int) -> int:
        return _count_total(d, deg) if basis != "tensor" else (deg + 1) ** d

    top = MAX_DEG if d == 1 else max(k for k in range(MAX_DEG + 1) if k <= 1 or count(k) <= 20)
    while top > 0 and count(top) > max(n - 1, 1):
        top -= 1
    return top

Degree = Union[int, str, Sequence[int], Sequence[Sequence[int]], np.ndarray]


def _morton_order(U: np.ndarray) -> np.ndarray:
    """Order of the points along a Z-order (Morton) curve through [-1, 1]^d:
    the bits of the quantised coordinates interleaved, so that points close in
    the order are close in space."""
    n, d = U.shape
    bits = max(1, min(21, 63 // d))
    q = np.clip(((U + 1.0) * 0.5 * (2 ** bits)).astype(np.int64), 0, 2 ** bits - 1).astype(np.uint64)
    code = np.zeros(n, dtype=np.uint64)
    for b in range(bits):
        for j in range(d):
            code |= ((q[:, j] >> np.uint64(b)) & np.uint64(1)) << np.uint64(b * d + j)
    return np.argsort(code, kind="stable")


def spread_subset(U: np.ndarray, size: int) -> np.ndarray:
    """Indices of `size` points spread evenly over the data: every (n / size)-th
    point in the order of x in one variable, along a Z-order curve in several
    (in one variable the two orders agree up to ties)."""
    n, d = U.shape
    order = np.argsort(U[:, 0], kind="stable") if d == 1 else _morton_order(U)
    return order[np.linspace(0, n - 1, size).round().astype(np.int64)]


def _terms_of(deg: Degree, basis: str, d: int, max_deg: Optional[int] = None, n: int = 0):
    """(terms, degree, basis name, auto) from a degree and a basis, "auto", or explicit terms."""
    if isinstance(deg, str) and deg == "auto":
        if basis not in ("total", "tensor"):
            polynomial_terms(d, 0, basis)   # the message for a bad basis
        top = default_max_deg(d, basis, n) if max_deg is None else _checks.as_degree(max_deg, "max_deg")
        return polynomial_terms(d, top, basis), top, basis, True
    if isinstance(deg, (str, bytes)):
        raise ValueError(f"deg must be a non-negative integer, 'auto' or an array of multi-indices, got {deg!r}")
    if np.ndim(deg) == 0:
        degree = _checks.as_degree(deg)
        return polynomial_terms(d, degree, basis), degree, basis, False
    if basis != "total":
        raise ValueError("give either a degree with a basis or explicit terms as deg, not both")
    terms = as_terms(deg, d)
    return terms, int(terms.sum(axis=1).max()), "explicit", False


def term_degrees(terms: np.ndarray, basis: str) -> np.ndarray:
    """Degree of each term as its basis counts it: total, or largest power for tensor."""
    return terms.max(axis=1) if basis == "tensor" else terms.sum(axis=1)


def robust_polyfit(x: object, y: object, deg: Degree, *, basis: str = "total", max_deg: Optional[int] = None,
                   seed: int = 42, slope: float = 0.0, curvature: float = 0.0,
                   search_points: int = SEARCH_POINTS,
                   search: Optional[_engine.SearchSettings] = None) -> PolyFit:
    """Robust polynomial fit in any units and any number of variables.

    Each variable is mapped to [-1, 1] and y is centred on its median and
    divided by its median absolute deviation; the tournament MCMC search of
    ``zelt_core`` finds the coefficients of lowest MDL energy on that scaled
    problem, and the points inside its tolerance band start the refit: least
    squares, the set redrawn at 4 residual scales until it stops changing, then
    Huber's M-estimate over the set, with the noise modelled along the variables
    where it varies. Coefficients, covariance and predictions come back in the
    original units; the answer does not depend on the units or origins of x and y.

    Parameters
    ----------
    x : array-like, shape (n,) or (n, d)
        The variables: one (n,) or d columns (NumPy array, list, pandas Series
        or DataFrame).
    y : array-like, shape (n,)
        The observations.
    deg : int, "auto" or array-like of int
        The degree, a non-negative integer: in one variable the powers 0 .. deg;
        in d variables the basis below. ``"auto"``: the degree from 0 to
        `max_deg` that minimises a robust information criterion (every point's
        squared standardised residual, capped at 16, plus log(n) per
        coefficient; ``summary()`` lists every candidate's). Or explicit terms:
        a (p, d) array of multi-indices (in one variable a list of powers), e.g.
        ``[[0, 0], [1, 0], [0, 1], [1, 1]]``.
    basis : {"total", "tensor"}
        In several variables: every multi-index of total degree <= deg
        ("total"), or every multi-index with each power <= deg ("tensor").
    max_deg : int, optional
        Largest candidate of ``deg="auto"``: by default 7 in one variable, in
        several the largest degree whose basis has at most 20 terms (4 in
        two variables, 3 in three), and never more terms than n - 1.
    seed : int
        Seed of the search (a fit is a pure function of its inputs and seed).
    slope, curvature : float
        Smoothness weights of the refit, which then minimises the mean squared
        scaled residual plus ``slope`` times the integral of the squared gradient
        plus ``curvature`` times that of the squared second derivatives (the
        whole Hessian in several variables), over the data's box mapped to
        [-1, 1]^d. For high degrees and extrapolation. The fit is then least
        squares on the consensus set, and its intervals are those of the
        penalised estimate: they do not include its bias.
    search_points : int
        Above this many points the search runs on that many, spread over the
        data; the refit always uses every point.
    search : SearchSettings, optional
        Settings of the tournament search (chains, steps; ``seed`` replaces its seed).

    Returns
    -------
    PolyFit

    Raises
    ------
    ValueError
        NaN or infinity in x or y, lengths that differ, a negative or
        non-integer degree, fewer points than coefficients, a constant
        variable, input of more than two dimensions.

    Examples
    --------
    >>> import numpy as np
    >>> from zelt_fit import robust_polyfit
    >>> rng = np.random.default_rng(1)
    >>> years = np.linspace(1990.0, 2020.0, 120)
    >>> francs = 150_000 + 2_000 * (years - 2005) + rng.normal(0, 500, 120)
    >>> francs[::4] += 40_000                         # a quarter of the readings wrong
    >>> fit = robust_polyfit(years, francs, "auto")
    >>> fit.degree, bool(abs(fit.coef[1] - 2_000) < 50), fit.n_inliers
    (1, True, 90)
    >>> yhat, lo, hi = fit.predict([2021.0], interval="prediction")
    """
    names = _checks.feature_names_of(x)
    X, v_raw = _checks.check_xy(x, y)
    n, d = X.shape
    terms, degree, basis_name, auto = _terms_of(deg, basis, d, max_deg, n)
    p = terms.shape[0]
    if n < p:
        what = f"the candidate of degree {degree} has" if auto else "the model has"
        raise ValueError(f"fewer points than coefficients: n_samples = {n}, but {what} {p} terms")
    _checks.require_varying(X, terms.max(axis=0) > 0, _checks.variable_names(d, names))
    return fit_arrays(X, v_raw, terms, degree, basis_name, names, seed=seed, slope=slope,
                      curvature=curvature, search_points=search_points, search=search, auto=auto)


def _finish(X, v_raw, terms, degree, basis_name, names, scaling, U, refit, found, slope, curvature,
            inliers, degree_table=None, start=None):
    """PolyFit in the original units from a refit on the scaled problem."""
    n, d = X.shape
    A = scaling.to_original(terms)
    ys = scaling.y_scale
    coef = ys * (A @ refit.coef)
    search_coef = ys * (A @ found.coef) if found is not None else np.full(terms.shape[0], np.nan)
    zero = np.flatnonzero(np.all(terms == 0, axis=1))
    if zero.size:
        coef[zero[0]] += scaling.y_center
        search_coef[zero[0]] += scaling.y_center
    cov_scaled = refit.sigma ** 2 * refit.cov_unit
    cov = ys * ys * (A @ cov_scaled @ A.T)
    keep = np.linspace(0, n - 1, PLOT_POINTS).round().astype(np.int64) if n > PLOT_POINTS else np.arange(n)
    extra = {"plot_x": X[keep, 0].copy(), "plot_y": v_raw[keep].copy(),
             "plot_inliers": inliers[keep].copy()} if d == 1 else {}
    extra["variance_model"] = refit.final.g
    extra["start"] = start
    extra["estimate"] = ("least squares, penalised" if slope or curvature else
                         "least squares" if found is None else "Huber M-estimate")
    if degree_table is not None:
        extra["degrees"] = degree_table
    if names is None or len(names) != d:
        names = ["x"] if d == 1 else [f"x{j}" for j in range(d)]
    return PolyFit(coef=coef, terms=terms, inliers=inliers, scale=refit.scale * ys, cov=cov,
                   degree=degree, basis=basis_name, dof=refit.dof, rounds=refit.rounds,
                   search_coef=search_coef,
                   search_energy=found.energy if found is not None else float("nan"),
                   coef_scaled=refit.coef, cov_scaled=cov_scaled, scaling=scaling,
                   feature_names=names, slope=slope, curvature=curvature, extra=extra)


def _scaled_problem(X, v_raw, terms):
    closed = is_closed(terms)
    constant = bool(np.any(np.all(terms == 0, axis=1)))
    scaling = fit_scaling(X, v_raw, closed, constant, _engine.mad)
    U = scaling.u(X)
    return scaling, U, _engine.design(terms, U), scaling.v(v_raw)


def _penalty(terms, slope, curvature) -> Penalty:
    if not (np.isfinite(slope) and np.isfinite(curvature)) or slope < 0 or curvature < 0:
        raise ValueError(f"slope and curvature must be finite and non-negative, got {slope!r}, {curvature!r}")
    if not (slope or curvature):
        return Penalty()
    R1, R2 = _engine.penalty_matrices(terms)
    return Penalty(float(slope), float(curvature), R1, R2)


def inlier_mask(Phi: np.ndarray, v: np.ndarray, U: np.ndarray, ev: Evaluation) -> np.ndarray:
    _, t, _ = ev.residuals(Phi, v, U)
    return np.abs(t) <= ev.cut


def choose_degree(run, terms: np.ndarray, basis: str, band: Evaluation, top_s1: Stage1,
                  penalty: Penalty, n: int):
    """deg="auto": the consensus rounds of every candidate degree from one
    start, and the candidate of least sum_i min(r_i^2 / s^2, CUT^2) + p log n,
    s the largest candidate's residual scale. Every point counts in every
    candidate (a point outside a candidate's set pays CUT^2), so candidates are
    compared on the same data, which the BIC of each candidate's own set does
    not do."""
    degrees = term_degrees(terms, basis)
    top = int(degrees.max())
    width = terms.shape[0]
    first = run(band)
    sigma = top_s1.sigma if top_s1.sigma > 0 else 1e-300
    cands = {}
    for deg in range(top, -1, -1):
        index = np.flatnonzero(degrees <= deg)
        cols = Columns(index, width, penalty)
        s1 = top_s1 if deg == top else consensus_rounds(run, cols, band, first, clip=sigma)
        clipped = s1.clipped
        if deg == top or not np.isfinite(clipped):
            clipped = run(Evaluation(s1.coef, np.inf), clip=sigma).clipped
        m = max(s1.count, 1)
        bic = m * np.log(max(s1.rss, 1e-300) / m) + cols.p * np.log(m)
        cands[deg] = (cols, s1, clipped + cols.p * np.log(n), bic)
    best = min(cands, key=lambda k: (cands[k][2], k))
    table = [{"degree": k, "terms": cands[k][0].p, "criterion": float(cands[k][2]), "bic": float(cands[k][3]),
              "inliers": int(cands[k][1].count)} for k in sorted(cands)]
    return best, cands[best][0], cands[best][1], table


def fit_arrays(X: np.ndarray, v_raw: np.ndarray, terms: np.ndarray, degree: int, basis_name: str,
               names, *, seed: int = 42, slope: float = 0.0, curvature: float = 0.0,
               search_points: int = SEARCH_POINTS,
               search: Optional[_engine.SearchSettings] = None, auto: bool = False) -> PolyFit:
    """robust_polyfit on checked arrays: X (n, d) and y (n,) finite, n >= p."""
    n, d = X.shape
    p = terms.shape[0]
    penalty = _penalty(terms, slope, curvature)
    search_points = int(search_points)
    if search_points < p:
        raise ValueError(f"search_points = {search_points} is fewer than the {p} coefficients")
    scaling, U, Phi, v = _scaled_problem(X, v_raw, terms)

    settings = search if search is not None else _engine.SearchSettings()
    settings = _engine.SearchSettings(**{**settings.__dict__, "seed": int(seed)})
    subset = spread_subset(U, search_points) if n > search_points else slice(None)
    found = _engine.search(Phi[subset], v[subset], settings)
    # the search's consensus set: the points inside the band its energy counts,
    # and a second start from the biweight on the same points
    band = Evaluation(found.coef, _engine.tolerance(v))
    sub = np.arange(n) if isinstance(subset, slice) else subset
    starts = [band, biweight_start(Phi[sub], v[sub], p, np.arange(p))]
    run = ArrayRows(Phi, v, U)
    cols = Columns(np.arange(p), p, penalty)
    chosen_start, s1, crit = best_start(run, cols, starts)
    table = None
    if auto:
        degree, cols, s1, table = choose_degree(run, terms, basis_name, starts[chosen_start], s1, penalty, n)
    refit = robust_refit(run, cols, band, stage1=s1, robust=not penalty.active)
    if refit.dof <= 0:
        warnings.warn(f"the consensus set of {refit.n_inliers} points leaves no degrees of "
                      "freedom: standard errors and intervals are undefined (NaN)", RuntimeWarning,
                      stacklevel=3)
    chosen = terms[cols.index]
    found_chosen = _engine.SearchOutcome(found.coef[cols.index], found.energy)
    inliers = inlier_mask(Phi, v, U, refit.final)
    return _finish(X, v_raw, chosen, degree, basis_name, names, scaling, U, refit, found_chosen,
                   slope, curvature, inliers, table, ("search band", "biweight")[chosen_start])


def minimum_norm_fit(X: np.ndarray, v_raw: np.ndarray, terms: np.ndarray, degree: int,
                     basis_name: str, names, *, slope: float = 0.0, curvature: float = 0.0) -> PolyFit:
    """Least squares of all points, minimum-norm in the scaled basis where the
    design has fewer rows than columns: where no outlier can be told from an
    inlier. No search; every point an inlier."""
    penalty = _penalty(terms, slope, curvature)
    scaling, U, Phi, v = _scaled_problem(X, v_raw, terms)
    p = terms.shape[0]
    run = ArrayRows(Phi, v, U)
    everything = Evaluation(np.zeros(p), np.inf)
    s1 = Stage1(np.zeros(p), everything, X.shape[0], 0.0, 0, 0.0)
    refit = robust_refit(run, Columns(np.arange(p), p, penalty), everything, stage1=s1, robust=False)
    inliers = np.ones(X.shape[0], dtype=bool)
    return _finish(X, v_raw, terms, degree, basis_name, names, scaling, U, refit, None,
                   slope, curvature, inliers)
