"""The compiled engine of a batch: every series that a single call would fit
with the compiled fit, fitted by `zelt_fit._kernel` in one call per chunk of
series, the series shared by the OpenMP team.

What the series share is prepared once, exactly as a single call prepares it
for each: the rows fitted, the scaled variables, the search's sample and its
design, the degree the data determine. Each series' own scaling of y is
formed for all of them at once. The outcome keeps every series' sums as
arrays; a series' `PolyFit` is made only when asked for, by the same code
that ends a single call, so it is that call's fit bit for bit.
"""
from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Callable, Dict, List, Optional

import numpy as np

from . import _checks, _compiled, _engine, _missing, _weights
from ._problem import SCALE_POINTS, SORT_POINTS, ArrayProblem, stride_subset
from ._result import PolyFit
from ._terms import is_closed
from ._units import LIMIT_EXP, Scaling, _spread, fit_scaling

__all__ = ["CompiledSeries", "fit_compiled", "CHUNK_SERIES"]

# Series per call of the kernel: the progress bar moves between calls, and a
# call's outcome arrays stay small.
CHUNK_SERIES = 256


@dataclass
class CompiledSeries:
    """The series fitted by the compiled engine: their columns, the arrays of
    the batch (rows of the batch's terms, a column per series, in the input's
    rows), and `make(j)`, the PolyFit of the j-th of them."""

    columns: np.ndarray
    coef: np.ndarray         # (p, k)
    stderr: np.ndarray       # (p, k)
    scale: np.ndarray        # (k,)
    degree: np.ndarray       # (k,)
    inliers: np.ndarray      # (n_input, k)
    weights: np.ndarray      # (n_input, k)
    n_inliers: np.ndarray    # (k,)
    n_dropped: int
    errors: Dict[int, str]   # position among `columns` -> why that series has no fit
    make: Callable[[int], PolyFit]


def _y_scaling(V: np.ndarray, X: np.ndarray, terms: np.ndarray, cw: Optional[np.ndarray]):
    """Each column's (y_center, y_scale, v_mad) as fit_scaling gives them for
    that column alone: the median and MAD of every column at once, the rare
    column whose MAD is 0 (and case weights) one at a time."""
    closed = is_closed(terms)
    constant = bool(np.any(np.all(terms == 0, axis=1)))
    n, m = V.shape
    sub = stride_subset(n, SCALE_POINTS) if n > SORT_POINTS else None
    Vs = V if sub is None else V[sub]
    if cw is not None:
        ws = cw if sub is None else cw[sub]
        parts = [fit_scaling(X[:2], Vs[:, k], closed, constant, _engine.mad, ws) for k in range(m)]
        return (np.array([s.y_center for s in parts]), np.array([s.y_scale for s in parts]),
                np.array([s.v_mad for s in parts]))
    med = np.median(Vs, axis=0)
    mad = np.median(np.abs(Vs - med), axis=0)
    if constant:
        yc = med
        ys = mad.copy()
    else:
        yc = np.zeros(m)
        ys = np.median(np.abs(Vs), axis=0)
    for k in np.flatnonzero(~(ys > 0)):   # more than half the values coincide
        ys[k] = _spread(Vs[:, k], float(yc[k]), 0.0)
    return yc, ys, mad / ys


def _representable(scaling: Scaling, terms: np.ndarray, V: np.ndarray, yc: np.ndarray, ys: np.ndarray) -> np.ndarray:
    """The columns whose fit is surely representable in their units (the
    checks of `require_representable`, for every column at once, with a margin:
    a column near a limit goes to the single call, which says why)."""
    margin = 1e-6
    with np.errstate(divide="ignore", invalid="ignore", over="ignore"):
        e_y = np.log10(ys)
        top_v = np.maximum(np.abs(V.min(axis=0) - yc), np.abs(V.max(axis=0) - yc)) / ys
    ok = (np.abs(e_y) <= LIMIT_EXP - margin) & np.isfinite(top_v) & (top_v <= 10.0 ** (LIMIT_EXP - margin))
    e_h = [np.log10(float(h)) if h > 0 else -np.inf for h in scaling.x_scale]
    e_c = [np.log10(abs(float(c)) + float(h)) if c != 0 else e_h[j]
           for j, (c, h) in enumerate(zip(scaling.x_center, scaling.x_scale))]
    for t in terms.tolist():
        own = -sum(k * e_h[j] for j, k in enumerate(t) if k)
        spread = sum(k * (e_c[j] - e_h[j]) for j, k in enumerate(t) if k)
        for order in (own + 0.0 * e_y, e_y + own, e_y + spread):
            ok &= np.abs(order) <= LIMIT_EXP - margin
    return ok


def fit_compiled(x: Any, Y: np.ndarray, deg: Any, todo: np.ndarray, settings: Dict[str, Any], missing: str,
                 y_name: Optional[str], names: Optional[List[str]], bar) -> Optional[CompiledSeries]:
    """The compiled fits of the columns `todo` of Y that a single call would fit
    compiled and that share their rows (no missing value of their own); None
    when none can (the caller then fits every series alone)."""
    from ._fit import (START_NAMES, NotIdentifiable, _finish, _penalty, _terms_of, apply_in_order,
                       identifiable_degree, series_outcome, term_degrees)

    weights = settings.get("weights")
    if not _compiled.enabled() or (weights is not None and settings.get("weight_kind") == "variance"):
        return None
    n_input = Y.shape[0]
    w_all = None if weights is None else _weights.as_weights(weights, n_input)
    Xf = _missing._floats(x)
    if Xf is None or Xf.ndim not in (1, 2) or Xf.shape[0] != n_input:
        return None
    complete = np.isfinite(Xf) if Xf.ndim == 1 else np.all(np.isfinite(Xf), axis=1)
    if w_all is not None:
        complete &= np.isfinite(w_all)
    columns = todo[np.all(np.isfinite(Y[complete][:, todo]), axis=0)] if todo.size else todo
    if columns.size == 0:
        return None
    try:
        X_in = _checks.as_features(x) if complete.all() else _checks.as_features(Xf[complete])
        w = None if w_all is None else (w_all if complete.all() else w_all[complete])
        V_in = Y[complete][:, columns] if not complete.all() else Y[:, columns]
        X, _, cw, kept = _weights.fitted_rows(X_in, V_in[:, 0], w)
        V = V_in if kept is None else V_in[kept]
        n, d = X.shape
        terms, degree, basis_name, auto = _terms_of(deg, settings["basis"], d, settings["max_deg"], n)
        p = terms.shape[0]
        if n < p:
            return None
        closed = is_closed(terms)
        constant = bool(np.any(np.all(terms == 0, axis=1)))
        shared = fit_scaling(X, V[:, 0], closed, constant, _engine.mad, cw)
        yc, ys, v_mad = _y_scaling(V, X, terms, cw)
        good = _representable(shared, terms, V, yc, ys)
        if not good.any():
            return None
        columns, V, yc, ys, v_mad = columns[good], V[:, good], yc[good], ys[good], v_mad[good]
        problem = ArrayProblem(X, V[:, 0], terms, shared, cw=cw)
        search_points = int(settings["search_points"])
        sub = problem.sample(search_points)
        Phi_s, _, _ = problem.rows(sub)
        top = identifiable_degree(problem, Phi_s, terms, basis_name, auto, names, np.unique(sub).size)
        penalty = _penalty(terms, settings["slope"], settings["curvature"])
    except (ValueError, RuntimeError, NotIdentifiable):
        return None       # the single calls say why, series by series
    search = settings.get("search")
    base = search if search is not None else _engine.SearchSettings()
    search = _engine.SearchSettings(**{**base.__dict__, "seed": int(settings["seed"])})
    degrees = term_degrees(terms, basis_name)
    tolerance = np.where(v_mad > 0, 0.4 * v_mad, 0.4)
    outs = []
    for lo in range(0, columns.size, CHUNK_SERIES):
        hi = min(columns.size, lo + CHUNK_SERIES)
        outs.append(_compiled.fit_series(X, V[:, lo:hi], terms, shared, yc[lo:hi], ys[lo:hi], tolerance[lo:hi], cw,
                                         problem.total, sub, Phi_s, search, not closed, auto, top, degrees,
                                         penalty))
        if bar is not None:
            bar.update(hi - lo)
    out = {key: (sum((o[key] for o in outs), []) if key == "error" else np.concatenate([o[key] for o in outs]))
           for key in outs[0]}
    k_all = columns.size
    total = problem.total

    # the rows of the input each series' fit used: complete, and of weight above 0
    used = complete.copy()
    if kept is not None:
        used[np.flatnonzero(used)[~kept]] = False
    dropped = int(np.count_nonzero(~complete))

    scalings = [None] * k_all

    def scaling_of(j: int) -> Scaling:
        if scalings[j] is None:
            scalings[j] = Scaling(shared.x_center, shared.x_scale, float(yc[j]), float(ys[j]), float(v_mad[j]))
        return scalings[j]

    label = y_name

    def make(j: int) -> PolyFit:
        """Series j's PolyFit, as robust_polyfit ends a single call."""
        index, refit, found, start, table, chosen = series_outcome(out, j, terms, basis_name, auto, total)
        found_chosen = _engine.SearchOutcome(found.coef[index], found.energy)
        inliers, wts = out["inliers"][j], out["weights"][j]
        plot = None
        if d == 1:
            from ._fit import PLOT_POINTS

            keep = stride_subset(n, PLOT_POINTS) if n > PLOT_POINTS else np.arange(n)
            plot = (X[keep, 0].copy(), V[keep, j].copy(), inliers[keep].copy())
        fit = _finish(terms[index], chosen if auto else degree, basis_name, names, scaling_of(j), refit,
                      found_chosen, settings["slope"], settings["curvature"], inliers, n, d, plot, table,
                      START_NAMES[start], wts, total)
        y_col = np.ascontiguousarray(Y[:, int(columns[j])])
        name = label if label is not None else "y"
        if complete.all():
            fit._attach(X_in, y_col, kept, name, dropped=0)
        else:
            fit._attach(_missing._floats(x), y_col, used, name, dropped=dropped)
        if w_all is not None:
            fit._set_case_weights(w_all)
        return fit

    # the batch's arrays, formed as _finish forms each fit's, for every series at once
    ok = out["ok"]
    coef = np.full((p, k_all), np.nan)
    stderr = np.full((p, k_all), np.nan)
    scale = np.full(k_all, np.nan)
    chosen_deg = np.full(k_all, -1, dtype=np.int64)
    groups = np.unique(out["degree"][ok]) if auto else np.array([degree])
    for g in groups:
        which = np.flatnonzero(ok & (out["degree"] == g)) if auto else np.flatnonzero(ok)
        if which.size == 0:
            continue
        index = np.flatnonzero(degrees <= g) if auto else np.arange(p)
        A = shared.to_original(terms[index])
        ysg = ys[which]
        c = ysg[:, None] * apply_in_order(A, out["coef"][which][:, index][:, :, None])[..., 0]
        zero = np.flatnonzero(np.all(terms[index] == 0, axis=1))
        if zero.size:
            c[:, zero[0]] += yc[which]
        sigma = out["sigma"][which]
        cov_scaled = (sigma * sigma)[:, None, None] * out["cov_unit"][which][:, index][:, :, index]
        cov = (ysg * ysg)[:, None, None] * apply_in_order(apply_in_order(A, cov_scaled), A.T)
        se = np.sqrt(np.clip(np.diagonal(cov, axis1=1, axis2=2), 0.0, None))
        coef[:, which] = 0.0
        coef[np.ix_(index, which)] = c.T
        stderr[np.ix_(index, which)] = se.T
        scale[which] = out["scale"][which] * ysg
        chosen_deg[which] = out["degree"][which] if auto else degree
    inl = np.zeros((n_input, k_all), dtype=bool)
    wts = np.zeros((n_input, k_all))
    inl[used] = out["inliers"].T
    wts[used] = out["weights"].T
    inl[:, ~ok] = False
    wts[:, ~ok] = 0.0
    errors = {}
    for j in np.flatnonzero(~ok):
        try:
            series_outcome(out, int(j), terms, basis_name, auto, total)
        except (ValueError, RuntimeError) as err:
            errors[int(j)] = str(err)
    n_inl = np.where(ok, out["n_inliers"], 0)
    return CompiledSeries(columns, coef, stderr, scale, chosen_deg, inl, wts, n_inl, dropped, errors, make)

