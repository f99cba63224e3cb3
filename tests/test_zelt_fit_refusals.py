"""Bad input to robust_polyfit and PolyFit is refused before any work, with a
message that names what is wrong."""
import numpy as np
import pytest

from zelt_fit import polynomial_terms, robust_polyfit

rng = np.random.default_rng(0)
X1 = rng.uniform(-1.0, 1.0, 30)
X2 = rng.uniform(-1.0, 1.0, (30, 2))
Y = rng.normal(size=30)


def with_value(a, index, value):
    a = np.array(a, dtype=float)
    a[index] = value
    return a


@pytest.mark.parametrize(
    "x, y, deg, kwargs, error, message",
    [
        (with_value(X1, 3, np.nan), Y, 2, {}, ValueError, "x contains NaN or infinity"),
        (with_value(X2, (4, 1), -np.inf), Y, 2, {}, ValueError, "x contains NaN or infinity"),
        (X1, with_value(Y, 0, np.inf), 2, {}, ValueError, "y contains NaN or infinity"),
        (X1, Y[:-1], 2, {}, ValueError, "x has 30 points but y has 29"),
        (X1, Y, -1, {}, ValueError, "deg must be a non-negative integer, got -1"),
        (X1, Y, 2.0, {}, ValueError, "deg must be a non-negative integer or 'auto', got 2.0"),
        (X1, Y, True, {}, ValueError, "deg must be a non-negative integer or 'auto', got True"),
        (X1, Y, "2", {}, ValueError, "deg must be a non-negative integer"),
        (X1[:3], Y[:3], 3, {}, ValueError, "fewer points than coefficients: n_samples = 3, but the model has 4"),
        (X1[:1], Y[:1], 1, {}, ValueError, "n_samples = 1"),
        (np.column_stack([X1, np.full(30, 7.5)]), Y, 1, {}, ValueError, r"x\[:, 1\] is constant \(7.5"),
        (np.full(30, 2.0), Y, 1, {}, ValueError, "x is constant"),
        (np.zeros((30, 2, 2)), Y, 1, {}, ValueError, "x must have shape \\(n,\\) or \\(n, d\\), got a 3-D array"),
        (X1, Y.reshape(-1, 1, 1), 1, {}, ValueError, r"y must have shape \(n,\) or \(n, m\), got shape \(30, 1, 1\)"),
        (X1 + 1j, Y, 1, {}, ValueError, "x is complex"),
        (X1.astype(str), Y, 1, {}, ValueError, "x has dtype <U"),
        (np.array(["a", 1.0] * 15, dtype=object), Y, 1, {}, ValueError, "x holds values that are not numbers"),
        (X2, Y, 2, {"basis": "full"}, ValueError, "basis must be 'total', 'tensor'"),
        (X2, Y, [[0, 0], [1, 0], [1, 0]], {}, ValueError, "the same multi-index twice"),
        (X2, Y, [[0, 0], [-1, 0]], {}, ValueError, "non-negative powers"),
        (X2, Y, [[0], [1]], {}, ValueError, r"terms must have shape \(p, 2\)"),
        (X2, Y, [[0, 0], [1, 0]], {"basis": "tensor"}, ValueError, "not both"),
        (X1, Y, 2, {"curvature": -1.0}, ValueError, "curvature must be a finite non-negative number, got -1.0"),
        (X1, Y, 2, {"slope": np.nan}, ValueError, "slope must be a finite non-negative number, got nan"),
        (X1, Y, 2, {"search_points": 2}, ValueError,
         r"search_points = 2 is too few for the 3 coefficients: .* at least 5 points per coefficient \(15\)"),
        (rng.uniform(size=(1000, 3)), rng.normal(size=1000), [[0, 0, 0], [16, 16, 16]], {"curvature": 1.0}, ValueError,
         r"needs the tensor basis of powers up to \[16, 16, 16\], 4913 terms; at most 4096"),
    ],
    ids=lambda v: None,
)
def test_refusals(x, y, deg, kwargs, error, message):
    with pytest.raises(error, match=message):
        robust_polyfit(x, y, deg, **kwargs)


def test_constant_column_of_a_frame_is_named():
    pd = pytest.importorskip("pandas")
    frame = pd.DataFrame({"temp": X1, "site": np.ones(30)})
    with pytest.raises(ValueError, match="x column 'site' is constant"):
        robust_polyfit(frame, Y, 1)


def test_a_constant_variable_no_term_uses_is_allowed():
    terms = [[0, 0], [1, 0]]
    fit = robust_polyfit(np.column_stack([X1, np.ones(30)]), 2.0 * X1 + 1.0, terms)
    np.testing.assert_allclose(fit.coef, [1.0, 2.0], atol=1e-12)


def test_too_many_terms_refused_before_any_allocation():
    with pytest.raises(ValueError, match="terms, more than the 20000 a fit can use"):
        polynomial_terms(40, 9)
    with pytest.raises(ValueError, match="more than the 20000"):
        robust_polyfit(np.zeros((10, 40)), np.zeros(10), 9)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda f: f.predict(np.column_stack([X1, X1])), "x has 2 variable\\(s\\), but the fit has 1"),
        (lambda f: f.predict([np.nan]), "x contains NaN or infinity"),
        (lambda f: f.predict(X1, interval="credible"), "interval must be None, 'confidence' or 'prediction'"),
        (lambda f: f.predict(X1, interval="prediction", level=1.0), "level must lie strictly between 0 and 1"),
        (lambda f: f.conf_int(0.0), "level must lie strictly between 0 and 1"),
    ],
)
def test_prediction_refusals(call, message):
    fit = robust_polyfit(X1, Y, 1)
    with pytest.raises(ValueError, match=message):
        call(fit)


def test_no_degrees_of_freedom_warns_and_gives_nan_intervals():
    x = np.array([0.0, 1.0, 2.0])
    with pytest.warns(RuntimeWarning, match="leaves no degrees of freedom"):
        fit = robust_polyfit(x, [1.0, 3.0, 2.0], 2)
    np.testing.assert_allclose(fit.predict(x), [1.0, 3.0, 2.0], atol=1e-9)
    assert np.all(np.isnan(fit.conf_int()))


@pytest.mark.parametrize("call, match", [
    (lambda: robust_polyfit(np.array([0.0, 1.0, 2.0]), [1.0, 3.0, 2.0], 2), "leaves no degrees of freedom"),
    (lambda: robust_polyfit(np.array([0.0, 1.0, 2.0]), [1.0, 3.0, 2.0], 2, weights=[1.0, 1.0, 0.5]),
     "case weights sum to"),
    (lambda: robust_polyfit(np.linspace(0.0, 1.0, 10), np.full((10, 2), np.nan), 1, missing="drop"),
     "none of the 2 series"),
])
def test_warnings_point_at_the_callers_line(call, match):
    # a warning attributed to a line inside the package tells the user nothing
    # (and a filter on their module would miss it)
    with pytest.warns(RuntimeWarning, match=match) as seen:
        call()
    assert [w.filename for w in seen if match in str(w.message)] == [__file__]
