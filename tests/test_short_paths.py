"""The shortcuts a small fit takes give what the general code gives, bit for
bit: the median by one partition, one variable's map back to the original
units, the single scan of x and y for missing values, the search's rows formed
without a copy."""
import numpy as np
import pytest

from zelt_fit._missing import scan_rows
from zelt_fit._problem import ArrayProblem
from zelt_fit._terms import is_closed, polynomial_terms
from zelt_fit._units import Scaling, fit_scaling, median


def _bits(a) -> bytes:
    return np.asarray(a).tobytes()


@pytest.mark.parametrize("dtype", [np.float64, np.float32])
@pytest.mark.parametrize("values", [
    "uniform-1", "uniform-2", "uniform-101", "uniform-1000", "ties-40", "ties-41", "signed-zeros", "huge-even",
])
def test_median_is_numpys_bit_for_bit(values, dtype):
    rng = np.random.default_rng(11)
    kind, size = values.rsplit("-", 1) if values[-1].isdigit() else (values, "0")
    if kind == "uniform":
        a = rng.uniform(-5.0, 5.0, int(size))
    elif kind == "ties":
        a = rng.integers(0, 4, int(size)).astype(float)
    elif kind == "signed-zeros":
        a = np.array([0.0, -0.0, -0.0, 0.0, 1.0, -1.0])
    else:   # the two middle values' sum overflows in float32 but not float64
        a = np.array([3e38, 3e38, -1.0, 1e38])
    a = a.astype(dtype)
    with np.errstate(over="ignore"):
        expected = float(np.median(a))
    with np.errstate(over="ignore"):
        got = median(a)
    assert _bits(got) == _bits(expected)
    # a column of a 2-D array (strided) as the batch passes it
    with np.errstate(over="ignore"):
        assert _bits(median(np.column_stack([a, a])[:, 1])) == _bits(expected)


def _generic_map(scaling: Scaling, powers) -> np.ndarray:
    """The map of several variables, with a second variable at power 0 everywhere:
    the same sums as one variable's, through the general loop."""
    terms = np.column_stack([np.asarray(powers), np.zeros(len(powers), dtype=np.int64)])
    two = Scaling(np.append(scaling.x_center, 0.0), np.append(scaling.x_scale, 1.0), scaling.y_center,
                  scaling.y_scale)
    return two.to_original(terms)


@pytest.mark.parametrize("center, scale", [(0.0, 1.0), (2005.0, 15.0), (-3.25, 0.125), (0.0, 1e-3), (1e6, 7.0)])
@pytest.mark.parametrize("powers", [[0, 1, 2], [0, 1, 2, 3, 4, 5, 6, 7], [1, 3], [2, 0, 1], [0], [5]])
def test_one_variable_map_equals_the_general_one(center, scale, powers):
    s = Scaling(np.array([center]), np.array([scale]), 0.0, 1.0)
    terms = np.asarray(powers, dtype=np.int64).reshape(-1, 1)
    if center != 0.0 and not is_closed(terms):    # such sets are never centred: both refuse alike
        with pytest.raises(KeyError):
            s.to_original(terms)
        with pytest.raises(KeyError):
            _generic_map(s, powers)
        return
    A = s.to_original(terms)
    assert A.shape == (len(powers), len(powers))
    assert _bits(A) == _bits(_generic_map(s, powers))


def test_one_variable_map_expands_the_binomials():
    # (x - c)^2 / h^2 = (x^2 - 2 c x + c^2) / h^2 with c = 1, h = 2
    s = Scaling(np.array([1.0]), np.array([2.0]), 0.0, 1.0)
    A = s.to_original(polynomial_terms(1, 2))
    np.testing.assert_array_equal(A[:, 2], [0.25, -0.5, 0.25])
    np.testing.assert_array_equal(A[:, 1], [-0.5, 0.5, 0.0])


@pytest.mark.parametrize("kind", ["float64", "float32", "int", "list", "2-D"])
def test_scaling_from_given_ranges_equals_its_own(kind):
    rng = np.random.default_rng(3)
    X = rng.uniform(-2.0, 9.0, (50, 2 if kind == "2-D" else 1))
    if kind == "float32":
        X = X.astype(np.float32)
    elif kind == "int":
        X = np.round(X * 10).astype(np.float64)
    y = rng.normal(size=50)
    for center_x in (True, False):
        own = fit_scaling(X, y, center_x, True, np.median)
        given = fit_scaling(X, y, center_x, True, np.median, ranges=(X.min(axis=0), X.max(axis=0)))
        assert _bits(own.x_center) == _bits(given.x_center) and _bits(own.x_scale) == _bits(given.x_scale)
        assert (own.y_center, own.y_scale, own.v_mad) == (given.y_center, given.y_scale, given.v_mad)


@pytest.mark.parametrize("x, y, expected", [
    (np.arange(5.0), np.ones(5), (None, True)),
    (np.arange(10).reshape(5, 2), [1, 2, 3, 4, 5], (None, True)),
    (np.arange(5.0), np.ones(4), (None, False)),          # lengths differ: the checks say so later
    (np.zeros((2, 2, 2)), np.ones(2), (None, False)),     # three dimensions: likewise
    (["a", "b"], [1.0, 2.0], (None, False)),              # not numbers
])
def test_scan_says_whether_it_saw_every_value_finite(x, y, expected):
    assert scan_rows(x, y, "raise") == expected


@pytest.mark.parametrize("where", ["x", "y", "weights"])
def test_scan_still_refuses_and_drops_missing_values(where):
    x, y, w = np.arange(6.0), np.arange(6.0), np.ones(6)
    {"x": x, "y": y, "weights": w}[where][2] = np.nan
    if where != "weights":
        with pytest.raises(ValueError, match=f"{where} contains NaN or infinity in 1 of 6 rows"):
            scan_rows(x, y, "raise", w)
    rows, finite = scan_rows(x, y, "drop", w)
    assert finite and rows is not None
    np.testing.assert_array_equal(rows.complete, [True, True, False, True, True, True])


def test_every_row_is_formed_as_their_selection():
    rng = np.random.default_rng(5)
    X = rng.uniform(3.0, 8.0, (40, 1)).astype(np.float32)
    y = rng.normal(size=40)
    terms = polynomial_terms(1, 3)
    s = fit_scaling(X, y, True, True, np.median)
    problem = ArrayProblem(X, y, terms, s)
    for a, b in zip(problem.rows(None), problem.rows(np.arange(40))):
        assert a.dtype == b.dtype and _bits(a) == _bits(b)


@pytest.mark.parametrize("kind", ["uniform", "few-values", "signed-zeros", "one-run", "pairs", "uint64-codes"])
@pytest.mark.parametrize("size", [0, 1, 2, 17, 5000])
def test_stable_argsort_is_numpys_stable_sort(kind, size):
    # the search's sample is taken from this order: a tie in another order
    # would pick other rows and change the fit
    from zelt_fit._problem import stable_argsort

    rng = np.random.default_rng(size + len(kind))
    if kind == "uniform":
        a = rng.uniform(-1.0, 1.0, size)
    elif kind == "few-values":
        a = rng.integers(0, 5, size).astype(float)
    elif kind == "signed-zeros":
        a = rng.choice([-0.0, 0.0, 1.0], size)
    elif kind == "one-run":
        a = np.full(size, 2.5)
    elif kind == "pairs":
        a = np.repeat(rng.uniform(-1.0, 1.0, (size + 1) // 2), 2)[:size][rng.permutation(size)]
    else:
        a = rng.integers(0, 64, size).astype(np.uint64)
    got = stable_argsort(a)
    np.testing.assert_array_equal(got, np.argsort(a, kind="stable"))
