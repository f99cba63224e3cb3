"""The fit as a statistical model: t and p values, weights, fitted values and
residuals, the Wald test, the degree table, missing values and the summary,
each checked against an independent computation (SciPy's distributions, raw
powers of x, a fit of the complete rows)."""
import os
import pickle
import subprocess
import sys
import textwrap

import numpy as np
import pandas as pd
import pytest
from scipy import stats

from zelt_fit import RobustPolynomialRegressor, robust_polyfit
from zelt_fit._passes import BLOCK_ROWS


def quadratic(seed, n=200, share=0.2, noise=0.1, cubic=0.0, origin=0.0, unit=1.0):
    rng = np.random.default_rng(seed)
    u = rng.uniform(-1.0, 1.0, n)
    y = 1.0 + u - 0.8 * u ** 2 + cubic * u ** 3 + rng.normal(0.0, noise, n)
    bad = rng.choice(n, int(share * n), replace=False)
    y[bad] += rng.uniform(1.0, 5.0, bad.size)
    inlier = np.ones(n, bool)
    inlier[bad] = False
    return origin + unit * u, y, inlier


def raw_design(x, p):
    return np.vander(np.asarray(x, dtype=float), p, increasing=True)


@pytest.fixture(scope="module")
def fit3():
    x, y, _ = quadratic(0)
    return x, y, robust_polyfit(x, y, 3)


# -- t, p, intervals ------------------------------------------------------------
def test_t_and_p_values_from_coef_stderr_and_dof(fit3):
    _, _, fit = fit3
    t = fit.coef / np.sqrt(np.diag(fit.cov))
    np.testing.assert_allclose(fit.tvalues, t, rtol=1e-12)
    np.testing.assert_allclose(fit.pvalues, 2.0 * stats.t.sf(np.abs(t), fit.dof), rtol=1e-10, atol=1e-300)
    # the summary prints the same figures
    rows = {line.split()[0]: line.split() for line in fit.summary().splitlines()
            if line.split()[:1] in (["Intercept"], ["x"], ["x^2"], ["x^3"])}
    for i, name in enumerate(["Intercept", "x", "x^2", "x^3"]):
        np.testing.assert_allclose(float(rows[name][3]), fit.tvalues[i], rtol=5e-3)
        np.testing.assert_allclose(float(rows[name][4]), fit.pvalues[i], atol=5e-4)


@pytest.mark.parametrize("level", [0.5, 0.9, 0.95, 0.999])
def test_conf_int_keeps_its_level(fit3, level):
    _, _, fit = fit3
    half = stats.t.ppf(0.5 + level / 2, fit.dof) * fit.stderr
    np.testing.assert_allclose(fit.conf_int(level), np.column_stack([fit.coef - half, fit.coef + half]),
                               rtol=1e-12)


# -- weights, fitted values, residuals -----------------------------------------
def test_weights_are_robustness_weights_of_the_input_length(fit3):
    x, _, fit = fit3
    w = fit.weights
    assert w.shape == x.shape and w.dtype == np.float64
    assert np.all((w >= 0) & (w <= 1)) and np.all(w[~fit.inliers] == 0)
    assert np.all(w[fit.inliers] > 0)
    with pytest.raises(ValueError):
        w[0] = 0.5


def test_weights_given_by_the_refit_are_returned_read_only():
    x, y, _ = quadratic(1)
    fit = robust_polyfit(x, y, 2)
    given = np.where(fit.inliers, 0.75, 0.0)
    other = type(fit)(**{**{k: getattr(fit, k) for k in (
        "coef", "terms", "inliers", "scale", "cov", "degree", "basis", "dof", "rounds", "search_coef",
        "search_energy", "coef_scaled", "cov_scaled", "scaling", "feature_names", "extra")},
        "robustness_weights": given})
    np.testing.assert_array_equal(other.weights, given)
    assert not other.weights.flags.writeable


@pytest.mark.parametrize("origin, unit", [(0.0, 1.0), (2000.0, 15.0)])
def test_fitted_values_and_residuals_against_raw_powers(origin, unit):
    x, y, _ = quadratic(2, origin=origin, unit=unit)
    fit = robust_polyfit(x, y, 2)
    expected = raw_design(x, 3) @ fit.coef
    np.testing.assert_allclose(fit.fittedvalues, expected, rtol=1e-9, atol=1e-9 * np.abs(y).max())
    np.testing.assert_allclose(fit.resid, y - fit.fittedvalues, rtol=0, atol=0)
    assert not fit.fittedvalues.flags.writeable and not fit.resid.flags.writeable
    # the inliers' residuals lie within the cut of 4 scales
    assert np.abs(fit.resid[fit.inliers]).max() <= 4.0 * fit.scale * (1 + 1e-9)


def test_fitted_values_across_row_blocks_equal_predict():
    rng = np.random.default_rng(3)
    n = 2 * BLOCK_ROWS + 17
    x = rng.uniform(0.0, 10.0, n)
    y = 2.0 - 0.3 * x + rng.normal(0.0, 0.1, n)
    fit = robust_polyfit(x, y, 1)
    np.testing.assert_array_equal(fit.fittedvalues, fit.predict(x))


MEMORY = textwrap.dedent("""
    import numpy as np
    from zelt_fit import robust_polyfit

    def status(key):
        for line in open("/proc/self/status"):
            if line.startswith(key):
                return int(line.split()[1]) * 1024

    n = 2_000_000
    rng = np.random.default_rng(1)
    x = rng.uniform(-1, 1, n); y = 1 - x + x ** 3 + rng.normal(0, 0.05, n); y[::5] += 3
    fit = robust_polyfit(x, y, 5)
    base = status("VmRSS")
    open("/proc/self/clear_refs", "w").write("5")
    fit.resid
    ours = status("VmHWM") - base
    base = status("VmRSS")
    open("/proc/self/clear_refs", "w").write("5")
    fit.predict(x)
    print(ours / (8 * n), (status("VmHWM") - base) / (8 * n))
""")


def test_fitted_values_and_residuals_cost_their_own_arrays_only():
    if os.environ.get("ZELT_SANITIZED"):
        # AddressSanitizer keeps freed blocks in quarantine: each block of the
        # residuals then adds to the resident set (as in test_large_and_dask)
        pytest.skip("resident memory is the sanitizer's own in that run")
    # 2e6 points of degree 5: the design would be 6 arrays of n doubles, the
    # fitted values and residuals are 2; blocks of 32768 rows add little
    proc = subprocess.run([sys.executable, "-c", MEMORY], capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr[-3000:]
    # predict(x) holds the whole design: the measurement sees one when there is one
    ours, design = (float(v) for v in proc.stdout.split())
    assert ours < 3.0 < design, (ours, design)


def test_pickle_keeps_the_data_reference_and_drops_the_cache(fit3):
    x, y, fit = fit3
    fit.fittedvalues
    other = pickle.loads(pickle.dumps(fit))
    assert other._cache == {}
    np.testing.assert_array_equal(other.resid, fit.resid)
    other.remove_data()
    assert len(pickle.dumps(other)) < len(pickle.dumps(fit)) - 2 * x.nbytes
    with pytest.raises(ValueError, match="keeps no data"):
        other.fittedvalues
    np.testing.assert_array_equal(other.predict(x), fit.predict(x))


# -- the Wald test -----------------------------------------------------------------
def test_one_term_wald_test_is_the_t_test(fit3):
    _, _, fit = fit3
    for i, name in enumerate(fit.term_names):
        by_name, by_index = fit.wald_test(name if i else "Intercept"), fit.wald_test(i)
        assert by_name.statistic == by_index.statistic and by_index.df_num == 1
        np.testing.assert_allclose(by_index.statistic, fit.tvalues[i] ** 2, rtol=1e-9)
        np.testing.assert_allclose(by_index.pvalue, fit.pvalues[i], rtol=1e-7, atol=1e-300)
        assert by_index.df_denom == fit.dof


def test_joint_wald_test_against_its_formula(fit3):
    _, _, fit = fit3
    idx = [2, 3]
    b, C = fit.coef[idx], fit.cov[np.ix_(idx, idx)]
    chi2 = float(b @ np.linalg.solve(C, b))
    test = fit.wald_test(["x^2", "x^3"])
    np.testing.assert_allclose(test.chi2, chi2, rtol=1e-8)
    np.testing.assert_allclose(test.statistic, chi2 / 2, rtol=1e-8)
    np.testing.assert_allclose(test.pvalue, stats.f.sf(chi2 / 2, 2, fit.dof), rtol=1e-7)
    np.testing.assert_allclose(test.pvalue_chi2, stats.chi2.sf(chi2, 2), rtol=1e-7)
    assert test.terms == ["x^2", "x^3"] and "x^2, x^3" in test.summary() and "WaldTest(" in repr(test)
    assert fit.wald_test([3, "x^2"]).statistic == pytest.approx(test.statistic, rel=1e-12)


def test_top_terms_test_does_not_depend_on_units_or_origin():
    x, y, _ = quadratic(4, cubic=0.15)
    a = robust_polyfit(x, y, 4).wald_test(["x^3", "x^4"])
    b = robust_polyfit(1990.0 + 12.0 * x, 1e3 * y, 4).wald_test([3, 4])
    np.testing.assert_allclose(b.statistic, a.statistic, rtol=1e-5)


def test_is_the_quadratic_term_needed():
    x, y, _ = quadratic(5)
    assert robust_polyfit(x, y, 2).wald_test("x^2").pvalue < 1e-10
    rng = np.random.default_rng(5)
    line = 1.0 + x + rng.normal(0.0, 0.1, x.size)
    line[:40] += 3.0
    assert robust_polyfit(x, line, 2).wald_test("x^2").pvalue > 1e-3


@pytest.mark.parametrize("terms, message", [
    ("x^9", "no term named"), (7, "out of range"), ([2, "x^2"], "twice"), ([], "empty"),
    (True, "positions or term names"), ([1.5], "positions or term names")])
def test_wald_test_refuses_bad_terms(fit3, terms, message):
    with pytest.raises(ValueError, match=message):
        fit3[2].wald_test(terms)


def test_wald_size_holds_under_contamination():
    # a small version of benchmarks/bench_wald.py (400 data sets a cell): a
    # true quadratic, 20 % outliers, degree 4, the two top terms at 0.05; of
    # 200 data sets 1.5 to 12 % rejected (the binomial sd at 5 % is 1.5 points)
    rejected = 0
    for seed in range(200):
        x, y, _ = quadratic(1000 + seed)
        rejected += robust_polyfit(x, y, 4, seed=seed).wald_test(["x^3", "x^4"]).pvalue < 0.05
    assert 3 <= rejected <= 24, rejected


# -- the degree table --------------------------------------------------------------
def test_degree_table_is_the_choice():
    x, y, _ = quadratic(6, n=300)
    fit = robust_polyfit(x, y, "auto")
    table = fit.degree_table
    assert table.chosen == fit.degree == int(table.degree[np.argmin(table.criterion)])
    assert table.degree.tolist() == list(range(8)) and table.terms.tolist() == list(range(1, 9))
    np.testing.assert_array_equal(table.criterion, [r["criterion"] for r in fit.extra["degrees"]])
    assert np.all(table.inliers <= fit.n) and not table.bic.flags.writeable
    assert set(table.to_dict()) == {"degree", "terms", "criterion", "bic", "inliers"}
    assert table.summary() in fit.summary()
    assert robust_polyfit(x, y, 2).degree_table is None


# -- missing values ----------------------------------------------------------------
@pytest.mark.parametrize("where, named, count", [("x", "x", 3), ("y", "y", 2), ("both", "x", 3)])
def test_missing_raise_counts_and_names_rows(where, named, count):
    x, y, _ = quadratic(7)
    if where in ("x", "both"):
        x[[4, 9, 150]] = [np.nan, np.inf, np.nan]
    if where in ("y", "both"):
        y[[11, 12]] = np.nan
    with pytest.raises(ValueError, match=rf"{named} contains NaN or infinity in {count} of 200 rows "
                                         r"\(positions (4, 9, 150|11, 12)\)") as err:
        robust_polyfit(x, y, 2)
    assert "missing='drop'" in str(err.value)
    assert ("y too" in str(err.value)) == (where == "both")


def test_missing_message_shows_the_first_five_positions():
    x, y, _ = quadratic(7)
    y[10:30] = np.nan
    with pytest.raises(ValueError, match=r"20 of 200 rows \(positions 10, 11, 12, 13, 14, \.\.\.\)"):
        robust_polyfit(x, y, 2)


def test_missing_option_is_checked_and_an_empty_drop_refused():
    x, y, _ = quadratic(7)
    with pytest.raises(ValueError, match="missing must be 'raise' or 'drop'"):
        robust_polyfit(x, y, 2, missing="omit")
    with pytest.raises(ValueError, match="no complete row: each of the 200 rows"):
        robust_polyfit(x, np.full_like(y, np.nan), 2, missing="drop")
    # too few complete rows for the model: the usual refusal, on the rows left
    y[2:] = np.nan
    with pytest.raises(ValueError, match="fewer points than coefficients: n_samples = 2"):
        robust_polyfit(x, y, 2, missing="drop")


def drop_inputs():
    x, y, _ = quadratic(8)
    x[[3, 50]] = np.nan
    y[[7, 50, 199]] = [np.nan, np.inf, np.nan]
    frame = pd.DataFrame({"temp": x, "load": np.linspace(0.0, 1.0, x.size) ** 2})
    return x, y, frame


@pytest.mark.parametrize("kind", ["array", "series", "list", "frame"])
def test_missing_drop_equals_the_fit_of_the_complete_rows(kind):
    x, y, frame = drop_inputs()
    X = frame.to_numpy() if kind == "frame" else x
    complete = np.all(np.isfinite(X.reshape(x.size, -1)), axis=1) & np.isfinite(y)
    given = {"array": (x, y), "series": (pd.Series(x, name="temp"), pd.Series(y, name="load")),
             "list": ([None if not np.isfinite(v) else v for v in x], list(y)), "frame": (frame, y)}[kind]
    fit = robust_polyfit(*given, 2, missing="drop")
    ref = robust_polyfit(X[complete], y[complete], 2)
    np.testing.assert_array_equal(fit.coef, ref.coef)
    np.testing.assert_array_equal(fit.cov, ref.cov)
    assert fit.n == complete.sum() and fit.n_dropped == 4
    assert fit.inliers.shape == (200,) and not fit.inliers[~complete].any()
    np.testing.assert_array_equal(fit.inliers[complete], ref.inliers)
    assert fit.weights.shape == (200,) and np.all(fit.weights[~complete] == 0)
    np.testing.assert_allclose(fit.resid[complete], ref.resid, rtol=1e-12, atol=1e-14)
    assert np.all(np.isnan(fit.resid[~complete]))
    assert "Dropped rows:" in fit.summary() and "4 (missing)" in fit.summary()
    if kind == "series":
        assert fit.y_name == "load" and fit.feature_names == ["temp"]


def test_missing_drop_of_dask_arrays_equals_the_in_memory_drop():
    da = pytest.importorskip("dask.array")
    x, y, _ = drop_inputs()
    mem = robust_polyfit(x, y, 2, missing="drop")
    lazy = robust_polyfit(da.from_array(x, chunks=37), da.from_array(y, chunks=37), 2, missing="drop")
    np.testing.assert_allclose(lazy.coef, mem.coef, rtol=1e-12, atol=1e-12)
    assert lazy.n_dropped == 4 and lazy.n == mem.n
    np.testing.assert_array_equal(np.asarray(lazy.inliers), mem.inliers)
    np.testing.assert_allclose(np.asarray(lazy.weights), mem.weights, rtol=1e-10, atol=1e-12)
    np.testing.assert_allclose(np.asarray(lazy.resid), mem.resid, rtol=1e-10, atol=1e-10)
    with pytest.raises(ValueError, match=r"x contains NaN or infinity in 2 of 200 rows \(positions 3, 50\)"):
        robust_polyfit(da.from_array(x, chunks=37), da.from_array(y, chunks=37), 2)


# -- the summary -------------------------------------------------------------------
def test_summary_names_y_and_moves_the_search_under_the_table():
    x, y, _ = quadratic(9)
    fit = robust_polyfit(pd.Series(x, name="hours"), pd.Series(y, name="load"), 2)
    text = fit.summary()
    lines = text.splitlines()
    assert "Dep. variable:" in lines[2] and lines[2].split()[-4] == "load"
    assert robust_polyfit(x, y, 2, y_name="watts").summary().splitlines()[2].split()[2] == "watts"
    assert robust_polyfit(x, y, 2).y_name == "y"
    assert any(line.startswith("Intercept ") for line in lines)
    table_end = max(i for i, line in enumerate(lines) if line.startswith("hours^2"))
    search = next(i for i, line in enumerate(lines) if line.startswith("Search: MDL energy"))
    assert search > table_end and not any("Search energy" in line for line in lines)
    assert f"{fit.rounds} passes" in lines[search]
    weights = next(line for line in lines if line.startswith("Weights >= 0.9:"))
    assert weights.split()[3] == str(int(np.count_nonzero(fit.weights >= 0.9)))
    assert weights.endswith(f"/ {fit.n - fit.n_inliers}")
    assert "Estimator:" in text and "MM-estimate" in text and "Residual scale:" in text


# -- the estimator -------------------------------------------------------------------
def test_estimator_standard_error_of_the_mean_and_intervals():
    x, y, _ = quadratic(10)
    model = RobustPolynomialRegressor(degree=2).fit(x[:, None], y)
    grid = np.linspace(-1.2, 1.2, 9)[:, None]
    mean, std = model.predict(grid, return_std=True)
    np.testing.assert_array_equal(mean, model.predict(grid))
    P = raw_design(grid[:, 0], 3)
    np.testing.assert_allclose(std, np.sqrt(np.einsum("ij,jk,ik->i", P, model.fit_.cov, P)), rtol=1e-8)
    q = stats.t.ppf(0.95, model.fit_.dof)
    conf = model.predict_interval(grid, level=0.9, kind="confidence")
    np.testing.assert_allclose(conf, np.column_stack([mean - q * std, mean + q * std]), rtol=1e-9)
    pred = model.predict_interval(grid, level=0.9)
    np.testing.assert_allclose(pred[:, 1] - mean, q * np.sqrt(std ** 2 + model.scale_ ** 2), rtol=1e-9)
    with pytest.raises(ValueError, match="kind must be"):
        model.predict_interval(grid, kind="tolerance")
    np.testing.assert_array_equal(model.fit_.resid, y - model.fit_.fittedvalues)


def test_pipeline_with_metadata_routing_scores_like_without():
    sklearn = pytest.importorskip("sklearn")
    from sklearn.model_selection import cross_val_score
    from sklearn.pipeline import make_pipeline
    from sklearn.preprocessing import StandardScaler

    x, y, _ = quadratic(11)
    X = x[:, None]
    pipe = make_pipeline(StandardScaler(), RobustPolynomialRegressor(degree=2))
    plain = cross_val_score(pipe, X, y, cv=3)
    with sklearn.config_context(enable_metadata_routing=True):
        routed = cross_val_score(pipe, X, y, cv=3)
        assert np.isfinite(pipe.fit(X, y).score(X, y))
    np.testing.assert_array_equal(routed, plain)


def test_score_sample_weight_is_routed_only_when_requested():
    sklearn = pytest.importorskip("sklearn")
    from sklearn.base import clone
    from sklearn.exceptions import UnsetMetadataPassedError
    from sklearn.model_selection import KFold, cross_val_score

    x, y, _ = quadratic(12)
    X, w = x[:, None], np.random.default_rng(12).uniform(0.0, 1.0, x.size)
    folds = KFold(3)
    with sklearn.config_context(enable_metadata_routing=True):
        with pytest.raises(UnsetMetadataPassedError):
            cross_val_score(RobustPolynomialRegressor(degree=2), X, y, cv=folds, params={"sample_weight": w})
        # fit takes sample_weight too: the score's request alone leaves fit's unset
        model = RobustPolynomialRegressor(degree=2).set_score_request(sample_weight=True)
        with pytest.raises(UnsetMetadataPassedError):
            cross_val_score(model, X, y, cv=folds, params={"sample_weight": w})
        model = model.set_fit_request(sample_weight=False)
        assert clone(model).get_metadata_routing().score.requests == {"sample_weight": True}
        routed = cross_val_score(model, X, y, cv=folds, params={"sample_weight": w})
        both = clone(model).set_fit_request(sample_weight=True)
        assert clone(both).get_metadata_routing().fit.requests == {"sample_weight": True}
        routed_both = cross_val_score(both, X, y, cv=folds, params={"sample_weight": w})
    by_hand = [clone(model).fit(X[tr], y[tr]).score(X[te], y[te], sample_weight=w[te])
               for tr, te in folds.split(X)]
    np.testing.assert_allclose(routed, by_hand, rtol=1e-12)
    by_hand = [clone(model).fit(X[tr], y[tr], sample_weight=w[tr]).score(X[te], y[te], sample_weight=w[te])
               for tr, te in folds.split(X)]
    np.testing.assert_allclose(routed_both, by_hand, rtol=1e-12)
    with pytest.raises(TypeError, match="unexpected keyword argument 'weights'"):
        model.set_fit_request(weights=True)
