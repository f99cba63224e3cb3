"""The refit on data that defeat sums of squares: near-exact data, designs the
data do not determine, huge smoothness weights. Each case runs in a child
process with a time limit, so that a hang is observed rather than suffered."""
import subprocess
import sys
import textwrap

import numpy as np
import pytest

PRELUDE = textwrap.dedent("""
    import warnings
    import numpy as np
    from zelt_fit import robust_polyfit
    warnings.simplefilter("error")
    rng = np.random.default_rng(0)
""")


def child(body: str, timeout: float = 120.0) -> list:
    proc = subprocess.run([sys.executable, "-c", PRELUDE + textwrap.dedent(body)], capture_output=True,
                          text=True, timeout=timeout)
    assert proc.returncode == 0, f"exit {proc.returncode}\n{proc.stdout}\n{proc.stderr}"
    return proc.stdout.split()


@pytest.mark.parametrize("case, noise, expect_deg", [
    ("1 + 2 * x + 3 * x ** 2", 1e-9, 2),
    ("1 + 2 * x", 0.0, 1),
    ("1e7 + 1e6 * x", 1e-3, 1),
])
def test_near_exact_data_keep_every_point_and_a_true_scale(case, noise, expect_deg):
    out = child(f"""
        x = rng.uniform(-1.0, 1.0, 300)
        y = {case} + {noise} * rng.normal(size=300)
        fit = robust_polyfit(x, y, {expect_deg})
        auto = robust_polyfit(x, y, "auto")
        r = y - fit.predict(x)
        print(fit.n_inliers, fit.scale, np.sqrt(r @ r / (300 - {expect_deg} - 1)), auto.degree,
              int(np.all(fit.stderr > 0)))
    """)
    kept, scale, rms, degree, positive = int(out[0]), float(out[1]), float(out[2]), int(out[3]), int(out[4])
    assert kept == 300 and degree == expect_deg
    if noise:
        assert scale == pytest.approx(rms, rel=0.15) and positive
    else:
        assert scale < 1e-10     # the level of rounding alone


def test_an_exact_plane_with_outliers_keeps_every_good_point():
    out = child("""
        X = rng.uniform(-1.0, 1.0, (300, 2))
        y = 1.0 + X[:, 0] - 2.0 * X[:, 1]
        bad = rng.choice(300, 60, replace=False)
        y[bad] += rng.uniform(2.0, 5.0, 60)
        fit = robust_polyfit(X, y, 1)
        good = np.setdiff1d(np.arange(300), bad)
        print(int(fit.inliers[good].sum()), int(fit.inliers[bad].sum()))
    """)
    assert out == ["240", "0"]


@pytest.mark.parametrize("x_code, deg, message", [
    ("np.repeat([0.0, 1.0], 30)", 3, "x takes 2 distinct values"),
    ("rng.integers(0, 2, 60).astype(bool)", 2, "x takes 2 distinct values"),
    ("np.column_stack([u, u])", 1, "linear combinations"),
    ("np.column_stack([u, 2.0 * u + 1.0])", 2, "linear combinations"),
])
def test_designs_the_data_do_not_determine_are_refused(x_code, deg, message):
    out = child(f"""
        u = rng.uniform(-1.0, 1.0, 60)
        x = {x_code}
        y = 1.0 + np.asarray(x, float).reshape(60, -1)[:, 0] + rng.normal(0.0, 0.1, 60)
        try:
            robust_polyfit(x, y, {deg})
            print("accepted")
        except ValueError as e:
            print("refused", int({message!r} in str(e)), int("not identifiable" in str(e)))
        auto = robust_polyfit(x, y, "auto")
        print(int(np.all(np.isfinite(auto.stderr))), auto.terms.shape[0])
    """)
    assert out[:3] == ["refused", "1", "1"]
    assert out[3] == "1"          # deg="auto" keeps to the candidates the data determine


@pytest.mark.parametrize("layout", ["four values", "one value and three"])
def test_auto_degree_past_the_search_sample_on_few_distinct_x(layout):
    # more rows than the search's sample: the sums of every row decide what the
    # data determine; rounding once left them indefinite (a LinAlgError)
    rng = np.random.default_rng(7)
    x = (np.round(rng.uniform(0.0, 3.0, 3000)) if layout == "four values"
         else np.concatenate([np.zeros(2500), np.linspace(1.0, 2.0, 3)]))
    y = x ** 2 + rng.normal(0.0, 0.1, x.size)
    from zelt_fit import robust_polyfit

    fit = robust_polyfit(x, y, "auto")
    assert fit.degree == 2 and np.all(np.isfinite(fit.coef))
    if layout == "four values":     # (three points off zero pin nothing down robustly)
        np.testing.assert_allclose(fit.coef, [0.0, 0.0, 1.0], atol=0.03)


@pytest.mark.parametrize("values, deg, determined", [(4, 4, False), (4, 3, True), (5, 4, True), (3, 3, False)])
@pytest.mark.parametrize("weighted", [False, True])
def test_a_large_fit_on_few_distinct_x_is_refused_exactly_when_the_data_fall_short(values, deg, determined, weighted):
    # more rows than the search's sample: what the data determine is read from
    # every distinct row; the sums of every row once passed a degree 4 on 4
    # values (their rounding sits far above a 1e-20 rank level)
    from zelt_fit import robust_polyfit

    rng = np.random.default_rng(values + deg)
    x = rng.integers(0, values, 3000).astype(float)
    y = 1.0 + 0.5 * x + rng.normal(0.0, 0.1, x.size)
    # a weight of 0 is an absent point: a fifth value there determines nothing
    w = np.ones(x.size + 1) if weighted else None
    if weighted:
        x, y, w[-1] = np.append(x, 10.0), np.append(y, 6.0), 0.0
    if determined:
        fit = robust_polyfit(x, y, deg, weights=w)
        assert np.all(np.isfinite(fit.coef)) and np.all(np.isfinite(fit.stderr))
    else:
        with pytest.raises(ValueError, match=f"x takes {values} distinct values.*determine is {values - 1}"):
            robust_polyfit(x, y, deg, weights=w)
    fit = robust_polyfit(x, y, "auto", weights=w)
    assert fit.degree <= values - 1


def test_a_huge_curvature_weight_keeps_the_line_s_standard_errors():
    out = child("""
        x = rng.uniform(-1.0, 1.0, 300)
        y = 1.0 + x + 0.5 * x ** 2 + rng.normal(0.0, 0.1, 300)
        fit = robust_polyfit(x, y, 3, curvature=1e14)
        coef, cov = np.polyfit(x, y, 1, cov=True)
        print(*fit.stderr[:2], *np.sqrt(np.diag(cov))[::-1], *fit.coef[:2], *coef[::-1])
    """)
    v = np.array(out, dtype=float)
    np.testing.assert_allclose(v[:2], v[2:4], rtol=0.02)    # the penalty pins the fit to a line
    np.testing.assert_allclose(v[4:6], v[6:8], rtol=1e-6)


def test_the_estimator_refuses_max_degree_beside_a_fixed_degree():
    from zelt_fit import RobustPolynomialRegressor

    X = np.linspace(-1.0, 1.0, 40)[:, None]
    with pytest.raises(ValueError, match="max_degree applies only to degree='auto'"):
        RobustPolynomialRegressor(degree=2, max_degree=-5).fit(X, X[:, 0])
    assert RobustPolynomialRegressor(degree="auto", max_degree=3).fit(X, X[:, 0]).n_features_in_ == 1
