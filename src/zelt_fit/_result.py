"""`PolyFit`: a robust polynomial fit, its uncertainty and what it predicts."""
from __future__ import annotations

from typing import Any, List, Optional, Tuple, Union, overload

import numpy as np

from . import _checks, _engine
from ._passes import relative_scale
from ._terms import term_names
from ._units import Scaling

__all__ = ["PolyFit"]

Prediction = Union[np.ndarray, Tuple[np.ndarray, np.ndarray, np.ndarray]]


def _t_quantile(level: float, dof: float) -> float:
    from scipy.stats import t

    if not 0.0 < level < 1.0:
        raise ValueError(f"level must lie strictly between 0 and 1, got {level!r}")
    if not dof > 0:
        return float("nan")
    return float(t.ppf(0.5 + 0.5 * level, dof))


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
        The consensus set: the points the refit explains (False: flagged as outliers).
    scale : float
        Residual standard deviation of the inliers, in y's units.
    cov : ndarray, shape (p, p)
        Covariance of `coef` (least squares on the inliers, residual variance
        ``scale**2``).
    stderr : ndarray, shape (p,)
        Standard errors of `coef`.
    degree : int
        Degree of the model (the largest power in one variable; the largest
        total or per-variable power in several, as the basis counts it).
    basis : str
        ``"total"``, ``"tensor"`` or ``"explicit"``.
    dof : float
        Residual degrees of freedom of the refit (inliers less the number of
        coefficients, or less the effective number with a smoothness penalty).
    search_coef : ndarray, shape (p,)
        The tournament search's own coefficients, in the original units.
    search_energy : float
        The MDL energy of the search's best state (on the scaled problem).
    rounds : int
        Least-squares solves the refit made.
    feature_names : list of str
        Names of the variables (DataFrame columns, or ``x`` / ``x0, x1, ...``).

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
                 extra: Optional[dict] = None, n: Optional[int] = None) -> None:
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

    # -- derived -------------------------------------------------------------
    @property
    def stderr(self) -> np.ndarray:
        """Standard errors of `coef`."""
        return np.sqrt(np.clip(np.diag(self.cov), 0.0, None))

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

    def _scaled(self, x: object) -> np.ndarray:
        X = _checks.as_features(x, "x")
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
    def predict(self, x: object, interval: None = None, level: float = 0.95) -> np.ndarray: ...

    @overload
    def predict(self, x: object, interval: str, level: float = 0.95) -> Tuple[np.ndarray, np.ndarray, np.ndarray]: ...

    def predict(self, x: object, interval: Optional[str] = None, level: float = 0.95) -> Prediction:
        """Predictions of the model, optionally with an interval.

        Predictions go through the scaled basis (each variable mapped to
        [-1, 1] as in the fit), so they stay exact where the coefficients in
        the original units cancel (x in years, for example).

        Parameters
        ----------
        x : array-like, shape (m,) or (m, d)
            Points at which to predict.
        interval : {None, "confidence", "prediction"}
            None: the predictions alone. "confidence": an interval for the
            mean response; "prediction": an interval for a new observation
            (the mean's uncertainty plus the noise, whose scale may vary
            with the variables: see `noise_scale`).
        level : float
            Level of the interval.

        Returns
        -------
        ndarray of shape (m,), or a tuple (prediction, lower, upper)

        Examples
        --------
        >>> yhat, lo, hi = fit.predict([0.5, 1.5], interval="prediction")  # doctest: +SKIP
        """
        U = self._scaled(x)
        Phi = _engine.design(self.terms, U)
        ys = self.scaling.y_scale
        pred = self.scaling.y_center + ys * (Phi @ self.coef_scaled)
        if interval is None:
            return pred
        if interval not in ("confidence", "prediction"):
            raise ValueError(f"interval must be None, 'confidence' or 'prediction', got {interval!r}")
        q = _t_quantile(level, self.dof)
        var = ys * ys * np.einsum("ij,jk,ik->i", Phi, self.cov_scaled, Phi)
        if interval == "prediction":
            g = self.extra.get("variance_model")
            noise = self.scale if g is None else self.scale * relative_scale(U, g)
            var = var + noise ** 2
        half = q * np.sqrt(np.clip(var, 0.0, None))
        return pred, pred - half, pred + half

    def residuals(self, x: object, y: object) -> np.ndarray:
        """y - predict(x)."""
        return _checks.as_target(y) - self.predict(x)

    # -- presentation ----------------------------------------------------------
    def __repr__(self) -> str:
        coef = np.array2string(self.coef, precision=6, separator=", ", max_line_width=10_000)
        return (f"PolyFit(degree={self.degree}, basis={self.basis!r}, terms={self.terms.shape[0]}, "
                f"n={self.n}, inliers={self.n_inliers}, scale={self.scale:.6g}, coef={coef})")

    def summary(self, level: float = 0.95) -> str:
        """A text table of the fit: coefficients with standard errors, t values,
        p values and intervals, then the consensus set and the residual scale.

        Examples
        --------
        >>> print(fit.summary())  # doctest: +SKIP
        """
        from scipy.stats import t as student

        width = 78
        rule, thin = "=" * width, "-" * width
        lines = ["Robust polynomial fit (zelt_fit)".center(width), rule]
        basis = self.basis if self.n_features > 1 else "powers"
        share = self.n_inliers / self.n if self.n else float("nan")
        info = [
            ("Observations:", f"{self.n}", "Degree:", f"{self.degree} ({basis})"),
            ("Inliers:", f"{self.n_inliers} ({share:.1%})", "Terms:", f"{self.terms.shape[0]}"),
            ("Flagged:", f"{self.n - self.n_inliers}", "Residual scale:", f"{self.scale:.6g}"),
            ("Df residuals:", f"{self.dof:.6g}", "Refit rounds:", f"{self.rounds}"),
            ("Search energy:", f"{self.search_energy:.6g}", "Variables:",
             ", ".join(self.feature_names) if len(self.feature_names) <= 4
             else f"{len(self.feature_names)}"),
        ]
        if self.slope or self.curvature:
            info.append(("Slope weight:", f"{self.slope:.6g}", "Curvature weight:", f"{self.curvature:.6g}"))
        for a, b, c, d in info:
            lines.append(f"{a:<16}{b:>22}    {c:<18}{d:>18}")
        lines.append(rule)
        lo_label = f"[{(1 - level) / 2:.3g}"
        hi_label = f"{1 - (1 - level) / 2:.3g}]"
        names = self.term_names
        name_w = max(10, min(24, max(len(s) for s in names) + 1))
        lines.append(f"{'':<{name_w}}{'coef':>11}{'std err':>11}{'t':>9}{'P>|t|':>9}{lo_label:>11}{hi_label:>11}")
        lines.append(thin)
        ci = self.conf_int(level)
        se = self.stderr
        for i, name in enumerate(names):
            tval = self.coef[i] / se[i] if se[i] > 0 else float("nan")
            pval = 2.0 * student.sf(abs(tval), self.dof) if self.dof > 0 and np.isfinite(tval) else float("nan")
            label = name if len(name) <= name_w - 1 else name[:name_w - 2] + "~"
            lines.append(f"{label:<{name_w}}{self.coef[i]:>11.4g}{se[i]:>11.3g}{tval:>9.3g}"
                         f"{pval:>9.3f}{ci[i, 0]:>11.4g}{ci[i, 1]:>11.4g}")
        lines.append(rule)
        notes = []
        if self.extra.get("estimate"):
            how = self.extra["estimate"]
            if self.extra.get("start"):
                how += f" over the consensus set (started from the {self.extra['start']})"
            notes.append(f"Estimate: {how}.")
        if self.extra.get("variance_model") is not None:
            notes.append("Noise: its scale varies with the variables (modelled; residuals standardised "
                         "and weighted by it).")
        lines.extend(notes)
        table = self.extra.get("degrees")
        if table:
            lines.append(thin)
            lines.append("Degree chosen by a robust information criterion (sum of min(r^2/s^2, 16) "
                         "+ log(n) per term):")
            lines.append(f"{'degree':>8}{'terms':>8}{'criterion':>14}{'BIC (own set)':>16}{'inliers':>10}")
            for row in table:
                mark = " <-" if row["degree"] == self.degree else ""
                lines.append(f"{row['degree']:>8}{row['terms']:>8}{row['criterion']:>14.2f}"
                             f"{row['bic']:>16.2f}{row['inliers']:>10}{mark}")
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
