"""The refit's compiled starts (zelt_fit._kernel: s_estimate, m_scale_one,
biweight_start, f_sf) against their NumPy references (_sest, _refit,
scipy.stats.f), and fast-S's generator against splitmix64 computed by hand."""
import warnings

import numpy as np
import pytest
from scipy.stats import f as fdist

from zelt_fit import _engine, _refit, _sest
from zelt_fit._terms import polynomial_terms

_kernel = pytest.importorskip("zelt_fit._kernel")

MASK = 2 ** 64 - 1


def splitmix_by_hand(seed, count):
    state = (seed & MASK) ^ 0x5345535453455354
    out = []
    for _ in range(count):
        state = (state + 0x9E3779B97F4A7C15) & MASK
        z = state
        z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & MASK
        z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & MASK
        out.append(z ^ (z >> 31))
    return out


@pytest.mark.parametrize("seed", [0, 1, 42, -1, 2 ** 64 - 1, 2 ** 70 + 5])
@pytest.mark.parametrize("m", [1, 7, 1000, 2 ** 40 + 3])
def test_the_subsets_generator_is_splitmix64(seed, m):
    by_hand = [z % m for z in splitmix_by_hand(seed, 40)]
    assert _sest.subset_indices(seed, 40, m).tolist() == by_hand


def scaled_design(X, deg):
    """The design of the total-degree polynomial on X scaled to [-1, 1]^d."""
    lo, hi = X.min(axis=0), X.max(axis=0)
    U = (X - lo) / np.where(hi > lo, (hi - lo) / 2.0, 1.0) - 1.0
    return _engine.design(polynomial_terms(X.shape[1], deg), U)


def problem(kind, m, d, deg, seed):
    """Rows (Phi, v) of one family: clean noise, 20 % vertical outliers, bad
    leverage points (far out in x, on a wrong line), an exact fit (half the
    points and more on the polynomial) or tied rows (x on a grid of seven values)."""
    rng = np.random.default_rng(seed)
    X = rng.uniform(-1.0, 1.0, (m, d))
    if kind == "ties":
        X = rng.integers(0, 7, (m, d)) / 3.0 - 1.0
    terms = polynomial_terms(d, deg)
    beta = rng.choice([-1.0, 1.0], terms.shape[0]) * rng.uniform(0.5, 1.0, terms.shape[0])
    bad = rng.choice(m, int(round(0.2 * m)), replace=False)
    if kind == "leverage":
        X[bad, 0] = rng.uniform(4.0, 6.0, bad.size)
    y = np.prod(X[:, None, :] ** terms[None], axis=2) @ beta
    noise = rng.normal(0.0, 0.05, m)
    if kind == "exact":
        # more than half: with exactly half the M-scale sits on its breakdown,
        # where rounding decides it
        noise[rng.choice(m, max(m // 2 + 1, int(0.55 * m)), replace=False)] = 0.0
        noise *= 10.0
    y = y + noise
    if kind == "vertical":
        y[bad] += rng.choice([-1.0, 1.0], bad.size) * rng.uniform(3.0, 6.0, bad.size)
    if kind == "leverage":
        a, b = rng.uniform(-1.0, 1.0, 2)
        y[bad] = a + b * X[bad, 0] + rng.normal(0.0, 0.05, bad.size)
    return scaled_design(X, deg), y


KINDS = ["clean", "vertical", "leverage", "exact", "ties"]
SHAPES = [(1, 1), (1, 2), (1, 3), (1, 4), (2, 2), (2, 3), (3, 1), (3, 2)]


def sizes(p):
    return [p + 1, p + 2, 2 * p + 3, 60, 700, 2000]


CASES = [(kind, d, deg, m) for kind in KINDS for d, deg in SHAPES
         for m in sizes(polynomial_terms(d, deg).shape[0])]


def noise_floor(v):
    # an exact fit's residuals are rounding noise (grown by the conditioning
    # of a subset's solve) below this; the families' noise is 0.05
    return 1e-8 * (1.0 + float(np.max(np.abs(v))))


@pytest.mark.parametrize("kind,d,deg,m", CASES)
def test_s_estimate_agrees_with_the_reference(kind, d, deg, m):
    Phi, v = problem(kind, m, d, deg, seed=1000 * d + 10 * deg + m)
    for seed in (3, 2 ** 63 + 11):
        ref = _sest.s_estimate(Phi, v, seed)
        got = _kernel.s_estimate(Phi, v, seed)
        if ref is None:
            assert got is None
            continue
        coef, scale, subsets = got
        assert subsets == ref.subsets
        if ref.scale <= noise_floor(v):
            # candidates that fit half the points exactly tie at a scale of
            # rounding noise, ranked by that noise: both must pick such a one
            assert scale <= noise_floor(v)
            fitted = np.abs(v - Phi @ coef) <= 1e3 * noise_floor(v)
            assert 2 * np.count_nonzero(fitted) >= m
            continue
        np.testing.assert_allclose(scale, ref.scale, rtol=1e-8)
        if kind == "ties" and not np.allclose(coef, ref.coef, rtol=1e-8, atol=1e-8):
            # tied rows give candidates of equal scale, ranked by rounding: the
            # one chosen must be as good by the reference's own measure
            np.testing.assert_allclose(_sest.m_scale_one(v - Phi @ coef), ref.scale, rtol=1e-8)
            continue
        # the same candidate, so the same coefficients up to the conditioning of its polish
        np.testing.assert_allclose(coef, ref.coef, rtol=1e-8, atol=1e-8 * (1.0 + np.max(np.abs(ref.coef))))


@pytest.mark.parametrize("subsets,polish", [(0, 3), (1, 3), (7, 0), (40, 1), (200, 50)])
def test_s_estimate_agrees_at_other_settings(subsets, polish):
    Phi, v = problem("leverage", 300, 1, 2, seed=5)
    ref = _sest.s_estimate(Phi, v, 9, subsets=subsets, polish=polish)
    got = _kernel.s_estimate(Phi, v, 9, subsets=subsets, polish=polish)
    if ref is None:
        assert got is None and subsets == 0
        return
    assert got[2] == ref.subsets
    np.testing.assert_allclose(got[0], ref.coef, rtol=1e-8, atol=1e-10)
    np.testing.assert_allclose(got[1], ref.scale, rtol=1e-8)


@pytest.mark.parametrize("case", ["too_few_rows", "collinear", "constant_column_pair"])
def test_s_estimate_gives_none_where_no_subset_determines_the_coefficients(case):
    rng = np.random.default_rng(3)
    u = rng.uniform(-1.0, 1.0, 40)
    if case == "too_few_rows":
        Phi = np.vander(u[:3], 3)
    elif case == "collinear":
        Phi = np.c_[u, 2.0 * u]
    else:
        Phi = np.ones((40, 2))
    v = rng.normal(size=Phi.shape[0])
    assert _sest.s_estimate(Phi, v, 1) is None
    assert _kernel.s_estimate(Phi, v, 1) is None


@pytest.mark.parametrize("bad", ["nan_phi", "inf_phi", "nan_v", "inf_v", "short_v", "negative_subsets"])
def test_s_estimate_refuses_what_it_cannot_use(bad):
    Phi, v = problem("clean", 50, 1, 2, seed=2)
    kw = {}
    if bad.endswith("phi"):
        Phi[3, 1] = np.nan if bad.startswith("nan") else -np.inf
    elif bad.endswith("_v"):
        if bad == "short_v":
            v = v[:-1]
        else:
            v[7] = np.nan if bad.startswith("nan") else np.inf
    else:
        kw["subsets"] = -1
    with pytest.raises(ValueError):
        _kernel.s_estimate(Phi, v, 1, **kw)
    if bad[:3] in ("nan", "inf"):
        with pytest.raises(ValueError, match="Phi" if bad.endswith("phi") else " v "):
            _sest.s_estimate(Phi, v, 1)


def residual_family():
    rng = np.random.default_rng(21)
    out = {}
    for share in (0.0, 0.2, 0.45):
        r = rng.normal(0.0, 2.0, 400)
        k = int(share * 400)
        r[:k] += rng.uniform(20.0, 50.0, k)
        out[f"outliers{share}"] = r
    r = rng.normal(0.0, 1.0, 300)
    r[:150] = 0.0
    out["half_zero"] = r                       # exactly half zero: mean rho = b only as s -> 0
    r = r.copy()
    r[150] = 0.0
    out["more_than_half_zero"] = r             # an exact fit's scale, 0
    r = rng.normal(0.0, 1.0, 300)
    r[:149] = 0.0
    out["just_under_half_zero"] = r            # the root sits near a breakdown
    out["one"] = np.array([2.5])
    out["two"] = np.array([1.0, -3.0])
    out["tiny"] = rng.normal(0.0, 1e-200, 50)
    out["huge"] = rng.normal(0.0, 1e200, 50)
    out["heavy_tails"] = rng.standard_t(1, 500)
    out["ties"] = np.repeat([-1.0, 0.5, 2.0], 40)
    out["with_inf"] = np.r_[rng.normal(0.0, 1.0, 30), np.inf]
    out["with_nan"] = np.r_[rng.normal(0.0, 1.0, 30), np.nan]
    out["empty"] = np.zeros(0)
    return out


RESIDUALS = residual_family()


@pytest.mark.parametrize("name", sorted(RESIDUALS))
@pytest.mark.parametrize("s0", [0.0, 0.3, 40.0])
def test_m_scale_one_agrees_with_the_reference(name, s0):
    r = RESIDUALS[name]
    with np.errstate(all="ignore"):
        ref = _sest.m_scale_one(r, s0=s0) if r.size else 0.0
    got = _kernel.m_scale_one(r, s0=s0)
    np.testing.assert_allclose(got, ref, rtol=1e-12, atol=0.0, equal_nan=True)


BIWEIGHT_CASES = [(kind, d, deg, m) for kind in KINDS for d, deg in SHAPES[:6]
                  for m in sizes(polynomial_terms(d, deg).shape[0])[2:]]


@pytest.mark.parametrize("kind,d,deg,m", BIWEIGHT_CASES)
def test_biweight_start_agrees_with_the_reference(kind, d, deg, m):
    Phi, v = problem(kind, m, d, deg, seed=7 + m)
    p = Phi.shape[1]
    ref = _refit.biweight_start(Phi, v, p, np.arange(p))
    coef, scale = _kernel.biweight_start(Phi, v)
    np.testing.assert_allclose(coef, ref.coef, rtol=1e-10, atol=1e-10 * (1.0 + np.max(np.abs(ref.coef))))
    ref_scale = ref.cut / _refit.CUT if np.isfinite(ref.cut) else 0.0
    np.testing.assert_allclose(scale, ref_scale, rtol=1e-10, atol=noise_floor(v))


@pytest.mark.parametrize("m", [0, 1, 2])
def test_biweight_start_on_fewer_rows_than_columns(m):
    Phi, v = problem("clean", 30, 1, 2, seed=4)
    with np.errstate(invalid="ignore"), warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)   # NumPy's median of no residual
        ref = _refit.biweight_start(Phi[:m], v[:m], 3, np.arange(3))
    coef, scale = _kernel.biweight_start(Phi[:m], v[:m])
    np.testing.assert_allclose(coef, ref.coef, rtol=1e-10, atol=1e-12)
    if m == 0:
        assert np.isnan(scale) and ref.cut == np.inf     # no residual, no scale
    else:
        assert scale < 1e-12                            # the minimum-norm fit is exact


def test_biweight_start_refuses_nan_as_least_squares_does():
    Phi, v = problem("clean", 30, 1, 1, seed=1)
    v[2] = np.nan
    with pytest.raises(ValueError):
        _kernel.biweight_start(Phi, v)


D1 = [1, 2, 3, 4, 5, 7, 10, 13, 20]
D2 = [1, 2, 3, 5, 10, 30, 100, 1e3, 1e4, 1e5]
F_GRID = np.r_[np.logspace(-3, 3, 25), 0.95, 1.05]


def grid():
    for d1 in D1:
        for d2 in D2:
            for F in F_GRID:
                yield float(F), float(d1), float(d2)


def test_f_sf_agrees_with_scipy_over_a_grid():
    worst = 0.0
    for F, d1, d2 in grid():
        ref = fdist.sf(F, d1, d2)
        if not ref > 1e-300:
            continue
        got = _kernel.f_sf(F, d1, d2)
        worst = max(worst, abs(got / ref - 1.0))
    # SciPy's own tail is off by up to 1.03e-10 at d2 = 1e5 (against 40-digit
    # mpmath, below); the rest of the grid agrees far closer
    assert worst < 2e-10


def test_f_sf_is_accurate_to_a_few_parts_in_1e12():
    mp = pytest.importorskip("mpmath")
    mp.mp.dps = 40
    worst = 0.0
    for F, d1, d2 in grid():
        if not fdist.sf(F, d1, d2) > 1e-290:
            continue    # mpmath's series fail to converge on some of these underflows
        a, b, d1F = mp.mpf(d2) / 2, mp.mpf(d1) / 2, mp.mpf(d1) * mp.mpf(F)
        y = mp.mpf(d2) / (mp.mpf(d2) + d1F)
        if y < a / (a + b):
            exact = float(mp.betainc(a, b, 0, y, regularized=True))
        else:   # the complement, where mpmath's series converges (40 digits absorb the cancellation)
            exact = float(1 - mp.betainc(b, a, 0, d1F / (mp.mpf(d2) + d1F), regularized=True))
        if exact > 1e-300:
            worst = max(worst, abs(_kernel.f_sf(F, d1, d2) / exact - 1.0))
    assert worst < 1e-11


@pytest.mark.parametrize("F,d1,d2", [(1e-300, 3.0, 7.0), (1e-12, 1.0, 1.0), (1e6, 1.0, 1.0), (1e12, 2.0, 2.0),
                                     (1e30, 1.0, 3.0), (60.0, 20.0, 1e5), (300.0, 4.0, 3e4), (0.5, 2.5, 7.5),
                                     (3.0, 200.0, 400.0), (1.1, 1e4, 1e4)])
def test_f_sf_in_the_tails_and_at_other_degrees_of_freedom(F, d1, d2):
    ref = fdist.sf(F, d1, d2)
    assert ref > 1e-300
    np.testing.assert_allclose(_kernel.f_sf(F, d1, d2), ref, rtol=1e-9)


@pytest.mark.parametrize("F,d1,d2", [(0.0, 3.0, 4.0), (-1.0, 3.0, 4.0), (np.inf, 3.0, 4.0), (np.nan, 3.0, 4.0),
                                     (1.0, 0.0, 4.0), (1.0, 3.0, -1.0), (1.0, np.nan, 4.0)])
def test_f_sf_at_the_edges_is_scipys(F, d1, d2):
    np.testing.assert_equal(_kernel.f_sf(F, d1, d2), fdist.sf(F, d1, d2))


def test_the_starts_give_the_same_bits_from_many_threads_at_once(native_checks):
    # tests/native/start_units.cpp: 48 problems serially, then by four threads
    counts = dict(line.split() for line in native_checks["start_units"].splitlines())
    assert int(counts.pop("s_estimate_found")) == 48
    assert counts == {name: "0" for name in
                      ("s_estimate_threads", "m_scale_one_threads", "biweight_start_threads", "f_sf_threads")}


def test_small_solves_and_medians_stand_in_for_their_decompositions(native_checks):
    # tests/native/solve_units.cpp: medians and selections against a sort, and
    # the elimination and Cholesky solves against the SVD and eigen-decomposition
    # whose rank tests they must never overrule, across condition numbers 1 to 1e13
    counts = {name: int(value) for name, value in
              (line.split() for line in native_checks["solve_units"].splitlines())}
    accepted = {name: counts.pop(name) for name in ("lu_accepted", "cholesky_accepted")}
    assert counts == {name: 0 for name in ("median_failures", "select_failures", "lu_failures",
                                            "cholesky_failures", "refusal_failures")}
    # both paths taken: a good share of the 3000 systems is within each bound
    assert all(n > 300 for n in accepted.values()), accepted
