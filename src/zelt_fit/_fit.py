"""`robust_polyfit`: scale, search, consensus refit, back to the original units."""
from __future__ import annotations

import warnings
from typing import Optional, Sequence, Union

import numpy as np

from . import _checks, _engine
from ._refit import Penalty, band_consensus, consensus_refit
from ._result import PolyFit
from ._terms import as_terms, is_closed, polynomial_terms
from ._units import fit_scaling

__all__ = ["robust_polyfit", "SEARCH_POINTS", "PLOT_POINTS"]

# Above this many points the search runs on a subset spread over the data (the
# consensus set and the refit use every point): its cost grows with n, while
# finding the right set of points does not need all of them. Measured in one
# variable: at n = 10 000 a 2000-point search gave the same results as the
# full one in 40 % of its time.
SEARCH_POINTS = 2000
# A fit keeps at most this many of its points, spread over the data, to draw.
PLOT_POINTS = 5000

Degree = Union[int, Sequence[int], Sequence[Sequence[int]], np.ndarray]


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


def _terms_of(deg: Degree, basis: str, d: int):
    """(terms, degree, basis name) from a degree and a basis, or explicit terms."""
    if isinstance(deg, (str, bytes)):
        raise ValueError(f"deg must be a non-negative integer or an array of multi-indices, got {deg!r}")
    if np.ndim(deg) == 0:
        degree = _checks.as_degree(deg)
        return polynomial_terms(d, degree, basis), degree, basis
    if basis != "total":
        raise ValueError("give either a degree with a basis or explicit terms as deg, not both")
    terms = as_terms(deg, d)
    return terms, int(terms.sum(axis=1).max()), "explicit"


def robust_polyfit(x: object, y: object, deg: Degree, *, basis: str = "total", seed: int = 42,
                   slope: float = 0.0, curvature: float = 0.0,
                   search_points: int = SEARCH_POINTS,
                   search: Optional[_engine.SearchSettings] = None) -> PolyFit:
    """Robust least-squares polynomial fit in any units and any number of variables.

    Each variable is mapped to [-1, 1] and y is centred on its median and
    divided by its median absolute deviation; the tournament MCMC search of
    ``zelt_core`` finds the coefficients of lowest MDL energy on that scaled
    problem, and the points inside its tolerance band are refitted by least
    squares, the set redrawn from the refit's robust residual scale (points
    within 4 scales) until it stops changing. The coefficients, their
    covariance and the predictions come back in the original units; the answer
    does not depend on the units or origins of x and y.

    Parameters
    ----------
    x : array-like, shape (n,) or (n, d)
        The variables: one (n,) or d columns (NumPy array, list, pandas Series
        or DataFrame).
    y : array-like, shape (n,)
        The observations.
    deg : int or array-like of int
        The degree, a non-negative integer: in one variable the powers 0 .. deg;
        in d variables the basis below. Or explicit terms: a (p, d) array of
        multi-indices (in one variable a list of powers), e.g.
        ``[[0, 0], [1, 0], [0, 1], [1, 1]]``.
    basis : {"total", "tensor"}
        In several variables: every multi-index of total degree <= deg
        ("total"), or every multi-index with each power <= deg ("tensor").
    seed : int
        Seed of the search (a fit is a pure function of its inputs and seed).
    slope, curvature : float
        Smoothness weights of the refit, which then minimises the mean squared
        scaled residual plus ``slope`` times the integral of the squared gradient
        plus ``curvature`` times that of the squared second derivatives (the
        whole Hessian in several variables), over the data's box mapped to
        [-1, 1]^d. For high degrees and extrapolation. The intervals are then
        those of the penalised estimate: they do not include its bias.
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
    >>> fit = robust_polyfit(years, francs, 1)
    >>> bool(abs(fit.coef[1] - 2_000) < 50), fit.n_inliers
    (True, 90)
    >>> yhat, lo, hi = fit.predict([2021.0], interval="prediction")
    """
    names = _checks.feature_names_of(x)
    X, v_raw = _checks.check_xy(x, y)
    n, d = X.shape
    terms, degree, basis_name = _terms_of(deg, basis, d)
    p = terms.shape[0]
    if n < p:
        raise ValueError(f"fewer points than coefficients: n_samples = {n}, but the model has {p} terms")
    _checks.require_varying(X, terms.max(axis=0) > 0, _checks.variable_names(d, names))
    return fit_arrays(X, v_raw, terms, degree, basis_name, names, seed=seed, slope=slope,
                      curvature=curvature, search_points=search_points, search=search)


def _finish(X, v_raw, terms, degree, basis_name, names, scaling, U, refit, found, slope, curvature):
    """PolyFit in the original units from a refit on the scaled problem."""
    n, d = X.shape
    A = scaling.to_original(terms)
    ys = scaling.y_scale
    sigma = refit.sigma
    coef = ys * (A @ refit.coef)
    search_coef = ys * (A @ found.coef) if found is not None else np.full(terms.shape[0], np.nan)
    zero = np.flatnonzero(np.all(terms == 0, axis=1))
    if zero.size:
        coef[zero[0]] += scaling.y_center
        search_coef[zero[0]] += scaling.y_center
    cov_scaled = sigma ** 2 * refit.cov_unit
    cov = ys * ys * (A @ cov_scaled @ A.T)
    keep = spread_subset(U, PLOT_POINTS) if n > PLOT_POINTS else np.arange(n)
    extra = {"plot_x": X[keep, 0].copy(), "plot_y": v_raw[keep].copy(),
             "plot_inliers": refit.inliers[keep].copy()} if d == 1 else {}
    if names is None or len(names) != d:
        names = ["x"] if d == 1 else [f"x{j}" for j in range(d)]
    return PolyFit(coef=coef, terms=terms, inliers=refit.inliers, scale=sigma * ys, cov=cov,
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


def fit_arrays(X: np.ndarray, v_raw: np.ndarray, terms: np.ndarray, degree: int, basis_name: str,
               names, *, seed: int = 42, slope: float = 0.0, curvature: float = 0.0,
               search_points: int = SEARCH_POINTS,
               search: Optional[_engine.SearchSettings] = None) -> PolyFit:
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

    start = band_consensus(Phi, v, found.coef)
    if start.sum() < p:
        # Too few points to determine the coefficients: start from all of them
        # and let the robust scale trim the set.
        start = np.ones(n, dtype=bool)
    refit = consensus_refit(Phi, v, start, penalty)
    if refit.dof <= 0:
        warnings.warn(f"the consensus set of {int(refit.inliers.sum())} points leaves no degrees of "
                      "freedom: standard errors and intervals are undefined (NaN)", RuntimeWarning,
                      stacklevel=3)
    return _finish(X, v_raw, terms, degree, basis_name, names, scaling, U, refit, found,
                   slope, curvature)


def minimum_norm_fit(X: np.ndarray, v_raw: np.ndarray, terms: np.ndarray, degree: int,
                     basis_name: str, names, *, slope: float = 0.0, curvature: float = 0.0) -> PolyFit:
    """Least squares of all points, minimum-norm in the scaled basis where the
    design has fewer rows than columns: where no outlier can be told from an
    inlier. No search; every point an inlier."""
    penalty = _penalty(terms, slope, curvature)
    scaling, U, Phi, v = _scaled_problem(X, v_raw, terms)
    everything = np.ones(X.shape[0], dtype=bool)
    refit = consensus_refit(Phi, v, everything, penalty, max_rounds=1)
    return _finish(X, v_raw, terms, degree, basis_name, names, scaling, U, refit, None,
                   slope, curvature)
