"""zelt_fit: robust polynomial models in any units and any number of variables.

Built on the native engine ``zelt_core`` (a seeded tournament MCMC search for
the coefficients of lowest MDL energy), ``zelt_fit`` gives what a fit is for:
coefficients in the data's own units, the points flagged as outliers (bad
leverage points among them), standard errors and intervals of a high-breakdown
MM-estimate,
predictions with confidence or prediction intervals, a summary table, a plot,
and a scikit-learn estimator.

Examples
--------
>>> import numpy as np
>>> from zelt_fit import robust_polyfit
>>> rng = np.random.default_rng(0)
>>> x = rng.uniform(0.0, 10.0, 300)
>>> y = 1.0 + 0.5 * x - 0.05 * x**2 + rng.normal(0.0, 0.1, 300)
>>> y[:60] += 5.0                                   # a fifth of the points wrong
>>> fit = robust_polyfit(x, y, 2)
>>> np.round(fit.coef, 2)
array([ 1.  ,  0.5 , -0.05])
>>> bool(fit.inliers[:60].any())                  # every corrupted point flagged
False
"""
from __future__ import annotations

from importlib.metadata import PackageNotFoundError, version

from ._batch import BatchFit
from ._engine import SearchSettings
from ._estimator import RobustPolynomialRegressor
from ._fit import robust_polyfit
from ._result import PolyFit
from ._stats import DegreeTable, WaldTest
from ._terms import polynomial_terms

try:
    __version__ = version("zelt_core")
except PackageNotFoundError:  # pragma: no cover - run from a source tree without metadata
    __version__ = "0+unknown"

__all__ = ["robust_polyfit", "PolyFit", "BatchFit", "RobustPolynomialRegressor", "SearchSettings", "WaldTest",
           "DegreeTable", "polynomial_terms", "__version__"]
