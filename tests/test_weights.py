"""Case weights: a point of integer weight k is k copies of it, weight 0 is an
absent point, inverse-variance weights beat none where the noise differs from
point to point; the weighted sums of a pass, the Dask path and the estimator's
sample_weight under scikit-learn's metadata routing."""
from __future__ import annotations

import pickle

import numpy as np
import pytest

from zelt_fit import RobustPolynomialRegressor, robust_polyfit
from zelt_fit._passes import Evaluation, block_stats

SUMS = ("G", "h", "vv", "tt", "psi2", "dpsi", "dpsi2", "QQ", "Qz", "z1", "z2", "Gu", "Hpsi", "gpsi",
        "clipped", "prev_rr")


def data(seed, n=160, d=1, share=0.2, sigma=0.1):
    rng = np.random.default_rng(seed)
    X = rng.uniform(-2.0, 3.0, (n, d))
    y = 1.0 + X.sum(axis=1) - 0.4 * (X ** 2).sum(axis=1) + rng.normal(0.0, sigma, n)
    bad = rng.choice(n, int(share * n), replace=False)
    y[bad] += rng.uniform(3.0, 8.0, bad.size)
    w = rng.integers(1, 4, n).astype(np.float64)
    return (X[:, 0] if d == 1 else X), y, w, bad


def replicate(x, y, w):
    k = w.astype(np.int64)
    return np.repeat(x, k, axis=0), np.repeat(y, k), np.concatenate([[0], np.cumsum(k)[:-1]])


CASES = {
    "1 variable, 20% outliers": dict(d=1, deg=2),
    "1 variable, no outliers": dict(d=1, deg=2, share=0.0),
    "1 variable, deg=auto": dict(d=1, deg="auto"),
    "2 variables, 20% outliers": dict(d=2, deg=2),
    "slope penalty": dict(d=1, deg=4, fit=dict(slope=1e-3)),
    "curvature penalty, 2 variables": dict(d=2, deg=3, fit=dict(curvature=1e-3)),
    "sample spread over the data": dict(d=1, deg=2, n=400, fit=dict(search_points=300)),
    "2 variables, sample spread": dict(d=2, deg=2, n=400, fit=dict(search_points=300)),
}


@pytest.mark.parametrize("case", list(CASES), ids=list(CASES))
def test_integer_weights_give_the_fit_of_the_replicated_rows(case):
    setup = CASES[case]
    x, y, w, _ = data(7, n=setup.get("n", 160), d=setup["d"], share=setup.get("share", 0.2))
    kw = setup.get("fit", {})
    fit = robust_polyfit(x, y, setup["deg"], weights=w, **kw)
    xr, yr, first = replicate(x, y, w)
    rep = robust_polyfit(xr, yr, setup["deg"], **kw)
    assert fit.degree == rep.degree
    se = rep.stderr
    assert np.all(np.abs(fit.coef - rep.coef) <= 1e-7 * se + 1e-12 * np.abs(rep.coef))
    np.testing.assert_allclose(fit.stderr, se, rtol=1e-7)
    np.testing.assert_allclose(fit.scale, rep.scale, rtol=1e-9)
    assert fit.dof == pytest.approx(rep.dof, rel=1e-12)
    # every copy of a point is flagged alike, so the first copy speaks for it
    np.testing.assert_array_equal(fit.inliers, rep.inliers[first])
    np.testing.assert_allclose(fit.weights, rep.weights[first], atol=1e-9)
    assert fit.n == x.shape[0] and fit.weights_sum == w.sum() and rep.n == w.sum()
    if setup["deg"] == "auto":
        np.testing.assert_allclose(fit.degree_table.criterion, rep.degree_table.criterion, rtol=1e-9)


def test_weights_of_one_are_no_weights_bit_for_bit():
    x, y, _, _ = data(3)
    plain = robust_polyfit(x, y, "auto")
    ones = robust_polyfit(x, y, "auto", weights=np.ones(x.size))
    for name in ("coef", "cov", "inliers", "weights", "search_coef"):
        np.testing.assert_array_equal(getattr(ones, name), getattr(plain, name))
    assert (ones.scale, ones.dof, ones.degree) == (plain.scale, plain.dof, plain.degree)


@pytest.mark.parametrize("d", [1, 2])
def test_weight_zero_is_an_absent_row(d):
    x, y, w, _ = data(11, d=d)
    w[::7] = 0.0
    fit = robust_polyfit(x, y, 2, weights=w)
    keep = w > 0
    ref = robust_polyfit(x[keep], y[keep], 2, weights=w[keep])
    np.testing.assert_array_equal(fit.coef, ref.coef)
    np.testing.assert_array_equal(fit.cov, ref.cov)
    assert fit.inliers.shape == (x.shape[0],) and not fit.inliers[~keep].any()
    assert not fit.weights[~keep].any()
    np.testing.assert_array_equal(fit.inliers[keep], ref.inliers)
    assert fit.n == keep.sum() and fit.n_dropped == 0
    assert fit.resid.shape == (x.shape[0],)   # residuals of every row given, the absent ones too
    assert "Zero weights:" in fit.summary()


def test_a_constant_factor_changes_only_what_it_should():
    """Case weights times 3: every point three times, so dof = 3 W - p and the
    fit of the rows replicated three times. Variance weights times c: the same
    fit, its scale (that of a point of weight 1) sqrt(c) times as large."""
    x, y, w, _ = data(5, n=200)
    c = 3.0
    tripled = robust_polyfit(x, y, 2, weights=c * w)
    xr, yr, _ = replicate(x, y, c * w)
    rep = robust_polyfit(xr, yr, 2)
    np.testing.assert_allclose(tripled.coef, rep.coef, rtol=1e-9, atol=1e-12)
    assert tripled.dof == pytest.approx(rep.dof, rel=1e-12) == c * w[tripled.inliers].sum() - 3
    once = robust_polyfit(x, y, 2, weights=w)
    assert tripled.dof == pytest.approx(c * (once.dof + 3) - 3, rel=1e-12)
    iv = np.random.default_rng(1).uniform(0.5, 2.0, x.size)
    a = robust_polyfit(x, y, 2, weights=iv, weight_kind="variance")
    assert "Variance weights:" in a.summary() and a.weights_sum == x.size
    for factor in (10.0, 1e-3):
        b = robust_polyfit(x, y, 2, weights=factor * iv, weight_kind="variance")
        np.testing.assert_array_equal(a.inliers, b.inliers)
        np.testing.assert_allclose(b.coef, a.coef, rtol=1e-9, atol=1e-12)
        np.testing.assert_allclose(b.stderr, a.stderr, rtol=1e-8)
        assert b.dof == a.dof == a.n_inliers - 3
        assert b.scale == pytest.approx(a.scale * np.sqrt(factor), rel=1e-9)


@pytest.mark.parametrize("kind", ["variance", "case"])
def test_inverse_variance_weights_beat_none_where_the_noise_differs_from_point_to_point(kind):
    """Known measurement errors that do not follow x (the fit's own model of
    the noise cannot find them): weights 1 / sigma^2 make the coefficients'
    errors smaller, by a ratio of mean squared errors over 20 data sets."""
    rng = np.random.default_rng(2026)
    err_w, err_u = [], []
    truth = np.array([1.0, 2.0, -0.5])
    for _ in range(20):
        n = 200
        x = rng.uniform(-1.0, 1.0, n)
        sigma = np.exp(rng.uniform(np.log(0.02), np.log(1.0), n))
        y = truth[0] + truth[1] * x + truth[2] * x ** 2 + rng.normal(0.0, 1.0, n) * sigma
        bad = rng.choice(n, 20, replace=False)
        y[bad] += rng.uniform(5.0, 10.0, 20)
        w = 1.0 / sigma ** 2
        w = w / w.mean()
        err_w.append(np.sum((robust_polyfit(x, y, 2, weights=w, weight_kind=kind).coef - truth) ** 2))
        err_u.append(np.sum((robust_polyfit(x, y, 2).coef - truth) ** 2))
    ratio = np.mean(err_w) / np.mean(err_u)
    assert ratio < 0.3, ratio   # measured: 0.08 as variance weights, 0.11 as case weights


def test_variance_weights_give_calibrated_standard_errors():
    """With weights 1 / sigma^2 as inverse variances, the standardised error
    of the slope has a spread near 1 over 60 data sets (as case weights, which
    hold every residual to one scale, the spread measured 1.56)."""
    rng = np.random.default_rng(9)
    z = []
    for _ in range(60):
        n = 150
        x = rng.uniform(-1.0, 1.0, n)
        sigma = np.exp(rng.uniform(np.log(0.05), np.log(0.5), n))
        y = 1.0 + 2.0 * x + rng.normal(0.0, 1.0, n) * sigma
        fit = robust_polyfit(x, y, 1, weights=1.0 / sigma ** 2, weight_kind="variance")
        z.append((fit.coef[1] - 2.0) / fit.stderr[1])
    assert 0.8 < np.std(z) < 1.25


@pytest.mark.parametrize("weights, message", [
    (lambda n: np.full(n, np.nan), "weights contains NaN or infinity in"),
    (lambda n: np.r_[np.inf, np.ones(n - 1)], "weights contains NaN or infinity in 1 of"),
    (lambda n: np.r_[np.ones(n - 1), -1.0], "weights must be >= 0, got -1.0 at position"),
    (lambda n: np.ones(n + 1), "weights has 161 entries but the data have 160 rows"),
    (lambda n: np.ones((n, 2)), "weights must have shape (n,)"),
    (lambda n: np.zeros(n), "weights are all zero"),
    (lambda n: ["a"] * n, "weights must be an array of real numbers"),
    (lambda n: {"weight_kind": "inverse"}, "weight_kind must be 'case' or 'variance', got 'inverse'"),
])
def test_bad_weights_are_refused_by_name(weights, message):
    x, y, _, _ = data(1)
    with pytest.raises(ValueError, match=message.replace("(", r"\(").replace(")", r"\)")):
        given = weights(x.size)
        kw = given if isinstance(given, dict) else {"weights": given}
        robust_polyfit(x, y, 2, **{"weights": np.ones(x.size), **kw})


def test_missing_drop_drops_a_row_whose_weight_is_missing():
    x, y, w, _ = data(4)
    w[[3, 50]] = np.nan
    y[10] = np.nan
    fit = robust_polyfit(x, y, 2, weights=w, missing="drop")
    keep = np.ones(x.size, bool)
    keep[[3, 10, 50]] = False
    ref = robust_polyfit(x[keep], y[keep], 2, weights=w[keep])
    np.testing.assert_array_equal(fit.coef, ref.coef)
    assert fit.n_dropped == 3 and not fit.inliers[~keep].any()
    with pytest.raises(ValueError, match="weights contains NaN or infinity in 2 of 160 rows"):
        robust_polyfit(x, np.where(np.isnan(y), 0.0, y), 2, weights=w)
    # a negative weight is refused even among rows that are dropped anyway
    w[3] = -1.0
    with pytest.raises(ValueError, match="must be >= 0"):
        robust_polyfit(x, y, 2, weights=w, missing="drop")


def test_pandas_weights_must_share_the_index():
    pd = pytest.importorskip("pandas")
    x, y, w, _ = data(4)
    ys = pd.Series(y, index=np.arange(x.size) + 5)
    with pytest.raises(ValueError, match="y and weights are pandas objects with different indexes"):
        robust_polyfit(x, ys, 2, weights=pd.Series(w))
    fit = robust_polyfit(x, ys, 2, weights=pd.Series(w, index=ys.index))
    np.testing.assert_array_equal(fit.coef, robust_polyfit(x, y, 2, weights=w).coef)


def test_the_fit_keeps_its_weights_and_shows_them():
    x, y, w, _ = data(8)
    fit = robust_polyfit(x, y, 2, weights=w)
    np.testing.assert_array_equal(fit.case_weights, w)
    assert not fit.case_weights.flags.writeable
    text = fit.summary()
    assert f"sum {w.sum():.6g}" in text and "1 / 3" in text
    again = pickle.loads(pickle.dumps(fit))
    np.testing.assert_array_equal(again.case_weights, w)
    assert robust_polyfit(x, y, 2).case_weights is None


# -- the sums of one pass ------------------------------------------------------------------------------

def _evaluations(p, d):
    rng = np.random.default_rng(0)
    coef = rng.normal(0.0, 0.3, p)
    g = np.r_[0.0, rng.normal(0.0, 0.2, 2 * d)]
    return {
        "cut": dict(ev=Evaluation(coef, 1.0)),
        "cut, variance model": dict(ev=Evaluation(coef, 1.0, g)),
        "bisquare": dict(ev=Evaluation(coef, 1.5, bisquare=1.5)),
        "bisquare, variance model": dict(ev=Evaluation(coef, 1.5, g, bisquare=1.5)),
        "variance sums, clip, previous": dict(ev=Evaluation(coef, 1.0), variance=True, clip=0.3,
                                              previous=Evaluation(coef * 0.9, 0.8)),
    }


@pytest.mark.parametrize("kind", list(_evaluations(3, 1)))
def test_pass_sums_weight_each_row(kind):
    """Integer case weights give the sums of the replicated rows; weights
    doubled double every weighted sum and leave the row counts alone."""
    from zelt_fit._engine import design
    from zelt_fit._terms import polynomial_terms

    rng = np.random.default_rng(1)
    n, d = 300, 2
    terms = polynomial_terms(d, 2, "total")
    U = rng.uniform(-1.0, 1.0, (n, d))
    Phi = np.asfortranarray(design(terms, U))
    v = Phi @ rng.normal(0.0, 0.3, terms.shape[0]) + rng.normal(0.0, 0.5, n)
    cw = rng.integers(0, 4, n).astype(np.float64)
    chosen = _evaluations(terms.shape[0], d)[kind]
    args = (chosen["ev"], chosen.get("previous"), chosen.get("variance", False), chosen.get("clip"))
    weighted = block_stats(Phi, v, U, *args, cw=cw)
    k = cw.astype(np.int64)
    rep = block_stats(np.asfortranarray(np.repeat(Phi, k, axis=0)), np.repeat(v, k), np.repeat(U, k, axis=0), *args)
    doubled = block_stats(Phi, v, U, *args, cw=2.0 * cw)
    ones = block_stats(Phi, v, U, *args, cw=np.ones(n))
    plain = block_stats(Phi, v, U, *args)
    checked = 0
    for name in SUMS:
        a, b = getattr(weighted, name), getattr(rep, name)
        if a is None:
            assert b is None and getattr(plain, name) is None
            continue
        np.testing.assert_allclose(a, b, rtol=1e-10, atol=1e-10, err_msg=name)
        np.testing.assert_allclose(getattr(doubled, name), 2.0 * np.asarray(a), rtol=1e-12, atol=1e-12,
                                   err_msg=name)
        np.testing.assert_allclose(getattr(ones, name), getattr(plain, name), rtol=1e-13, atol=1e-13,
                                   err_msg=name)
        checked += 1
    assert checked >= 5
    kept_rows = weighted.count
    assert weighted.wcount == rep.count == rep.wcount and doubled.wcount == 2 * weighted.wcount
    assert doubled.count == kept_rows == plain.count and plain.wcount == plain.count
    assert doubled.changed == weighted.changed == plain.changed


# -- Dask -------------------------------------------------------------------------------------------------

@pytest.mark.parametrize("kind", ["integer", "quarters", "variance"])
def test_dask_weights_give_the_in_memory_fit(kind):
    da = pytest.importorskip("dask.array")
    x, y, w, _ = data(12, n=300)
    if kind != "integer":
        w = w * 0.25 + 0.5
    w[::17] = 0.0
    wk = "variance" if kind == "variance" else "case"
    fit = robust_polyfit(x, y, 2, weights=w, weight_kind=wk)
    lazy = robust_polyfit(da.from_array(x, chunks=70), da.from_array(y, chunks=70), 2,
                          weights=da.from_array(w, chunks=70), weight_kind=wk)
    assert lazy.scale == pytest.approx(fit.scale, rel=1e-9)
    np.testing.assert_allclose(lazy.coef, fit.coef, rtol=1e-9, atol=1e-12)
    np.testing.assert_allclose(lazy.stderr, fit.stderr, rtol=1e-7)
    assert lazy.dof == pytest.approx(fit.dof, rel=1e-12)
    np.testing.assert_array_equal(np.asarray(lazy.inliers.compute()), fit.inliers)
    np.testing.assert_allclose(np.asarray(lazy.weights.compute()), fit.weights, atol=1e-9)


def test_dask_weights_with_missing_rows_dropped():
    da = pytest.importorskip("dask.array")
    x, y, w, _ = data(13, n=300)
    w[5] = np.nan
    y[9] = np.nan
    fit = robust_polyfit(x, y, 2, weights=w, missing="drop")
    lazy = robust_polyfit(da.from_array(x, chunks=100), da.from_array(y, chunks=100), 2,
                          weights=da.from_array(w, chunks=100), missing="drop")
    np.testing.assert_allclose(lazy.coef, fit.coef, rtol=1e-9, atol=1e-12)
    assert lazy.n_dropped == fit.n_dropped == 2
    with pytest.raises(ValueError, match="weights contains NaN or infinity"):
        robust_polyfit(da.from_array(x, chunks=100), da.from_array(np.nan_to_num(y), chunks=100), 2,
                       weights=da.from_array(w, chunks=100))


# -- the estimator ------------------------------------------------------------------------------------

def test_sample_weight_through_a_pipeline_with_metadata_routing():
    sklearn = pytest.importorskip("sklearn")
    from sklearn.pipeline import make_pipeline
    from sklearn.preprocessing import FunctionTransformer

    x, y, w, _ = data(21)
    X = x[:, None]
    Xr, yr, _ = replicate(X, y, w)
    grid = np.linspace(-2.0, 3.0, 7)[:, None]
    with sklearn.config_context(enable_metadata_routing=True):
        pipe = make_pipeline(FunctionTransformer(),
                             RobustPolynomialRegressor(2, random_state=0).set_fit_request(sample_weight=True))
        pipe.fit(X, y, sample_weight=w)
        weighted = pipe.predict(grid)
        plain = make_pipeline(FunctionTransformer(), RobustPolynomialRegressor(2, random_state=0)
                              .set_fit_request(sample_weight=True)).fit(X, y).predict(grid)
        # not requested: scikit-learn refuses to drop the weights silently
        unrequested = make_pipeline(FunctionTransformer(), RobustPolynomialRegressor(2))
        with pytest.raises(Exception, match="sample_weight"):
            unrequested.fit(X, y, sample_weight=w)
    repeated = RobustPolynomialRegressor(2, random_state=0).fit(Xr, yr).predict(grid)
    np.testing.assert_allclose(weighted, repeated, rtol=1e-9, atol=1e-9)
    assert not np.allclose(weighted, plain, rtol=1e-6)
    model = pipe[-1]
    assert model.fit_.case_weights is not None and model.inlier_mask_.shape == (x.size,)


def test_estimator_sample_weight_zero_and_errors():
    x, y, w, _ = data(22)
    X = x[:, None]
    w[:10] = 0.0
    a = RobustPolynomialRegressor(2, random_state=1).fit(X, y, sample_weight=w)
    b = RobustPolynomialRegressor(2, random_state=1).fit(X[10:], y[10:], sample_weight=w[10:])
    np.testing.assert_array_equal(a.coef_, b.coef_)
    assert not a.inlier_mask_[:10].any()
    with pytest.raises(ValueError, match="sample_weight has 3 entries"):
        RobustPolynomialRegressor(2).fit(X, y, sample_weight=[1.0, 2.0, 3.0])
    with pytest.raises(ValueError, match="sample_weight must be >= 0"):
        RobustPolynomialRegressor(2).fit(X, y, sample_weight=-np.ones(x.size))


def test_the_weighted_majority_is_the_fit_even_on_fewer_rows():
    """60 rows on one line of weight 1, 40 on another of weight 3: the second
    holds most of the weight (120 of 180), so the fit follows it, as it would
    the 120 copies; the set is fewer than half the rows but more than half
    the weight, which the guard against a collapsed set counts."""
    rng = np.random.default_rng(3)
    x = rng.uniform(0.0, 1.0, 100)
    y = np.where(np.arange(100) < 60, 5.0 - 2.0 * x, 1.0 + 2.0 * x) + rng.normal(0.0, 0.02, 100)
    w = np.where(np.arange(100) < 60, 1.0, 3.0)
    fit = robust_polyfit(x, y, 1, weights=w)
    np.testing.assert_allclose(fit.coef, [1.0, 2.0], atol=0.03)
    assert fit.n_inliers == 40 and fit.inliers[60:].all()
    np.testing.assert_allclose(robust_polyfit(x, y, 1).coef, [5.0, -2.0], atol=0.03)


def test_case_weights_summing_below_the_coefficients_say_so():
    x, y, _, _ = data(6, n=60)
    with pytest.warns(RuntimeWarning, match="case weights sum to .* pass weight_kind='variance'"):
        fit = robust_polyfit(x, y, 2, weights=np.full(x.size, 0.01))
    assert np.isnan(fit.stderr).all() and fit.dof < 0
    # the same weights as inverse variances: a fit with every figure defined
    fit = robust_polyfit(x, y, 2, weights=np.full(x.size, 0.01), weight_kind="variance")
    assert np.isfinite(fit.stderr).all() and fit.dof == fit.n_inliers - 3
