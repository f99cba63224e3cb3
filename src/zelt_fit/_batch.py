"""Many series sharing one x: ``robust_polyfit(x, Y, deg)`` with Y of shape (n, m).

The batch checks what all series share once (x, the degree, the settings),
then hands the columns to `_fit_columns`, the one place that knows how the
fits run, and gathers what comes back into a `BatchFit`: arrays with a column
per series, and the `PolyFit` of each series on request.
"""
from __future__ import annotations

from typing import Any, Dict, Iterator, List, Optional, Sequence, Union, cast

import numpy as np

from . import _checks, _missing, _weights
from ._result import PolyFit

__all__ = ["BatchFit", "fit_batch", "PROGRESS_SERIES"]

# A batch of at least this many series shows a progress bar by default (when
# tqdm is installed): at about 1 to 2 ms a series, a few seconds of work.
PROGRESS_SERIES = 2000

Outcome = Union[PolyFit, str]   # a series' fit, or why it has none


def _progress_bar(total: int, progress: Optional[bool]):
    """A tqdm bar over `total` series, or None: progress=None shows one on a
    long batch, True on any batch, False never; without tqdm never."""
    if progress is False or (progress is None and total < PROGRESS_SERIES) or total == 0:
        return None
    try:
        from tqdm.auto import tqdm
    except ImportError:
        return None
    return tqdm(total=total, unit="series", desc="robust_polyfit", leave=False)


def _fit_columns(x: Any, Y: np.ndarray, deg: Any, todo: np.ndarray, options: Dict[str, Any],
                 progress: Optional[bool], names: Optional[List[str]] = None):
    """Fit the columns `todo` of Y (n, m) against x: (outcomes, compiled).

    The series that share their rows (no missing value of their own) and that
    a single call fits with the compiled fit run in compiled code, every series
    on the OpenMP team (`_batch_compiled`; `compiled` holds them, None if
    none did). The others run as single calls, one by one: outcomes[k] is the
    PolyFit of series k, or the message of the error that stopped it; None for
    a column not in `todo` or fitted compiled. Each series is exactly what
    ``robust_polyfit(x, Y[:, k], deg, **options)`` gives. Ctrl-C stops a batch
    within a series (the kernel and the core's search are interruptible).
    """
    from ._batch_compiled import fit_compiled
    from ._fit import robust_polyfit

    out: List[Optional[Outcome]] = [None] * Y.shape[1]
    bar = _progress_bar(int(todo.size), progress)
    try:
        settings = {k: v for k, v in options.items() if k not in ("missing", "y_name")}
        compiled = fit_compiled(x, Y, deg, todo, settings, options["missing"], options.get("y_name"), names, bar)
        rest = todo if compiled is None else np.setdiff1d(todo, compiled.columns)
        for k in rest:
            y = np.ascontiguousarray(Y[:, k])
            try:
                out[k] = cast(PolyFit, robust_polyfit(x, y, deg, **options))
            except (ValueError, RuntimeError) as err:   # this series' data, not the batch's settings
                out[k] = str(err)
            if bar is not None:
                bar.update(1)
    finally:
        if bar is not None:
            bar.close()
    if compiled is not None:
        for j, message in compiled.errors.items():
            out[int(compiled.columns[j])] = message
    return out, compiled


def _as_matrix(y: Any) -> np.ndarray:
    Y = _checks._numeric("y", y)
    if Y.ndim != 2:
        raise ValueError(f"y must have shape (n,) or (n, m), got shape {Y.shape}")
    return np.asarray(Y, dtype=np.float64)


def _series_names(y: Any, m: int) -> Optional[List[str]]:
    columns = getattr(y, "columns", None)
    if columns is None or len(columns) != m:
        return None
    return [str(c) for c in columns]


def fit_batch(x: Any, y: Any, deg: Any, *, missing: str, progress: Optional[bool], y_name: Optional[str],
              **settings: Any) -> "BatchFit":
    """robust_polyfit of every column of y (n, m) against x: the checks that
    concern the whole batch first (each raises at once), then the series."""
    from ._fit import _require_fit_size, _terms_of
    from ._problem import is_dask

    if is_dask(x) or is_dask(y):
        raise ValueError("a batch of series (y of shape (n, m)) takes in-memory arrays; for a Dask-backed cube "
                         "use zelt_fit.xarray.polyfit, which fits each chunk of series as one task")
    _checks.same_index(x, y)
    Y = _as_matrix(y)
    X = _checks._numeric("x", x)
    if X.ndim not in (1, 2):
        raise ValueError(f"x must have shape (n,) or (n, d), got a {X.ndim}-D array of shape {X.shape}")
    X = np.asarray(X, dtype=np.float64).reshape(X.shape[0], -1)
    n, m = Y.shape
    if X.shape[0] != n:
        raise ValueError(f"x has {X.shape[0]} points but y has {n} rows (y's columns are the series)")
    x_ok = np.all(np.isfinite(X), axis=1)
    finite = np.isfinite(Y)
    if missing == "raise":
        if not x_ok.all():
            raise ValueError(_missing.missing_message("x", ~x_ok, n))
        bad_cols = np.flatnonzero(~finite.all(axis=0))
        if bad_cols.size:
            k = int(bad_cols[0])
            message = _missing.missing_message(f"y[:, {k}]", ~finite[:, k], n)
            if bad_cols.size > 1:
                message += f" ({bad_cols.size} of the {m} series have a missing value)"
            raise ValueError(message)
    if settings.get("weights") is not None:
        # weights are the rows', shared by every series: checked once for the batch
        w = _weights.as_weights(settings["weights"], n)
        if missing == "raise":
            _weights.check_weights(w)
        x_ok &= np.isfinite(w)
    n_x = int(np.count_nonzero(x_ok))
    if n_x == 0:
        raise ValueError(f"no complete row: each of the {n} rows has NaN or infinity in x")
    d = X.shape[1]
    names = _checks.feature_names_of(x)
    terms, degree, basis_name, auto = _terms_of(deg, settings["basis"], d, settings["max_deg"], n_x)
    _require_fit_size(terms, settings["search_points"], n_x)
    _checks.require_varying(X[x_ok], terms.max(axis=0) > 0, _checks.variable_names(d, names))
    p = terms.shape[0]
    # the series with too few complete rows for their model come back NaN
    counts = np.count_nonzero(finite & x_ok[:, None], axis=0)
    need = 1 if auto else p
    todo = np.flatnonzero(counts >= need)
    outcomes, compiled = _fit_columns(x, Y, deg, todo, dict(settings, missing=missing, y_name=y_name), progress,
                                      names)
    for k in np.flatnonzero(counts < need):
        outcomes[k] = (f"{int(counts[k])} complete row{'s' if counts[k] != 1 else ''}, fewer than the "
                       f"{need} coefficient{'s' if need != 1 else ''} of the model")
    fitted = np.zeros(m, dtype=bool)
    if compiled is not None:
        fitted[compiled.columns] = True
        for j in compiled.errors:
            fitted[compiled.columns[j]] = False
    if m and all(isinstance(o, str) for k, o in enumerate(outcomes) if not fitted[k]) and not fitted.any():
        _checks.warn_at_caller(f"none of the {m} series could be fitted (the first: {outcomes[0]})",
                               RuntimeWarning)
    return BatchFit(outcomes, terms, degree if not auto else None, basis_name, n, _series_names(y, m), compiled)


class BatchFit:
    """Robust polynomial fits of many series sharing one x, a column per series.

    Made by :func:`robust_polyfit` from y of shape (n, m). Arrays follow
    numpy.polynomial's convention: coefficients of shape (p, m), column k for
    series k. Series k is fitted exactly as ``robust_polyfit(x, y[:, k], deg,
    ...)`` with the same arguments would fit it (the same seed for every
    series), and ``batch[k]`` is that fit. A series with too few complete rows
    for its model (after ``missing="drop"``), or whose fit fails, has NaN in
    every array, and `errors` says why.

    Attributes
    ----------
    coef : ndarray, shape (p, m)
        Coefficients of `terms` in the original units. With ``deg="auto"`` the
        rows are the terms of the largest candidate degree, and a series'
        terms above its chosen degree hold 0.
    stderr : ndarray, shape (p, m)
        Standard errors of `coef` (NaN for a term outside a series' model).
    scale : ndarray, shape (m,)
        Each series' residual scale, in its own units.
    degree : ndarray of int, shape (m,)
        Each series' degree (the chosen one for ``deg="auto"``); -1 where a
        series has no fit.
    inliers : ndarray of bool, shape (n, m)
        The points each fit keeps (False for outliers, dropped rows and series
        without a fit).
    weights : ndarray, shape (n, m)
        Each point's robustness weight in its series' fit, in [0, 1].
    n_inliers, n_dropped : ndarray of int, shape (m,)
        Points kept, and rows dropped for a missing value, per series.
    terms : ndarray of int, shape (p, d)
        The multi-index of each row of `coef`.
    failed : ndarray of bool, shape (m,)
        The series that have no fit (NaN in `coef`).
    n_failed : int
        How many.
    errors : dict
        Series index -> why it has no fit.

    Examples
    --------
    >>> import numpy as np
    >>> from zelt_fit import robust_polyfit
    >>> rng = np.random.default_rng(0)
    >>> x = np.linspace(0.0, 1.0, 60)
    >>> Y = 1.0 + np.outer(x, [1.0, 2.0, 3.0]) + rng.normal(0.0, 0.01, (60, 3))
    >>> Y[::6] -= 2.0                                   # clouds: one-sided outliers
    >>> batch = robust_polyfit(x, Y, 1)
    >>> np.round(batch.coef, 2)
    array([[1., 1., 1.],
           [1., 2., 3.]])
    >>> batch[2].n_inliers, batch.n_failed
    (50, 0)
    """

    def __init__(self, outcomes: Sequence[Optional[Outcome]], terms: np.ndarray, degree: Optional[int],
                 basis: str, n: int, series_names: Optional[List[str]] = None, compiled: Any = None) -> None:
        m, p = len(outcomes), terms.shape[0]
        self.terms = terms
        self.basis = basis
        self._fixed_degree = degree
        self.n = int(n)
        self.series_names = series_names
        self._fits: List[Optional[PolyFit]] = [o if isinstance(o, PolyFit) else None for o in outcomes]
        # series fitted compiled: their PolyFit made on first request (position among compiled.columns)
        self._compiled = compiled
        self._lazy: Dict[int, int] = {}
        if compiled is not None:
            self._lazy = {int(c): j for j, c in enumerate(compiled.columns) if j not in compiled.errors}
        self.errors: Dict[int, str] = {k: str(o) for k, o in enumerate(outcomes)
                                       if not isinstance(o, PolyFit) and k not in self._lazy}
        row = {tuple(t): i for i, t in enumerate(terms.tolist())}
        self.coef = np.full((p, m), np.nan)
        self.stderr = np.full((p, m), np.nan)
        self.scale = np.full(m, np.nan)
        self.degree = np.full(m, -1, dtype=np.int64)
        self.inliers = np.zeros((n, m), dtype=bool)
        self.weights = np.zeros((n, m))
        self.n_inliers = np.zeros(m, dtype=np.int64)
        self.n_dropped = np.zeros(m, dtype=np.int64)
        self.failed = np.ones(m, dtype=bool)
        for k, fit in enumerate(self._fits):
            if fit is None:
                continue
            rows = [row[tuple(t)] for t in fit.terms.tolist()]
            self.coef[:, k] = 0.0
            self.coef[rows, k] = fit.coef
            self.stderr[rows, k] = fit.stderr
            self.scale[k] = fit.scale
            self.degree[k] = fit.degree
            self.inliers[:, k] = fit.inliers
            self.weights[:, k] = fit.weights
            self.n_inliers[k] = fit.n_inliers
            self.n_dropped[k] = fit.n_dropped
            self.failed[k] = False
        if compiled is not None:
            cols = compiled.columns
            ok = np.array([j not in compiled.errors for j in range(cols.size)], dtype=bool)
            at, good = cols[ok], np.flatnonzero(ok)
            self.coef[:, at] = compiled.coef[:, good]
            self.stderr[:, at] = compiled.stderr[:, good]
            self.scale[at] = compiled.scale[good]
            self.degree[at] = compiled.degree[good]
            self.inliers[:, at] = compiled.inliers[:, good]
            self.weights[:, at] = compiled.weights[:, good]
            self.n_inliers[at] = compiled.n_inliers[good]
            self.n_dropped[at] = compiled.n_dropped[good]
            self.failed[at] = False
        for a in (self.coef, self.stderr, self.scale, self.degree, self.inliers, self.weights, self.n_inliers,
                  self.n_dropped, self.failed):
            a.setflags(write=False)

    @property
    def n_failed(self) -> int:
        """Number of series without a fit."""
        return int(np.count_nonzero(self.failed))

    @property
    def n_series(self) -> int:
        """Number of series (m)."""
        return len(self._fits)

    def __len__(self) -> int:
        return len(self._fits)

    def __getitem__(self, k: int) -> PolyFit:
        """The PolyFit of series k (negative k counts from the end); a
        ValueError that says why for a series without a fit."""
        if isinstance(k, (bool, np.bool_)) or not isinstance(k, (int, np.integer)):
            raise TypeError(f"a batch is indexed by a series number, got {k!r}")
        m = len(self._fits)
        if not -m <= k < m:
            raise IndexError(f"series {k} out of range for a batch of {m} series")
        k = int(k) % m
        fit = self._fit_of(k)
        if fit is None:
            raise ValueError(f"series {k} has no fit: {self.errors[k]}")
        return fit

    def _fit_of(self, k: int) -> Optional[PolyFit]:
        fit = self._fits[k]
        if fit is None and k in self._lazy:
            fit = self._fits[k] = self._compiled.make(self._lazy[k])
        return fit

    def __iter__(self) -> Iterator[Optional[PolyFit]]:
        """The PolyFit of each series in turn, None for a series without a fit."""
        return (self._fit_of(k) for k in range(len(self._fits)))

    def predict(self, x: object) -> np.ndarray:
        """Every series' model at the points x, shape (n_new, m) (NaN for a
        series without a fit).

        Examples
        --------
        >>> batch.predict([0.0, 0.5]).shape  # doctest: +SKIP
        (2, 3)
        """
        n_new = _checks.as_features(x).shape[0]
        out = np.full((n_new, len(self._fits)), np.nan)
        for k in range(len(self._fits)):
            fit = self._fit_of(k)
            if fit is not None:
                out[:, k] = fit.predict(x)
        return out

    def _degree_text(self) -> str:
        if self._fixed_degree is not None:
            return str(self._fixed_degree)
        ok = self.degree[~self.failed]
        if not ok.size:
            return "auto"
        values, counts = np.unique(ok, return_counts=True)
        return "auto: " + ", ".join(f"{v} ({c} series)" for v, c in zip(values.tolist(), counts.tolist()))

    def __repr__(self) -> str:
        ok = ~self.failed
        fitted = np.maximum(self.n - self.n_dropped[ok], 1)
        share = f"{np.median(self.n_inliers[ok] / fitted):.1%}" if ok.any() else "-"
        degree = self._fixed_degree if self._fixed_degree is not None else repr(self._degree_text())
        return (f"BatchFit(series={len(self)}, n={self.n}, degree={degree}, "
                f"terms={self.terms.shape[0]}, median inliers={share}, failed={self.n_failed})")

    def summary(self) -> str:
        """A compact text table of the batch: the series, their degrees, the
        share of inliers and the scales (quartiles), each coefficient's median
        and quartiles over the series, and the series without a fit.

        Examples
        --------
        >>> print(batch.summary())  # doctest: +SKIP
        """
        from ._terms import term_names

        width = 78
        rule, thin = "=" * width, "-" * width
        ok = ~self.failed
        good = int(np.count_nonzero(ok))
        lines = ["Robust polynomial fits of many series (zelt_fit)".center(width), rule,
                 f"{'Series:':<16}{len(self):>14}    {'Observations:':<18}{self.n:>10} each",
                 f"{'Fitted:':<16}{good:>14}    {'Failed (NaN):':<18}{self.n_failed:>10}",
                 f"{'Terms:':<16}{self.terms.shape[0]:>14}    {'Basis:':<18}{self.basis:>10}",
                 f"{'Degree:':<16}{self._degree_text()}"]
        if np.any(self.n_dropped):
            lines.append(f"{'Dropped rows:':<16}{int(self.n_dropped.sum()):>14}    {'in series:':<18}"
                         f"{int(np.count_nonzero(self.n_dropped)):>10}")
        lines.append(rule)
        lines.append(f"{'over the series':<24}{'min':>10}{'25%':>11}{'median':>11}{'75%':>11}{'max':>11}")
        lines.append(thin)

        def row(label: str, values: np.ndarray, fmt: str = ".4g") -> None:
            v = values[np.isfinite(values)]
            if not v.size:
                lines.append(f"{label:<24}{'-':>10}")
                return
            q = np.quantile(v, [0.0, 0.25, 0.5, 0.75, 1.0])
            lines.append(f"{label[:23]:<24}{q[0]:>10{fmt}}" + "".join(f"{a:>11{fmt}}" for a in q[1:]))

        if good:
            row("inlier share", self.n_inliers[ok] / np.maximum(self.n - self.n_dropped[ok], 1), ".3f")
            row("residual scale", self.scale[ok])
            first = next((self._fit_of(k) for k in range(len(self._fits)) if not self.failed[k]), None)
            given = first.feature_names if first is not None else None
            names = term_names(self.terms, given if given and given != ["x"] else None)
            constant = np.all(self.terms == 0, axis=1)
            for i, name in enumerate(names):
                row("coef " + ("Intercept" if constant[i] else name), self.coef[i, ok])
        lines.append(rule)
        if self.errors:
            shown = list(self.errors.items())[:3]
            lines.append("No fit: " + "; ".join(f"series {k}: {why}" for k, why in shown)
                         + (f"; ... ({len(self.errors) - 3} more)" if len(self.errors) > 3 else ""))
        return "\n".join(lines)
