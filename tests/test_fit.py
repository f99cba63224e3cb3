"""Least squares (`ols`) and the penalised normal-equation fit (`fit_regularized_linear`)."""
import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

import zelt_core as z

EPS = 2.0**-52
# Column counts on both sides of the size at which the decomposition switches
# from its one-sided Jacobi kernel to divide and conquer.
P_BOTH_PATHS = [3, 18]


def rng(seed=0):
    return np.random.default_rng(seed)


def smoothness(p):
    """Symmetric positive semi-definite p x p penalty (squared second differences)."""
    D = np.diff(np.eye(p), n=2, axis=0)
    return D.T @ D


def normal_solve(Phi, y, R1=None, R2=None, gamma1=0.0, gamma2=0.0, ridge=1e-10):
    n = len(y)
    A = Phi.T @ Phi + ridge * np.eye(Phi.shape[1])
    if R1 is not None and gamma1 != 0.0:
        A = A + n * gamma1 * R1
    if R2 is not None and gamma2 != 0.0:
        A = A + n * gamma2 * R2
    return np.linalg.solve(A, Phi.T @ y)


# ---------------------------------------------------------------------------
# ols


@pytest.mark.parametrize("p", [1, 4, 15, 16, 25])
def test_ols_square_system(p):
    g = rng(p)
    X = g.standard_normal((p, p)) + p * np.eye(p)  # well conditioned
    y = g.standard_normal(p)
    beta = z.ols(X, y)
    np.testing.assert_allclose(X @ beta, y, rtol=0, atol=1e-12 * p)
    np.testing.assert_allclose(beta, np.linalg.solve(X, y), rtol=1e-12, atol=1e-13)


@pytest.mark.parametrize("n,p", [(10, 1), (40, 3), (200, 15), (200, 16), (500, 20), (3000, 7)])
def test_ols_tall_matches_lstsq(n, p):
    g = rng(n + p)
    X = g.standard_normal((n, p))
    y = X @ g.standard_normal(p) + 0.3 * g.standard_normal(n)
    beta = z.ols(X, y)
    ref = np.linalg.lstsq(X, y, rcond=None)[0]
    np.testing.assert_allclose(beta, ref, rtol=1e-11, atol=1e-12)
    # The least-squares residual is orthogonal to the columns.
    np.testing.assert_allclose(X.T @ (y - X @ beta), 0.0, atol=1e-10 * np.sqrt(n))


@pytest.mark.parametrize("n,p", [(3, 5), (10, 30), (1, 4)])
def test_ols_wide_gives_minimum_norm_interpolant(n, p):
    g = rng(7 * n + p)
    X = g.standard_normal((n, p))
    y = g.standard_normal(n)
    beta = z.ols(X, y)
    np.testing.assert_allclose(beta, np.linalg.pinv(X) @ y, rtol=1e-10, atol=1e-12)
    np.testing.assert_allclose(X @ beta, y, atol=1e-12)


@pytest.mark.parametrize("shape", [(5, 3), (3, 5), (1, 1), (40, 20), (20, 40)])
def test_ols_all_zero_design_gives_zeros(shape):
    y = rng(1).standard_normal(shape[0])
    beta = z.ols(np.zeros(shape), y)
    assert beta.shape == (shape[1],)
    np.testing.assert_array_equal(beta, 0.0)


@pytest.mark.parametrize("p", P_BOTH_PATHS)
@pytest.mark.parametrize("where", ["first", "middle", "last"])
def test_ols_zero_column_gets_zero_coefficient(p, where):
    g = rng(p)
    n = 60
    X0 = g.standard_normal((n, p))
    y = g.standard_normal(n)
    j = {"first": 0, "middle": p // 2, "last": p}[where]
    X = np.insert(X0, j, 0.0, axis=1)
    beta = z.ols(X, y)
    assert abs(beta[j]) < 1e-12
    np.testing.assert_allclose(np.delete(beta, j), z.ols(X0, y), rtol=1e-10, atol=1e-12)


@pytest.mark.parametrize("n,p,rank", [(30, 4, 2), (50, 18, 9), (12, 20, 5), (25, 25, 24), (40, 6, 1)])
def test_ols_rank_deficient_gives_pinv_solution(n, p, rank):
    g = rng(n * p + rank)
    X = g.standard_normal((n, rank)) @ g.standard_normal((rank, p))
    y = g.standard_normal(n)
    beta = z.ols(X, y)
    ref = np.linalg.pinv(X, rcond=1e-10) @ y
    np.testing.assert_allclose(beta, ref, rtol=1e-8, atol=1e-10)
    # Minimum norm: no component in the null space of X.
    _, _, Vt = np.linalg.svd(X)
    assert np.linalg.norm(Vt[rank:] @ beta) < 1e-9 * max(1.0, np.linalg.norm(beta))


@pytest.mark.parametrize("n,p", [(2, 2), (5, 2), (2, 5), (16, 16), (20, 16), (16, 20)])
@pytest.mark.parametrize("scale", [1.0, 1e5])
@pytest.mark.parametrize("factor,kept", [(0.9, False), (1.1, True)])
def test_ols_rank_threshold_is_min_dim_times_eps(n, p, scale, factor, kept):
    # Diagonal design: the singular values are exact, so the last one sits at a
    # known multiple of the threshold sigma_max * max(1, min(n, p)) * eps.
    k = min(n, p)
    sigma = scale * factor * k * EPS
    X = np.zeros((n, p))
    X[np.arange(k), np.arange(k)] = scale
    X[k - 1, k - 1] = sigma
    y = np.ones(n)
    beta = z.ols(X, y)
    np.testing.assert_allclose(beta[: k - 1], 1.0 / scale, rtol=1e-14)
    if kept:
        np.testing.assert_allclose(beta[k - 1], 1.0 / sigma, rtol=1e-12)
    else:
        assert beta[k - 1] == 0.0
    np.testing.assert_array_equal(beta[k:], 0.0)


def test_ols_threshold_floor_is_smallest_normal_double():
    # sigma_max * 2 eps is subnormal here; the floor DBL_MIN still drops 1e-310.
    X = np.diag([1e-300, 1e-310])
    beta = z.ols(X, np.array([1.0, 1.0]))
    assert np.all(np.isfinite(beta))
    np.testing.assert_allclose(beta[0], 1e300, rtol=1e-14)
    assert beta[1] == 0.0


@given(
    n=st.integers(1, 30),
    p=st.integers(1, 24),
    rank=st.integers(0, 24),
    seed=st.integers(0, 2**32 - 1),
)
def test_ols_property_matches_pinv(n, p, rank, seed):
    g = rng(seed)
    rank = min(rank, n, p)
    X = g.standard_normal((n, rank)) @ g.standard_normal((rank, p)) if rank else np.zeros((n, p))
    y = g.standard_normal(n)
    beta = z.ols(X, y)
    assert beta.shape == (p,)
    ref = np.linalg.pinv(X, rcond=1e-9) @ y
    np.testing.assert_allclose(beta, ref, rtol=1e-7, atol=1e-7 * max(1.0, np.abs(ref).max(initial=0)))


def test_ols_column_vector_y_and_result_is_1d():
    g = rng(3)
    X = g.standard_normal((20, 3))
    y = g.standard_normal(20)
    a = z.ols(X, y)
    b = z.ols(X, y.reshape(-1, 1))
    assert a.ndim == 1 and b.ndim == 1
    np.testing.assert_array_equal(a, b)
    with pytest.raises(TypeError):
        z.ols(X, y.reshape(1, -1))


def test_ols_accepts_any_dtype_and_order_and_leaves_inputs_alone():
    g = rng(4)
    X = g.integers(-5, 5, size=(30, 4))
    y = g.integers(-5, 5, size=30)
    Xc, yc = X.copy(), y.copy()
    ref = z.ols(X.astype(float), y.astype(float))
    np.testing.assert_allclose(z.ols(X, y), ref, rtol=1e-15, atol=1e-15)
    np.testing.assert_allclose(z.ols(np.asfortranarray(X.astype(float)), list(y)), ref, rtol=1e-15, atol=1e-15)
    np.testing.assert_array_equal(X, Xc)
    np.testing.assert_array_equal(y, yc)
    # A 1-D design is one column.
    assert z.ols([1, 2, 3], [2, 4, 6]) == pytest.approx([2.0], rel=1e-15)
    assert z.fit_regularized_linear([1.0, 2.0, 3.0], [2, 4, 6], ridge=0.0)[0] == 2.0
    with pytest.raises(TypeError):
        z.ols(np.ones((3, 2, 1)), np.ones(3))


@pytest.mark.parametrize("shape", [(0, 3), (4, 0), (0, 0)])
def test_ols_empty_design(shape):
    beta = z.ols(np.zeros(shape), np.zeros(shape[0]))
    assert beta.shape == (shape[1],)
    np.testing.assert_array_equal(beta, 0.0)


@pytest.mark.parametrize(
    "X,y",
    [
        (np.ones((5, 2)), np.ones(4)),
        (np.ones((5, 2)), np.ones(6)),
        (np.ones((0, 2)), np.ones(1)),
    ],
)
def test_ols_length_mismatch_raises(X, y):
    with pytest.raises(ValueError):
        z.ols(X, y)


@pytest.mark.parametrize("bad", [np.nan, np.inf, -np.inf])
@pytest.mark.parametrize("where", ["X", "y"])
def test_ols_non_finite_input_raises(bad, where):
    g = rng(5)
    X = g.standard_normal((20, 17))  # also the divide-and-conquer path
    y = g.standard_normal(20)
    if where == "X":
        X[3, 4] = bad
    else:
        y[7] = bad
    with pytest.raises(ValueError):
        z.ols(X, y)


# ---------------------------------------------------------------------------
# fit_regularized_linear

ONES4 = np.ones((4, 1))
Y4 = np.array([1.0, 2.0, 3.0, 4.0])


@pytest.mark.parametrize(
    "kwargs,expected",
    [
        (dict(ridge=0.0), 2.5),
        (dict(ridge=1.0), 2.0),
        (dict(ridge=0.0, R1=[[1.0]], gamma1=0.25), 2.0),  # 4 + 4*0.25*1 = 5
        (dict(ridge=0.0, R2=[[1.0]], gamma2=0.25), 2.0),
        (dict(ridge=-2.0), 5.0),  # a negative ridge is added unchanged
        (dict(ridge=1.0, R1=[[1.0]], gamma1=0.25, R2=[[2.0]], gamma2=0.125), 10.0 / 7.0),
    ],
)
def test_fit_single_column_examples(kwargs, expected):
    beta = z.fit_regularized_linear(ONES4, Y4, **kwargs)
    assert beta.shape == (1,)
    assert beta[0] == expected


def test_fit_default_ridge_is_1e_10():
    a = z.fit_regularized_linear(ONES4, Y4)
    np.testing.assert_array_equal(a, z.fit_regularized_linear(ONES4, Y4, None, None, 0.0, 0.0, 1e-10))
    assert a[0] == 10.0 / (4.0 + 1e-10)
    assert a[0] != 2.5


def test_fit_order_ridge_then_r1_then_r2():
    # Rounding reveals the order of the diagonal additions.
    one = np.ones((1, 1))
    # (1 + 1e-16) + 1e-16 == 1, whereas 1 + (1e-16 + 1e-16) > 1.
    beta = z.fit_regularized_linear(one, [1.0], R1=[[1.0]], gamma1=1e-16, ridge=1e-16)
    assert beta[0] == 1.0
    # ((1 + 2^53) - 2^53) == 0 (singular: zero component), whereas R2 first gives 1.
    big = 2.0**53
    beta = z.fit_regularized_linear(one, [1.0], R1=[[big]], gamma1=1.0, R2=[[-big]], gamma2=1.0, ridge=0.0)
    assert beta[0] == 0.0


@pytest.mark.parametrize("gamma1,gamma2", [(0.0, 0.0), (0.3, 0.0), (0.0, 0.05), (0.2, 0.01)])
def test_fit_repeated_observations(gamma1, gamma2):
    g = rng(11)
    n, p = 40, 5
    Phi = g.standard_normal((n, p))
    y = g.standard_normal(n)
    R1, R2 = smoothness(p) + np.eye(p), np.diag(np.arange(1.0, p + 1))
    Phi2, y2 = np.vstack([Phi, Phi]), np.concatenate([y, y])
    kw = dict(R1=R1, R2=R2, gamma1=gamma1, gamma2=gamma2)
    a = z.fit_regularized_linear(Phi, y, ridge=0.0, **kw)
    b = z.fit_regularized_linear(Phi2, y2, ridge=0.0, **kw)
    np.testing.assert_allclose(a, b, rtol=1e-12, atol=1e-13)
    # The ridge is an absolute weight: doubling the data halves its effect.
    ridge = 5.0
    c = z.fit_regularized_linear(Phi, y, ridge=ridge, **kw)
    d = z.fit_regularized_linear(Phi2, y2, ridge=ridge, **kw)
    assert np.abs(c - d).max() > 1e-3
    np.testing.assert_allclose(c, normal_solve(Phi, y, ridge=ridge, **kw), rtol=1e-12, atol=1e-13)
    np.testing.assert_allclose(d, normal_solve(Phi2, y2, ridge=ridge, **kw), rtol=1e-12, atol=1e-13)


@pytest.mark.parametrize("which", ["R1", "R2"])
def test_fit_non_symmetric_penalty_acts_through_lower_triangle(which):
    g = rng(12)
    n, p = 30, 6
    Phi = g.standard_normal((n, p))
    y = g.standard_normal(n)
    L = np.tril(g.uniform(0.0, 1.0, (p, p)))
    R = L + np.triu(g.uniform(-5.0, 5.0, (p, p)), 1)  # arbitrary upper triangle
    sym = L + np.tril(L, -1).T
    w = "gamma1" if which == "R1" else "gamma2"
    got = z.fit_regularized_linear(Phi, y, **{which: R, w: 0.1})
    np.testing.assert_array_equal(got, z.fit_regularized_linear(Phi, y, **{which: sym, w: 0.1}))
    np.testing.assert_array_equal(got, z.fit_regularized_linear(Phi, y, **{which: np.tril(R), w: 0.1}))
    np.testing.assert_allclose(got, normal_solve(Phi, y, **{which: sym, w: 0.1}), rtol=1e-10, atol=1e-12)
    # Not the symmetric part: the upper triangle is ignored, not averaged in.
    assert np.abs(got - normal_solve(Phi, y, **{which: (R + R.T) / 2, w: 0.1})).max() > 1e-6


@pytest.mark.parametrize(
    "unused",
    [
        dict(R1=None, gamma1=0.7),
        dict(R1="M", gamma1=0.0),
        dict(R1="wrong size", gamma1=0.0),
        dict(R1="nan", gamma1=0.0),
        dict(R1="M", gamma1=-0.0),
    ],
)
def test_fit_absent_and_zero_weight_terms_are_bit_identical(unused):
    g = rng(13)
    n, p = 25, 4
    Phi = g.standard_normal((n, p))
    y = g.standard_normal(n)
    mats = {"M": g.standard_normal((p, p)), "wrong size": np.ones((p + 2, 3)), "nan": np.full((p, p), np.nan), None: None}
    R2 = smoothness(p) + np.eye(p)
    base = z.fit_regularized_linear(Phi, y, None, R2, 0.0, 0.3, 1e-3)
    got = z.fit_regularized_linear(Phi, y, mats[unused["R1"]], R2, unused["gamma1"], 0.3, 1e-3)
    np.testing.assert_array_equal(got, base)
    # The same for the second term.
    base2 = z.fit_regularized_linear(Phi, y, R2, None, 0.3, 0.0, 1e-3)
    got2 = z.fit_regularized_linear(Phi, y, R2, mats[unused["R1"]], 0.3, unused["gamma1"], 1e-3)
    np.testing.assert_array_equal(got2, base2)


@pytest.mark.parametrize("p", P_BOTH_PATHS)
def test_fit_without_penalty_matches_ols(p):
    g = rng(14)
    n = 80
    Phi = g.standard_normal((n, p))
    y = g.standard_normal(n)
    np.testing.assert_allclose(z.fit_regularized_linear(Phi, y, ridge=0.0), z.ols(Phi, y), rtol=1e-10, atol=1e-12)


@pytest.mark.parametrize("j", [0, 2, 5])
def test_fit_zero_column_gets_exactly_zero(j):
    g = rng(15)
    n, p = 50, 5
    Phi0 = g.standard_normal((n, p))
    y = g.standard_normal(n)
    Phi = np.insert(Phi0, j, 0.0, axis=1)
    beta = z.fit_regularized_linear(Phi, y, ridge=0.0)
    assert beta[j] == 0.0
    np.testing.assert_allclose(np.delete(beta, j), z.fit_regularized_linear(Phi0, y, ridge=0.0), rtol=1e-12, atol=1e-13)


@pytest.mark.parametrize(
    "Phi,kwargs",
    [
        (np.zeros((6, 3)), dict(ridge=0.0)),  # A = 0
        (np.eye(3), dict(ridge=-1.0)),  # A = I - I = 0
        (np.zeros((6, 3)), dict(ridge=0.0, R1=np.diag([1.0, 0.0, 0.0]), gamma1=1.0)),
        (np.column_stack([np.ones(6), np.ones(6), np.arange(6.0)]), dict(ridge=0.0)),  # duplicate column
        (np.zeros((6, 2)), dict(ridge=0.0, R1=[[0.0, 0.0], [1.0, 0.0]], gamma1=1.0)),  # zero diagonal, non-zero off-diagonal
    ],
)
def test_fit_singular_system_is_finite(Phi, kwargs):
    y = np.arange(1.0, Phi.shape[0] + 1)
    beta = z.fit_regularized_linear(Phi, y, **kwargs)
    assert beta.shape == (Phi.shape[1],)
    assert np.all(np.isfinite(beta))


def test_fit_exactly_singular_zero_design_gives_zero():
    np.testing.assert_array_equal(z.fit_regularized_linear(np.zeros((6, 3)), np.ones(6), ridge=0.0), 0.0)


def test_fit_indefinite_system_is_solved():
    # Negative penalties make A indefinite; LDLT with pivoting still solves it.
    g = rng(16)
    Phi = g.standard_normal((20, 4))
    y = g.standard_normal(20)
    R1 = -np.eye(4)
    beta = z.fit_regularized_linear(Phi, y, R1=R1, gamma1=0.5, ridge=0.0)
    np.testing.assert_allclose(beta, normal_solve(Phi, y, R1=R1, gamma1=0.5, ridge=0.0), rtol=1e-10, atol=1e-12)


@given(
    n=st.integers(1, 40),
    p=st.integers(1, 20),
    gamma1=st.sampled_from([0.0, 1e-4, 0.3, 2.0]),
    gamma2=st.sampled_from([0.0, 1e-3, 0.5]),
    ridge=st.sampled_from([1e-6, 0.1, 3.0]),
    seed=st.integers(0, 2**32 - 1),
)
def test_fit_property_solves_penalised_normal_equations(n, p, gamma1, gamma2, ridge, seed):
    g = rng(seed)
    Phi = g.standard_normal((n, p))
    y = g.standard_normal(n)
    B = g.standard_normal((p, p))
    R1, R2 = B @ B.T, smoothness(p)
    beta = z.fit_regularized_linear(Phi, y, R1, R2, gamma1, gamma2, ridge)
    A = Phi.T @ Phi + ridge * np.eye(p) + n * gamma1 * R1 + n * gamma2 * R2
    cond = np.linalg.cond(A)
    ref = np.linalg.solve(A, Phi.T @ y)
    np.testing.assert_allclose(beta, ref, rtol=0, atol=1e-13 * cond * max(1.0, np.abs(ref).max()))


def test_fit_positional_and_keyword_arguments():
    g = rng(17)
    Phi = g.standard_normal((15, 3))
    y = g.standard_normal(15)
    M = smoothness(3) + np.eye(3)
    a = z.fit_regularized_linear(Phi, y, None, M, 0.0, 0.2, 0.01)
    b = z.fit_regularized_linear(Phi=Phi, y=y, R2=M, gamma2=0.2, ridge=0.01)
    np.testing.assert_array_equal(a, b)
    np.testing.assert_allclose(a, normal_solve(Phi, y, R2=M, gamma2=0.2, ridge=0.01), rtol=1e-12)
    # R1 given as a 1-D array of length p is a p x 1 matrix: converted, and
    # usable only with weight 0.
    np.testing.assert_array_equal(z.fit_regularized_linear(Phi, y, np.ones(3), gamma1=0.0), z.fit_regularized_linear(Phi, y))
    with pytest.raises(ValueError):
        z.fit_regularized_linear(Phi, y, np.ones(3), gamma1=1.0)


@pytest.mark.parametrize(
    "R1,R2,bad_type",
    [
        ("abc", None, "str"),
        ("abc", object(), "str"),  # R1 is converted first
        (None, object(), "object"),
        ({"a": 1}, np.eye(2), "dict"),
        (np.eye(2), [[1.0, "x"]], "list"),
    ],
)
@pytest.mark.parametrize("gamma", [0.0, 1.0])
def test_fit_non_matrix_penalty_raises_cast_error(R1, R2, bad_type, gamma):
    with pytest.raises(RuntimeError) as info:
        z.fit_regularized_linear(np.ones((3, 2)), np.ones(3), R1, R2, gamma, gamma)
    msg = str(info.value)
    assert msg.startswith("Unable to cast Python instance of type ")
    assert bad_type in msg


@pytest.mark.parametrize(
    "Phi,y,kwargs",
    [
        (np.ones((5, 2)), np.ones(4), {}),
        (np.ones((5, 2)), np.ones(6), {}),
        (np.ones((5, 2)), np.ones(5), dict(R1=np.eye(3), gamma1=1.0)),
        (np.ones((5, 2)), np.ones(5), dict(R2=np.ones((2, 3)), gamma2=1.0)),
        (np.ones((5, 2)), np.ones(5), dict(R1=np.eye(3), gamma1=float("nan"))),  # NaN weight counts as used
        (np.ones((5, 2)), np.ones(5), dict(R1=np.eye(2), gamma1=1.0, R2=np.eye(1), gamma2=1.0)),
    ],
)
def test_fit_size_mismatch_raises(Phi, y, kwargs):
    with pytest.raises(ValueError):
        z.fit_regularized_linear(Phi, y, **kwargs)


@pytest.mark.parametrize("fn", ["ols", "fit_regularized_linear"])
def test_empty_problems(fn):
    f = getattr(z, fn)
    np.testing.assert_array_equal(f(np.zeros((0, 3)), np.zeros(0)), np.zeros(3))
    assert f(np.zeros((4, 0)), np.ones(4)).shape == (0,)


@pytest.mark.parametrize("p", [2, 15, 16, 17, 64])
def test_ols_single_wide_row_is_pseudo_inverse(p):
    # One observation, many coefficients: the minimum-norm solution is
    # x * y / (x . x), on both of the decomposition's size paths.
    x = rng(p).standard_normal(p)
    beta = z.ols(x[None, :], [3.0])
    np.testing.assert_allclose(beta, x * 3.0 / (x @ x), rtol=1e-12, atol=1e-14)
    assert np.all(z.ols(np.zeros((1, p)), [3.0]) == 0.0)


# ------------------------------------------------------------ non-finite numbers

NON_FINITE = [np.nan, np.inf, -np.inf]


@pytest.mark.parametrize("bad", NON_FINITE)
@pytest.mark.parametrize(
    "arg, message",
    [
        ("Phi", "Phi contains NaN or infinity"),
        ("y", "y contains NaN or infinity"),
        ("R1", "R1 contains NaN or infinity"),
        ("R2", "R2 contains NaN or infinity"),
        ("gamma1", "gamma1 is "),
        ("gamma2", "gamma2 is "),
        ("ridge", "ridge is "),
    ],
)
def test_fit_refuses_non_finite_numbers_it_would_read(arg, message, bad):
    # NaN used to come back as zeros or a mix of NaN and zero components.
    g = rng(21)
    n, p = 30, 4
    kw = dict(Phi=g.standard_normal((n, p)), y=g.standard_normal(n), R1=smoothness(p), R2=np.eye(p),
              gamma1=0.1, gamma2=0.2, ridge=1e-8)
    if arg in ("Phi", "R1", "R2"):
        kw[arg][1, 2] = bad
    elif arg == "y":
        kw[arg][5] = bad
    else:
        kw[arg] = bad
    with pytest.raises(ValueError, match=message):
        z.fit_regularized_linear(**kw)


@pytest.mark.parametrize("where", ["X", "y"])
def test_ols_message_names_the_argument(where):
    X, y = np.ones((4, 2)), np.ones(4)
    (X if where == "X" else y)[1] = np.nan
    with pytest.raises(ValueError, match=f"^{where} contains NaN or infinity$"):
        z.ols(X, y)
