"""`RobustPolynomialRegressor`: the robust fit as a scikit-learn estimator
(scikit-learn itself is not imported; its rules are followed)."""
from __future__ import annotations

import inspect
import numbers
import warnings
from typing import Any, Dict, Optional

import numpy as np

from . import _checks, _missing, _routing, _sklearn, _weights
from ._engine import SEED_LIMIT
from ._fit import (SEARCH_POINTS, NotIdentifiable, _require_fit_size, _settings, _terms_of, fit_arrays,
                   minimum_norm_fit)
from ._result import PolyFit

__all__ = ["RobustPolynomialRegressor"]


def _seed(random_state: Any) -> int:
    """An integer seed from scikit-learn's kinds of random_state."""
    if random_state is None:
        return int(np.random.randint(0, 2**31 - 1))
    if isinstance(random_state, (numbers.Integral, np.integer)) and not isinstance(random_state, bool):
        if not 0 <= int(random_state) < SEED_LIMIT:
            raise ValueError(f"random_state must be an integer in [0, 2**64), got {random_state}")
        return int(random_state)
    if isinstance(random_state, np.random.RandomState):
        return int(random_state.randint(0, 2**31 - 1))
    if isinstance(random_state, np.random.Generator):
        return int(random_state.integers(0, 2**31 - 1))
    raise ValueError(f"random_state must be None, an int, a RandomState or a Generator, "
                     f"got {random_state!r}")


class RobustPolynomialRegressor:
    """Robust polynomial regression, as a scikit-learn estimator.

    Fits the polynomial of the given degree in the features of X by
    :func:`zelt_fit.robust_polyfit` (each feature mapped to [-1, 1], a
    tournament MCMC search for the points a polynomial explains, a
    high-breakdown start, then Tukey's bisquare MM-estimate), so it works in
    any units and ignores gross outliers, bad leverage points among them.
    Where there are fewer samples than coefficients no outlier can be told from
    an inlier: the fit is then the minimum-norm least-squares fit of all samples,
    with a warning, as ``PolynomialFeatures`` followed by ``LinearRegression``
    would give.

    Parameters
    ----------
    degree : int or "auto"
        Degree of the polynomial; ``"auto"`` chooses it from 0 to `max_degree`
        (see :func:`zelt_fit.robust_polyfit`).
    basis : {"total", "tensor"}
        Terms in several features: every monomial of total degree <= degree,
        or every monomial with each power <= degree.
    random_state : int, RandomState, Generator or None
        Seed of the search; None draws one from NumPy's global random state.
    slope, curvature : float
        Smoothness weights of the refit (see :func:`zelt_fit.robust_polyfit`).
    search_points : int
        Samples the search runs on at most.
    max_degree : int, optional
        Largest candidate of ``degree="auto"``.

    Attributes
    ----------
    coef_ : ndarray of shape (n_terms,)
        Coefficients of the monomials `terms_`, in the units of X and y.
    terms_ : ndarray of int, shape (n_terms, n_features)
        Powers of each feature in each term.
    inlier_mask_ : ndarray of bool, shape (n_samples,)
        The samples of the consensus set (False: flagged as outliers).
    scale_ : float
        Residual standard deviation of the inliers.
    n_features_in_ : int
        Number of features seen in fit.
    feature_names_in_ : ndarray of str, shape (n_features,)
        Names of the features seen in fit, when X had string column names.
    fit_ : PolyFit
        The whole fit: covariance, t and p values, Wald tests, fitted values
        and residuals of the training data, intervals, summary, plot.

    See Also
    --------
    robust_polyfit : the function it calls, with intervals and a summary.
    sklearn.preprocessing.PolynomialFeatures : the basis without the robust fit.
    sklearn.linear_model.HuberRegressor : a robust linear estimator of scikit-learn.

    Examples
    --------
    >>> import numpy as np
    >>> from zelt_fit import RobustPolynomialRegressor
    >>> rng = np.random.default_rng(0)
    >>> X = rng.uniform(-3.0, 3.0, (200, 2))
    >>> y = 1.0 + X[:, 0] - 0.5 * X[:, 0] * X[:, 1] + rng.normal(0.0, 0.05, 200)
    >>> y[:30] -= 10.0
    >>> model = RobustPolynomialRegressor(degree=2).fit(X, y)
    >>> bool(model.inlier_mask_[:30].any())            # the corrupted samples flagged
    False
    >>> model.score(X[30:], y[30:]) > 0.99
    True
    """

    def __init__(self, degree: int = 2, *, basis: str = "total", random_state: Any = 42,
                 slope: float = 0.0, curvature: float = 0.0,
                 search_points: int = SEARCH_POINTS, max_degree: Optional[int] = None) -> None:
        self.degree = degree
        self.basis = basis
        self.random_state = random_state
        self.slope = slope
        self.curvature = curvature
        self.search_points = search_points
        self.max_degree = max_degree

    # -- parameters, as scikit-learn's BaseEstimator ---------------------------
    @classmethod
    def _get_param_names(cls):
        sig = inspect.signature(cls.__init__)
        return sorted(p.name for p in sig.parameters.values()
                      if p.name != "self" and p.kind != p.VAR_KEYWORD)

    def get_params(self, deep: bool = True) -> Dict[str, Any]:
        """Parameters of this estimator, by name.

        Parameters
        ----------
        deep : bool
            Accepted for scikit-learn; the parameters hold no estimators.

        Returns
        -------
        dict
        """
        return {name: getattr(self, name) for name in self._get_param_names()}

    def set_params(self, **params: Any) -> "RobustPolynomialRegressor":
        """Set parameters by name; checked when `fit` runs.

        Returns
        -------
        self
        """
        valid = self._get_param_names()
        for key, value in params.items():
            if key not in valid:
                raise ValueError(f"Invalid parameter {key!r} for estimator {type(self).__name__}. "
                                 f"Valid parameters are: {valid!r}.")
            setattr(self, key, value)
        return self

    def __repr__(self) -> str:
        sig = inspect.signature(type(self).__init__)
        changed = []
        for name in self._get_param_names():
            default = sig.parameters[name].default
            value = getattr(self, name)
            if not (value is default or (type(value) is type(default) and value == default)):
                changed.append(f"{name}={value!r}")
        return f"{type(self).__name__}({', '.join(changed)})"

    def __sklearn_tags__(self):
        from sklearn.utils import InputTags, RegressorTags, Tags, TargetTags

        return Tags(estimator_type="regressor",
                    target_tags=TargetTags(required=True, single_output=True, multi_output=False),
                    regressor_tags=RegressorTags(),
                    input_tags=InputTags(two_d_array=True, allow_nan=False))

    def __sklearn_is_fitted__(self) -> bool:
        return hasattr(self, "fit_")

    # -- fitting ---------------------------------------------------------------
    def fit(self, X: Any, y: Any, sample_weight: Any = None) -> "RobustPolynomialRegressor":
        """Fit the robust polynomial.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
        y : array-like of shape (n_samples,)
        sample_weight : array-like of shape (n_samples,), optional
            Case weights, finite and >= 0, as scikit-learn means them: a sample
            of weight 0 is as if absent, one of integer weight k as k copies
            of it (see the ``weights`` of :func:`zelt_fit.robust_polyfit`).
            With metadata routing on, a meta-estimator passes them once
            requested by ``set_fit_request(sample_weight=True)``.

        Returns
        -------
        self
        """
        names = _sklearn.feature_names(X)
        A_all = _sklearn.check_array(X)
        v_all = _sklearn.check_target(y, A_all.shape[0])
        w = None
        if sample_weight is not None:
            w = _weights.as_weights(sample_weight, A_all.shape[0], "sample_weight")
        A, v, cw, kept = _weights.fitted_rows(A_all, v_all, w, "sample_weight")
        n, d = A_all.shape[0] if kept is None else A.shape[0], A_all.shape[1]
        if n < 2:
            raise ValueError(f"n_samples = {n}: a fit needs at least 2 samples")
        if self.basis not in ("total", "tensor"):
            raise ValueError(f"basis must be 'total' or 'tensor', got {self.basis!r}")
        if isinstance(self.degree, str) and self.degree == "auto":
            terms, degree, basis_name, auto = _terms_of("auto", self.basis, d, self.max_degree, n)
        else:
            degree = _checks.as_degree(self.degree, "degree", auto=True)
            if self.max_degree is not None:
                raise ValueError(f"max_degree applies only to degree='auto', got max_degree={self.max_degree!r} "
                                 f"with degree={self.degree!r}")
            terms, degree, basis_name, auto = _terms_of(degree, self.basis, d)
        _, slope, curvature, search_points, _ = _settings(0, self.slope, self.curvature, self.search_points, None)
        labels = [str(s) for s in names] if names is not None else None
        _checks.require_varying(A, terms.max(axis=0) > 0, _checks.variable_names(d, labels, "X"))
        seed = _seed(self.random_state)
        if n >= terms.shape[0]:
            _require_fit_size(terms, search_points, n)
        if n < terms.shape[0]:
            warnings.warn(f"{n} samples are fewer than the {terms.shape[0]} coefficients of a degree-"
                          f"{degree} polynomial in {d} feature(s): no outlier can be told from an "
                          "inlier, so this is the minimum-norm least-squares fit of all samples",
                          UserWarning, stacklevel=2)
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", RuntimeWarning)
                fit = minimum_norm_fit(A, v, terms, degree, basis_name, labels,
                                       slope=self.slope, curvature=self.curvature, cw=cw)
        else:
            try:
                fit = fit_arrays(A, v, terms, degree, basis_name, labels, seed=seed, slope=self.slope,
                                 curvature=self.curvature, search_points=self.search_points, auto=auto, cw=cw)
            except NotIdentifiable as e:
                # as with fewer samples than coefficients: no robust fit, the
                # minimum-norm least squares of PolynomialFeatures + LinearRegression
                warnings.warn(f"{e}: this is the minimum-norm least-squares fit of all samples",
                              UserWarning, stacklevel=2)
                with warnings.catch_warnings():
                    warnings.simplefilter("ignore", RuntimeWarning)
                    fit = minimum_norm_fit(A, v, terms, degree, basis_name, labels,
                                           slope=self.slope, curvature=self.curvature, cw=cw)
        fit._attach(A_all, v_all, kept, y_name=_missing.target_name(y), dropped=0)
        if w is not None:
            fit._set_case_weights(w)
        self._set_fitted(fit, d, names)
        return self

    def _set_fitted(self, fit: PolyFit, d: int, names: Optional[np.ndarray]) -> None:
        self.fit_ = fit
        self.coef_ = fit.coef
        self.terms_ = fit.terms
        self.inlier_mask_ = fit.inliers
        self.scale_ = fit.scale
        self.n_features_in_ = d
        if names is not None:
            self.feature_names_in_ = names
        elif hasattr(self, "feature_names_in_"):
            del self.feature_names_in_

    # -- using the fit -------------------------------------------------------------
    def _checked(self, X: Any) -> np.ndarray:
        if not hasattr(self, "fit_"):
            raise _sklearn.not_fitted(self)
        _sklearn.check_feature_names(self, X)
        A = _sklearn.check_array(X)
        if A.shape[1] != self.n_features_in_:
            raise ValueError(f"X has {A.shape[1]} features, but {type(self).__name__} is expecting "
                             f"{self.n_features_in_} features as input")
        return A

    def predict(self, X: Any, return_std: bool = False) -> Any:
        """Predictions of the fitted polynomial.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
        return_std : bool
            Also return the standard error of the mean response at each sample
            (from the fit's covariance; the noise is not included: see
            `predict_interval` for an interval of a new observation), as
            scikit-learn's Bayesian regressors do.

        Returns
        -------
        y_mean : ndarray of shape (n_samples,)
        y_std : ndarray of shape (n_samples,)
            Only with ``return_std=True``.
        """
        A = self._checked(X)
        pred = self.fit_.predict(A)
        if return_std:
            return pred, self.fit_.se_mean(A)
        return pred

    def predict_interval(self, X: Any, level: float = 0.95, kind: str = "prediction") -> np.ndarray:
        """Intervals at the samples of X, from Student's t on the fit's degrees
        of freedom.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
        level : float
            Level of the intervals, strictly between 0 and 1.
        kind : {"prediction", "confidence"}
            "prediction": for a new observation (the mean's uncertainty and the
            noise, whose modelled scale may vary with the features);
            "confidence": for the mean response.

        Returns
        -------
        ndarray of shape (n_samples, 2)
            Lower and upper bounds.

        Examples
        --------
        >>> bounds = model.predict_interval(X[:3], level=0.9)  # doctest: +SKIP
        """
        if kind not in ("prediction", "confidence"):
            raise ValueError(f"kind must be 'prediction' or 'confidence', got {kind!r}")
        A = self._checked(X)
        _, lo, hi = self.fit_.predict(A, interval=kind, level=level)
        return np.column_stack([lo, hi])

    # -- metadata routing, as scikit-learn's estimators ----------------------------
    def get_metadata_routing(self):
        """scikit-learn's metadata request of this estimator: ``sample_weight``
        of `score` (and of `fit`, where it takes one), not requested unless
        set by `set_score_request` / `set_fit_request`.

        Returns
        -------
        sklearn.utils.metadata_routing.MetadataRequest
        """
        return _routing.metadata_routing(self)

    # scikit-learn's scorers built on `score` read the request here
    _get_default_requests = get_metadata_routing

    def set_score_request(self, *, sample_weight: Any = _routing.UNCHANGED) -> "RobustPolynomialRegressor":
        """Request that a meta-estimator pass ``sample_weight`` to `score`
        (with ``sklearn.set_config(enable_metadata_routing=True)``).

        Parameters
        ----------
        sample_weight : bool, None or str
            True: request it; False: do not; None: error if given; a string:
            the name under which to take it.

        Returns
        -------
        self
        """
        return _routing.set_request(self, "score", {"sample_weight": sample_weight})

    def set_fit_request(self, *, sample_weight: Any = _routing.UNCHANGED) -> "RobustPolynomialRegressor":
        """Request that a meta-estimator pass ``sample_weight`` to `fit`
        (with ``sklearn.set_config(enable_metadata_routing=True)``).

        Parameters
        ----------
        sample_weight : bool, None or str
            True: request it; False: do not; None: error if given; a string:
            the name under which to take it.

        Returns
        -------
        self

        Examples
        --------
        >>> import sklearn
        >>> from sklearn.pipeline import make_pipeline
        >>> from sklearn.preprocessing import StandardScaler
        >>> from zelt_fit import RobustPolynomialRegressor
        >>> with sklearn.config_context(enable_metadata_routing=True):
        ...     model = make_pipeline(StandardScaler().set_fit_request(sample_weight=False),
        ...                           RobustPolynomialRegressor(2).set_fit_request(sample_weight=True))
        """
        return _routing.set_request(self, "fit", {"sample_weight": sample_weight})

    def score(self, X: Any, y: Any, sample_weight: Any = None) -> float:
        """Coefficient of determination R^2 of the predictions.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
        y : array-like of shape (n_samples,)
        sample_weight : array-like of shape (n_samples,), optional

        Returns
        -------
        float
        """
        yhat = self.predict(X)
        v = _sklearn.check_target(y, yhat.shape[0])
        if v.shape[0] < 2:   # as scikit-learn's r2_score
            _sklearn.undefined_metric("R^2 score is not well-defined with less than two samples.")
            return float("nan")
        w = np.ones_like(v) if sample_weight is None else np.asarray(sample_weight, dtype=np.float64)
        mean = np.average(v, weights=w)
        total = float(np.sum(w * (v - mean) ** 2))
        resid = float(np.sum(w * (v - yhat) ** 2))
        if total == 0.0:
            return 1.0 if resid == 0.0 else 0.0
        return 1.0 - resid / total
