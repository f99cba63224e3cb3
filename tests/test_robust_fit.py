"""The precise-coefficients recipe of examples/robust_fit.py (scale, tournament,
consensus refit by least squares): on fixed data sets it recovers the polynomial
where the tournament's own coefficients do not, it flags exactly the corrupted
points, and its answer does not depend on the units of x or y."""
import contextlib
import io
import os
import pathlib
import sys

import numpy as np
import pytest

import zelt_core as z

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "examples"))
import robust_fit as rf  # noqa: E402

TRUTH = np.array([0.5, -1.0, 0.8, 0.6])


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


@pytest.mark.parametrize("seed, kind", CASES)
def test_refit_recovers_the_cubic_where_the_tournament_alone_does_not(seed, kind):
    x, y, inlier = corrupted_cubic(seed, kind)
    fit = rf.robust_polyfit(x, y, 3)
    # Noise 0.02 on 150 inliers: least squares on them is good to about 0.01.
    assert np.max(np.abs(fit.beta - TRUTH)) < 0.03
    # The search's energy cannot rank coefficients inside its tolerance band.
    assert np.max(np.abs(fit.beta_tournament - TRUTH)) > 0.1
    assert np.array_equal(fit.consensus, inlier)
    # The refit is least squares on its consensus set, in the original units.
    Phi = z.design_matrix_1d(3, x)
    np.testing.assert_allclose(fit.beta, z.ols(Phi[fit.consensus], y[fit.consensus]), rtol=0, atol=1e-9)


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
    base = rf.robust_polyfit(x, y, 3)
    other = rf.robust_polyfit(change_x(x), change_y(y), 3)
    assert np.array_equal(other.consensus, base.consensus)
    # Same curve: predictions at the data points agree up to the unit change.
    expected = change_y(base.predict(x))
    scale = np.max(np.abs(expected))
    np.testing.assert_allclose(other.predict(change_x(x)), expected, rtol=0, atol=1e-11 * scale)
    if y_factor is not None:
        np.testing.assert_allclose(other.beta, y_factor * base.beta, rtol=1e-10, atol=1e-12 * abs(y_factor))


@pytest.mark.parametrize("deg", [0, 1, 4])
def test_clean_data_gives_least_squares_even_from_a_useless_search(deg):
    # No steps at all: the search returns its random start. The consensus rounds
    # must still arrive at plain least squares on clean data.
    rng = np.random.default_rng(deg)
    x = np.linspace(-3.0, 5.0, 40)
    beta = rng.uniform(-1.0, 1.0, deg + 1)
    y = np.polynomial.polynomial.polyval(x, beta) + rng.normal(0.0, 0.05, x.size)
    engine = z.TournamentMCMC(n_chains=1, n_warmup=0, n_deep=0, seed=deg)
    fit = rf.robust_polyfit(x, y, deg, engine)
    assert fit.consensus.all()
    np.testing.assert_allclose(fit.beta, z.ols(z.design_matrix_1d(deg, x), y), rtol=1e-9, atol=1e-9)


def test_noise_free_inliers_give_the_exact_polynomial():
    # Residual scale 0 on the consensus set must not empty the set.
    rng = np.random.default_rng(11)
    x = np.linspace(-1.0, 1.0, 50)
    y = np.polynomial.polynomial.polyval(x, TRUTH)
    bad = rng.choice(x.size, 10, replace=False)
    y[bad] += 3.0
    fit = rf.robust_polyfit(x, y, 3)
    np.testing.assert_allclose(fit.beta, TRUTH, rtol=0, atol=1e-9)
    assert not fit.consensus[bad].any()


def test_constant_targets_with_outliers():
    # MAD of y is 0 here: the scaling must fall back instead of dividing by 0.
    x = np.linspace(0.0, 10.0, 30)
    y = np.full(x.size, 4.0)
    y[[3, 17]] = [40.0, -9.0]
    fit = rf.robust_polyfit(x, y, 2)
    np.testing.assert_allclose(fit.beta, [4.0, 0.0, 0.0], atol=1e-9)
    assert fit.consensus.sum() == x.size - 2


@pytest.mark.parametrize("center, half, y_center, y_scale", [(0.0, 1.0, 0.0, 1.0), (2005.0, 15.0, 1.5e5, 3e3),
                                                             (-0.25, 1e-3, -2.0, 0.5)])
def test_coefficients_map_back_to_the_original_units(center, half, y_center, y_scale):
    rng = np.random.default_rng(5)
    beta_scaled = rng.normal(size=5)
    x = center + half * np.linspace(-1.0, 1.0, 9)
    beta = rf.to_original_units(beta_scaled, center, half, y_center, y_scale)
    via_scaled = y_center + y_scale * np.polynomial.polynomial.polyval((x - center) / half, beta_scaled)
    direct = np.polynomial.polynomial.polyval(x, beta)
    # Raw-unit coefficients cancel: allow for the size of the terms, not the result.
    terms = np.polynomial.polynomial.polyval(np.abs(x), np.abs(beta))
    np.testing.assert_allclose(direct, via_scaled, rtol=0, atol=1e-12 * np.max(terms))


def test_example_flags_exactly_the_corrupted_readings():
    buf = io.StringIO()
    with contextlib.redirect_stdout(buf):
        rf.main()
    text = buf.getvalue()
    assert "flagged 30 (30 of the 30 corrupted readings)" in text, text


def test_peer_benchmark_compares_every_method(monkeypatch):
    # Runs only where the benchmark's peers are installed (`make bench` installs them).
    for name in ("sklearn", "scipy", "statsmodels"):
        pytest.importorskip(name)
    monkeypatch.syspath_prepend(str(pathlib.Path(__file__).resolve().parent.parent / "benchmarks"))
    before = dict(os.environ)
    try:
        import bench_peers
    finally:  # its thread settings are for benchmark processes, not for later tests
        for key in set(os.environ) - set(before):
            del os.environ[key]

    text = bench_peers.run([60], [0.2], 3, 1)
    methods = {line.split("|")[3].strip() for line in text.splitlines() if line.startswith("| 60 | 20% |")}
    assert set(bench_peers.methods()) | {bench_peers.ORACLE} <= methods, text
