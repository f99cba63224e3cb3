"""`PolyFit`: a robust polynomial fit, its uncertainty and what it predicts."""
from __future__ import annotations

from typing import Any, List, Optional, Sequence, Tuple, Union, overload

import numpy as np

from . import _checks, _engine
from ._passes import BLOCK_ROWS, relative_scale
from ._stats import DegreeTable, WaldTest, term_index, wald
from ._terms import term_names
from ._units import Scaling

__all__ = ["PolyFit"]

Prediction = Union[np.ndarray, Tuple[np.ndarray, np.ndarray, np.ndarray]]


def _t_quantile(level: float, dof: float) -> float:
    from scipy.stats import t

    level = _checks.as_level(level)
    if not dof > 0:
        return float("nan")
    return float(t.ppf(0.5 + 0.5 * level, dof))


def _evaluate(X: np.ndarray, terms: np.ndarray, scaling: Scaling, coef_scaled: np.ndarray) -> np.ndarray:
    """The model at the rows of X (m, d), block by block (a block's design
    only is ever held); NaN at a row with a missing value."""
    X = np.asarray(X, dtype=np.float64).reshape(X.shape[0], -1)
    out = np.full(X.shape[0], np.nan)
    for lo in range(0, X.shape[0], BLOCK_ROWS):
        block = X[lo:lo + BLOCK_ROWS]
        ok = np.all(np.isfinite(block), axis=1)
        rows = block if ok.all() else block[ok]
        if rows.shape[0]:
            value = scaling.y_center + scaling.y_scale * (_engine.design(terms, scaling.u(rows)) @ coef_scaled)
            out[lo:lo + block.shape[0]][ok] = value
    return out


def _frozen(a: np.ndarray) -> np.ndarray:
    a.setflags(write=False)
    return a


class PolyFit:
    """A robust polynomial fit in the original units of its data.

    Made by :func:`robust_polyfit`; every attribute is set once.

    Attributes
    ----------
    coef : ndarray, shape (p,)
        Coefficients of the power basis in the original units: the model is
        ``sum_i coef[i] * prod_j x[:, j] ** terms[i, j]``.
    terms : ndarray of int, shape (p, d)
        The multi-index of each coefficient; in one variable ``terms[i] == [i]``.
    inliers : ndarray of bool, shape (n,)
        The points of weight above 0 in the estimate (False: flagged as outliers).
    scale : float
        The residual scale the estimate holds, in y's units (a standard
        deviation of Gaussian noise): the root mean square residual of the
        consensus set, corrected for its cut at 4 scales, or the bisquare
        M-scale of the residuals on the search's points where that is less and
        the noise does not vary along the variables (heavy tails widen the
        first, not the second).
    cov : ndarray, shape (p, p)
        Covariance of `coef`: that of the bisquare MM-estimate over its points
        at the held `scale` (statsmodels' RLM form H1); least squares' on the
        set for a penalised fit (the sandwich of the penalised estimate).
    stderr : ndarray, shape (p,)
        Standard errors of `coef`.
    degree : int
        Degree of the model (the largest power in one variable; the largest
        total or per-variable power in several, as the basis counts it).
    basis : str
        ``"total"``, ``"tensor"`` or ``"explicit"``.
    dof : float
        Residual degrees of freedom of the refit (inliers less the number of
        coefficients, or less the effective number with a smoothness penalty;
        with case weights the inliers' weights summed).
    search_coef : ndarray, shape (p,)
        The tournament search's own coefficients, in the original units.
    search_energy : float
        The MDL energy of the search's best state (on the scaled problem).
    rounds : int
        Least-squares solves the refit made.
    feature_names : list of str
        Names of the variables (DataFrame columns, or ``x`` / ``x0, x1, ...``).
    y_name : str
        Name of y in the summary (a Series' or column's name, ``y_name=``, or "y").
    n_dropped : int
        Rows left out for a missing value (``missing="drop"``); `inliers`,
        `weights`, `fittedvalues` and `resid` keep the input's length.
    tvalues, pvalues : ndarray, shape (p,)
        t values ``coef / stderr`` and their two-sided p-values from Student's
        t on `dof` (the figures of `summary`).
    weights : ndarray, shape (n,)
        Each point's weight in the final estimate, in [0, 1]; 0 for a flagged
        or dropped point.
    fittedvalues, resid : ndarray, shape (n,)
        The model at each point fitted and ``y - fittedvalues`` (NaN at a
        dropped row's missing value); lazy Dask arrays for a fit of Dask arrays.
    degree_table : DegreeTable or None
        The candidates of ``deg="auto"`` (None for a given degree).
    case_weights : ndarray of shape (n,) or None
        The case weights given to the fit (``weights=``), at the input's
        length; None without them.
    weights_sum : float
        The case weights of the rows fitted summed: the number of points the
        estimate counts (`n` without case weights).

    See Also
    --------
    robust_polyfit : the fit that returns it.
    RobustPolynomialRegressor.fit : keeps one as ``fit_``.

    Examples
    --------
    >>> import numpy as np
    >>> from zelt_fit import robust_polyfit
    >>> rng = np.random.default_rng(0)
    >>> x = np.linspace(0.0, 10.0, 200)
    >>> y = 3.0 + 0.5 * x + rng.normal(0.0, 0.1, x.size)
    >>> y[::10] += 20.0
    >>> fit = robust_polyfit(x, y, 1)
    >>> np.round(fit.coef, 1)
    array([3. , 0.5])
    >>> int(fit.inliers.sum())
    180
    """

    def __init__(self, *, coef: np.ndarray, terms: np.ndarray, inliers: np.ndarray,
                 scale: float, cov: np.ndarray, degree: int, basis: str, dof: float,
                 rounds: int, search_coef: np.ndarray, search_energy: float,
                 coef_scaled: np.ndarray, cov_scaled: np.ndarray, scaling: Scaling,
                 feature_names: List[str], slope: float = 0.0, curvature: float = 0.0,
                 extra: Optional[dict] = None, n: Optional[int] = None,
                 robustness_weights: Optional[np.ndarray] = None, y_name: str = "y") -> None:
        self.coef = coef
        self.terms = terms
        self.inliers = inliers
        self.scale = float(scale)
        self.cov = cov
        self.degree = int(degree)
        self.basis = basis
        self.dof = float(dof)
        self.rounds = int(rounds)
        self.search_coef = search_coef
        self.search_energy = float(search_energy)
        self.coef_scaled = coef_scaled
        self.cov_scaled = cov_scaled
        self.scaling = scaling
        self.feature_names = list(feature_names)
        self.slope = float(slope)
        self.curvature = float(curvature)
        self.extra = dict(extra or {})
        self._n = int(n) if n is not None else int(inliers.shape[0])
        self._robustness_weights = robustness_weights
        self.y_name = str(y_name)
        self.n_dropped = 0
        self.case_weights: Any = None
        # the data fitted (references, no copies), for fittedvalues and resid
        self._data: Optional[Tuple[Any, Any]] = None
        self._cache: dict = {}
        # a result is read-only: an edited coef would change summary() and not predict()
        for value in [coef, terms, inliers, cov, search_coef, coef_scaled, cov_scaled, robustness_weights,
                      *self.extra.values()]:
            if isinstance(value, np.ndarray):
                value.flags.writeable = False

    # -- derived -------------------------------------------------------------
    @property
    def stderr(self) -> np.ndarray:
        """Standard errors of `coef`."""
        return np.sqrt(np.clip(np.diag(self.cov), 0.0, None))

    @property
    def tvalues(self) -> np.ndarray:
        """t values of the coefficients, ``coef / stderr`` (NaN where the standard
        error is zero or undefined)."""
        se = self.stderr
        with np.errstate(divide="ignore", invalid="ignore"):
            return np.where(se > 0, self.coef / np.where(se > 0, se, 1.0), np.nan)

    @property
    def pvalues(self) -> np.ndarray:
        """Two-sided p-values of the t values, from Student's t on `dof` (NaN
        where the fit leaves no degrees of freedom)."""
        from scipy.stats import t as student

        tv = self.tvalues
        if not self.dof > 0:
            return np.full(tv.shape, np.nan)
        return 2.0 * student.sf(np.abs(tv), self.dof)

    @property
    def weights(self) -> np.ndarray:
        """Each point's robustness weight in the final estimate, in [0, 1]: 0
        for a flagged point (and a dropped row), 1 for a point the estimate
        counts fully. Where the fit keeps no finer weights, the consensus set
        as 0 and 1."""
        w = self._robustness_weights
        if callable(w):       # a large fit's weights, formed on first request
            w = self._robustness_weights = _frozen(w())
        if w is None:
            w = self.inliers.astype(np.float64)
            if isinstance(w, np.ndarray):
                w.setflags(write=False)
            return w
        if isinstance(w, np.ndarray):
            view = w.view()
            view.setflags(write=False)
            return view
        return w

    @property
    def degree_table(self) -> Optional[DegreeTable]:
        """The candidates of ``deg="auto"`` with their criterion, BIC and set
        size (see :class:`~zelt_fit.DegreeTable`); None for a given degree."""
        rows = self.extra.get("degrees")
        return DegreeTable(rows, self.degree) if rows else None

    def _fitted(self) -> Any:
        if self._data is None:
            raise ValueError("this fit keeps no data (it was not made by robust_polyfit or the "
                             "estimator's fit): use predict(x) and residuals(x, y)")
        if "fitted" not in self._cache:
            X = self._data[0]
            if type(X).__module__.split(".")[0] == "dask":
                value = X.map_blocks(_evaluate, self.terms, self.scaling, self.coef_scaled,
                                     dtype=np.float64, drop_axis=1)
            else:
                value = _frozen(_evaluate(X, self.terms, self.scaling, self.coef_scaled))
            self._cache["fitted"] = value
        return self._cache["fitted"]

    @property
    def fittedvalues(self) -> Any:
        """The model at each point given to the fit, shape (n,): computed on first
        use in blocks from the data the fit refers to (no copy of them is made),
        then kept; NaN at a row whose x has a missing value. A lazy Dask array
        for a fit of Dask arrays."""
        return self._fitted()

    @property
    def resid(self) -> Any:
        """Residuals ``y - fittedvalues`` at each point given to the fit (NaN at a
        row with a missing value); a lazy Dask array for a fit of Dask arrays."""
        fitted = self._fitted()
        if "resid" not in self._cache:
            y = self._data[1]  # type: ignore[index]
            value = y - fitted
            self._cache["resid"] = value if not isinstance(value, np.ndarray) else _frozen(value)
        return self._cache["resid"]

    def remove_data(self) -> None:
        """Forget the data fitted (and the fitted values and residuals made from
        them), so that a pickle of the fit carries only the model.

        Examples
        --------
        >>> fit.remove_data()  # doctest: +SKIP
        """
        self._data = None
        self._cache = {}

    def _attach(self, X: Any, y: Any, complete: Optional[Any] = None, y_name: Optional[str] = None,
                dropped: Optional[int] = None) -> None:
        """Refer to the data fitted (no copy) and, after rows were left out
        (a missing value, or a case weight of 0), give the point masks the
        input's length (rows left out: False / 0). `dropped`: the rows left
        out for a missing value (by default every row left out)."""
        self._data = (X, y)
        self._cache = {}
        if y_name is not None:
            self.y_name = str(y_name)
        if complete is None:
            return
        n_in = int(complete.shape[0])
        self.n_dropped = n_in - self.n if dropped is None else int(dropped)
        if n_in == self.n:
            return
        if type(self.inliers).__module__.split(".")[0] == "dask":
            from ._missing import spread_dask

            self.inliers = spread_dask(self.inliers, complete, False)
            if self._robustness_weights is not None:
                self._robustness_weights = spread_dask(self._robustness_weights, complete, 0.0)
            return
        rows = np.flatnonzero(complete)
        full = np.zeros(n_in, dtype=bool)
        full[rows] = self.inliers
        self.inliers = _frozen(full)
        if callable(self._robustness_weights):
            self._robustness_weights.complete = complete
        elif self._robustness_weights is not None:
            w = np.zeros(n_in)
            w[rows] = self._robustness_weights
            self._robustness_weights = _frozen(w)

    def _to_unit_weight(self, precision: float) -> None:
        """A fit of inverse-variance weights ran with them divided by their
        mean `precision`: its scale, that of a point of mean weight, becomes
        that of a point of weight 1."""
        self.scale = self.scale * float(np.sqrt(precision))
        self.extra["weight_kind"] = "variance"

    def _set_case_weights(self, w: Any) -> None:
        """Keep the case weights given (the input's length; a lazy array for Dask)."""
        if isinstance(w, np.ndarray):
            w = np.array(w, dtype=np.float64)
            w.setflags(write=False)
        self.case_weights = w

    @property
    def weights_sum(self) -> float:
        """The case weights of the rows fitted summed (`n` without case
        weights): the number of points the estimate counts."""
        return float(self.extra.get("weights_sum", self.n))

    def __getstate__(self) -> dict:
        if callable(self._robustness_weights):
            self.weights          # formed now: a pickle carries the weights, not what forms them
        state = dict(self.__dict__)
        state["_cache"] = {}
        return state

    def __setstate__(self, state: dict) -> None:
        state.setdefault("_robustness_weights", None)
        state.setdefault("y_name", "y")
        state.setdefault("n_dropped", 0)
        state.setdefault("case_weights", None)
        state.setdefault("_data", None)
        state.setdefault("_cache", {})
        self.__dict__.update(state)

    @property
    def n(self) -> int:
        """Number of points fitted."""
        return self._n

    @property
    def n_inliers(self) -> int:
        """Number of points in the consensus set."""
        if "n_inliers" in self.extra:
            return int(self.extra["n_inliers"])
        return int(np.count_nonzero(self.inliers))

    @property
    def n_features(self) -> int:
        return int(self.terms.shape[1])

    @property
    def term_names(self) -> List[str]:
        """Readable names of the terms ("1", "x", "x^2", "x0*x1", ...)."""
        return term_names(self.terms, self.feature_names if self.n_features > 1 or
                          self.feature_names != ["x"] else None)

    # -- inference -----------------------------------------------------------
    def conf_int(self, level: float = 0.95) -> np.ndarray:
        """Confidence intervals of the coefficients, from Student's t.

        Parameters
        ----------
        level : float
            Confidence level, strictly between 0 and 1.

        Returns
        -------
        ndarray, shape (p, 2)
            Lower and upper bounds of each coefficient of `coef`.

        Examples
        --------
        >>> fit.conf_int(0.9).shape  # doctest: +SKIP
        (2, 2)
        """
        q = _t_quantile(level, self.dof)
        half = q * self.stderr
        return np.column_stack([self.coef - half, self.coef + half])

    def wald_test(self, terms: Union[int, str, Sequence[Union[int, str]]]) -> WaldTest:
        """Wald test that the given coefficients are all zero, from the fit's own
        covariance (that of its robust estimate, `cov`).

        The statistic is ``b' C^-1 b / q`` for the q tested coefficients b and
        their covariance C, referred to Fisher's F on (q, `dof`) degrees of
        freedom (statsmodels' F form; for one term it is the t value squared,
        with the same p-value as `pvalues`). The large-sample chi-square form
        is reported too. Coefficients are those of the powers of the original
        variables: a test of the highest powers does not depend on the units or
        origin of x, a test of lower ones does.

        Parameters
        ----------
        terms : int, str or sequence of them
            Positions in `coef`, or term names as in `term_names` ("x^2",
            "x0*x1"; "Intercept" or "1" for the constant).

        Returns
        -------
        WaldTest
            ``statistic``, ``df_num``, ``df_denom``, ``pvalue`` (and ``chi2``,
            ``pvalue_chi2``).

        Examples
        --------
        >>> import numpy as np
        >>> from zelt_fit import robust_polyfit
        >>> rng = np.random.default_rng(3)
        >>> x = rng.uniform(-1.0, 1.0, 200)
        >>> y = 1.0 + x + rng.normal(0.0, 0.1, 200)
        >>> y[:30] += 4.0
        >>> test = robust_polyfit(x, y, 3).wald_test(["x^2", "x^3"])
        >>> test.df_num, bool(test.pvalue > 0.01)
        (2, True)
        """
        names = self.term_names
        zero = np.flatnonzero(np.all(self.terms == 0, axis=1))
        index = term_index(terms, names, int(zero[0]) if zero.size else -1)
        shown = ["Intercept" if i in zero else names[i] for i in index]
        test = wald(self.coef, self.cov, index, names, self.dof)
        test.terms = shown
        return test

    def se_mean(self, x: object) -> np.ndarray:
        """Standard error of the mean response at x, in y's units (the half-width
        of the confidence interval divided by its t quantile).

        Examples
        --------
        >>> fit.se_mean([0.0, 1.0])  # doctest: +SKIP
        """
        U = self._scaled(x)
        Phi = _engine.design(self.terms, U)
        var = np.einsum("ij,jk,ik->i", Phi, self.cov_scaled, Phi)
        return self.scaling.y_scale * np.sqrt(np.clip(var, 0.0, None))

    def _named_columns(self, x: object) -> object:
        """A DataFrame's columns in the fit's order, matched by name; a frame
        whose names are not the fit's is refused (pairing by position would
        predict from the wrong variables)."""
        given = _checks.feature_names_of(x) if getattr(x, "columns", None) is not None else None
        default = ["x"] if self.n_features == 1 else [f"x{j}" for j in range(self.n_features)]
        if given is None or self.feature_names == default:
            return x
        if given == self.feature_names:
            return x
        unknown = [g for g in given if g not in self.feature_names]
        missing = [f for f in self.feature_names if f not in given]
        if unknown or missing:
            raise ValueError(f"x's columns are not the fit's variables: unknown {unknown}, missing {missing} "
                             f"(the fit has {self.feature_names})")
        frame: Any = x
        lookup = {str(c): c for c in frame.columns}
        return frame[[lookup[f] for f in self.feature_names]]

    def _scaled(self, x: object) -> np.ndarray:
        X = _checks.as_features(self._named_columns(x), "x")
        if X.shape[1] != self.n_features:
            if self.n_features == 1 and X.shape[0] == 1:
                X = X.reshape(-1, 1)
            else:
                raise ValueError(f"x has {X.shape[1]} variable(s), but the fit has {self.n_features}")
        return self.scaling.u(X)

    def noise_scale(self, x: object) -> np.ndarray:
        """Standard deviation of the noise at x, in y's units: `scale`, or, where
        the fit found the noise varying with the variables, its modelled scale
        there (`scale` at the geometric mean over the inliers).

        Examples
        --------
        >>> fit.noise_scale([0.0, 10.0])  # doctest: +SKIP
        """
        U = self._scaled(x)
        g = self.extra.get("variance_model")
        if g is None:
            return np.full(U.shape[0], self.scale)
        return self.scale * relative_scale(U, g)

    @overload
    def predict(self, x: object, interval: None = None, level: None = None) -> np.ndarray: ...

    @overload
    def predict(self, x: object, interval: str,
                level: Optional[float] = None) -> Tuple[np.ndarray, np.ndarray, np.ndarray]: ...

    def predict(self, x: object, interval: Optional[str] = None, level: Optional[float] = None) -> Prediction:
        """Predictions of the model, optionally with an interval.

        Predictions go through the scaled basis (each variable mapped to
        [-1, 1] as in the fit), so they stay exact where the coefficients in
        the original units cancel (x in years, for example).

        Parameters
        ----------
        x : array-like, shape (m,) or (m, d)
            Points at which to predict. A DataFrame's columns are matched to
            the fit's variables by name.
        interval : {None, "confidence", "prediction"}
            None: the predictions alone. "confidence": an interval for the
            mean response; "prediction": an interval for a new observation
            (the mean's uncertainty plus the noise, whose scale may vary
            with the variables: see `noise_scale`).
        level : float, optional
            Level of the interval (0.95 by default); only with an interval.

        Returns
        -------
        ndarray of shape (m,), or a tuple (prediction, lower, upper)

        Examples
        --------
        >>> yhat, lo, hi = fit.predict([0.5, 1.5], interval="prediction")  # doctest: +SKIP
        """
        if interval is None and level is not None:
            raise ValueError(f"level = {level!r} is given without an interval: pass interval='confidence' "
                             "or 'prediction'")
        if interval is not None and (not isinstance(interval, str) or interval not in ("confidence", "prediction")):
            raise ValueError(f"interval must be None, 'confidence' or 'prediction', got {interval!r}")
        q = _t_quantile(0.95 if level is None else level, self.dof) if interval is not None else 0.0
        U = self._scaled(x)
        Phi = _engine.design(self.terms, U)
        ys = self.scaling.y_scale
        pred = self.scaling.y_center + ys * (Phi @ self.coef_scaled)
        if interval is None:
            return pred
        var = ys * ys * np.einsum("ij,jk,ik->i", Phi, self.cov_scaled, Phi)
        if interval == "prediction":
            g = self.extra.get("variance_model")
            noise = self.scale if g is None else self.scale * relative_scale(U, g)
            var = var + noise ** 2
        half = q * np.sqrt(np.clip(var, 0.0, None))
        return pred, pred - half, pred + half

    def residuals(self, x: object, y: object) -> np.ndarray:
        """y - predict(x) (x and y of the same length; pandas objects of the same index)."""
        _checks.same_index(x, y)
        v = _checks.as_target(y)
        pred = self.predict(x)
        if v.shape[0] != pred.shape[0]:
            raise ValueError(f"x has {pred.shape[0]} points but y has {v.shape[0]}")
        return v - pred

    # -- presentation ----------------------------------------------------------
    def __repr__(self) -> str:
        coef = np.array2string(self.coef, precision=6, separator=", ", max_line_width=10_000)
        return (f"PolyFit(degree={self.degree}, basis={self.basis!r}, terms={self.terms.shape[0]}, "
                f"n={self.n}, inliers={self.n_inliers}, scale={self.scale:.6g}, coef={coef})")

    def summary(self, level: float = 0.95) -> str:
        """A text table of the fit: y's name, the consensus set, the estimator,
        the residual scale and the weights; the coefficients with standard
        errors, t values, p values (`tvalues`, `pvalues`) and intervals; then
        the search's energy and the refit's passes, and the degree table.

        Examples
        --------
        >>> print(fit.summary())  # doctest: +SKIP
        """
        level = _checks.as_level(level)
        width = 78
        rule, thin = "=" * width, "-" * width
        lines = ["Robust polynomial fit (zelt_fit)".center(width), rule]
        basis = self.basis if self.n_features > 1 else "powers"
        share = self.n_inliers / self.n if self.n else float("nan")
        estimator = self.extra.get("estimate") or "least squares"
        info = [
            ("Dep. variable:", self.y_name if len(self.y_name) <= 22 else self.y_name[:21] + "~",
             "Degree:", f"{self.degree} ({basis})"),
            ("Observations:", f"{self.n}", "Terms:", f"{self.terms.shape[0]}"),
            ("Inliers:", f"{self.n_inliers} ({share:.1%})", "Flagged:", f"{self.n - self.n_inliers}"),
            ("Estimator:", estimator if len(estimator) <= 22 else estimator[:21] + "~",
             "Residual scale:", f"{self.scale:.6g}"),
            ("Df residuals:", f"{self.dof:.6g}", "Variables:",
             ", ".join(self.feature_names) if len(self.feature_names) <= 4
             else f"{len(self.feature_names)}"),
        ]
        w = self.weights
        if isinstance(w, np.ndarray):
            partial = int(np.count_nonzero((w > 0) & (w < 0.9)))
            info.append(("Weights >= 0.9:", f"{int(np.count_nonzero(w >= 0.9))}", "below / zero:",
                         f"{partial} / {int(np.count_nonzero(w == 0)) - self.n_dropped}"))
        if self.n_dropped:
            info.append(("Dropped rows:", f"{self.n_dropped} (missing)", "", ""))
        cw = self.case_weights
        if isinstance(cw, np.ndarray):
            fin = cw[np.isfinite(cw)]
            kind = "Variance weights:" if self.extra.get("weight_kind") == "variance" else "Case weights:"
            info.append((kind, f"sum {fin.sum():.6g}", "min / max:",
                         f"{fin.min():.3g} / {fin.max():.3g}" if fin.size else "-"))
            zero = int(np.count_nonzero(fin == 0))
            if zero:
                info.append(("Zero weights:", f"{zero}", "", ""))
        if self.slope or self.curvature:
            info.append(("Slope weight:", f"{self.slope:.6g}", "Curvature weight:", f"{self.curvature:.6g}"))
        for a, b, c, d in info:
            lines.append(f"{a:<16}{b:>22}    {c:<18}{d:>18}".rstrip())
        lines.append(rule)
        lo_label = f"[{(1 - level) / 2:.3g}"
        hi_label = f"{1 - (1 - level) / 2:.3g}]"
        constant = np.all(self.terms == 0, axis=1)
        names = ["Intercept" if constant[i] else name for i, name in enumerate(self.term_names)]
        name_w = max(10, min(24, max(len(s) for s in names) + 1))
        lines.append(f"{'':<{name_w}}{'coef':>11}{'std err':>11}{'t':>9}{'P>|t|':>9}{lo_label:>11}{hi_label:>11}")
        lines.append(thin)
        ci = self.conf_int(level)
        se, tv, pv = self.stderr, self.tvalues, self.pvalues
        for i, name in enumerate(names):
            label = name if len(name) <= name_w - 1 else name[:name_w - 2] + "~"
            lines.append(f"{label:<{name_w}}{self.coef[i]:>11.4g}{se[i]:>11.3g}{tv[i]:>9.3g}"
                         f"{pv[i]:>9.3f}{ci[i, 0]:>11.4g}{ci[i, 1]:>11.4g}")
        lines.append(rule)
        notes = [f"Search: MDL energy {self.search_energy:.6g} (scaled problem); refit: {self.rounds} "
                 "passes over the data."]
        if self.extra.get("estimate"):
            how = self.extra["estimate"]
            if how == "MM-estimate":
                how += (": Tukey's bisquare (c = 4.685, 95 % efficiency at Gaussian noise) at the "
                        "consensus set's scale")
            if self.extra.get("start"):
                how += f", from the {self.extra['start']} start"
            notes.append(f"Estimate: {how}.")
        if self.extra.get("variance_model") is not None:
            notes.append("Noise: its scale varies with the variables (modelled; residuals standardised "
                         "and weighted by it).")
        lines.extend(notes)
        table = self.degree_table
        if table is not None:
            lines.append(thin)
            if self.weights_sum != self.n:
                lines.append("Degree chosen by a robust information criterion (weighted sum of 2 rho(r/s), rho "
                             "the bisquare's, + log(weights summed) per term):")
            else:
                lines.append("Degree chosen by a robust information criterion (sum of 2 rho(r/s), rho the "
                             "bisquare's, + log(n) per term):")
            lines.extend(table.summary().splitlines())
        if self.slope or self.curvature:
            lines.append("Smoothness penalty: intervals are those of the penalised estimate and do not "
                         "include its bias.")
        return "\n".join(lines)

    def plot(self, ax: Any = None, *, level: float = 0.95, n_grid: int = 400, data: Any = None):
        """Plot the fit in one variable: data, curve, confidence and prediction
        bands, and the flagged points.

        Parameters
        ----------
        ax : matplotlib Axes, optional
            Where to draw; a new figure's axes by default.
        level : float
            Level of the bands.
        n_grid : int
            Points of the drawn curve.
        data : (x, y), optional
            The data fitted, to draw the points (the fit keeps only the mask).

        Returns
        -------
        matplotlib Axes
        """
        from ._plot import plot_fit

        return plot_fit(self, ax=ax, level=level, n_grid=n_grid, data=data)
