"""deg="auto", half the points wrong, and clean data with heavy tails or noise
that varies along x: the refit's choices pinned on fixed data sets."""
import numpy as np
import pytest

import zelt_core as z
from zelt_fit import RobustPolynomialRegressor, robust_polyfit


def polynomial(seed, n, deg, share=0.0, noise=0.05, kind="two-sided"):
    rng = np.random.default_rng(seed)
    beta = rng.uniform(-1.0, 1.0, deg + 1)
    beta[-1] = rng.choice([-1.0, 1.0]) * rng.uniform(0.5, 1.0)
    x = rng.uniform(-1.0, 1.0, n)
    y = np.polynomial.polynomial.polyval(x, beta) + rng.normal(0.0, noise, n)
    bad = rng.choice(n, int(share * n), replace=False)
    if kind == "one-sided":
        y[bad] += rng.uniform(2.0, 5.0, bad.size)
    else:
        y[bad] += rng.choice([-1.0, 1.0], bad.size) * rng.uniform(2.0, 5.0, bad.size)
    inlier = np.ones(n, bool)
    inlier[bad] = False
    return x, y, beta, inlier


def mdl_degree(x, y, top=7):
    """The degree whose robust fit has the least MDL score of the module."""
    scores = []
    for d in range(top + 1):
        fit = robust_polyfit(x, y, d)
        scores.append(z.mdl_score(fit.predict(x), y, d + 1))
    return int(np.argmin(scores))


CASES = [(seed, n, deg, share) for seed, (n, deg, share) in enumerate(
    [(300, 1, 0.0), (300, 2, 0.2), (300, 3, 0.35), (300, 4, 0.1), (300, 5, 0.2),
     (1000, 3, 0.0), (1000, 5, 0.35), (120, 2, 0.2), (120, 4, 0.0)])]


@pytest.mark.parametrize("seed, n, deg, share", CASES)
def test_auto_degree_picks_the_true_degree(seed, n, deg, share):
    x, y, beta, inlier = polynomial(seed, n, deg, share)
    fit = robust_polyfit(3.0 * x + 10.0, y, "auto")
    assert fit.degree == deg
    assert fit.terms.shape == (deg + 1, 1)
    assert not np.any(fit.inliers & ~inlier) and fit.n_inliers >= 0.99 * inlier.sum()
    table = fit.extra["degrees"]
    assert [row["degree"] for row in table] == list(range(8))
    assert min(table, key=lambda row: row["criterion"])["degree"] == deg
    text = fit.summary()
    assert "Degree chosen by a robust information criterion" in text and f"{deg} (powers)" in text


@pytest.mark.parametrize("case", [CASES[0], CASES[3], CASES[7]], ids=["deg1", "deg4", "deg2-n120"])
def test_auto_degree_where_the_mdl_score_picks_wrong(case):
    # the MDL score's band follows the spread of y, not the noise: coefficients
    # that bring a few more points inside it win
    seed, n, deg, share = case
    x, y, beta, inlier = polynomial(seed, n, deg, share)
    assert mdl_degree(x, y) != deg
    assert robust_polyfit(x, y, "auto").degree == deg


def test_auto_degree_in_several_variables_and_in_the_estimator():
    rng = np.random.default_rng(5)
    X = rng.uniform(-1.0, 1.0, (600, 2))
    y = 0.5 + X[:, 0] - 0.8 * X[:, 0] * X[:, 1] + 0.6 * X[:, 1] ** 2 + rng.normal(0.0, 0.05, 600)
    y[:150] += rng.uniform(3.0, 6.0, 150)
    fit = robust_polyfit(X, y, "auto")
    assert fit.degree == 2 and fit.terms.shape == (6, 2) and [r["degree"] for r in fit.extra["degrees"]] == [0, 1, 2, 3, 4]
    model = RobustPolynomialRegressor(degree="auto").fit(X, y)
    np.testing.assert_array_equal(model.coef_, fit.coef)
    assert RobustPolynomialRegressor(degree="auto", max_degree=1).fit(X, y).fit_.degree <= 1


@pytest.mark.parametrize("n, seed", [(300, 1), (300, 2), (3000, 3)])
def test_half_the_points_wrong(n, seed):
    x, y, beta, inlier = polynomial(seed, n, 3, 0.5, kind="one-sided")
    fit = robust_polyfit(x, y, 3)
    oracle = z.ols(z.design_matrix_1d(3, x)[inlier], y[inlier])
    assert np.max(np.abs(fit.coef - beta)) < 0.1
    assert np.sum(fit.inliers & ~inlier) == 0 and fit.n_inliers >= 0.99 * inlier.sum()
    assert np.all(np.abs(fit.coef - oracle) < 2 * fit.stderr)


def test_heteroscedastic_clean_fit_close_to_least_squares_and_its_band_follows_the_noise():
    rng = np.random.default_rng(12)
    x = rng.uniform(-1.0, 1.0, 600)
    sd = 0.02 * 10.0 ** ((x + 1.0) / 2.0)          # sd grows 10x across x
    beta = np.array([0.3, -0.7, 0.5])
    y = np.polynomial.polynomial.polyval(x, beta) + rng.normal(0.0, 1.0, x.size) * sd
    fit = robust_polyfit(x, y, 2)
    ls = z.ols(z.design_matrix_1d(2, x), y)
    # no legitimate point is trimmed where the noise is large
    assert fit.n_inliers >= 598
    # close to least squares (the benchmark compares their precision over many data sets)
    assert np.all(np.abs(fit.coef - ls) < 3 * fit.stderr)
    assert np.all(np.abs(fit.coef - beta) < 3 * fit.stderr)
    # the noise model: about 10x from one end to the other
    ends = fit.noise_scale([-1.0, 1.0])
    assert 5.0 < ends[1] / ends[0] < 20.0
    _, lo, hi = fit.predict([-0.9, 0.9], interval="prediction")
    assert (hi - lo)[1] > 4 * (hi - lo)[0]
    assert "varies with the variables" in fit.summary()


def test_student_t_noise_gives_the_bisquare_estimate_not_a_trimmed_one():
    rng = np.random.default_rng(13)
    x = rng.uniform(-1.0, 1.0, 500)
    y = 1.0 + 0.5 * x + 0.05 * rng.standard_t(3, x.size)
    fit = robust_polyfit(x, y, 1)
    assert fit.extra["variance_model"] is None
    assert "MM-estimate" in fit.summary()
    assert np.max(np.abs(fit.coef - [1.0, 0.5])) < 0.02


@pytest.mark.parametrize("design", ["log-spaced", "clustered"])
def test_a_design_the_search_band_misses_is_rescued_by_the_second_start(design):
    rng = np.random.default_rng(21)
    n = 300
    if design == "log-spaced":
        x = 2.0 * (np.geomspace(1.0, 1000.0, n) - 1.0) / 999.0 - 1.0
    else:
        x = np.clip(rng.choice([-0.7, 0.1, 0.6], n) + rng.normal(0.0, 0.1, n), -1.0, 1.0)
        x[:2] = [-1.0, 1.0]
    beta = np.array([0.2, -0.5, 0.9, -0.6])
    y = np.polynomial.polynomial.polyval(x, beta) + rng.normal(0.0, 0.05, n)
    bad = rng.choice(n, 60, replace=False)
    y[bad] += rng.choice([-1.0, 1.0], 60) * rng.uniform(2.0, 5.0, 60)
    inlier = np.ones(n, bool)
    inlier[bad] = False
    fit = robust_polyfit(x, y, 3)
    assert np.array_equal(fit.inliers, inlier)
    assert np.max(np.abs(fit.coef - beta)) < 0.2
