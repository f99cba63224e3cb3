"""zelt_fit.robust_polyfit and PolyFit: the fit recovers known polynomials in one
and several variables where the search alone does not, flags exactly the
corrupted points, gives the same answer in any units, and its intervals hold
their level."""
import copy
import pickle

import numpy as np
import pytest

import zelt_core as z
from zelt_fit import PolyFit, SearchSettings, polynomial_terms, robust_polyfit
from zelt_fit._engine import default_search

TRUTH = np.array([0.5, -1.0, 0.8, 0.6])


def monomials(X, terms):
    X = np.asarray(X, dtype=float).reshape(len(X), -1)
    return np.prod(X[:, None, :] ** terms[None, :, :], axis=2)


def corrupted_cubic(seed, kind, n=200, share=0.25, noise=0.02):
    """A cubic on [-1, 1] with a quarter of its points grossly wrong."""
    rng = np.random.default_rng(seed)
    x = rng.uniform(-1.0, 1.0, n)
    y = np.polynomial.polynomial.polyval(x, TRUTH) + rng.normal(0.0, noise, n)
    bad = rng.choice(n, int(share * n), replace=False)
    if kind == "one-sided":
        y[bad] += rng.uniform(2.0, 5.0, bad.size)
    elif kind == "two-sided":
        y[bad] += rng.choice([-1.0, 1.0], bad.size) * rng.uniform(2.0, 5.0, bad.size)
    else:  # leverage points: moved to the right end of x, all pulled upwards
        x[bad] = rng.uniform(0.85, 1.0, bad.size)
        y[bad] = np.polynomial.polynomial.polyval(x[bad], TRUTH) + rng.uniform(2.0, 5.0, bad.size)
    inlier = np.ones(n, dtype=bool)
    inlier[bad] = False
    return x, y, inlier


CASES = [(seed, kind) for kind in ("one-sided", "two-sided", "leverage") for seed in (0, 2)]


def bisquare_at_scale(Phi, y, keep, scale, c=4.6850649):
    """Tukey's bisquare M-estimate at a held scale, written plainly: from least
    squares on `keep`, weights (1 - (r / (c scale))^2)^2 inside c scale and 0
    outside, reweighted least squares to convergence. Returns the estimate
    and the points of weight above 0."""
    b = np.linalg.lstsq(Phi[keep], y[keep], rcond=None)[0]
    for _ in range(500):
        q = (y - Phi @ b) / (c * scale)
        w = np.where(np.abs(q) < 1.0, (1.0 - q * q) ** 2, 0.0)
        sw = np.sqrt(w)
        new = np.linalg.lstsq(Phi * sw[:, None], y * sw, rcond=None)[0]
        if np.max(np.abs(new - b)) < 1e-14 * (1 + np.max(np.abs(b))):
            b = new
            break
        b = new
    return b, np.abs(y - Phi @ b) < c * scale


@pytest.mark.parametrize("seed, kind", CASES)
def test_refit_recovers_the_cubic_where_the_search_alone_does_not(seed, kind):
    x, y, inlier = corrupted_cubic(seed, kind)
    fit = robust_polyfit(x, y, 3)
    # Noise 0.02 on 150 inliers: least squares on them is good to about 0.01.
    assert np.max(np.abs(fit.coef - TRUTH)) < 0.03
    # The search's energy cannot rank coefficients inside its tolerance band.
    assert np.max(np.abs(fit.search_coef - TRUTH)) > 0.1
    assert np.array_equal(fit.inliers, inlier)
    assert fit.terms.tolist() == [[0], [1], [2], [3]] and fit.degree == 3
    # The refit is the bisquare M-estimate at the fit's scale, in the original
    # units (x already spans [-1, 1] here, so the scaled basis is nearly x's own).
    Phi = z.design_matrix_1d(3, x)
    expected, keep = bisquare_at_scale(Phi, y, inlier, fit.scale)
    assert np.array_equal(keep, fit.inliers)
    np.testing.assert_allclose(fit.coef, expected, rtol=0, atol=1e-8)
    # and within a standard error of least squares on that set
    assert np.all(np.abs(fit.coef - z.ols(Phi[inlier], y[inlier])) < fit.stderr)
    # Its scale is about the residual standard deviation of the set.
    r = y[inlier] - Phi[inlier] @ fit.coef
    np.testing.assert_allclose(fit.scale, np.sqrt(r @ r / (inlier.sum() - 4)), rtol=0.1)


@pytest.mark.parametrize("seed, kind", CASES[::2])
@pytest.mark.parametrize(
    "change_y, change_x, y_factor",  # y_factor: how the coefficients scale when x is unchanged
    [
        (lambda y: 1000.0 * y, lambda x: x, 1000.0),
        (lambda y: 1e-3 * y, lambda x: x, 1e-3),
        (lambda y: y + 1.5e4, lambda x: x, None),
        (lambda y: y, lambda x: 60.0 * x + 1900.0, None),   # hours -> minutes past an origin
        (lambda y: -250.0 * y, lambda x: 1e-3 * x - 7.0, None),
    ],
    ids=["y*1000", "y/1000", "y+15000", "x in other units", "both"],
)
def test_same_answer_in_other_units(seed, kind, change_y, change_x, y_factor):
    x, y, _ = corrupted_cubic(seed, kind)
    base = robust_polyfit(x, y, 3)
    other = robust_polyfit(change_x(x), change_y(y), 3)
    assert np.array_equal(other.inliers, base.inliers)
    # Same curve: predictions at the data points agree up to the unit change.
    expected = change_y(base.predict(x))
    scale = np.max(np.abs(expected))
    np.testing.assert_allclose(other.predict(change_x(x)), expected, rtol=0, atol=1e-11 * scale)
    # Intervals change with y's units only.
    factor = abs(change_y(np.array([1.0]))[0] - change_y(np.array([0.0]))[0])
    np.testing.assert_allclose(other.scale, factor * base.scale, rtol=1e-9)
    _, lo_b, hi_b = base.predict(x[:5], interval="prediction")
    _, lo_o, hi_o = other.predict(change_x(x[:5]), interval="prediction")
    np.testing.assert_allclose(hi_o - lo_o, factor * (hi_b - lo_b), rtol=1e-8)
    if y_factor is not None:
        np.testing.assert_allclose(other.coef, y_factor * base.coef, rtol=1e-10, atol=1e-12 * abs(y_factor))
        np.testing.assert_allclose(other.stderr, abs(y_factor) * base.stderr, rtol=1e-8)


def test_years_and_francs_against_scaled_units():
    # x in years, y in francs, a quarter of the readings wrong by 20 000 to 60 000.
    rng = np.random.default_rng(3)
    years = np.sort(rng.uniform(1990.0, 2020.0, 120))
    t = (years - 2005.0) / 15.0
    clean_scaled = np.polynomial.polynomial.polyval(t, [0.5, 1.0, -0.3, 0.2])
    noise = rng.normal(0.0, 0.01, years.size)
    bad = rng.choice(years.size, 30, replace=False)
    shift = np.zeros(years.size)
    shift[bad] = rng.uniform(0.5, 1.5, bad.size)
    scaled = robust_polyfit(t, clean_scaled + noise + shift, 3)
    francs = 1.5e5 + 4e4 * (clean_scaled + noise + shift)
    raw = robust_polyfit(years, francs, 3)
    assert np.array_equal(raw.inliers, scaled.inliers)
    assert np.sum(~raw.inliers[bad]) == bad.size and raw.n_inliers == years.size - bad.size
    grid = np.linspace(1990.0, 2020.0, 13)
    np.testing.assert_allclose(raw.predict(grid), 1.5e5 + 4e4 * scaled.predict((grid - 2005.0) / 15.0),
                               rtol=1e-10)
    # Least squares directly in years misses the curve: the design is ill-conditioned there.
    assert np.linalg.cond(z.design_matrix_1d(3, years)) > 1e12


def test_fit_in_two_variables_total_degree_three():
    rng = np.random.default_rng(8)
    n = 500
    X = np.column_stack([rng.uniform(-1.0, 1.0, n), rng.uniform(-1.0, 1.0, n)])
    terms = polynomial_terms(2, 3)
    truth = rng.uniform(-1.0, 1.0, terms.shape[0])
    y = monomials(X, terms) @ truth + rng.normal(0.0, 0.02, n)
    bad = rng.choice(n, 125, replace=False)
    y[bad] += rng.uniform(4.0, 8.0, bad.size)
    # in other units: the coefficients of the raw monomials are known exactly
    Xr = X * [30.0, 0.01] + [1990.0, 5.0]
    fit = robust_polyfit(Xr, y, 3)
    assert fit.terms.tolist() == terms.tolist() and fit.basis == "total"
    assert np.sum(~fit.inliers[bad]) == bad.size and fit.n_inliers == n - bad.size
    np.testing.assert_allclose(fit.predict(Xr), monomials(X, terms) @ truth, atol=0.02)
    # back in the unit square, the scaled coefficients are the truth
    unit = robust_polyfit(X, y, 3)
    assert np.max(np.abs(unit.coef - truth)) < 0.03
    assert np.all(np.abs(unit.coef - truth) < 5 * unit.stderr)


def test_fit_in_three_variables_tensor_degree_two():
    rng = np.random.default_rng(4)
    n = 2000
    U = rng.uniform(-1.0, 1.0, (n, 3))
    terms = polynomial_terms(3, 2, "tensor")
    assert terms.shape == (27, 3)
    _, _, multi = z.build_penalty_matrices_nd([2, 2, 2], [(-1.0, 1.0)] * 3, 2)
    assert terms.tolist() == multi             # the core's tensor order
    truth = rng.uniform(-1.0, 1.0, 27)
    y = monomials(U, terms) @ truth + rng.normal(0.0, 0.02, n)
    bad = rng.choice(n, 600, replace=False)
    y[bad] += rng.choice([-1.0, 1.0], bad.size) * rng.uniform(6.0, 10.0, bad.size)
    fit = robust_polyfit(U * [2.0, 50.0, 0.1] - [1.0, 0.0, 3.0], y, 2, basis="tensor")
    assert np.sum(~fit.inliers[bad]) == bad.size and fit.n_inliers == n - bad.size
    np.testing.assert_allclose(fit.predict(U * [2.0, 50.0, 0.1] - [1.0, 0.0, 3.0]),
                               monomials(U, terms) @ truth, atol=0.02)
    unit = robust_polyfit(U, y, 2, basis="tensor")
    assert np.max(np.abs(unit.coef - truth)) < 0.03


@pytest.mark.parametrize("deg", [0, 1, 4])
def test_clean_data_gives_least_squares_even_from_a_useless_search(deg):
    # No steps at all: the search returns its random start. The consensus rounds
    # must still arrive at the fit a working search gives, close to least squares.
    rng = np.random.default_rng(deg)
    x = np.linspace(-3.0, 5.0, 40)
    beta = rng.uniform(-1.0, 1.0, deg + 1)
    y = np.polynomial.polynomial.polyval(x, beta) + rng.normal(0.0, 0.05, x.size)
    fit = robust_polyfit(x, y, deg, search=SearchSettings(n_chains=1, n_warmup=0, n_deep=0), seed=deg)
    assert fit.inliers.all()
    np.testing.assert_allclose(fit.coef, robust_polyfit(x, y, deg).coef, rtol=1e-9, atol=1e-9)
    # the bisquare MM-estimate, not least squares: at 95 % efficiency the two
    # differ by about a quarter of a standard error, more when the M-scale it
    # holds falls below the noise's sd by chance (up to 0.5 over 25 such sets)
    assert np.all(np.abs(fit.coef - z.ols(z.design_matrix_1d(deg, x), y)) < 0.75 * fit.stderr)


# (points the search sees, coefficients) -> whether the fit searches shorter
SHORT_SEARCH_CASES = {"60 points, quadratic": (60, 3, True), "300 points": (300, 3, True),
                      "301 points": (301, 3, False), "10 per coefficient": (30, 3, True),
                      "under 10 per coefficient": (29, 3, False), "three variables at 60": (60, 10, False),
                      "a sample of 2000": (2000, 3, False)}


@pytest.mark.parametrize("case", list(SHORT_SEARCH_CASES))
def test_default_search_is_shorter_only_on_short_data_with_points_to_spare(case):
    n_points, n_terms, short = SHORT_SEARCH_CASES[case]
    settings = default_search(n_points, n_terms)
    if short:
        assert (settings.n_warmup, settings.n_deep) == (100, 50)
        assert settings == SearchSettings(n_warmup=100, n_deep=50)
    else:
        assert settings == SearchSettings()


@pytest.mark.parametrize("n, deg, search_points", [(100, 2, 2000), (25, 2, 2000), (2500, 2, 2000), (500, 1, 200)])
def test_a_fit_without_settings_runs_the_default_of_its_sample(n, deg, search_points):
    # the default depends on the points the search sees (the sample, not n)
    rng = np.random.default_rng(n)
    x = np.sort(rng.uniform(-1.0, 1.0, n))
    y = 1.0 - x + 0.5 * x**2 + rng.normal(0.0, 0.05, n)
    y[::5] += 3.0
    fit = robust_polyfit(x, y, deg, seed=7, search_points=search_points)
    explicit = robust_polyfit(x, y, deg, seed=7, search_points=search_points,
                              search=default_search(min(n, search_points), deg + 1))
    for name in ("coef", "search_coef", "inliers", "weights"):
        assert np.asarray(getattr(fit, name)).tobytes() == np.asarray(getattr(explicit, name)).tobytes(), name
    assert fit.search_energy == explicit.search_energy or (np.isnan(fit.search_energy)
                                                          and np.isnan(explicit.search_energy))


def test_noise_free_inliers_give_the_exact_polynomial():
    # Residual scale 0 on the consensus set must not empty the set.
    rng = np.random.default_rng(11)
    x = np.linspace(-1.0, 1.0, 50)
    y = np.polynomial.polynomial.polyval(x, TRUTH)
    bad = rng.choice(x.size, 10, replace=False)
    y[bad] += 3.0
    fit = robust_polyfit(x, y, 3)
    np.testing.assert_allclose(fit.coef, TRUTH, rtol=0, atol=1e-9)
    assert not fit.inliers[bad].any()


def test_constant_targets_with_outliers():
    # MAD of y is 0 here: the scaling must fall back instead of dividing by 0.
    x = np.linspace(0.0, 10.0, 30)
    y = np.full(x.size, 4.0)
    y[[3, 17]] = [40.0, -9.0]
    fit = robust_polyfit(x, y, 2)
    np.testing.assert_allclose(fit.coef, [4.0, 0.0, 0.0], atol=1e-9)
    assert fit.n_inliers == x.size - 2


@pytest.mark.parametrize("terms", [[[0, 0], [1, 0], [0, 1], [1, 1]], [[0, 0], [2, 0], [0, 1]], [[1, 0], [0, 1]]],
                         ids=["closed", "gap", "no constant"])
def test_explicit_terms(terms):
    rng = np.random.default_rng(2)
    terms = np.array(terms)
    X = rng.uniform(-1.0, 1.0, (300, 2))
    truth = rng.uniform(0.5, 1.0, len(terms))
    y = monomials(X, terms) @ truth + rng.normal(0.0, 0.01, 300)
    y[:60] += rng.uniform(3.0, 6.0, 60)
    Xr = X * [4.0, 0.5]   # a term set with gaps changes meaning under a shift of x, not under a scale
    fit = robust_polyfit(Xr, y, terms)
    assert fit.basis == "explicit" and fit.terms.tolist() == terms.tolist()
    assert not fit.inliers[:60].any() and fit.inliers[60:].all()
    np.testing.assert_allclose(fit.coef, truth / np.prod(np.array([4.0, 0.5]) ** terms, axis=1), rtol=0.05)
    np.testing.assert_allclose(fit.predict(Xr), monomials(X, terms) @ truth, atol=0.01)


def test_coefficients_and_covariance_map_back_consistently():
    # coef and cov in the original units describe the same predictions and
    # confidence band as the scaled basis they came from.
    x, y, _ = corrupted_cubic(5, "two-sided")
    xr = 5.0 * x + 2.0   # moderate offsets: raw-unit coefficients that do not cancel much
    fit = robust_polyfit(xr, 7.0 * y - 3.0, 3)
    grid = np.linspace(xr.min(), xr.max(), 9)
    V = np.vander(grid, 4, increasing=True)
    pred, lo, hi = fit.predict(grid, interval="confidence")
    np.testing.assert_allclose(V @ fit.coef, pred, rtol=1e-6)
    q = (hi - pred) / np.sqrt(np.einsum("ij,jk,ik->i", V, fit.cov, V))
    np.testing.assert_allclose(q, q[0], rtol=1e-4)   # one t quantile throughout
    from scipy.stats import t
    np.testing.assert_allclose(q[0], t.ppf(0.975, fit.dof), rtol=1e-4)


def coverage_run(n_sets, n, share, seed):
    """Share of 95 % intervals (coefficients and mean response) that hold the truth."""
    rng = np.random.default_rng(seed)
    hits_coef, hits_mean, total_coef, total_mean = 0, 0, 0, 0
    grid = np.linspace(-0.9, 0.9, 5)
    for i in range(n_sets):
        deg = 1 + i % 3
        beta = rng.uniform(-1.0, 1.0, deg + 1)
        x = rng.uniform(-1.0, 1.0, n)
        y = np.polynomial.polynomial.polyval(x, beta) + rng.normal(0.0, 0.05, n)
        bad = rng.choice(n, int(share * n), replace=False)
        y[bad] += rng.choice([-1.0, 1.0], bad.size) * rng.uniform(2.0, 5.0, bad.size)
        fit = robust_polyfit(x, y, deg, seed=i)
        ci = fit.conf_int(0.95)
        hits_coef += int(np.sum((ci[:, 0] <= beta) & (beta <= ci[:, 1])))
        total_coef += beta.size
        _, lo, hi = fit.predict(grid, interval="confidence")
        clean = np.polynomial.polynomial.polyval(grid, beta)
        hits_mean += int(np.sum((lo <= clean) & (clean <= hi)))
        total_mean += grid.size
    return hits_coef / total_coef, hits_mean / total_mean


@pytest.mark.parametrize("share", [0.0, 0.2, 0.35])
def test_intervals_hold_their_level(share):
    # 300 data sets of 300 points: 900 coefficient intervals and 1500 bands
    # (the binomial spread of a 95 % share over 900 is 0.7 %).
    coef_cover, mean_cover = coverage_run(300, 300, share, seed=int(100 * share))
    assert 0.93 <= coef_cover <= 0.97, coef_cover
    assert 0.93 <= mean_cover <= 0.97, mean_cover


def test_prediction_intervals_cover_new_observations():
    rng = np.random.default_rng(21)
    hits, total = 0, 0
    for i in range(60):
        x = rng.uniform(-1.0, 1.0, 300)
        beta = rng.uniform(-1.0, 1.0, 3)
        y = np.polynomial.polynomial.polyval(x, beta) + rng.normal(0.0, 0.1, 300)
        y[:60] += rng.uniform(2.0, 5.0, 60)
        fit = robust_polyfit(x, y, 2, seed=i)
        xn = rng.uniform(-1.0, 1.0, 20)
        yn = np.polynomial.polynomial.polyval(xn, beta) + rng.normal(0.0, 0.1, 20)
        _, lo, hi = fit.predict(xn, interval="prediction", level=0.9)
        hits += int(np.sum((lo <= yn) & (yn <= hi)))
        total += xn.size
    assert 0.87 <= hits / total <= 0.93, hits / total


@pytest.mark.parametrize("curvature", [1e-4, 1e-2])
def test_curvature_penalty_smooths_a_high_degree_fit(curvature):
    rng = np.random.default_rng(9)
    x = np.sort(rng.uniform(0.0, 10.0, 120))
    y = np.sin(x / 3.0) + rng.normal(0.0, 0.05, x.size)
    y[::6] += 3.0
    plain = robust_polyfit(x, y, 9)
    smooth = robust_polyfit(x, y, 9, curvature=curvature)
    assert smooth.curvature == curvature and not smooth.inliers[::6].any()
    # the penalised refit is fit_regularized_linear with the core's own curvature matrix
    # on the scaled basis, weighted by the number of inliers
    Phi = z.design_matrix_1d(9, smooth.scaling.u(x.reshape(-1, 1))[:, 0])
    R1, R2 = z.smoothness_penalty_matrices_1d(9, -1.0, 1.0)
    m = smooth.n_inliers
    v = (y - smooth.scaling.y_center) / smooth.scaling.y_scale
    expected = z.fit_regularized_linear(Phi[smooth.inliers], v[smooth.inliers], R1, R2, 0.0, curvature)
    np.testing.assert_allclose(smooth.coef_scaled, expected, rtol=1e-9, atol=1e-12)
    # smoother: less curvature, fewer effective parameters, and a narrower band at the ends
    def roughness(fit):
        return float(fit.coef_scaled @ R2 @ fit.coef_scaled)
    assert roughness(smooth) < roughness(plain)
    assert plain.dof < smooth.dof < m
    _, lo_p, hi_p = plain.predict([11.0], interval="confidence")
    _, lo_s, hi_s = smooth.predict([11.0], interval="confidence")
    assert (hi_s - lo_s)[0] < (hi_p - lo_p)[0]
    assert "do not include its bias" in smooth.summary()


def test_slope_penalty_in_two_variables_uses_the_chosen_terms():
    rng = np.random.default_rng(10)
    X = rng.uniform(-1.0, 1.0, (200, 2))
    y = X[:, 0] + 0.5 * X[:, 1] ** 2 + rng.normal(0.0, 0.05, 200)
    fit = robust_polyfit(X, y, 2, slope=1e-3)
    R1, _, multi = z.build_penalty_matrices_nd([2, 2], [(-1.0, 1.0)] * 2)
    idx = [multi.index(t) for t in fit.terms.tolist()]
    m = fit.n_inliers
    assert fit.slope == 1e-3 and m - 6 < fit.dof < m
    U = fit.scaling.u(X)
    Phi = z.design_matrix_nd(fit.terms.tolist(), [U[:, 0], U[:, 1]])
    v = fit.scaling.v(y)
    expected = z.fit_regularized_linear(Phi[fit.inliers], v[fit.inliers], R1[np.ix_(idx, idx)], None,
                                        1e-3, 0.0)
    np.testing.assert_allclose(fit.coef_scaled, expected, rtol=1e-9, atol=1e-12)


def test_inputs_as_lists_series_and_frames():
    pd = pytest.importorskip("pandas")
    x, y, inlier = corrupted_cubic(0, "two-sided")
    base = robust_polyfit(x, y, 3)
    for xs, ys in [(list(x), list(y)), (pd.Series(x, name="hours"), pd.Series(y)),
                   (np.repeat(x, 2)[::2], np.asfortranarray(y))]:
        other = robust_polyfit(xs, ys, 3)
        np.testing.assert_array_equal(other.coef, base.coef)
    frame = pd.DataFrame({"temp": x, "load": np.linspace(0, 1, x.size) + 0.01 * np.sin(x)})
    fit = robust_polyfit(frame, y, 1)
    assert fit.feature_names == ["temp", "load"]
    assert fit.term_names == ["1", "temp", "load"]
    assert "temp" in fit.summary()
    assert robust_polyfit(pd.Series(x, name="hours"), y, 2).term_names == ["1", "hours", "hours^2"]


def test_summary_and_repr():
    x, y, _ = corrupted_cubic(2, "one-sided")
    fit = robust_polyfit(x, y, 3)
    text = fit.summary()
    for piece in ("Observations:", "Inliers:", "150 (75.0%)", "Residual scale:", "std err", "[0.025",
                  "0.975]", "x^3"):
        assert piece in text, piece
    # one row per coefficient: name, coefficient, std err, t, p, interval
    rows = [line.split() for line in text.splitlines()
            if line.split()[:1] in (["Intercept"], ["x"], ["x^2"], ["x^3"])]
    assert [r[0] for r in rows] == ["Intercept", "x", "x^2", "x^3"]
    ci = fit.conf_int()
    for i, r in enumerate(rows):
        values = [float(c) for c in r[1:]]
        np.testing.assert_allclose(values[:2], [fit.coef[i], fit.stderr[i]], rtol=5e-3)
        np.testing.assert_allclose(values[-2:], ci[i], rtol=5e-3)
    assert repr(fit).startswith("PolyFit(degree=3, basis='total', terms=4, n=200, inliers=150")


def test_pickle_and_copy_give_the_same_fit():
    x, y, _ = corrupted_cubic(0, "leverage")
    fit = robust_polyfit(x, y, 3)
    grid = np.linspace(-1, 1, 7)
    for other in (pickle.loads(pickle.dumps(fit, protocol=5)), copy.copy(fit), copy.deepcopy(fit)):
        assert isinstance(other, PolyFit)
        np.testing.assert_array_equal(other.coef, fit.coef)
        np.testing.assert_array_equal(other.inliers, fit.inliers)
        np.testing.assert_array_equal(other.cov, fit.cov)
        for a, b in zip(other.predict(grid, interval="prediction"), fit.predict(grid, interval="prediction")):
            np.testing.assert_array_equal(a, b)
        assert other.summary() == fit.summary()


def test_same_seed_same_fit_and_seeds_agree_on_clear_outliers():
    x, y, inlier = corrupted_cubic(2, "two-sided")
    a, b = robust_polyfit(x, y, 3, seed=5), robust_polyfit(x, y, 3, seed=5)
    np.testing.assert_array_equal(a.coef, b.coef)
    assert a.search_energy == b.search_energy
    for seed in (0, 1, 2):
        assert np.array_equal(robust_polyfit(x, y, 3, seed=seed).inliers, inlier)


def test_large_n_searches_a_spread_subset():
    rng = np.random.default_rng(6)
    n = 20_000
    x = rng.uniform(0.0, 100.0, n)
    y = 2.0 + 0.03 * x - 4e-4 * x ** 2 + rng.normal(0.0, 0.01, n)
    bad = rng.choice(n, n // 5, replace=False)
    y[bad] -= rng.uniform(1.0, 3.0, bad.size)
    fit = robust_polyfit(x, y, 2)
    assert np.sum(~fit.inliers[bad]) == bad.size and fit.n_inliers == n - bad.size
    np.testing.assert_allclose(fit.coef, [2.0, 0.03, -4e-4], rtol=2e-3)
    # the plot keeps a bounded sample of the points
    assert fit.extra["plot_x"].size == 5000


def test_plot_written_headless(tmp_path):
    pytest.importorskip("matplotlib")
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    x, y, inlier = corrupted_cubic(0, "one-sided")
    fit = robust_polyfit(x, y, 3)
    ax = fit.plot()
    labels = [t.get_text() for t in ax.get_legend().get_texts()]
    assert labels == ["95% prediction band", "95% confidence band", "inliers", "flagged", "fit, degree 3"]
    flagged = ax.collections[-1].get_offsets()
    assert len(flagged) == np.sum(~inlier)
    out = tmp_path / "fit.png"
    ax.figure.savefig(out)
    plt.close(ax.figure)
    assert out.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    fig, ax2 = plt.subplots()
    assert fit.plot(ax=ax2, data=(x, y)) is ax2
    plt.close(fig)
    with pytest.raises(ValueError, match="one variable"):
        robust_polyfit(np.column_stack([x, x ** 2]), y, 1).plot()
