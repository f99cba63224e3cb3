"""Polynomial bases and smoothness penalties in one and several variables.

The penalties are checked against their meaning: for a coefficient vector beta,
beta' R1 beta and beta' R2 beta must equal grid sums of squared derivatives that
NumPy computes independently (numpy.polynomial derivatives evaluated on the
grid).  The several-variable matrices are also compared entry by entry with a
straightforward construction (derivative tables gathered at every grid point,
then W'W), which is affordable on small grids.
"""
import itertools
import math
import pathlib
import re

import numpy as np
import numpy.polynomial.polynomial as P
import pytest
from hypothesis import given
from hypothesis import strategies as st

import zelt_core as z

ROOT = pathlib.Path(__file__).resolve().parents[1]


# ---------------------------------------------------------------- references


def grid_1d(x_min, x_max, n):
    dx = (x_max - x_min) / (n - 1)
    return x_min + np.arange(n) * dx, dx


def eval_on_grid(c, axes):
    """Polynomial with coefficient array c[k_0, ..., k_{D-1}] on the tensor grid."""
    for x in axes:
        c = P.polyval(x, c, tensor=True)
    return c


def grid_sums_nd(beta, degrees, bounds, n):
    """dV * sum |grad f|^2 and dV * sum ||Hess f||_F^2 over the grid, in NumPy."""
    # Multi-index order is the full tensor product with the last variable
    # fastest, i.e. a C-order reshape of beta.
    c = np.asarray(beta).reshape([d + 1 for d in degrees])
    axes = [np.linspace(lo, hi, n) for lo, hi in bounds]
    dV = np.prod([(hi - lo) / (n - 1) for lo, hi in bounds])
    D = len(degrees)
    s1 = sum(np.sum(eval_on_grid(P.polyder(c, 1, axis=i), axes) ** 2) for i in range(D))
    s2 = sum(
        np.sum(eval_on_grid(P.polyder(P.polyder(c, 1, axis=i), 1, axis=j), axes) ** 2)
        for i in range(D)
        for j in range(D)
    )
    return dV * s1, dV * s2


def falling(p, o):
    return math.prod(range(p - o + 1, p + 1))


def deriv_table(x, deg, order):
    """(len(x), deg + 1): d^order/dx^order of x^p."""
    cols = [
        falling(p, order) * x ** (p - order) if p >= order else np.zeros_like(x)
        for p in range(deg + 1)
    ]
    return np.stack(cols, axis=1) if cols else np.zeros((len(x), 0))


def reference_penalty_nd(degrees, bounds, n):
    """Straightforward construction: G x M derivative matrices W, R += dV W'W."""
    D = len(degrees)
    mis = list(itertools.product(*(range(d + 1) for d in degrees)))
    M = len(mis)
    axes = [np.linspace(lo, hi, n) for lo, hi in bounds]
    dV = np.prod([(hi - lo) / (n - 1) for lo, hi in bounds])
    pts = [a.ravel() for a in np.meshgrid(*axes, indexing="ij")]
    G = n**D
    tabs = [[deriv_table(pts[d], degrees[d], o) for o in range(3)] for d in range(D)]
    idx = [np.array([mi[d] for mi in mis], dtype=int) for d in range(D)]

    def W(orders):
        w = np.ones((G, M))
        for d in range(D):
            w *= tabs[d][orders[d]][:, idx[d]]
        return w

    R1 = np.zeros((M, M))
    R2 = np.zeros((M, M))
    for i in range(D):
        for j in range(D):
            w = W([(d == i) + (d == j) for d in range(D)])
            R2 += dV * (w.T @ w)
        w = W([int(d == i) for d in range(D)])
        R1 += dV * (w.T @ w)
    return R1, R2, [list(mi) for mi in mis]


def assert_matches_reference(degrees, bounds, n):
    R1, R2, mis = z.build_penalty_matrices_nd(degrees, bounds, n)
    ref1, ref2, ref_mis = reference_penalty_nd(degrees, bounds, n)
    assert mis == ref_mis
    for R, ref in ((R1, ref1), (R2, ref2)):
        assert_close_to_scale(R, ref)
        assert_exactly_symmetric(R)


def quad(beta, R):
    return float(beta @ R @ beta)


def quad_scale(beta, R):
    """Size of the rounding error of beta' R beta: |beta|' |R| |beta|."""
    return float(np.abs(beta) @ np.abs(R) @ np.abs(beta))


def assert_exactly_symmetric(R):
    np.testing.assert_array_equal(R, R.T)


def assert_close_to_scale(A, B, rel=1e-12):
    scale = max(np.max(np.abs(A), initial=0.0), np.max(np.abs(B), initial=0.0))
    np.testing.assert_allclose(A, B, rtol=0, atol=rel * scale)


# ------------------------------------------------------ native building blocks


@pytest.fixture(scope="module")
def native_units(native_checks):
    """The lines of tests/native/basis_units.cpp, by their first word."""
    out = native_checks["basis_units"]
    lines = {}
    for line in out.splitlines():
        name, _, rest = line.partition(" ")
        lines.setdefault(name, []).append(rest)
    return lines


S = -777.0  # sentinel beyond entry deg: deriv_row must not touch it


@pytest.mark.parametrize(
    "name, expected",
    [
        ("row_x0_deg4_o1", [0, 1, 0, 0, 0, S, S]),
        ("row_x0_deg4_o2", [0, 0, 2, 0, 0, S, S]),
        ("row_x2_deg3_o1", [0, 1, 4, 12, S, S]),
        ("row_x2_deg3_o2", [0, 0, 2, 12, S, S]),
        ("row_deg0_o1", [0, S, S]),
        ("row_deg1_o2", [0, 0, S, S]),
        ("row_degm1_o1", [S, S]),
        ("row_xm3_deg4_o2", [0, 0, 2, -18, 108, S, S]),
    ],
)
def test_deriv_row_figures(native_units, name, expected):
    (values,) = native_units[name]
    assert [float(v) for v in values.split()] == expected


def test_design_nd_row_blocks_give_the_bits_of_a_whole_column_pass(native_units):
    assert native_units["design_nd_block_mismatches"] == ["0"]


def test_col_deriv_scalar_figures(native_units):
    (values,) = native_units["col_deriv_scalar"]
    got = [float(v) for v in values.split()]
    # (2,3,0) (2,3,1) (2,3,2) (5,1,2) (0,0,0) (0,0,1) (0,1,1) (0,2,2) (-1.5,4,2) (nan,0,0)
    assert got == [8.0, 12.0, 12.0, 0.0, 1.0, 0.0, 1.0, 2.0, 12 * 2.25, 1.0]


def test_generate_multi_indices_order(native_units):
    def parse(line):
        count, _, body = line.partition(" |")
        return int(count), [tuple(int(k) for k in part.split()) for part in body.split("|")[:-1]]

    got = [parse(line) for line in native_units["multi"]]
    assert got == [
        (1, [()]),
        (6, [(0, 0), (0, 1), (0, 2), (1, 0), (1, 1), (1, 2)]),
        (6, [(0, 0), (0, 1), (1, 0), (1, 1), (2, 0), (2, 1)]),
        (1, [(0, 0, 0)]),
        (0, []),
        (0, []),
    ]
    (from_dim1,) = native_units["multi_from_dim1"]
    assert parse(from_dim1) == (4, [(9, 9), (7, 0), (7, 1), (7, 2)])


def test_lazy_axis_points_equal_stored_ones(native_units):
    assert native_units["linspaced_mismatches"] == ["0"]


# ------------------------------------------------------------ design_matrix_1d


@given(
    st.integers(0, 15),
    st.lists(st.floats(allow_nan=True, allow_infinity=True, width=64), max_size=40),
)
def test_design_matrix_1d_matches_polyvander(deg, xs):
    # Both build x^p = x^(p-1) * x column by column, so they agree bit for bit.
    x = np.array(xs, dtype=float)
    Phi = z.design_matrix_1d(deg, x)
    assert Phi.shape == (len(x), deg + 1)
    # Column 0 is 1.0 even at inf and NaN, where polyvander's x*0 + 1 is NaN.
    assert (Phi[:, 0] == 1.0).all()
    with np.errstate(all="ignore"):
        V = P.polyvander(x, deg).reshape(len(x), deg + 1)
    np.testing.assert_array_equal(Phi[:, 1:], V[:, 1:])


def test_design_matrix_1d_edge_rows():
    Phi = z.design_matrix_1d(3, [-2.0, 0.0, np.nan])
    np.testing.assert_array_equal(Phi[0], [1, -2, 4, -8])
    np.testing.assert_array_equal(Phi[1], [1, 0, 0, 0])
    assert Phi[2, 0] == 1.0 and np.isnan(Phi[2, 1:]).all()
    np.testing.assert_array_equal(z.design_matrix_1d(0, [3.0, -1.0, 0.0]), np.ones((3, 1)))
    assert z.design_matrix_1d(4, np.array([])).shape == (0, 5)


def test_design_matrix_1d_result_array():
    x = np.arange(6, dtype=np.int32)  # any numeric dtype converts
    Phi = z.design_matrix_1d(2, x)
    assert Phi.dtype == np.float64 and Phi.flags.f_contiguous and Phi.flags.writeable
    np.testing.assert_array_equal(Phi, z.design_matrix_1d(2, x.reshape(-1, 1).astype(float)))
    np.testing.assert_array_equal(Phi, z.design_matrix_1d(deg=np.int64(2), x=x))


@pytest.mark.parametrize("deg", [-1, -2, -(2**31)])
@pytest.mark.parametrize("n", [0, 3])
def test_design_matrix_1d_negative_degree(deg, n):
    with pytest.raises(ValueError, match=r"^deg < 0$"):
        z.design_matrix_1d(deg, np.ones(n))


@pytest.mark.parametrize("bad", [3.0, "3", 2**31])
def test_design_matrix_1d_degree_must_be_a_32bit_int(bad):
    with pytest.raises(TypeError):
        z.design_matrix_1d(bad, [1.0])


def test_design_matrix_1d_refuses_row_vector():
    with pytest.raises(TypeError):
        z.design_matrix_1d(2, np.ones((1, 3)))


# ---------------------------------------------- smoothness_penalty_matrices_1d


@pytest.mark.parametrize(
    "deg, lo, hi, n, R1, R2",
    [
        (1, 0.0, 1.0, 2, [[0, 0], [0, 2]], [[0, 0], [0, 0]]),
        (2, 0.0, 1.0, 3, [[0, 0, 0], [0, 1.5, 1.5], [0, 1.5, 2.5]], [[0, 0, 0], [0, 0, 0], [0, 0, 6]]),
        (0, -3.0, 5.0, 10, [[0.0]], [[0.0]]),
        (3, 2.0, 2.0, 7, np.zeros((4, 4)), np.zeros((4, 4))),
    ],
)
def test_penalty_1d_figures(deg, lo, hi, n, R1, R2):
    r1, r2 = z.smoothness_penalty_matrices_1d(deg, lo, hi, n)
    np.testing.assert_array_equal(r1, R1)
    np.testing.assert_array_equal(r2, R2)


@pytest.mark.parametrize(
    "deg, n, msg",
    [(-1, 1, "deg < 0"), (-1, 600, "deg < 0"), (3, 1, "n_grid < 2"), (3, 0, "n_grid < 2"),
     (3, -5, "n_grid < 2"), (-(2**31), -(2**31), "deg < 0")],
)
def test_penalty_1d_argument_checks_in_order(deg, n, msg):
    with pytest.raises(ValueError, match=f"^{msg}$"):
        z.smoothness_penalty_matrices_1d(deg, 0.0, 1.0, n)


@given(
    deg=st.integers(0, 7),
    lo=st.floats(-5, 5),
    width=st.floats(0.01, 5),
    n=st.integers(2, 700),
    seed=st.integers(0, 2**32 - 1),
)
def test_penalty_1d_quadratic_forms_are_grid_sums(deg, lo, width, n, seed):
    hi = lo + width
    R1, R2 = z.smoothness_penalty_matrices_1d(deg, lo, hi, n)
    assert_exactly_symmetric(R1)
    assert_exactly_symmetric(R2)
    # A constant has no slope, a line no curvature.
    assert not R1[0].any() and not R2[:2].any()
    x, dx = grid_1d(lo, hi, n)
    beta = np.random.default_rng(seed).normal(size=deg + 1)
    s1 = dx * np.sum(P.polyval(x, P.polyder(beta, 1)) ** 2)
    s2 = dx * np.sum(P.polyval(x, P.polyder(beta, 2)) ** 2)
    assert abs(quad(beta, R1) - s1) <= 1e-11 * quad_scale(beta, R1)
    assert abs(quad(beta, R2) - s2) <= 1e-11 * quad_scale(beta, R2)
    # Positive semidefinite for an upward interval.
    for R in (R1, R2):
        assert np.linalg.eigvalsh(R).min() >= -1e-12 * max(np.abs(R).max(), 1e-300)


@pytest.mark.parametrize("deg, lo, hi, n", [(3, 0.0, 1.0, 30), (6, -1.0, 2.5, 101)])
def test_penalty_1d_downward_interval_negates(deg, lo, hi, n):
    up = z.smoothness_penalty_matrices_1d(deg, lo, hi, n)
    down = z.smoothness_penalty_matrices_1d(deg, hi, lo, n)
    for U, Dn in zip(up, down):
        assert_close_to_scale(Dn, -U)
        assert np.linalg.eigvalsh(Dn).max() <= 1e-12 * np.abs(U).max()


def test_penalty_1d_default_grid_and_result_kind():
    r = z.smoothness_penalty_matrices_1d(3, -1.0, 2.0)
    assert isinstance(r, tuple) and len(r) == 2
    explicit = z.smoothness_penalty_matrices_1d(deg=3, x_min=-1.0, x_max=2.0, n_grid=600)
    other = z.smoothness_penalty_matrices_1d(3, -1.0, 2.0, 601)
    for a, b, c in zip(r, explicit, other):
        assert a.flags.f_contiguous and a.flags.writeable and a.shape == (4, 4)
        np.testing.assert_array_equal(a, b)
    assert not np.array_equal(r[0], other[0])


# ---------------------------------------------------------- boundary_reduce_1d


def test_boundary_figures():
    np.testing.assert_array_equal(z.boundary_reduce_1d(2, 0.0, 1.0), np.diag([0.0, 0.0, 4.0]))
    expected = np.zeros((4, 4))
    expected[2, 2], expected[3, 3], expected[1, 3], expected[3, 1] = 8, 36, 6, 6
    np.testing.assert_array_equal(z.boundary_reduce_1d(3, -1.0, 1.0), expected)


@pytest.mark.parametrize("deg, lo, hi", [(0, 0.0, 3.0), (1, -2.0, 5.0), (6, 1.25, 1.25)])
def test_boundary_zero_cases(deg, lo, hi):
    np.testing.assert_array_equal(z.boundary_reduce_1d(deg, lo, hi), np.zeros((deg + 1, deg + 1)))


def test_boundary_negative_degrees():
    assert z.boundary_reduce_1d(-1, 0.0, 1.0).shape == (0, 0)
    for deg in (-2, -(2**31)):
        with pytest.raises(MemoryError):
            z.boundary_reduce_1d(deg, 0.0, 1.0)


@pytest.mark.parametrize("deg, lo, hi", [(2, 0.0, 1.0), (5, -1.5, 0.75), (7, 2.0, -1.0)])
def test_boundary_quadratic_form_is_boundary_term(deg, lo, hi):
    Rb = z.boundary_reduce_1d(deg, lo, hi)
    assert_exactly_symmetric(Rb)
    rng = np.random.default_rng(deg)
    for _ in range(5):
        beta = rng.normal(size=deg + 1)
        d1, d2 = P.polyder(beta, 1), P.polyder(beta, 2)
        term = P.polyval(hi, d1) * P.polyval(hi, d2) - P.polyval(lo, d1) * P.polyval(lo, d2)
        assert abs(quad(beta, Rb) - term) <= 1e-12 * quad_scale(beta, Rb)


# ------------------------------------------------------------ design_matrix_nd


def numpy_design_nd(multi_indices, X_cols):
    X = np.stack([np.asarray(c, dtype=float) for c in X_cols], axis=1)  # n x D
    K = np.array([mi[: X.shape[1]] for mi in multi_indices], dtype=float).reshape(-1, X.shape[1])
    return np.prod(np.where(K > 0, X[:, None, :] ** np.maximum(K, 0), 1.0), axis=2)


def test_design_nd_example_columns():
    rng = np.random.default_rng(1)
    x, y = rng.normal(size=9), rng.normal(size=9)
    mis = [[0, 0], [0, 1], [0, 2], [1, 0], [1, 1], [1, 2]]
    Phi = z.design_matrix_nd(mis, [x, y])
    expected = np.stack([np.ones(9), y, y * y, x, x * y, x * y * y], axis=1)
    np.testing.assert_allclose(Phi, expected, rtol=1e-15, atol=0)
    assert Phi.flags.f_contiguous and Phi.flags.writeable


@pytest.mark.parametrize("D, deg", [(1, 6), (2, 4), (3, 3), (4, 2)])
def test_design_nd_matches_numpy_broadcast(D, deg):
    rng = np.random.default_rng(D)
    X_cols = [rng.uniform(-3, 3, size=40) for _ in range(D)]
    X_cols[0][:3] = [0.0, -0.0, -1.0]
    mis = [list(mi) for mi in itertools.product(range(deg + 1), repeat=D)]
    np.testing.assert_allclose(z.design_matrix_nd(mis, X_cols), numpy_design_nd(mis, X_cols), rtol=1e-13)


def test_design_nd_one_variable_matches_1d():
    x = np.random.default_rng(7).uniform(-2, 2, size=33)
    np.testing.assert_allclose(
        z.design_matrix_nd([[p] for p in range(7)], [x]), z.design_matrix_1d(6, x), rtol=1e-14, atol=0
    )


def test_design_nd_nonpositive_powers_and_zero_values():
    x = np.array([0.0, 2.0, np.nan])
    y = np.array([3.0, 0.0, 1.0])
    Phi = z.design_matrix_nd([[-3, 0], [0, 0], [0, 2], [2, -1], [1, 1]], [x, y])
    np.testing.assert_array_equal(Phi[:, 0], [1, 1, 1])  # -3 acts as 0, NaN^0 skipped
    np.testing.assert_array_equal(Phi[:, 1], Phi[:, 0])
    np.testing.assert_array_equal(Phi[:, 2], [9, 0, 1])
    np.testing.assert_array_equal(Phi[:2, 3], [0, 4])
    np.testing.assert_array_equal(Phi[:2, 4], [0, 0])
    assert np.isnan(Phi[2, 3]) and np.isnan(Phi[2, 4])


def test_design_nd_empty_basis_and_rows():
    assert z.design_matrix_nd([], [np.ones(5), np.ones(5)]).shape == (5, 0)
    assert z.design_matrix_nd([[1, 2]], [np.array([]), np.array([])]).shape == (0, 1)


def test_design_nd_reads_only_as_many_entries_as_variables():
    x = np.array([2.0, 3.0])
    np.testing.assert_array_equal(z.design_matrix_nd([[2, 5, 7]], [x]), [[4.0], [9.0]])


@pytest.mark.parametrize(
    "mis, cols, match",
    [
        ([[1]], [], "empty"),
        ([[1, 1], [1]], [[1.0, 2.0], [3.0, 4.0]], "multi-index 1 has 1 entries"),
        ([[1, 1]], [[1.0, 2.0], [3.0]], "length"),
        ([[1, 1]], [[1.0], [3.0, 4.0]], "length"),
    ],
)
def test_design_nd_rejects_inconsistent_input(mis, cols, match):
    with pytest.raises(ValueError, match=match):
        z.design_matrix_nd(mis, [np.asarray(c) for c in cols])


def test_design_nd_given_an_n_by_d_array_says_to_pass_columns():
    X = np.ones((21, 3))
    with pytest.raises(ValueError, match=re.escape("multi-index 0 has 3 entries for 21 variables; "
                                                   "X_cols holds one column per variable")) as e:
        z.design_matrix_nd([[1, 0, 2]], X)
    assert "X.T" in str(e.value)
    assert z.design_matrix_nd([[1, 0, 2]], X.T).shape == (21, 1)


def test_design_nd_accepts_iterables_refuses_strings():
    x, y = np.array([1.0, 2.0]), np.array([3.0, -1.0])
    ref = z.design_matrix_nd([[1, 0], [0, 2], [1, 1]], [x, y])
    gen = ((k for k in mi) for mi in ([1, 0], [0, 2], [1, 1]))
    np.testing.assert_array_equal(z.design_matrix_nd(gen, (x, y)), ref)
    np.testing.assert_array_equal(z.design_matrix_nd(map(tuple, [[1, 0], [0, 2], [1, 1]]), [x, y]), ref)
    np.testing.assert_array_equal(
        z.design_matrix_nd([[1, 0], [0, 2], [1, 1]], [x.reshape(-1, 1), [3, -1]]), ref
    )
    for bad in ("ab", b"ab", ["ab"], [[1.0, 0]]):
        with pytest.raises(TypeError):
            z.design_matrix_nd(bad, [x, y])


# --------------------------------------------------- build_penalty_matrices_nd


def test_penalty_nd_two_variable_example():
    R1, R2, mis = z.build_penalty_matrices_nd([1, 1], [(0.0, 1.0), (0.0, 1.0)], 2)
    assert mis == [[0, 0], [0, 1], [1, 0], [1, 1]]
    np.testing.assert_array_equal(R1, [[0, 0, 0, 0], [0, 4, 0, 2], [0, 0, 4, 2], [0, 2, 2, 4]])
    expected = np.zeros((4, 4))
    expected[3, 3] = 8
    np.testing.assert_array_equal(R2, expected)


def test_penalty_nd_one_variable_example_and_agreement_with_1d():
    R1, R2, mis = z.build_penalty_matrices_nd([2], [(0.0, 1.0)], 3)
    assert mis == [[0], [1], [2]]
    np.testing.assert_array_equal(R1, [[0, 0, 0], [0, 1.5, 1.5], [0, 1.5, 2.5]])
    np.testing.assert_array_equal(R2, [[0, 0, 0], [0, 0, 0], [0, 0, 6]])
    for deg, lo, hi, n in [(5, -1.0, 2.0, 30), (8, 0.3, -0.7, 77), (3, -4.0, -1.0, 600)]:
        nd = z.build_penalty_matrices_nd([deg], [(lo, hi)], n)
        one = z.smoothness_penalty_matrices_1d(deg, lo, hi, n)
        assert_close_to_scale(nd[0], one[0])
        assert_close_to_scale(nd[1], one[1])


def test_penalty_nd_no_variables():
    R1, R2, mis = z.build_penalty_matrices_nd([], [], 5)
    assert mis == [[]]
    np.testing.assert_array_equal(R1, [[0.0]])
    np.testing.assert_array_equal(R2, [[0.0]])


@pytest.mark.parametrize("degrees", [[0, 0, 0], [2, 1], [1, 2], [3, 0, 2], [1, 1, 1, 1]])
def test_penalty_nd_multi_index_order(degrees):
    _, _, mis = z.build_penalty_matrices_nd(degrees, [(0.0, 1.0)] * len(degrees), 2)
    assert mis == [list(t) for t in itertools.product(*(range(d + 1) for d in degrees))]
    assert all(type(k) is int for mi in mis for k in mi)


@pytest.mark.parametrize("degrees", [[1, -1], [-1], [3, -1, 2]])
def test_penalty_nd_empty_basis(degrees):
    R1, R2, mis = z.build_penalty_matrices_nd(degrees, [(0.0, 1.0)] * len(degrees), 4)
    assert mis == [] and R1.shape == (0, 0) and R2.shape == (0, 0)


@pytest.mark.parametrize(
    "degrees, bounds, n, exc, match",
    [
        ([1, 2], [(0.0, 1.0)], 30, ValueError, r"^Dimension mismatch\.$"),
        ([1, 2], [(0.0, 1.0)], 1, ValueError, r"^Dimension mismatch\.$"),
        ([1], [(0.0, 1.0)] * 2, -3, ValueError, r"^Dimension mismatch\.$"),
        ([-2], [], 30, ValueError, r"^Dimension mismatch\.$"),
        ([2, 2], [(0.0, 1.0)] * 2, 1, ValueError, r"^n_grid < 2$"),
        ([2], [(0.0, 1.0)], 0, ValueError, r"^n_grid < 2$"),
        ([], [], -1, ValueError, r"^n_grid < 2$"),
        ([-2], [(0.0, 1.0)], 1, ValueError, r"^n_grid < 2$"),
        ([-2], [(0.0, 1.0)], 30, MemoryError, None),
        ([3, -7], [(0.0, 1.0)] * 2, 30, MemoryError, None),
        ([1] * 13, [(0.0, 1.0)] * 13, 30, ValueError, "overflows a 64-bit index"),
        ([0] * 64, [(0.0, 1.0)] * 64, 2, ValueError, "overflows a 64-bit index"),
        # 10^10 basis functions cannot be counted, let alone held.
        ([99999, 99999], [(0.0, 1.0)] * 2, 2, MemoryError, None),
    ],
)
def test_penalty_nd_failures(degrees, bounds, n, exc, match):
    with pytest.raises(exc, match=match):
        z.build_penalty_matrices_nd(degrees, bounds, n)


@pytest.mark.parametrize(
    "degrees, bounds, n",
    [
        ([2, 3], [(0.0, 1.0), (-1.0, 2.0)], 9),
        ([1, 1], [(0.0, 1.0), (0.0, 1.0)], 2),
        ([3, 0], [(-2.0, 1.0), (5.0, 6.0)], 7),
        ([2, 1, 2], [(0.0, 1.0), (-0.5, 0.5), (1.0, 3.0)], 5),
        ([1, 2, 1, 1], [(0.0, 1.0)] * 4, 4),
        ([4], [(-1.0, 3.0)], 17),
        ([3, 3, 3], [(0.0, 1.0), (-1.0, 2.0), (0.5, 1.5)], 30),
    ],
)
def test_penalty_nd_matches_straightforward_construction(degrees, bounds, n):
    assert_matches_reference(degrees, bounds, n)


@pytest.mark.parametrize(
    "degrees, bounds, n",
    [
        ([3, 2], [(0.0, 1.0), (-1.0, 2.0)], 30),
        ([2, 2, 2], [(-1.0, 1.0), (0.0, 0.5), (2.0, 3.0)], 12),
        ([4, 1, 3], [(0.0, 2.0), (-3.0, 3.0), (-1.0, 0.0)], 8),
    ],
)
def test_penalty_nd_quadratic_forms_are_grid_sums(degrees, bounds, n):
    R1, R2, _ = z.build_penalty_matrices_nd(degrees, bounds, n)
    M = R1.shape[0]
    rng = np.random.default_rng(M)
    for _ in range(4):
        beta = rng.normal(size=M)
        s1, s2 = grid_sums_nd(beta, degrees, bounds, n)
        assert abs(quad(beta, R1) - s1) <= 1e-11 * quad_scale(beta, R1)
        assert abs(quad(beta, R2) - s2) <= 1e-11 * quad_scale(beta, R2)
    for R in (R1, R2):
        assert_exactly_symmetric(R)
        assert np.linalg.eigvalsh(R).min() >= -1e-12 * np.abs(R).max()


@given(
    degrees=st.lists(st.integers(0, 3), min_size=1, max_size=3),
    n=st.integers(2, 6),
    data=st.data(),
)
def test_penalty_nd_property(degrees, n, data):
    D = len(degrees)
    lows = data.draw(st.lists(st.floats(-3, 3), min_size=D, max_size=D))
    widths = data.draw(st.lists(st.floats(-2, 2).filter(lambda w: abs(w) > 1e-3), min_size=D, max_size=D))
    bounds = [(lo, lo + w) for lo, w in zip(lows, widths)]
    assert_matches_reference(degrees, bounds, n)


@pytest.mark.parametrize("flip", [(True, False), (False, True), (True, True), (True, True, True)])
def test_penalty_nd_downward_intervals(flip):
    base = [(0.0, 1.0), (-1.0, 2.0), (0.5, 1.5)][: len(flip)]
    degrees = [2, 3, 1][: len(flip)]
    flipped = [(hi, lo) if f else (lo, hi) for (lo, hi), f in zip(base, flip)]
    up = z.build_penalty_matrices_nd(degrees, base, 11)
    down = z.build_penalty_matrices_nd(degrees, flipped, 11)
    sign = -1.0 if sum(flip) % 2 else 1.0
    assert down[2] == up[2]
    for U, Dn in zip(up[:2], down[:2]):
        assert_close_to_scale(Dn, sign * U)


def gauss_integrals(beta, degrees, bounds):
    """Exact integrals of |grad f|^2 and ||Hess f||_F^2 over the box (Gauss-Legendre)."""
    c = np.asarray(beta).reshape([d + 1 for d in degrees])
    nodes, weights = np.polynomial.legendre.leggauss(max(degrees) + 2)
    axes = [lo + (hi - lo) * (nodes + 1) / 2 for lo, hi in bounds]
    w = weights
    for _ in range(len(degrees) - 1):
        w = np.multiply.outer(w, weights)
    w = w * np.prod([(hi - lo) / 2 for lo, hi in bounds])
    D = len(degrees)
    i1 = sum(np.sum(w * eval_on_grid(P.polyder(c, 1, axis=i), axes) ** 2) for i in range(D))
    i2 = sum(
        np.sum(w * eval_on_grid(P.polyder(P.polyder(c, 1, axis=i), 1, axis=j), axes) ** 2)
        for i in range(D)
        for j in range(D)
    )
    return i1, i2


def test_penalty_nd_huge_grid_approaches_the_integrals():
    # 20001^3 (8e12) grid points: far beyond any G x M work matrix. The
    # rectangle sum with full-weight ends exceeds the integral by O(1/n).
    degrees, bounds, n = [3, 2, 3], [(0.0, 1.0), (-1.0, 0.5), (0.5, 2.0)], 20001
    R1, R2, _ = z.build_penalty_matrices_nd(degrees, bounds, n)
    rng = np.random.default_rng(3)
    for _ in range(3):
        beta = rng.normal(size=R1.shape[0])
        i1, i2 = gauss_integrals(beta, degrees, bounds)
        assert quad(beta, R1) == pytest.approx(i1, rel=1e-3)
        assert quad(beta, R2) == pytest.approx(i2, rel=1e-3)
        assert abs(quad(beta, R1) - i1) > 1e-9 * i1  # the grid sum, not the integral


def test_penalty_nd_largest_countable_grid():
    # 2097151^3 < 2^63 <= 2097152^3.
    R1, R2, mis = z.build_penalty_matrices_nd([0, 0, 0], [(0.0, 1.0)] * 3, 2097151)
    assert mis == [[0, 0, 0]]
    np.testing.assert_array_equal(R1, [[0.0]])
    np.testing.assert_array_equal(R2, [[0.0]])
    with pytest.raises(ValueError, match="overflows a 64-bit index"):
        z.build_penalty_matrices_nd([0, 0, 0], [(0.0, 1.0)] * 3, 2097152)


def test_penalty_nd_degenerate_interval_gives_zeros():
    R1, R2, _ = z.build_penalty_matrices_nd([2, 2], [(0.0, 1.0), (3.0, 3.0)], 6)
    assert not R1.any() and not R2.any()


def test_penalty_nd_default_grid_and_result_kind():
    r = z.build_penalty_matrices_nd([1, 1], [(0.0, 1.0), (0.0, 1.0)])
    assert isinstance(r, tuple) and len(r) == 3
    assert isinstance(r[2], list) and len(r[2]) == 4 and all(isinstance(mi, list) and len(mi) == 2 for mi in r[2])
    explicit = z.build_penalty_matrices_nd(degrees=[1, 1], bounds=[[0.0, 1.0], (0, 1)], n_grid_per_dim=30)
    np.testing.assert_array_equal(r[0], explicit[0])
    np.testing.assert_array_equal(r[1], explicit[1])
    for R in r[:2]:
        assert R.flags.f_contiguous and R.flags.writeable and R.dtype == np.float64
    # The default is 30, not another count.
    assert not np.array_equal(r[0], z.build_penalty_matrices_nd([1, 1], [(0.0, 1.0), (0.0, 1.0)], 31)[0])


@pytest.mark.parametrize(
    "degrees, bounds",
    [([1], [(0.0, 1.0, 2.0)]), ([1], [0.0]), ([1.0], [(0.0, 1.0)]), ("1", [(0.0, 1.0)]), ([1], ["ab"])],
)
def test_penalty_nd_argument_kinds(degrees, bounds):
    with pytest.raises(TypeError):
        z.build_penalty_matrices_nd(degrees, bounds, 5)


@pytest.mark.parametrize("call", [
    lambda: z.boundary_reduce_1d(2**31 - 1, 0.0, 1.0),
    lambda: z.smoothness_penalty_matrices_1d(2**31 - 1, 0.0, 1.0, 2),
    lambda: z.build_penalty_matrices_nd([2**31 - 1], [(0.0, 1.0)], 2),
], ids=["boundary", "penalty_1d", "penalty_nd"])
def test_largest_degree_is_a_memory_error_not_a_crash(call):
    # deg + 1 = 2^31 coefficients: the M x M result can never be allocated, and
    # the loops over 0..deg must not wrap their counters on the way there.
    with pytest.raises(MemoryError):
        call()


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: z.boundary_reduce_1d(-5, 0.0, 1.0), "deg = -5 gives a matrix of negative size"),
        (lambda: z.build_penalty_matrices_nd([-3], [(0.0, 1.0)], 2), "degree -3 gives a table of negative size"),
        (lambda: z.build_penalty_matrices_nd([2**31 - 1, 1], [(0.0, 1.0)] * 2, 2), "more than 2^31 - 1 functions"),
        (lambda: z.boundary_reduce_1d(2**31 - 1, 0.0, 1.0), "not enough memory"),
    ],
)
def test_impossible_sizes_say_what_was_impossible(call, message):
    # The allocator's own text was "std::bad_alloc".
    with pytest.raises(MemoryError, match=re.escape(message)):
        call()
