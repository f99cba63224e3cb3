"""RobustPolynomialRegressor follows scikit-learn's rules: every check of
check_estimator passes, and it works in pipelines, grid searches, cross
validation, clone and pickle."""
import pickle
import subprocess
import sys
import textwrap
import warnings

import numpy as np
import pytest

sklearn = pytest.importorskip("sklearn")
from sklearn.base import clone, is_regressor  # noqa: E402
from sklearn.exceptions import NotFittedError  # noqa: E402
from sklearn.model_selection import GridSearchCV, KFold, cross_val_score  # noqa: E402
from sklearn.pipeline import make_pipeline  # noqa: E402
from sklearn.preprocessing import FunctionTransformer  # noqa: E402
from sklearn.utils.estimator_checks import parametrize_with_checks  # noqa: E402

from zelt_fit import RobustPolynomialRegressor, robust_polyfit  # noqa: E402


with warnings.catch_warnings():
    warnings.filterwarnings("ignore", "Estimator RobustPolynomialRegressor does not inherit", UserWarning)
    CHECKS = parametrize_with_checks([RobustPolynomialRegressor(), RobustPolynomialRegressor(degree="auto"),
                                      RobustPolynomialRegressor(degree=1, basis="tensor")],
                                     expected_failed_checks=lambda est: (
                                         {"check_sample_weight_equivalence_on_dense_data":
                                          "the check's 30 features make a tensor basis of 2^30 terms, "
                                          "which a fit refuses"} if est.basis == "tensor" else {}))


# The checks fit 10 to 200 samples with up to 1024 coefficients on purpose, and
# scikit-learn notes that the class does not inherit from its BaseEstimator (it
# cannot: scikit-learn is not imported at run time).
@pytest.mark.filterwarnings("ignore:.*samples are fewer than the:UserWarning")
@pytest.mark.filterwarnings("ignore:the model is not identifiable:UserWarning")
@pytest.mark.filterwarnings("ignore:.*leaves no degrees of freedom:RuntimeWarning")
@pytest.mark.filterwarnings("ignore:Estimator RobustPolynomialRegressor does not inherit:UserWarning")
@CHECKS
def test_scikit_learn_checks(estimator, check):
    check(estimator)


def curve(seed, n=300, share=0.2):
    rng = np.random.default_rng(seed)
    X = rng.uniform(0.0, 50.0, (n, 1))
    y = 3.0 - 0.2 * X[:, 0] + 0.01 * X[:, 0] ** 2 + rng.normal(0.0, 0.05, n)
    bad = rng.choice(n, int(share * n), replace=False)
    y[bad] += rng.uniform(5.0, 10.0, bad.size)
    return X, y, bad


def test_fitted_attributes_match_robust_polyfit():
    X, y, bad = curve(0)
    model = RobustPolynomialRegressor(degree=2, random_state=3).fit(X, y)
    fit = robust_polyfit(X[:, 0], y, 2, seed=3)
    np.testing.assert_array_equal(model.coef_, fit.coef)
    np.testing.assert_array_equal(model.inlier_mask_, fit.inliers)
    assert model.terms_.tolist() == [[0], [1], [2]] and model.n_features_in_ == 1
    assert model.scale_ == fit.scale and model.fit_.summary() == fit.summary()
    assert not model.inlier_mask_[bad].any()
    np.testing.assert_array_equal(model.predict(X), fit.predict(X[:, 0]))
    assert is_regressor(model) and "feature_names_in_" not in vars(model)


def test_in_a_pipeline_with_a_grid_search_over_the_degree():
    X, y, bad = curve(1)
    keep = np.ones(len(y), bool)
    keep[bad] = False
    pipe = make_pipeline(FunctionTransformer(lambda A: A / 10.0), RobustPolynomialRegressor())
    search = GridSearchCV(pipe, {"robustpolynomialregressor__degree": [1, 2, 3]},
                          cv=KFold(4, shuffle=True, random_state=0),
                          scoring=lambda est, A, b: -np.median(np.abs(est.predict(A) - b)))
    search.fit(X, y)
    # a median error ignores the outliers: the quadratic wins over the line
    assert search.best_params_["robustpolynomialregressor__degree"] in (2, 3)
    best = search.best_estimator_[-1]
    assert best.inlier_mask_.sum() == keep.sum()
    scores = cross_val_score(RobustPolynomialRegressor(degree=2), X[keep], y[keep], cv=5)
    assert scores.min() > 0.99


def test_clone_and_pickle():
    X, y, _ = curve(2)
    model = RobustPolynomialRegressor(degree=3, random_state=7, curvature=1e-6)
    twin = clone(model)
    assert twin.get_params() == model.get_params() and twin is not model
    assert repr(twin) == "RobustPolynomialRegressor(curvature=1e-06, degree=3, random_state=7)"
    model.fit(X, y)
    other = pickle.loads(pickle.dumps(model))
    np.testing.assert_array_equal(other.predict(X), model.predict(X))
    np.testing.assert_array_equal(other.inlier_mask_, model.inlier_mask_)
    assert not hasattr(clone(model), "coef_")


def test_fewer_samples_than_coefficients_gives_minimum_norm_least_squares():
    rng = np.random.default_rng(3)
    X = rng.normal(size=(12, 4))
    y = rng.normal(size=12)
    with pytest.warns(UserWarning, match="12 samples are fewer than the 15 coefficients"):
        model = RobustPolynomialRegressor(degree=2).fit(X, y)
    assert model.inlier_mask_.all()
    np.testing.assert_allclose(model.predict(X), y, atol=1e-9)   # interpolates, as least squares must
    # minimum norm in the scaled basis: the coefficients a pseudo-inverse gives
    fit = model.fit_
    U = fit.scaling.u(X)
    Phi = np.prod(U[:, None, :] ** fit.terms[None], axis=2)
    expected = np.linalg.pinv(Phi) @ fit.scaling.v(y)
    np.testing.assert_allclose(fit.coef_scaled, expected, rtol=1e-8, atol=1e-10)


@pytest.mark.parametrize("params, message", [
    ({"degree": -1}, "degree must be a non-negative integer"),
    ({"degree": 1.5}, "degree must be a non-negative integer"),
    ({"basis": "full"}, "basis must be 'total' or 'tensor'"),
    ({"random_state": "seven"}, "random_state must be None, an int"),
])
def test_bad_parameters_are_refused_at_fit(params, message):
    X, y, _ = curve(4, n=40)
    model = RobustPolynomialRegressor(**params)     # stored unchecked
    with pytest.raises(ValueError, match=message):
        model.fit(X, y)


def test_unfitted_and_mismatched_inputs():
    X, y, _ = curve(5, n=60)
    with pytest.raises(NotFittedError):
        RobustPolynomialRegressor().predict(X)
    model = RobustPolynomialRegressor(degree=1).fit(X, y)
    with pytest.raises(ValueError, match="X has 2 features, but RobustPolynomialRegressor is expecting 1"):
        model.predict(np.column_stack([X, X]))
    with pytest.raises(ValueError, match="n_samples = 1"):
        RobustPolynomialRegressor().fit(X[:1], y[:1])


def test_no_optional_package_is_imported_at_run_time():
    code = textwrap.dedent("""
        import sys
        import numpy as np
        import zelt_fit
        from zelt_fit import RobustPolynomialRegressor, robust_polyfit
        x = np.linspace(0, 1, 50); y = x ** 2
        fit = robust_polyfit(x, y, 2); fit.summary(); fit.predict(x, interval="prediction")
        m = RobustPolynomialRegressor().fit(x[:, None], y); m.score(x[:, None], y)
        try:
            RobustPolynomialRegressor().predict(x[:, None])
        except ValueError as err:
            assert isinstance(err, AttributeError)
        loaded = sorted(k for k in ("sklearn", "matplotlib", "dask", "pandas", "distributed") if k in sys.modules)
        print(loaded)
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "[]"
