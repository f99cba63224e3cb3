"""Property-based fuzzing of the whole Python surface of zelt_core.

Not collected directly: tests/test_surface.py runs each group in a child
interpreter, so that a crash of the module shows as a failing test instead of
killing the test run.

Every call must either return a result of the documented kind and shape or raise
TypeError, ValueError, RuntimeError or MemoryError -- the specific one where the
interface prescribes it.
"""
import math

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

import zelt_core as z

ALLOWED = (TypeError, ValueError, RuntimeError, MemoryError)
INT32_MIN, INT32_MAX = -(2**31), 2**31 - 1

# ---------------------------------------------------------------- strategies

specials = st.sampled_from([0.0, -0.0, 1.0, -1.0, math.nan, math.inf, -math.inf, 1e308, 5e-324])
values = st.one_of(st.floats(-1e3, 1e3, allow_nan=False), specials)
dtypes = st.sampled_from([np.float64, np.float32, np.int32, np.int64])


@st.composite
def arrays(draw, shape=None, max_side=6, finite=False):
    """An array-like of any layout: list, tuple or ndarray, possibly a strided
    or transposed view, of int/float32/float64 dtype, possibly with NaN and inf."""
    if shape is None:
        ndim = draw(st.sampled_from([1, 1, 2, 2, 0, 3]))
        shape = tuple(draw(st.integers(0, max_side)) for _ in range(ndim))
    dtype = draw(dtypes)
    elems = st.floats(-50, 50, allow_nan=False) if finite else values
    flat = draw(st.lists(elems, min_size=int(np.prod(shape)), max_size=int(np.prod(shape))))
    a = np.array(flat, dtype=np.float64).reshape(shape)
    if np.issubdtype(dtype, np.integer):
        a = np.nan_to_num(a, nan=0.0, posinf=7.0, neginf=-7.0).round()
    with np.errstate(all="ignore"):
        a = a.astype(dtype)
    layout = draw(st.sampled_from(["c", "f", "strided", "list"]))
    if layout == "f":
        a = np.asfortranarray(a)
    elif layout == "strided" and a.ndim >= 1:
        big = np.repeat(a, 2, axis=0)
        a = big[::2]
    elif layout == "list" and a.ndim >= 1:
        return a.tolist()
    return a


def vectors(n=None, finite=False):
    if n is None:
        n = st.integers(0, 8)
    return n.flatmap(lambda k: st.one_of(
        arrays(shape=(k,), finite=finite), arrays(shape=(k, 1), finite=finite)))


ints = st.one_of(
    st.integers(-3, 8),
    st.sampled_from([INT32_MIN - 1, INT32_MAX + 1, 2**63, -(2**63) - 1, 2**64]),
    st.sampled_from([3.0, "3", None, np.int64(2), np.int16(-1)]),
)
floats = st.one_of(values, st.sampled_from([2, np.float32(0.5), np.int64(-3), "x", None]))
opt_matrix = st.one_of(st.none(), arrays(max_side=5), st.sampled_from(["abc", 1.5, [[1, 2], [3]]]))


def as_array(obj):
    return None if obj is None else np.asarray(obj)


def is_vector(obj):
    if isinstance(obj, (list, tuple)):
        obj = np.asarray(obj)
    if not isinstance(obj, np.ndarray):
        return False
    return obj.ndim == 1 or (obj.ndim == 2 and obj.shape[1] == 1)


def is_matrix(obj):
    if isinstance(obj, (list, tuple)):
        try:
            obj = np.asarray(obj, dtype=float)
        except ValueError:
            return False
    return isinstance(obj, np.ndarray) and obj.ndim in (1, 2)


def vlen(obj):
    return np.asarray(obj).shape[0]


def mshape(obj):
    a = np.asarray(obj, dtype=float)
    return a.shape if a.ndim == 2 else (a.shape[0], 1)


def is_int32(v):
    return isinstance(v, (int, np.integer)) and not isinstance(v, bool) and INT32_MIN <= int(v) <= INT32_MAX


def is_real(v):
    return isinstance(v, (int, float, np.integer, np.floating)) and not isinstance(v, bool)


def call(fn, *args, **kwargs):
    try:
        return fn(*args, **kwargs), None
    except ALLOWED as e:
        return None, e


def expect_type_error(err):
    assert isinstance(err, TypeError), repr(err)


def check_array(out, shape):
    assert isinstance(out, np.ndarray) and out.dtype == np.float64
    assert out.shape == shape
    assert out.flags.writeable


def all_finite(obj):
    return bool(np.isfinite(np.asarray(obj, dtype=float)).all())


def check_penalised(out, err, converts, X, y, R1, R2, g1, g2, scalars=()):
    """Shared oracle of the calls with optional penalty matrices: conversion
    first (TypeError), then R1 and R2 casts (RuntimeError), then shapes, then
    numbers that are not finite in anything the call reads (ValueError).
    Returns the column count when the call had to succeed."""
    if not converts:
        expect_type_error(err)
        return None
    for R in (R1, R2):
        if R is not None and not is_matrix(R):
            assert isinstance(err, RuntimeError)
            assert str(err).startswith("Unable to cast Python instance of type ")
            return None
    n, p = mshape(X)
    bad_pen = any(R is not None and g != 0.0 and mshape(R) != (p, p) for R, g in ((R1, g1), (R2, g2)))
    if vlen(y) != n or bad_pen:
        assert isinstance(err, ValueError), repr(err)
        return None
    used = [v for R, g in ((R1, g1), (R2, g2)) if R is not None and g != 0.0 for v in (R, g)]
    if not all(all_finite(v) for v in [X, y, *used, *scalars]):
        assert isinstance(err, ValueError), repr(err)
        assert "NaN or infinity" in str(err) or "not a finite number" in str(err), repr(err)
        return None
    if isinstance(err, ValueError) and "overflows a double" in str(err):
        # finite inputs whose normal equations leave the doubles are refused:
        # only where Phi'Phi (plus its terms) or Phi'y overflows in NumPy too,
        # or, for the solve, where the entries span such magnitudes
        Xa = np.asarray(X, dtype=float).reshape(n, p)
        ya = np.asarray(y, dtype=float).ravel()
        with np.errstate(all="ignore"):
            # the penalty weighs n gamma R: the fit's weights are per observation
            G = Xa.T @ Xa + sum((n * float(g)) * np.asarray(R, dtype=float) for R, g in ((R1, g1), (R2, g2))
                                if R is not None and g != 0.0) + float(sum(scalars)) * np.eye(p)
            h = Xa.T @ ya
        if "solving" in str(err):
            big = max(float(np.max(np.abs(Xa), initial=0.0)), float(np.max(np.abs(ya), initial=0.0)))
            tiny = float(np.min(np.abs(Xa[Xa != 0]), initial=1.0))
            assert big / tiny > 1e150, repr(err)
        else:
            assert not (np.isfinite(G).all() and np.isfinite(h).all()), repr(err)
        return None
    assert err is None, repr(err)
    return p


# ------------------------------------------------------------------- stats


@pytest.mark.stats
@given(vectors())
def test_mad(y):
    before = np.array(y, copy=True) if isinstance(y, np.ndarray) else None
    out, err = call(z.mad, y)
    if err is not None:
        expect_type_error(err)
        assert not is_vector(y)
        return
    assert isinstance(out, float)
    # NaN exactly where NumPy's median says NaN: a NaN anywhere, or inf - inf.
    a = np.asarray(y, dtype=float).ravel()
    with np.errstate(invalid="ignore"):
        numpy_nan = a.size > 0 and math.isnan(np.median(np.abs(a - np.median(a))))
    assert math.isnan(out) == numpy_nan
    if before is not None:
        np.testing.assert_array_equal(y, before)


@pytest.mark.stats
@given(st.one_of(vectors(), arrays()), st.one_of(vectors(), arrays()), floats)
def test_compute_sr(yp, yt, eps):
    out, err = call(z.compute_sr, yp, yt, eps)
    if not (is_vector(yp) and is_vector(yt) and is_real(eps)):
        expect_type_error(err)
        return
    if vlen(yp) < vlen(yt):
        assert isinstance(err, ValueError)
        return
    assert err is None and isinstance(out, float)
    if vlen(yt) > 0:
        assert 0.0 < out <= 1.0
    else:
        assert math.isnan(out)


@pytest.mark.stats
@given(vectors(), vectors(), ints, ints)
def test_mdl_score(yp, yt, k, H):
    out, err = call(z.mdl_score, yp, yt, k, H)
    if not (is_vector(yp) and is_vector(yt) and is_int32(k) and is_int32(H)):
        expect_type_error(err)
        return
    if vlen(yp) < vlen(yt):
        assert isinstance(err, ValueError)
        return
    assert err is None and isinstance(out, float)


@pytest.mark.stats
@given(vectors(st.integers(0, 4)), vectors(st.integers(0, 4)), vectors(st.integers(0, 4)),
       arrays(max_side=4), arrays(max_side=4), floats, floats)
def test_mdl_score_reg(yp, yt, beta, R1, R2, g1, g2):
    out, err = call(z.mdl_score_reg, yp, yt, 2, 20, beta, R1, R2, g1, g2)
    if not (is_vector(yp) and is_vector(yt) and is_vector(beta) and is_matrix(R1)
            and is_matrix(R2) and is_real(g1) and is_real(g2)):
        expect_type_error(err)
        return
    p = vlen(beta)
    bad_pen = any(g != 0.0 and mshape(R) != (p, p) for R, g in ((R1, g1), (R2, g2)))
    if vlen(yp) < vlen(yt) or bad_pen:
        assert isinstance(err, ValueError)
        return
    assert err is None and isinstance(out, float)


# ------------------------------------------------------------------- bases


@pytest.mark.basis
@given(ints, vectors())
def test_design_matrix_1d(deg, x):
    out, err = call(z.design_matrix_1d, deg, x)
    if not (is_int32(deg) and is_vector(x)):
        expect_type_error(err)
        return
    if deg < 0:
        assert isinstance(err, ValueError) and "deg < 0" in str(err)
        return
    assert err is None
    check_array(out, (vlen(x), int(deg) + 1))


@pytest.mark.basis
@given(ints, floats, floats, st.one_of(st.integers(-2, 40), ints))
def test_smoothness_penalty_matrices_1d(deg, lo, hi, n_grid):
    out, err = call(z.smoothness_penalty_matrices_1d, deg, lo, hi, n_grid)
    if not (is_int32(deg) and is_real(lo) and is_real(hi) and is_int32(n_grid)):
        expect_type_error(err)
        return
    if deg < 0:
        assert isinstance(err, ValueError) and str(err) == "deg < 0"
        return
    if n_grid < 2:
        assert isinstance(err, ValueError) and str(err) == "n_grid < 2"
        return
    assert err is None and isinstance(out, tuple) and len(out) == 2
    for R in out:
        check_array(R, (int(deg) + 1,) * 2)
        np.testing.assert_array_equal(R, R.T)
    if math.isfinite(lo) and math.isfinite(hi) and hi > lo and abs(hi) < 1e3 and abs(lo) < 1e3:
        for R in out:
            ev = np.linalg.eigvalsh(R)
            assert ev.min() >= -1e-9 * max(1.0, abs(ev).max())


@pytest.mark.basis
@given(ints, floats, floats)
def test_boundary_reduce_1d(deg, lo, hi):
    out, err = call(z.boundary_reduce_1d, deg, lo, hi)
    if not (is_int32(deg) and is_real(lo) and is_real(hi)):
        expect_type_error(err)
        return
    if deg <= -2:
        assert isinstance(err, MemoryError)
        return
    assert err is None
    check_array(out, (int(deg) + 1,) * 2)


multi_index = st.lists(st.integers(-3, 4), min_size=0, max_size=4)
index_containers = st.sampled_from([list, tuple, lambda xs: (v for v in xs)])


@pytest.mark.basis
@given(st.lists(multi_index, max_size=5), index_containers,
       st.lists(vectors(st.integers(0, 5)), max_size=3))
def test_design_matrix_nd(multis, container, cols):
    mi = container([container(m) for m in multis])
    out, err = call(z.design_matrix_nd, mi, cols)
    if not all(is_vector(c) for c in cols):
        expect_type_error(err)
        return
    lengths = {vlen(c) for c in cols}
    if not cols or len(lengths) > 1 or any(len(m) < len(cols) for m in multis):
        assert isinstance(err, ValueError), repr(err)
        return
    assert err is None
    check_array(out, (lengths.pop(), len(multis)))


@pytest.mark.basis
@given(st.lists(st.integers(-2, 3), max_size=3), st.lists(st.tuples(floats, floats), max_size=3),
       st.one_of(st.integers(-1, 6), ints), index_containers)
def test_build_penalty_matrices_nd(degrees, bounds, n, container):
    out, err = call(z.build_penalty_matrices_nd, container(degrees), bounds, n)
    if not (is_int32(n) and all(is_real(a) and is_real(b) for a, b in bounds)):
        expect_type_error(err)
        return
    if len(degrees) != len(bounds):
        assert isinstance(err, ValueError) and str(err) == "Dimension mismatch."
        return
    if n < 2:
        assert isinstance(err, ValueError) and str(err) == "n_grid < 2"
        return
    if any(d <= -2 for d in degrees):
        # A degree of -2 or less cannot size that variable's derivative tables.
        assert isinstance(err, MemoryError), repr(err)
        return
    assert err is None, repr(err)
    R1, R2, multi = out
    M = int(np.prod([d + 1 for d in degrees])) if all(d >= 0 for d in degrees) else 0
    check_array(R1, (M, M))
    check_array(R2, (M, M))
    assert len(multi) == M and all(len(m) == len(degrees) for m in multi)
    np.testing.assert_array_equal(R1, R1.T)
    np.testing.assert_array_equal(R2, R2.T)


@pytest.mark.basis
@given(st.lists(st.integers(0, 3), min_size=1, max_size=3), st.integers(2, 7), st.data())
def test_nd_penalties_psd_on_increasing_box(degrees, n, data):
    bounds = []
    for _ in degrees:
        lo = data.draw(st.floats(-3, 3))
        bounds.append((lo, lo + data.draw(st.floats(0.1, 3))))
    R1, R2, _ = z.build_penalty_matrices_nd(degrees, bounds, n)
    for R in (R1, R2):
        ev = np.linalg.eigvalsh(R)
        assert ev.min() >= -1e-10 * max(1.0, abs(ev).max())


# --------------------------------------------------------------------- fits


@pytest.mark.fit
@given(arrays(max_side=6), st.one_of(vectors(), arrays()))
def test_ols(X, y):
    out, err = call(z.ols, X, y)
    if not (is_matrix(X) and is_vector(y)):
        expect_type_error(err)
        return
    n, p = mshape(X)
    Xa, ya = np.asarray(X, dtype=float), np.asarray(y, dtype=float)
    if vlen(y) != n or not (np.isfinite(Xa).all() and np.isfinite(ya).all()):
        assert isinstance(err, ValueError), repr(err)
        return
    assert err is None
    check_array(out, (p,))


@pytest.mark.fit
@given(arrays(max_side=5), vectors(st.integers(0, 5)), opt_matrix, opt_matrix, floats, floats, floats)
def test_fit_regularized_linear(Phi, y, R1, R2, g1, g2, ridge):
    out, err = call(z.fit_regularized_linear, Phi, y, R1, R2, g1, g2, ridge)
    converts = is_matrix(Phi) and is_vector(y) and is_real(g1) and is_real(g2) and is_real(ridge)
    p = check_penalised(out, err, converts, Phi, y, R1, R2, g1, g2, scalars=[ridge] if converts else [])
    if p is not None:
        check_array(out, (p,))


# ------------------------------------------------------------------ ensemble


@pytest.mark.ensemble
@given(st.one_of(vectors(), arrays()), floats)
def test_gibbs_entropy(energies, T):
    out, err = call(z.gibbs_entropy, energies, T)
    if not (is_vector(energies) and is_real(T)):
        expect_type_error(err)
        return
    if vlen(energies) == 0:
        assert isinstance(err, ValueError)
        return
    assert err is None and isinstance(out, z.GibbsResult)
    assert all(isinstance(getattr(out, a), float) for a in ("H", "Hmax", "He", "r_heat", "var_E", "T"))


@pytest.mark.ensemble
@given(st.one_of(st.integers(-2, 4), ints), st.one_of(st.integers(-1, 6), ints),
       st.one_of(st.integers(-1, 6), ints), st.one_of(st.integers(-3, 4), ints), floats,
       st.one_of(st.integers(-5, 30), ints), st.one_of(st.integers(0, 2**64 - 1), ints))
def test_tournament_constructor(n_chains, n_warmup, n_deep, n_elite, step, H, seed):
    args = (n_chains, n_warmup, n_deep, n_elite, step, H, seed)
    eng, err = call(z.TournamentMCMC, *args)
    ok = all(is_int32(v) for v in (n_chains, n_warmup, n_deep, n_elite, H)) and is_real(step) \
        and isinstance(seed, (int, np.integer)) and not isinstance(seed, bool) and 0 <= int(seed) < 2**64
    if not ok:
        expect_type_error(err)
        return
    assert err is None
    X = np.array([[1.0, 0.0], [1.0, 1.0], [1.0, 2.0]])
    y = np.array([0.1, 1.0, 2.1])
    res, err = call(eng.fit, X, y)
    if n_chains <= 0 or not math.isfinite(step):
        assert isinstance(err, ValueError)
        return
    assert err is None, repr(err)
    assert res.beta_mcmc.shape == (2,) and not res.beta_mcmc.flags.writeable
    assert res.n_chains == n_chains and res.n_elite == n_elite


@pytest.mark.ensemble
@given(arrays(max_side=4), st.one_of(vectors(st.integers(0, 4)), arrays(max_side=4)),
       opt_matrix, opt_matrix, floats, floats)
def test_tournament_fit_arguments(X, y, R1, R2, g1, g2):
    eng = z.TournamentMCMC(3, 4, 4, 2, 0.1, 20, 5)
    out, err = call(eng.fit, X, y, R1, R2, g1, g2)
    converts = is_matrix(X) and is_vector(y) and is_real(g1) and is_real(g2)
    k = check_penalised(out, err, converts, X, y, R1, R2, g1, g2)
    if k is not None:
        assert isinstance(out, z.MCMCResult) and out.beta_mcmc.shape == (k,)


@pytest.mark.ensemble
@given(st.integers(1, 6), st.integers(0, 30), st.integers(1, 40), st.integers(0, 2**64 - 1),
       st.integers(2, 30))
def test_refinement_never_worsens_best_chain(n_chains, n_warmup, n_deep, seed, n):
    rng = np.random.default_rng(seed % 1000)
    X = rng.normal(size=(n, 3))
    y = X @ np.array([0.3, -0.2, 0.5]) + rng.normal(0, 0.1, n)
    chain_only = z.TournamentMCMC(n_chains, n_warmup, 0, 3, 0.05, 20, seed).fit(X, y)
    full = z.TournamentMCMC(n_chains, n_warmup, n_deep, 3, 0.05, 20, seed).fit(X, y)
    assert full.energy <= chain_only.energy


# ---------------------------------------------------- layout and dtype invariance


@pytest.mark.layout
@given(st.integers(1, 8), st.integers(1, 4), st.integers(0, 2**32))
def test_results_independent_of_memory_order_and_dtype(n, p, seed):
    rng = np.random.default_rng(seed)
    Xi = rng.integers(-5, 6, size=(n, p))
    yi = rng.integers(-5, 6, size=n)
    variants = [
        (Xi.astype(np.float64), yi.astype(np.float64)),
        (np.asfortranarray(Xi.astype(np.float32)), yi.astype(np.int32)[:, None]),
        (np.repeat(Xi, 2, axis=0)[::2], np.repeat(yi, 2)[::2].tolist()),
        (Xi.T.copy().T, tuple(int(v) for v in yi)),
    ]
    eng = z.TournamentMCMC(3, 5, 5, 2, 0.05, 20, seed)
    ref = None
    for X, y in variants:
        got = (
            z.ols(X, y).tobytes(),
            z.fit_regularized_linear(X, y, np.eye(p), None, 0.5).tobytes(),
            z.design_matrix_1d(2, y).tobytes(),
            z.mad(y), z.mdl_score(y, y, p),
            eng.fit(X, y).energy,
        )
        ref = ref or got
        assert got == ref


# ------------------------------------------------- integers at the 32-bit limits

SANITIZED = bool(__import__("os").environ.get("ZELT_SANITIZED"))
LIMIT_CALLS = [
    ("mdl_score k,H max", lambda: z.mdl_score([1.0], [1.0], INT32_MAX, INT32_MAX), float),
    ("mdl_score k,H min", lambda: z.mdl_score([1.0], [1.0], INT32_MIN, INT32_MIN), float),
    ("design_matrix_1d min", lambda: z.design_matrix_1d(INT32_MIN, [1.0]), ValueError),
    ("design_matrix_1d max, no points", lambda: z.design_matrix_1d(INT32_MAX, []), np.ndarray),
    ("penalty_1d deg max", lambda: z.smoothness_penalty_matrices_1d(INT32_MAX, 0.0, 1.0, 2), MemoryError),
    ("penalty_1d deg min", lambda: z.smoothness_penalty_matrices_1d(INT32_MIN, 0.0, 1.0, 2), ValueError),
    ("penalty_1d n_grid min", lambda: z.smoothness_penalty_matrices_1d(2, 0.0, 1.0, INT32_MIN), ValueError),
    ("boundary deg max", lambda: z.boundary_reduce_1d(INT32_MAX, 0.0, 1.0), MemoryError),
    ("boundary deg min", lambda: z.boundary_reduce_1d(INT32_MIN, 0.0, 1.0), MemoryError),
    ("design_nd powers", lambda: z.design_matrix_nd([[INT32_MAX, INT32_MIN]], [[2.0], [0.5]]), np.ndarray),
    ("penalty_nd deg max", lambda: z.build_penalty_matrices_nd([INT32_MAX], [(0.0, 1.0)], 2), MemoryError),
    ("penalty_nd deg min", lambda: z.build_penalty_matrices_nd([INT32_MIN], [(0.0, 1.0)], 2), MemoryError),
    ("penalty_nd n min", lambda: z.build_penalty_matrices_nd([1], [(0.0, 1.0)], INT32_MIN), ValueError),
    ("penalty_nd n max, 3 axes", lambda: z.build_penalty_matrices_nd([1] * 3, [(0.0, 1.0)] * 3, INT32_MAX), ValueError),
    ("tournament settings", lambda: z.TournamentMCMC(1, 0, 1, INT32_MAX, 0.1, INT32_MAX, 2**64 - 1).fit([[1.0]], [1.0]), z.MCMCResult),
    ("tournament negative settings", lambda: z.TournamentMCMC(1, INT32_MIN, INT32_MIN, INT32_MIN, 0.1, INT32_MIN, 0).fit([[1.0]], [1.0]), z.MCMCResult),
    ("tournament chains min", lambda: z.TournamentMCMC(INT32_MIN).fit([[1.0]], [1.0]), ValueError),
] + ([] if SANITIZED else [
    # The sanitizer's allocator aborts on a failed operator new instead of throwing.
    ("tournament chains max", lambda: z.TournamentMCMC(INT32_MAX).fit([[1.0]], [1.0]), MemoryError),
])


@pytest.mark.limits
@pytest.mark.parametrize("name, fn, expected", LIMIT_CALLS, ids=[c[0] for c in LIMIT_CALLS])
def test_integer_limits(name, fn, expected):
    out, err = call(fn)
    if issubclass(expected, BaseException):
        assert isinstance(err, expected), repr(err)
    else:
        assert err is None and isinstance(out, expected), repr(err)
