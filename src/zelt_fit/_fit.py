"""`robust_polyfit`: scale, search, consensus refit, back to the original units."""
from __future__ import annotations

from typing import Any, Optional, Sequence, Tuple, Union, cast

import numpy as np

from . import _checks, _compiled, _engine, _missing, _weights
from ._passes import Evaluation, block_stats
from ._problem import SCALE_POINTS, SORT_POINTS, ArrayProblem, DaskProblem, LazyWeights, is_dask, stride_subset
from ._sest import C_MM, m_scale_one, s_estimate
from ._refit import CUT, Columns, Penalty, Refit, Stage1, best_start, biweight_start, consensus_rounds, robust_refit
from ._result import PolyFit
from ._terms import as_terms, is_closed, polynomial_terms
from ._units import fit_scaling, require_representable

__all__ = ["robust_polyfit", "SEARCH_POINTS", "PLOT_POINTS", "MAX_DEG", "MAX_FIT_TERMS", "SEARCH_PER_TERM"]

# Above this many points the search runs on a subset spread over the data (the
# consensus set and the refit use every point): its cost grows with n, while
# finding the right set of points does not need all of them. Measured in one
# variable: at n = 10 000 a 2000-point search gave the same results as the
# full one in 40 % of its time.
SEARCH_POINTS = 2000
# singular values below this share of the largest: a direction the data do
# not determine
RANK_TOL = 1e-10
# the rank read from a Gram matrix's eigenvalues (relative to the largest)
GRAM_RANK_TOL = 1e-12
# distinct rows up to this many decide what a large fit's data determine exactly
DISTINCT_ROWS = 50_000
# A fit keeps at most this many of its points, spread over the data, to draw.
PLOT_POINTS = 5000
# Above this many points a fit forms its rows' robustness weights (eight bytes
# a row) when they are first asked for, not with the fit.
LAZY_WEIGHT_ROWS = 100_000

# Candidates of deg="auto": 0 .. max_deg, by default 7 in one variable and less
# in several, where the search's cost grows with the number of terms.
MAX_DEG = 7

# The largest model a fit takes. The search's chains move in the space of the
# coefficients, and with several hundred of them its band stops finding the
# data's structure. Measured on 3000 clean points: 5 variables, 252 terms kept
# every point in 6 s; 7 variables, 330 terms in 12 s; 3 variables, 286 terms in
# 32 s; 5 variables, 462 terms kept 4 of them (and 1024 terms 1640, in 213 s).
# Above this the fit is refused at once.
MAX_FIT_TERMS = 300
# The search's sample holds at least this many points per coefficient: measured
# on cubics with a fifth of the points wrong, n = 200, a sample of 4 points (one
# per coefficient) failed 4 times in 8 and one of 6 never did.
SEARCH_PER_TERM = 5


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


def _terms_of(deg: Degree, basis: str, d: int, max_deg: Optional[int] = None, n: int = 0):
    """(terms, degree, basis name, auto) from a degree and a basis, "auto", or explicit terms."""
    if isinstance(deg, str) and deg == "auto":
        if basis not in ("total", "tensor"):
            polynomial_terms(d, 0, basis)   # the message for a bad basis
        top = default_max_deg(d, basis, n) if max_deg is None else _checks.as_degree(max_deg, "max_deg")
        return polynomial_terms(d, top, basis), top, basis, True
    if max_deg is not None:
        raise ValueError(f"max_deg applies only to deg='auto', got max_deg={max_deg!r} with deg={deg!r}")
    if isinstance(deg, (str, bytes)):
        raise ValueError(f"deg must be a non-negative integer, 'auto' or an array of multi-indices, "
                         f"got {deg!r}{_checks.auto_hint(deg)}")
    if deg is None:
        raise ValueError("deg must be a non-negative integer, 'auto' or an array of multi-indices, got None")
    if type(deg) is int or np.ndim(deg) == 0:
        degree = _checks.as_degree(deg, auto=True)
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
                   search: Optional[_engine.SearchSettings] = None, missing: str = "raise",
                   y_name: Optional[str] = None, weights: object = None, weight_kind: str = "case",
                   progress: Optional[bool] = None) -> Any:
    """Robust polynomial fit in any units and any number of variables.

    Each variable is mapped to [-1, 1] and y is centred on its median and
    divided by its median absolute deviation; the tournament MCMC search of
    ``zelt_core`` finds the coefficients of lowest MDL energy on that scaled
    problem, and the points inside its tolerance band start the refit: least
    squares, the set redrawn at 4 residual scales until it stops changing. The
    same rounds run from Tukey's biweight and from an S-estimate (fast-S, which
    points far out in x on a wrong curve cannot pull), and the start whose set
    leaves the least M-scale of the residuals is kept. Then the MM-step:
    Tukey's bisquare M-estimate (95 % efficiency at Gaussian noise) at the set's
    scale, with the noise modelled along the variables where it varies. A fit
    never rests on fewer than half the points. Coefficients, covariance and predictions come back in the
    original units; the answer does not depend on the units or origins of x and y.

    Parameters
    ----------
    x : array-like, shape (n,) or (n, d)
        The variables: one (n,) or d columns (NumPy array, list, pandas Series
        or DataFrame).
    y : array-like, shape (n,) or (n, m)
        The observations; or m series sharing x, one per column
        (numpy.polynomial's convention), each fitted as a call with its own
        column would fit it, with the same seed: the result is then a
        :class:`BatchFit`.
    deg : int, "auto" or array-like of int
        The degree, a non-negative integer: in one variable the powers 0 .. deg;
        in d variables the basis below. ``"auto"``: the degree from 0 to
        `max_deg` that minimises a robust information criterion (every point's
        bisquare rho of its standardised residual, 2 rho(t) = t^2 near 0 and
        7.3 from 4.685 on, plus log(n) per coefficient; ``summary()`` and
        ``degree_table`` list every candidate's). Or explicit terms:
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
        data; the refit always uses every point. At least 5 per coefficient.
    search : SearchSettings, optional
        Settings of the tournament search (chains, steps; ``seed`` replaces its
        seed). By default ``SearchSettings()``, but where the search sees at
        most 300 points and at least 10 per coefficient, 100 warm-up and 50
        refinement steps: measured on generated data at n = 60 to 300, that
        moved no cell of the peer benchmark beyond the seed's own variation and
        saved a quarter of a short fit's time (see ``SearchSettings``).
    missing : {"raise", "drop"}
        Rows with NaN or infinity in x or y: ``"raise"`` refuses them (the
        message counts them and gives the first positions); ``"drop"`` fits the
        complete rows, and the fit's `n_dropped` counts the others, whose
        `inliers` are False and `weights` 0 (both keep the input's length).
    y_name : str, optional
        Name of y in the summary (by default a Series' name, or "y").
    weights : array-like, shape (n,), optional
        Case weights, finite and >= 0: a point of weight k counts as k copies
        of it (integer weights give the fit of the replicated rows), a point
        of weight 0 as absent. They enter the search's sample (a point comes
        as often as its weight asks), the units of the scaled problem, every
        sum of the refit, the scale, the covariance, the degrees of freedom
        (the weights of the set summed, less the coefficients, as statsmodels
        counts frequency weights) and the degree criterion (log of the weights
        summed per coefficient). Inverse-variance weights: numpy's ``polyfit``
        takes ``w = 1/sigma``, which is ``weights = w**2`` here, best with
        ``weight_kind="variance"``. A dropped row (``missing="drop"``, which also drops
        a row whose weight is NaN or infinite) and a row of weight 0 have
        `inliers` False and `weights` 0. The fit keeps them as `case_weights`.
        With y of shape (n, m) the weights are the rows', shared by every series.
    weight_kind : {"case", "variance"}
        What `weights` are. ``"case"`` (the default, statsmodels' frequency
        weights): counts of copies, as above. ``"variance"`` (statsmodels'
        ``var_weights``, WLS's weights): inverse variances, known up to a common
        factor: each residual is standardised by the square root of its weight
        before the robust steps see it (a point of weight 4 is flagged at half
        the residual of a point of weight 1), the degrees of freedom count
        rows, the estimate and its standard errors do not depend on the
        weights' scale, and `scale` is the noise of a point of weight 1.
        numpy's ``polyfit(x, y, deg, w=1/sigma)`` is ``weights=1/sigma**2`` with
        either kind; "variance" is the right one for measurement errors.
    progress : bool, optional
        A batch's progress bar (tqdm, when installed): by default on a batch
        of at least 2000 series; True on any batch, False never.

    Returns
    -------
    PolyFit, or BatchFit for y of shape (n, m)

    Raises
    ------
    ValueError
        NaN or infinity in x or y (unless ``missing="drop"``), lengths that
        differ, pandas x and y of different indexes, masked entries, sparse
        input, a negative or non-integer degree, fewer points than
        coefficients, more than 300 terms, a constant variable, a design the
        data do not determine (x with fewer distinct values than the degree
        needs, collinear columns), input of more than two dimensions, weights
        that are NaN or infinite (unless ``missing="drop"``), negative, all
        zero or of the wrong length, data
        whose coefficients or their variances are beyond a double's range in
        its own units (the message gives the ranges), and any setting of the
        wrong kind or range (the message names it).

    See Also
    --------
    PolyFit : the result: intervals, predictions, summary and plot.
    BatchFit : the result of many series, a column of y each.
    RobustPolynomialRegressor : the same fit as a scikit-learn estimator.
    numpy.polynomial.polynomial.polyfit : least squares, which one gross outlier can ruin.
    sklearn.linear_model.HuberRegressor : Huber's estimate over every point.
    sklearn.linear_model.RANSACRegressor : consensus sets from random subsets.

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

    Weights: a point of weight 3 counts as three copies of it.

    >>> w = np.ones(120); w[:10] = 3.0
    >>> bool(np.allclose(robust_polyfit(years, francs, 1, weights=w).coef,
    ...                  robust_polyfit(np.repeat(years, w.astype(int)), np.repeat(francs, w.astype(int)), 1).coef))
    True
    """
    missing = _missing.check_option(missing)
    label = y_name if y_name is not None else _missing.target_name(y)
    seed, slope, curvature, search_points, search = _settings(seed, slope, curvature, search_points, search)
    if progress is not None and not isinstance(progress, (bool, np.bool_)):
        raise ValueError(f"progress must be True, False or None, got {progress!r}")
    if weight_kind not in ("case", "variance"):
        raise ValueError(f"weight_kind must be 'case' or 'variance', got {weight_kind!r}")
    ndim = _ndim(y)
    if ndim > 2:
        raise ValueError(f"y must have shape (n,) or (n, m), got shape {np.shape(cast(Any, y))}")
    if ndim == 2:
        from ._batch import fit_batch

        return fit_batch(x, y, deg, missing=missing, progress=progress, y_name=y_name,
                         basis=basis, max_deg=max_deg, seed=seed, slope=slope, curvature=curvature,
                         search_points=search_points, search=search, weights=weights, weight_kind=weight_kind)
    if is_dask(x) or is_dask(y) or is_dask(weights):
        return _dask_missing(x, y, deg, missing, label, weights, basis=basis, max_deg=max_deg, seed=seed,
                             slope=slope, curvature=curvature, search_points=search_points, search=search,
                             weight_kind=weight_kind)
    _checks.same_index(x, y)
    if weights is not None:
        _checks.same_index(y, weights, "y", "weights")
    names = _checks.feature_names_of(x)
    w_all = None
    if weights is not None:
        w_all = _weights.as_weights(weights, _rows_of(y))
        if missing == "raise":
            _weights.check_weights(w_all)
    if weight_kind not in ("case", "variance"):
        raise ValueError(f"weight_kind must be 'case' or 'variance', got {weight_kind!r}")
    rows, finite = _missing.scan_rows(x, y, missing, w_all)
    w = w_all
    if rows is not None:
        x, y = rows.x, rows.y
        w = None if w_all is None else w_all[rows.complete]
    X_in, v_in = _checks.check_xy(x, y, finite=finite)
    X, v_raw, cw, kept = _weights.fitted_rows(X_in, v_in, w)
    n, d = X.shape
    terms, degree, basis_name, auto = _terms_of(deg, basis, d, max_deg, n)
    p = terms.shape[0]
    if n < p:
        what = f"the candidate of degree {degree} has" if auto else "the model has"
        raise ValueError(f"fewer points than coefficients: n_samples = {n}, but {what} {p} terms")
    _require_fit_size(terms, search_points, n)
    ranges = (X.min(axis=0), X.max(axis=0))     # taken once: the checks, the scaling and the messages
    _checks.require_varying(X, terms.max(axis=0) > 0, _checks.variable_names(d, names), ranges)
    precision = sw = None
    if weight_kind == "variance" and cw is not None:
        precision = float(np.mean(cw))
        sw, cw = np.sqrt(cw / precision), None
    fit = fit_arrays(X, v_raw, terms, degree, basis_name, names, seed=seed, slope=slope,
                     curvature=curvature, search_points=search_points, search=search, auto=auto, cw=cw, sw=sw,
                     ranges=ranges)
    if precision is not None:
        fit._to_unit_weight(precision)
    if rows is None:
        fit._attach(X_in, v_in, kept, label, dropped=0)
    else:
        used = rows.complete
        if kept is not None:
            used = used.copy()
            used[np.flatnonzero(used)[~kept]] = False
        fit._attach(rows.x_all, rows.y_all, used, label, dropped=int(np.count_nonzero(~rows.complete)))
    if w_all is not None:
        fit._set_case_weights(w_all)
    return fit


def _rows_of(y: Any) -> int:
    """The number of rows of y as given (its checks come later)."""
    shape = np.shape(y)
    return int(shape[0]) if len(shape) else 1


def _ndim(y: Any) -> int:
    """y's number of dimensions, or 1 where it cannot be read as an array (the
    fit's checks then say why)."""
    try:
        return int(np.ndim(y))
    except (TypeError, ValueError):
        return 1


def _dask_missing(x, y, deg, missing, label, weights=None, **kwargs) -> PolyFit:
    """robust_polyfit of Dask arrays, the rows with a missing value dropped
    first when asked (the fit then runs on the complete rows, and its masks are
    spread back to the input's rows lazily); case weights a Dask array chunked
    like y (or an array, chunked so), the rows of weight 0 left out the same way."""
    import dask
    import dask.array as da

    # chunk sizes a boolean index left unknown, measured once
    x = x.compute_chunk_sizes() if is_dask(x) and any(np.isnan(c) for c in x.chunks[0]) else x
    y = y.compute_chunk_sizes() if is_dask(y) and any(np.isnan(c) for c in y.chunks[0]) else y
    ref = y if is_dask(y) else x if is_dask(x) else weights
    x = x if is_dask(x) else da.from_array(np.asarray(x), chunks=(ref.chunks[0],) + np.shape(x)[1:])
    y = y if is_dask(y) else da.from_array(np.asarray(y), chunks=(x.chunks[0],))
    w = None
    if weights is not None:
        if is_dask(weights):
            w = weights.compute_chunk_sizes() if any(np.isnan(c) for c in weights.chunks[0]) else weights
            if w.ndim == 2 and w.shape[1] == 1:
                w = w[:, 0]
            if w.ndim != 1 or w.shape[0] != y.shape[0]:
                raise ValueError(f"weights must have shape ({y.shape[0]},) like y, got shape {w.shape}")
            if w.dtype.kind not in "iuf":
                raise ValueError(f"weights has dtype {w.dtype}; it must hold real numbers")
            w = w.astype(np.float64)
        else:
            w = da.from_array(_weights.as_weights(weights, int(y.shape[0])), chunks=(y.chunks[0],))
    complete = None
    dropped = 0
    shapes_ok = x.ndim in (1, 2) and y.ndim == 1 and x.shape[0] == y.shape[0]
    if shapes_ok and (missing == "drop" or w is not None):
        X = x if x.ndim == 2 else x[:, None]
        y = y.rechunk((X.chunks[0],))
        if w is not None:
            w = w.rechunk((X.chunks[0],))
        finite = _missing.dask_complete_rows(X.rechunk({1: -1}), y) if missing == "drop" else None
        if w is not None:
            wf = da.isfinite(w)
            ok = wf if finite is None else finite & wf
            negative, positive, n_ok = dask.compute(((w < 0) & ok).any(), ((w > 0) & ok).any(), ok.sum())
            if missing == "raise" and n_ok < y.shape[0]:
                _weights.check_weights(w.compute())   # the message: rows and positions
            if negative:
                _weights.check_weights(w.compute()[np.asarray(ok.compute())])
            if not positive:
                raise ValueError("weights are all zero: no row is left to fit")
            if finite is not None:
                dropped = int(y.shape[0] - int(n_ok))
            complete = ok & (w > 0)
        else:
            complete = finite
            dropped = -1
        w_fit = None if w is None else w[complete]
        fit = _dask_fit(x[complete], y[complete], deg, w=w_fit, **kwargs)
    else:
        fit = _dask_fit(x, y, deg, **kwargs)
    X = (x if x.ndim == 2 else x[:, None]).rechunk({1: -1})
    fit._attach(X, y, complete, label, dropped=None if dropped < 0 else dropped)
    if w is not None:
        fit._set_case_weights(w)
    return fit


def _settings(seed, slope, curvature, search_points, search):
    """The fit's settings checked, with messages that name them."""
    seed = _engine.check_seed(seed)
    slope, curvature = _checks.as_weight(slope, "slope"), _checks.as_weight(curvature, "curvature")
    search_points = _checks.as_count(search_points, "search_points", 1)
    if search is not None and not isinstance(search, _engine.SearchSettings):
        raise ValueError(f"search must be a SearchSettings (zelt_fit.SearchSettings(n_chains=..., ...)) "
                         f"or None, got {type(search).__name__}")
    return seed, slope, curvature, search_points, search


def _require_fit_size(terms: np.ndarray, search_points: int, n: int) -> None:
    p = terms.shape[0]
    if p > MAX_FIT_TERMS:
        raise ValueError(f"the model has {p} terms, more than the {MAX_FIT_TERMS} a robust fit can search "
                         "(its search stops finding the data's structure): lower the degree, use the total "
                         "basis instead of the tensor one, or give fewer explicit terms")
    if search_points < min(n, SEARCH_PER_TERM * p):   # (a sample of every point is no sample)
        raise ValueError(f"search_points = {search_points} is too few for the {p} coefficients: the search "
                         f"needs at least {SEARCH_PER_TERM} points per coefficient ({SEARCH_PER_TERM * p})")


def apply_in_order(A: np.ndarray, B: np.ndarray) -> np.ndarray:
    """The product A B of matrices, or of stacks of them (..., p, q) (..., q, r),
    its terms added in order of q by elementwise operations: one fit and a
    batch of fits (`_batch`) get the same bits, which a matrix product's
    blocking does not promise."""
    out = A[..., :, 0, None] * B[..., None, 0, :]
    for k in range(1, A.shape[-1]):
        out += A[..., :, k, None] * B[..., None, k, :]
    return out


def _finish(terms, degree, basis_name, names, scaling, refit, found, slope, curvature,
            inliers, n, d, plot, degree_table=None, start=None, weights=None, total=None):
    """PolyFit in the original units from a refit on the scaled problem."""
    A = scaling.to_original(terms)
    ys = scaling.y_scale
    if found is not None:   # both columns in one product: each column's sums are its own
        both = apply_in_order(A, np.stack([refit.coef, found.coef], axis=1))
        coef, search_coef = ys * both[:, 0], ys * both[:, 1]
    else:
        coef = ys * apply_in_order(A, refit.coef[:, None])[:, 0]
        search_coef = np.full(terms.shape[0], np.nan)
    zero = np.flatnonzero(np.all(terms == 0, axis=1))
    if zero.size:
        coef[zero[0]] += scaling.y_center
        search_coef[zero[0]] += scaling.y_center
    cov_scaled = (refit.sigma * refit.sigma) * refit.cov_unit
    cov = ys * ys * apply_in_order(apply_in_order(A, cov_scaled), A.T)
    extra: dict = {}
    if d == 1 and plot is not None:
        extra.update(plot_x=plot[0], plot_y=plot[1], plot_inliers=plot[2])
    extra["variance_model"] = refit.final.g
    extra["start"] = start
    extra["n_inliers"] = refit.n_inliers
    extra["weights_sum"] = float(n if total is None else total)
    extra["estimate"] = ("least squares, penalised" if slope or curvature else
                         "least squares" if found is None else "MM-estimate")
    if degree_table is not None:
        extra["degrees"] = degree_table
    if names is None or len(names) != d:
        names = ["x"] if d == 1 else [f"x{j}" for j in range(d)]
    return PolyFit(coef=coef, terms=terms, inliers=inliers, scale=refit.scale * ys, cov=cov,
                   degree=degree, basis=basis_name, dof=refit.dof, rounds=refit.rounds,
                   search_coef=search_coef,
                   search_energy=found.energy if found is not None else float("nan"),
                   coef_scaled=refit.coef, cov_scaled=cov_scaled, scaling=scaling,
                   feature_names=names, slope=slope, curvature=curvature, extra=extra, n=n,
                   robustness_weights=weights)


def _scaling(X, v_raw, terms, cw=None, ranges=None, closed=None):
    closed = is_closed(terms) if closed is None else closed
    constant = bool(np.any(np.all(terms == 0, axis=1)))
    return fit_scaling(X, v_raw, closed, constant, _engine.mad, cw, ranges)


def _penalty(terms, slope, curvature) -> Penalty:
    if not (np.isfinite(slope) and np.isfinite(curvature)) or slope < 0 or curvature < 0:
        raise ValueError(f"slope and curvature must be finite and non-negative, got {slope!r}, {curvature!r}")
    if not (slope or curvature):
        return Penalty()
    R1, R2 = _engine.penalty_matrices(terms)
    return Penalty(float(slope), float(curvature), R1, R2)


def choose_degree(run, terms: np.ndarray, basis: str, band: Evaluation, top_s1: Stage1,
                  penalty: Penalty, n: float, top: Optional[int] = None):
    """deg="auto": the consensus rounds of every candidate degree from one
    start, and the candidate of least sum_i 2 rho(r_i / s) + p log n, rho
    Tukey's bisquare (c = 4.685, as statsmodels scales it: r^2 / 2 near 0) and s
    the largest candidate's residual scale. Every point counts in every
    candidate (a point far outside a candidate's set pays c^2 / 3), so candidates are
    compared on the same data, which the BIC of each candidate's own set does
    not do."""
    degrees = term_degrees(terms, basis)
    top = int(degrees.max()) if top is None else int(top)
    width = terms.shape[0]
    # the sums of the start's pass, made by the top candidate's rounds already
    first = top_s1.first if top_s1.first is not None else run(band)
    sigma = top_s1.sigma if top_s1.sigma > 0 else 1e-300
    cands = {}
    for deg in range(top, -1, -1):
        index = np.flatnonzero(degrees <= deg)
        cols = Columns(index, width, penalty)
        s1 = top_s1 if deg == top else consensus_rounds(run, cols, band, first, clip=sigma)
        clipped = s1.clipped
        if deg == top or not np.isfinite(clipped):
            clipped = run(Evaluation(s1.coef, np.inf), clip=sigma).clipped
        m = max(s1.size, 1)
        bic = m * np.log(max(s1.rss, 1e-300) / m) + cols.p * np.log(m)
        cands[deg] = (cols, s1, clipped + cols.p * np.log(n), bic)
    best = min(cands, key=lambda k: (cands[k][2], k))
    table = [{"degree": k, "terms": cands[k][0].p, "criterion": float(cands[k][2]), "bic": float(cands[k][3]),
              "inliers": int(cands[k][1].count)} for k in sorted(cands)]
    return best, cands[best][0], cands[best][1], table


class NotIdentifiable(ValueError):
    """The data do not determine the model's coefficients."""


def _rank(A: np.ndarray) -> int:
    if A.shape[0] == 0:
        return 0
    sv = np.linalg.svd(A, compute_uv=False)
    return int(np.count_nonzero(sv > sv[0] * RANK_TOL)) if sv[0] > 0 else 0


def identifiable_degree(problem, Phi_s: np.ndarray, terms: np.ndarray, basis: str, auto: bool, names,
                        sampled: int) -> int:
    """The largest degree whose terms the data determine (their design has
    full column rank): the model's own, or a ValueError that says why not; for
    deg="auto" the largest candidate that is determined."""
    degrees = term_degrees(terms, basis)
    top = int(degrees.max())
    p = terms.shape[0]
    if _rank(Phi_s) == p:
        return top
    linear = np.flatnonzero(terms.sum(axis=1) == 1)
    distinct = np.unique(Phi_s[:, linear[0]]).size if terms.shape[1] == 1 and linear.size else None
    counted = sampled == problem.n
    if sampled < problem.n:
        # the search's points may miss values that the rest hold: the design
        # over every distinct row (its rank is every row's), where they are few
        rows = _distinct_rows(problem)
        if rows is not None:
            Phi_s = _engine.design(terms, problem.scaling.u(rows))
            if _rank(Phi_s) == p:
                return top
            counted = True
            if terms.shape[1] == 1 and linear.size:
                distinct = rows.shape[0]
        else:
            # every row's sums: a rank read from G = Phi'Phi, whose eigenvalues
            # carry rounding of about eps * lam_max, so a direction counts as
            # determined only above GRAM_RANK_TOL * lam_max (singular values
            # 1e-6 of the largest), not at RANK_TOL^2, far below that rounding
            G = problem(Evaluation(np.zeros(p), np.inf)).G
            lam = np.linalg.eigvalsh(0.5 * (G + G.T))
            if lam[0] > lam[-1] * GRAM_RANK_TOL:
                return top
            lam_r, V = np.linalg.eigh(0.5 * (G + G.T))
            # a square root of G with the directions below the level set to zero
            Phi_s = np.sqrt(np.where(lam_r > lam_r[-1] * GRAM_RANK_TOL, lam_r, 0.0))[:, None] * V.T
    while top > 0 and _rank(Phi_s[:, degrees <= top]) < np.count_nonzero(degrees <= top):
        top -= 1
    if auto:
        return top
    d = terms.shape[1]
    what = f"the data determine only {_rank(Phi_s)} of its {p} coefficients"
    if d == 1 and distinct is not None and counted:
        what += f" (x takes {distinct} distinct value{'s' if distinct != 1 else ''})"
    else:
        what += " (some terms are linear combinations of others over these points)"
    raise NotIdentifiable(f"the model is not identifiable: {what}; the largest degree the data determine is {top}. "
                     "Lower the degree, or give terms the data can tell apart")


def _distinct_rows(problem) -> Optional[np.ndarray]:
    """The distinct rows of an in-memory problem's x among the rows that count
    (weight above 0), or None where they are many or on Dask."""
    if not isinstance(problem, ArrayProblem):
        return None
    X = problem.X
    live = None
    if problem.cw is not None:
        live = problem.cw > 0
    if problem.sw is not None:
        live = problem.sw > 0 if live is None else live & (problem.sw > 0)
    if live is not None:
        X = X[live]
    rows = np.unique(X, axis=0)
    return rows if rows.shape[0] <= DISTINCT_ROWS else None


def min_set(n: float) -> float:
    """Fewest points a fit may rest on: half of them (with case weights, half
    the weights summed). A smaller set is a collapse (a few points fitted
    exactly), not a consensus."""
    return (n + 1) // 2


def _from_s_estimate(problem, cols: Columns, band: Evaluation, Phi_s, v_s, seed, penalty, refit):
    """The refit from the S-estimate of the chosen columns alone, for a fit
    whose set fell below half the points; a clear error if that falls too."""
    n = problem.n
    high = s_estimate(Phi_s[:, cols.index], v_s, int(seed))
    if high is not None and high.scale > 0:
        coef = cols.pad(high.coef)
        count = int(np.count_nonzero(np.abs(v_s - Phi_s @ coef) <= CUT * high.scale))
        s1 = Stage1(coef, Evaluation(coef, CUT * high.scale), count, high.scale, 0, 0.0)
        again = robust_refit(problem, cols, band, stage1=s1, robust=not penalty.active,
                             scale_of=lambda b: m_scale_one(v_s - Phi_s @ b))
        if again.wcount >= min_set(problem.total):
            return again
    raise no_robust_fit(n, problem.total, refit.n_inliers, cols.p)


def fit_problem(problem, terms: np.ndarray, degree: int, basis_name: str, names, *, seed: int = 42,
                slope: float = 0.0, curvature: float = 0.0, search_points: int = SEARCH_POINTS,
                search: Optional[_engine.SearchSettings] = None, auto: bool = False,
                tolerance: Optional[float] = None) -> PolyFit:
    """The fit of a problem (in memory or on Dask) whose data are checked, n >= p."""
    n, d = problem.n, terms.shape[1]
    total = problem.total     # the points as the estimate counts them (case weights summed)
    p = terms.shape[0]
    penalty = _penalty(terms, slope, curvature)
    search_points = int(search_points)
    if search_points < p:
        raise ValueError(f"search_points = {search_points} is fewer than the {p} coefficients")
    sub = problem.sample(search_points)
    settings = (_engine.default_search(len(sub), p, int(seed)) if search is None
                else _engine.SearchSettings(**{**search.__dict__, "seed": int(seed)}))
    in_memory = isinstance(problem, ArrayProblem)
    # an unweighted problem in memory searches all its rows, in order, when they are
    # few enough (`ArrayProblem.sample`): no copy of them, no count of distinct ones
    every_row = in_memory and problem.cw is None and n <= search_points
    Phi_s, v_s, U_s = problem.rows(None if every_row else sub)
    top = identifiable_degree(problem, Phi_s, terms, basis_name, auto, names, n if every_row else np.unique(sub).size)
    degrees = term_degrees(terms, basis_name)
    if in_memory and problem.compiled:
        lazy = n > LAZY_WEIGHT_ROWS
        out = _compiled.fit_series(problem.X, problem.y[:, None], terms, problem.scaling,
                                   np.array([problem.scaling.y_center]), np.array([problem.scaling.y_scale]),
                                   np.array([problem.tolerance() if tolerance is None else tolerance]), problem.cw,
                                   total, sub, Phi_s, settings, _engine._CENTRED.get(), auto, top,
                                   degrees, penalty, weights=not lazy)
        index, refit, found, chosen_start, table, chosen_degree = series_outcome(out, 0, terms, basis_name, auto,
                                                                                 n, problem.total)
        degree = chosen_degree if auto else degree
        inliers = out["inliers"][0]
        weights = (LazyWeights(problem.X, problem.y, terms, problem.scaling, refit.final) if lazy
                   else out["weights"][0])
    else:
        cols = Columns(np.flatnonzero(degrees <= top) if auto else np.arange(p), p, penalty)
        index, refit, found, chosen_start, table, degree = _fit_reference(
            problem, terms, basis_name, degree, auto, top, cols, penalty, settings, Phi_s, v_s, tolerance, seed,
            U_s if len(sub) < n else None)
        inliers, weights = problem.inliers(refit.final)
    _warn_no_dof(refit, total, n, len(index))
    chosen = terms[index]
    found_chosen = _engine.SearchOutcome(found.coef[index], found.energy)
    plot = None
    if d == 1:
        if isinstance(problem, ArrayProblem):
            if n > PLOT_POINTS:
                keep = stride_subset(n, PLOT_POINTS)
                plot = (problem.X[keep, 0].copy(), problem.y[keep].copy(), inliers[keep].copy())
            else:
                plot = (problem.X[:, 0].copy(), problem.y.copy(), inliers.copy())
        else:   # the search's sample, already on the client
            _, t, _ = refit.final.residuals(Phi_s, v_s, U_s)
            xs = problem.scaling.x_center[0] + problem.scaling.x_scale[0] * U_s[:, 0]
            plot = (xs, problem.scaling.y_center + problem.scaling.y_scale * v_s, refit.final.keeps(np.abs(t)))
    return _finish(chosen, degree, basis_name, names, problem.scaling, refit, found_chosen, slope, curvature,
                   inliers, n, d, plot, table, START_NAMES[chosen_start], weights, total)


START_NAMES = ("search band", "biweight", "S-estimate")


def no_robust_fit(n: int, total: float, best: int, p: int) -> RuntimeError:
    what = f"{n} points" if total == n else f"{n} points (weights summed: {total:.6g})"
    return RuntimeError(f"no robust fit rests on at least half of the {what} (the best found rests on "
                        f"{best}): the data do not determine the {p} coefficients robustly; "
                        "try a lower degree")


def series_outcome(out: dict, k: int, terms: np.ndarray, basis_name: str, auto: bool, n: int, total: float):
    """(columns, Refit, search outcome, start, degree table, degree) of series k
    of a compiled fit (`_compiled.fit_series`) of n rows, their weights summing
    to `total`; its error, raised, where it has none."""
    if not out["ok"][k]:
        if out["error"][k]:
            raise ValueError(out["error"][k])
        raise no_robust_fit(n, total, int(out["failed_inliers"][k]), int(out["n_columns"][k]))
    chosen = int(out["degree"][k])
    g = out["g"][k].copy() if out["has_g"][k] else None
    bisquare = float(out["bisquare"][k])
    final = Evaluation(out["final_coef"][k].copy(), float(out["final_cut"][k]), g,
                       None if bisquare != bisquare else bisquare, tuning=C_MM)
    if auto:
        index = np.flatnonzero(term_degrees(terms, basis_name) <= chosen)
        coef, cov_unit = out["coef"][k][index], out["cov_unit"][k][np.ix_(index, index)]
    else:   # every column: copies, as the selection of all of them would make
        index = np.arange(terms.shape[0])
        coef, cov_unit = out["coef"][k].copy(), out["cov_unit"][k].copy()
    refit = Refit(coef, final, int(out["n_inliers"][k]), int(out["rounds"][k]), cov_unit, float(out["sigma"][k]),
                  float(out["dof"][k]), bool(out["heteroscedastic"][k]), float(out["scale"][k]),
                  float(out["wcount"][k]))
    found = _engine.SearchOutcome(out["found_coef"][k].copy(), float(out["found_energy"][k]))
    table = None
    if auto:
        T = out["table"][k]
        table = [{"degree": j, "terms": int(T[j, 0]), "criterion": float(T[j, 1]), "bic": float(T[j, 2]),
                  "inliers": int(T[j, 3])} for j in range(T.shape[0]) if not np.isnan(T[j, 0])]
    return index, refit, found, int(out["start"][k]), table, chosen


def _warn_no_dof(refit, total: float, n: int, p: int) -> None:
    if refit.dof > 0:
        return
    if total != n:
        _checks.warn_at_caller(f"the consensus set's case weights sum to {refit.wcount:.6g}, no more than its "
                               f"{p} coefficients, so it leaves no degrees of freedom: standard errors and "
                               "intervals are undefined (NaN). Case weights count copies of a point; for "
                               "inverse variances pass weight_kind='variance'", RuntimeWarning)
    else:
        _checks.warn_at_caller(f"the consensus set of {refit.n_inliers} points leaves no degrees of "
                               "freedom: standard errors and intervals are undefined (NaN)", RuntimeWarning)


def _fit_reference(problem, terms, basis_name, degree, auto, top, cols, penalty, settings, Phi_s, v_s,
                   tolerance, seed, U_s=None):
    """The fit on the scaled problem by the NumPy reference (Dask problems,
    inverse-variance weights, and ZELT_FIT_PASS=numpy). `U_s`: the search's
    points' scaled variables where they are fewer than the rows (None: they
    are every row)."""
    total = problem.total
    p = terms.shape[0]
    P_s = Phi_s[:, cols.index]
    found = _engine.search(P_s, v_s, settings)
    found = _engine.SearchOutcome(cols.pad(found.coef), found.energy)
    # the search's consensus set: the points inside the band its energy counts,
    # and two more starts on the same points: Tukey's biweight, and the
    # S-estimate, which bad leverage points cannot pull
    band = Evaluation(found.coef, problem.tolerance() if tolerance is None else tolerance)
    starts = [band, biweight_start(P_s, v_s, p, cols.index)]
    high = s_estimate(P_s, v_s, int(seed))
    if high is not None:
        starts.append(Evaluation(cols.pad(high.coef), CUT * high.scale if high.scale > 0 else 1e-300))
    sample_scale = lambda coef: m_scale_one(v_s - Phi_s @ coef)  # noqa: E731
    if U_s is None:
        chosen_start, s1, crit = best_start(problem, cols, starts, sample_scale)
    else:
        # every start's rounds on the search's points (fewer than the rows); the
        # chosen one's set then redrawn over every row from its solve there
        def on_sample(ev, previous=None, variance=False, clip=None):
            return block_stats(Phi_s, v_s, U_s, ev, previous, variance, clip)

        chosen_start, t, crit = best_start(on_sample, cols, starts, sample_scale)
        s1 = consensus_rounds(problem, cols, Evaluation(t.coef, CUT * t.sigma if t.sigma > 0 else 1e-300))
    table = None
    if auto:
        degree, cols, s1, table = choose_degree(problem, terms, basis_name, starts[chosen_start], s1, penalty,
                                                total, top)
    refit = robust_refit(problem, cols, band, stage1=s1, robust=not penalty.active, scale_of=sample_scale)
    if refit.wcount < min_set(total):
        refit = _from_s_estimate(problem, cols, band, Phi_s, v_s, seed, penalty, refit)
    return cols.index, refit, found, chosen_start, table, degree


def _live(chunk, name: str):
    """A chunk as it is, or a clear error where it is not data: a persisted
    array's chunk is a Future of its client, and after that client has closed
    a computation without it (fit.inliers.compute(), say) receives the Future."""
    if type(chunk).__module__.split(".")[0] == "distributed":
        raise RuntimeError(f"a chunk of {name} is a {type(chunk).__name__} of a Dask client that is no longer "
                           f"running: {name} was persisted on that client, so what is computed from it "
                           "(fit.inliers) must be computed while it runs, or from data that outlives it")
    return chunk


def _dask_fit(x, y, deg, *, basis, max_deg, seed, slope, curvature, search_points, search, w=None,
              weight_kind: str = "case") -> PolyFit:
    """robust_polyfit of Dask arrays: checks and the ranges of x in one pass over
    the chunks, the search on a sample of rows, every refit round one reduction."""
    import dask
    import dask.array as da

    x = x.map_blocks(_live, "x", dtype=x.dtype) if is_dask(x) else x
    y = y.map_blocks(_live, "y", dtype=y.dtype) if is_dask(y) else y
    if is_dask(y) and any(np.isnan(c) for c in y.chunks[0]):
        y = y.compute_chunk_sizes()
    if not is_dask(x):
        x = _checks.as_features(x)
        x = da.from_array(x, chunks=(y.chunks[0], -1)) if y.ndim == 1 and len(y) == len(x) else da.from_array(x)
    if x.ndim not in (1, 2):
        raise ValueError(f"x must have shape (n,) or (n, d), got a {x.ndim}-D array of shape {x.shape}")
    if any(np.isnan(c) for c in x.chunks[0]):
        x = x.compute_chunk_sizes()
    X = x if x.ndim == 2 else x[:, None]
    X = X.rechunk({1: -1})
    if 0 in X.chunks[0] and X.shape[0] > 0:   # empty chunks (after boolean indexing) merged away
        X = X.rechunk({0: tuple(c for c in X.chunks[0] if c > 0)})
    y = y if is_dask(y) else da.from_array(_checks.as_target(y), chunks=(X.chunks[0],))
    if y.ndim != 1:
        raise ValueError(f"y must have shape (n,), got shape {y.shape}")
    if any(np.isnan(c) for c in y.chunks[0]):
        y = y.compute_chunk_sizes()
    for name, a in (("x", X), ("y", y)):
        if a.dtype.kind not in "biuf":
            raise ValueError(f"{name} has dtype {a.dtype}; it must hold real numbers")
    n, d = int(X.shape[0]), int(X.shape[1])
    if y.shape[0] != n:
        raise ValueError(f"x has {n} points but y has {y.shape[0]}")
    y = y.rechunk((X.chunks[0],))
    if w is not None:
        if any(np.isnan(c) for c in w.chunks[0]):
            w = w.compute_chunk_sizes()
        w = w.rechunk((X.chunks[0],))
    terms, degree, basis_name, auto = _terms_of(deg, basis, d, max_deg, n)
    p = terms.shape[0]
    if n < p:
        raise ValueError(f"fewer points than coefficients: n_samples = {n}, but the model has {p} terms")
    _require_fit_size(terms, search_points, n)
    finite_x, finite_y, lo, hi, ylo, yhi = dask.compute(da.isfinite(X).all(), da.isfinite(y).all(),
                                                        X.min(axis=0), X.max(axis=0), y.min(), y.max())
    if not finite_x:
        _missing.dask_raise(X, "x")
    if not finite_y:
        _missing.dask_raise(y, "y")
    used = terms.max(axis=0) > 0
    for j in np.flatnonzero((lo == hi) & used):
        raise ValueError(f"{_checks.variable_names(d, None)[j]} is constant ({float(lo[j])!r} at every point): "
                         "its powers cannot be told apart from the constant term")
    # the scaling: the exact ranges of x; y's median and MAD from the sample,
    # which only sets the units of the scaled problem (the fit is equivariant)
    sub = stride_subset(n, min(n, SCALE_POINTS))
    total: Any = None
    if w is None:
        ys, ws = np.asarray(y[sub].compute(), dtype=np.float64), None
        integral = True
    else:
        ys, ws, total, integral, ones = dask.compute(y[sub], w[sub], w.sum(), (w == da.floor(w)).all(),
                                                     (w == 1.0).all())
        ys, ws = np.asarray(ys, dtype=np.float64), np.asarray(ws, dtype=np.float64)
        if ones:
            w, ws, total = None, None, None     # every weight 1: the unweighted fit
    closed = is_closed(terms)
    constant = bool(np.any(np.all(terms == 0, axis=1)))
    scaling = fit_scaling(np.vstack([lo, hi]).astype(np.float64), ys, closed, constant, _engine.mad,
                          ws if weight_kind == "case" else None)
    require_representable(scaling, terms, (float(ylo), float(yhi)), list(zip(lo.tolist(), hi.tolist())),
                          _checks.variable_names(d, None))
    precision = None
    if w is not None and weight_kind == "variance":
        precision, total = float(total) / n, None
    problem = DaskProblem(X, y, terms, scaling, w, total, bool(integral), precision)
    with _engine.centred_search(not closed):
        fit = fit_problem(problem, terms, degree, basis_name, None, seed=seed, slope=slope,
                          curvature=curvature, search_points=search_points, search=search, auto=auto,
                          tolerance=_engine.tolerance_of_mad(scaling.v_mad))
    if precision is not None:
        fit._to_unit_weight(precision)
    return fit


def fit_arrays(X: np.ndarray, v_raw: np.ndarray, terms: np.ndarray, degree: int, basis_name: str,
               names, cw: Optional[np.ndarray] = None, sw: Optional[np.ndarray] = None,
               ranges: Optional[Tuple[np.ndarray, np.ndarray]] = None, **kwargs) -> PolyFit:
    """robust_polyfit on checked arrays: X (n, d) and y (n,) finite, n >= p;
    cw the rows' case weights (> 0), or None; sw the square roots of their
    relative precisions (inverse-variance weights over their mean), or None;
    ranges X's columns' (min, max), where the caller has taken them."""
    n = X.shape[0]
    closed = is_closed(terms)
    if ranges is None and n:
        ranges = (X.min(axis=0), X.max(axis=0))
    if n > SORT_POINTS:   # y's units from a sample of rows; x's ranges from every row
        sub = stride_subset(n, SCALE_POINTS)
        scaling = _scaling(X, v_raw[sub], terms, None if cw is None else cw[sub], ranges, closed)
    else:
        scaling = _scaling(X, v_raw, terms, cw, ranges, closed)
    _representable(X, v_raw, terms, scaling, names, ranges)
    problem = ArrayProblem(X, v_raw, terms, scaling, cw=cw, sw=sw)
    with _engine.centred_search(not closed):
        return fit_problem(problem, terms, degree, basis_name, names, **kwargs)


def _representable(X, v_raw, terms, scaling, names, ranges=None) -> None:
    if X.shape[0] == 0:
        return
    lo, hi = (X.min(axis=0), X.max(axis=0)) if ranges is None else ranges
    require_representable(scaling, terms, (float(v_raw.min()), float(v_raw.max())),
                          list(zip(lo.tolist(), hi.tolist())), _checks.variable_names(X.shape[1], names))


def minimum_norm_fit(X: np.ndarray, v_raw: np.ndarray, terms: np.ndarray, degree: int,
                     basis_name: str, names, *, slope: float = 0.0, curvature: float = 0.0,
                     cw: Optional[np.ndarray] = None) -> PolyFit:
    """Least squares of all points, minimum-norm in the scaled basis where the
    design has fewer rows than columns: where no outlier can be told from an
    inlier. No search; every point an inlier. `cw`: case weights."""
    penalty = _penalty(terms, slope, curvature)
    scaling = _scaling(X, v_raw, terms, cw)
    _representable(X, v_raw, terms, scaling, names)
    problem = ArrayProblem(X, v_raw, terms, scaling, cw=cw)
    p, n = terms.shape[0], X.shape[0]
    everything = Evaluation(np.zeros(p), np.inf)
    s1 = Stage1(np.zeros(p), everything, n, 0.0, 0, 0.0, wcount=problem.total)
    refit = robust_refit(problem, Columns(np.arange(p), p, penalty), everything, stage1=s1, robust=False)
    inliers = np.ones(n, dtype=bool)
    plot = (X[:, 0].copy(), v_raw.copy(), inliers.copy()) if X.shape[1] == 1 else None
    return _finish(terms, degree, basis_name, names, problem.scaling, refit, None, slope, curvature,
                   inliers, n, X.shape[1], plot, total=problem.total)
