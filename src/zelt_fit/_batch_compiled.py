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
    n_dropped: np.ndarray    # (k,)
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


def _own_rows(X: np.ndarray, v_full: np.ndarray, cw: Optional[np.ndarray], deg: Any, terms: np.ndarray,
              settings: Dict[str, Any], names: Optional[List[str]]):
    """What the single call of a series with missing values of its own
    prepares: (rows among the batch's, X, v, cw, scaling, problem, sample,
    its design, top); a ValueError or RuntimeError where that call would stop
    or differ from the batch (its own set of terms)."""
    from ._fit import (SORT_POINTS as _SORT, _representable, _require_fit_size, _scaling, _terms_of,
                       identifiable_degree)

    rows = np.flatnonzero(np.isfinite(v_full))
    Xk, vk = X[rows], v_full[rows]
    cwk = None if cw is None else cw[rows]
    if cwk is not None and np.all(cwk == 1.0):
        cwk = None
    n, d = Xk.shape
    own_terms, _, basis_name, auto = _terms_of(deg, settings["basis"], d, settings["max_deg"], n)
    if own_terms.shape != terms.shape or not np.array_equal(own_terms, terms) or n < terms.shape[0]:
        raise ValueError("a model of its own")
    _require_fit_size(terms, settings["search_points"], n)
    _checks.require_varying(Xk, terms.max(axis=0) > 0, _checks.variable_names(d, names))
    if n > _SORT:
        sub = stride_subset(n, SCALE_POINTS)
        scaling = _scaling(Xk, vk[sub], terms, None if cwk is None else cwk[sub])
    else:
        scaling = _scaling(Xk, vk, terms, cwk)
    _representable(Xk, vk, terms, scaling, names)
    problem = ArrayProblem(Xk, vk, terms, scaling, cw=cwk)
    sample = problem.sample(int(settings["search_points"]))
    Phi_s, _, _ = problem.rows(sample)
    top = identifiable_degree(problem, Phi_s, terms, basis_name, auto, names, np.unique(sample).size)
    return rows, Xk, vk, cwk, scaling, problem, sample, Phi_s, top


def fit_compiled(x: Any, Y: np.ndarray, deg: Any, todo: np.ndarray, settings: Dict[str, Any], missing: str,
                 y_name: Optional[str], names: Optional[List[str]], bar) -> Optional[CompiledSeries]:
    """The compiled fits of the columns `todo` of Y that a single call would
    fit compiled; None when none can (the caller then fits every series alone).
    The series without a missing value of their own share their rows, scaling
    of x and sample; a series with some has them prepared as its single call
    would (a little Python per such series)."""
    from ._fit import (PLOT_POINTS, START_NAMES, NotIdentifiable, _finish, _penalty, _terms_of, apply_in_order,
                       identifiable_degree, series_outcome, term_degrees)

    weights = settings.get("weights")
    if not _compiled.enabled() or (weights is not None and settings.get("weight_kind") == "variance"):
        return None
    if todo.size == 0:
        return None
    n_input = Y.shape[0]
    w_all = None if weights is None else _weights.as_weights(weights, n_input)
    Xf = _missing._floats(x)
    if Xf is None or Xf.ndim not in (1, 2) or Xf.shape[0] != n_input:
        return None
    complete = np.isfinite(Xf) if Xf.ndim == 1 else np.all(np.isfinite(Xf), axis=1)
    if w_all is not None:
        complete &= np.isfinite(w_all)
    if not complete.any():
        return None
    try:
        X_in = _checks.as_features(x) if complete.all() else _checks.as_features(Xf[complete])
        w = None if w_all is None else (w_all if complete.all() else w_all[complete])
        V_all = Y[:, todo] if complete.all() else Y[complete][:, todo]
        X, _, cw, kept = _weights.fitted_rows(X_in, np.zeros(X_in.shape[0]), w)
        V_all = V_all if kept is None else V_all[kept]
        n, d = X.shape
        terms, degree, basis_name, auto = _terms_of(deg, settings["basis"], d, settings["max_deg"], n)
        p = terms.shape[0]
        if n < p:
            return None
        closed = is_closed(terms)
        constant = bool(np.any(np.all(terms == 0, axis=1)))
        shared = fit_scaling(X, np.zeros(min(n, 2)), closed, constant, _engine.mad, None)
        penalty = _penalty(terms, settings["slope"], settings["curvature"])
    except (ValueError, RuntimeError):
        return None       # the single calls say why, series by series
    whole = np.all(np.isfinite(V_all), axis=0)
    # the series that share the batch's rows
    good = np.zeros(todo.size, dtype=bool)
    yc, ys, v_mad = np.zeros(todo.size), np.ones(todo.size), np.ones(todo.size)
    Phi_s, sub, top, problem = None, None, 0, None
    if whole.any():
        try:
            V = V_all[:, whole]
            problem = ArrayProblem(X, V[:, 0], terms, shared, cw=cw)
            sub = problem.sample(int(settings["search_points"]))
            Phi_s, _, _ = problem.rows(sub)
            top = identifiable_degree(problem, Phi_s, terms, basis_name, auto, names, np.unique(sub).size)
            a, b, c = _y_scaling(V, X, terms, cw)
            ok = _representable(shared, terms, V, a, b)
            at = np.flatnonzero(whole)
            yc[at], ys[at], v_mad[at] = a, b, c
            good[at[ok]] = True
        except (ValueError, RuntimeError, NotIdentifiable):
            pass
    # the series with missing values of their own (missing="drop")
    own: List[Optional[tuple]] = [None] * todo.size
    own_parts: Dict[int, tuple] = {}
    if missing == "drop":
        for j in np.flatnonzero(~whole):
            try:
                parts = _own_rows(X, V_all[:, j], cw, deg, terms, settings, names)
            except (ValueError, RuntimeError, NotIdentifiable):
                continue
            rows, Xk, vk, cwk, sk, pk, sample_k, Phi_k, top_k = parts
            own_parts[int(j)] = parts
            own[j] = (rows, sk.x_center, sk.x_scale, sample_k, Phi_k, int(top_k), float(pk.total), cwk is not None)
            yc[j], ys[j], v_mad[j] = sk.y_center, sk.y_scale, sk.v_mad
            good[j] = True
    # one search setting per call: without the caller's, each series' single
    # call takes the default of its sample's size; a series with rows of its
    # own whose default differs from the batch's is fitted alone
    search = settings.get("search")
    if search is None:
        n_sample = sub.size if sub is not None and Phi_s is not None else (
            next((own_parts[j][6].size for j in sorted(own_parts)), 0))
        search = _engine.default_search(n_sample, p)
        for j, parts in own_parts.items():
            if good[j] and _engine.default_search(parts[6].size, p) != search:
                good[j] = False
    if not good.any():
        return None
    columns = todo[good]
    V_fit = V_all[:, good]
    own = [o for o, g in zip(own, good) if g]
    own_parts = {int(np.count_nonzero(good[:j])): parts for j, parts in own_parts.items() if good[j]}
    yc, ys, v_mad = yc[good], ys[good], v_mad[good]
    if Phi_s is None or sub is None:    # no series shares the batch's rows: the first own one's sample stands in
        first = next(iter(own_parts.values()))
        sub, Phi_s, top = np.zeros(0, dtype=np.int64), np.zeros((0, p)), int(first[8])
    assert sub is not None and Phi_s is not None
    search = _engine.SearchSettings(**{**search.__dict__, "seed": int(settings["seed"])})
    degrees = term_degrees(terms, basis_name)
    tolerance = np.where(v_mad > 0, 0.4 * v_mad, 0.4)
    total_shared = float(n) if cw is None else float(cw.sum())
    outs = []
    k_all = columns.size
    for lo in range(0, k_all, CHUNK_SERIES):
        hi = min(k_all, lo + CHUNK_SERIES)
        chunk_own = own[lo:hi]
        outs.append(_compiled.fit_series(X, V_fit[:, lo:hi], terms, shared, yc[lo:hi], ys[lo:hi], tolerance[lo:hi],
                                         cw, total_shared, sub, Phi_s, search, not closed, auto, top, degrees,
                                         penalty, chunk_own if any(o is not None for o in chunk_own) else None))
        if bar is not None:
            bar.update(hi - lo)
    out = {key: (sum((o[key] for o in outs), []) if key == "error" else np.concatenate([o[key] for o in outs]))
           for key in outs[0]}

    # the input's rows each series used: complete, of weight above 0, and (own) finite in y
    used = complete.copy()
    if kept is not None:
        used[np.flatnonzero(used)[~kept]] = False
    n_dropped = np.full(k_all, int(np.count_nonzero(~complete)), dtype=np.int64)
    for j, parts in own_parts.items():
        n_dropped[j] = n_input - int(np.count_nonzero(complete & np.isfinite(Y[:, columns[j]])))
    label = y_name if y_name is not None else "y"

    def series_data(j: int):
        """(X, v, scaling, n, total) of series j's fit."""
        if j in own_parts:
            _, Xk, vk, _, sk, pk, _, _, _ = own_parts[j]
            return Xk, vk, sk, Xk.shape[0], pk.total
        scaling = Scaling(shared.x_center, shared.x_scale, float(yc[j]), float(ys[j]), float(v_mad[j]))
        return X, V_fit[:, j], scaling, n, total_shared

    def make(j: int) -> PolyFit:
        """Series j's PolyFit, as robust_polyfit ends a single call."""
        Xj, vj, scaling, nj, total = series_data(j)
        index, refit, found, start, table, chosen = series_outcome(out, j, terms, basis_name, auto, nj, total)
        found_chosen = _engine.SearchOutcome(found.coef[index], found.energy)
        if j in own_parts:
            rows = own_parts[j][0]
            inliers, wts = out["inliers"][j][rows], out["weights"][j][rows]
        else:
            inliers, wts = out["inliers"][j], out["weights"][j]
        plot = None
        if d == 1:
            keep = stride_subset(nj, PLOT_POINTS) if nj > PLOT_POINTS else np.arange(nj)
            plot = (Xj[keep, 0].copy(), vj[keep].copy(), inliers[keep].copy())
        fit = _finish(terms[index], chosen if auto else degree, basis_name, names, scaling, refit,
                      found_chosen, settings["slope"], settings["curvature"], inliers, nj, d, plot, table,
                      START_NAMES[start], wts, total)
        y_col = np.ascontiguousarray(Y[:, int(columns[j])])
        complete_j = complete & np.isfinite(y_col)
        if complete_j.all():
            fit._attach(X_in, y_col, kept, label, dropped=0)
        else:
            used_j = complete_j if w_all is None else complete_j & (w_all > 0)
            fit._attach(_missing._floats(x), y_col, used_j, label, dropped=int(n_input - np.count_nonzero(complete_j)))
        if w_all is not None:
            fit._set_case_weights(w_all)
        return fit

    # the batch's arrays, formed as _finish forms each fit's, for every series at once
    ok = out["ok"]
    coef = np.full((p, k_all), np.nan)
    stderr = np.full((p, k_all), np.nan)
    scale = np.full(k_all, np.nan)
    chosen_deg = np.full(k_all, -1, dtype=np.int64)
    is_own = np.zeros(k_all, dtype=bool)
    is_own[list(own_parts)] = True
    groups = []
    for g in (np.unique(out["degree"][ok]) if auto else [degree]):
        which = np.flatnonzero(ok & ~is_own & ((out["degree"] == g) if auto else True))
        if which.size:
            groups.append((g, which, shared))
    for j in np.flatnonzero(ok & is_own):
        groups.append((out["degree"][j] if auto else degree, np.array([j]), own_parts[int(j)][4]))
    for g, which, sc in groups:
        index = np.flatnonzero(degrees <= g) if auto else np.arange(p)
        A = sc.to_original(terms[index])
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
        _, _, _, nj, total = series_data(int(j))
        try:
            series_outcome(out, int(j), terms, basis_name, auto, nj, total)
        except (ValueError, RuntimeError) as err:
            errors[int(j)] = str(err)
    n_inl = np.where(ok, out["n_inliers"], 0)
    return CompiledSeries(columns, coef, stderr, scale, chosen_deg, inl, wts, n_inl, n_dropped, errors, make)
