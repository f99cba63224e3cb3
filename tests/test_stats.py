"""Robust scale, success rate and the MDL score."""
import math

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import zelt_core as z

finite = st.floats(-1e6, 1e6, allow_nan=False)


@pytest.mark.parametrize("y, expected", [
    ([], 0.0),
    ([7.5], 0.0),
    ([3.0, 3.0, 3.0], 0.0),
    ([1, 2, 3, 4, 100], 1.0),   # median 3, deviations {2, 1, 0, 1, 97}
    ([1, 2, 3, 4], 1.0),        # median 2.5, deviations {1.5, .5, .5, 1.5}
    ([4, 1, 3, 2, 10, -7], 1.5),
])
def test_mad_figures(y, expected):
    assert z.mad(np.asarray(y, dtype=float)) == expected


@pytest.mark.parametrize("where", [0, 7, 10, 13, 20])
def test_mad_with_a_nan_anywhere_is_nan(where):
    # The selection has no order for NaN: this used to return 0.49, 0.67 or
    # 0.89 for the same data, depending on where the NaN sat.
    y = np.random.default_rng(3).standard_normal(21)
    y[where] = np.nan
    assert math.isnan(z.mad(y))
    assert math.isnan(float(np.median(np.abs(y - np.median(y)))))  # as NumPy says


def test_mdl_score_with_nan_target_falls_back_to_tolerance_0_4():
    rng = np.random.default_rng(4)
    yt = rng.standard_normal(30) * 10
    yp = yt + rng.uniform(-0.6, 0.6, 30)
    yt[3] = np.nan  # a miss itself, and the spread is unknown: eps = 0.4
    n, k, H = 30, 2, 20
    sr = max(z.compute_sr(yp, yt, 0.4), 1 / (2 * n))
    assert z.mdl_score(yp, yt, k, H) == pytest.approx(k * math.log(2 * H) / n * k - n * math.log(sr), rel=1e-14)


@given(hnp.arrays(np.float64, st.integers(0, 60), elements=finite))
def test_mad_matches_numpy_and_leaves_argument(y):
    before = y.copy()
    expected = float(np.median(np.abs(y - np.median(y)))) if y.size else 0.0
    assert z.mad(y) == pytest.approx(expected, rel=1e-12, abs=1e-12)
    np.testing.assert_array_equal(y, before)


@pytest.mark.parametrize("yp, yt, eps, expected", [
    ([1, 2, 3, 4], [1, 2, 3, 4], 0.1, 1.0),            # no upper clamp
    ([1, 9, 9, 9], [1, 2, 3, 4], 0.5, 0.25),
    ([9, 9, 9, 9], [1, 2, 3, 4], 0.5, 0.125),          # floor 1/(2n)
    ([1, 2, 3, 4], [1, 2, 3, 4], 0.0, 0.125),          # eps 0 counts nothing
    ([1, 2, 3, 4], [1, 2, 3, 4], -1.0, 0.125),
    ([1.5, 2, 3, 4], [1, 2, 3, 4], 0.5, 0.75),         # |d| == eps is not a success
    ([np.nan, 2, 3, 4], [1, 2, 3, 4], 1.0, 0.75),      # NaN never counts
    ([1, 2, 3, 4, 99], [1, 2, 3, 4], 0.1, 1.0),        # extra predictions ignored
])
def test_compute_sr_figures(yp, yt, eps, expected):
    assert z.compute_sr(np.asarray(yp, float), np.asarray(yt, float), eps) == expected


def test_compute_sr_empty_is_nan():
    assert math.isnan(z.compute_sr([], [], 1.0))


@given(st.integers(1, 50).flatmap(lambda n: st.tuples(
    hnp.arrays(np.float64, n, elements=finite), hnp.arrays(np.float64, n, elements=finite))),
    st.floats(-1.0, 1e3))
def test_compute_sr_in_unit_interval(pair, eps):
    yp, yt = pair
    sr = z.compute_sr(yp, yt, eps)
    n = yt.size
    hits = np.count_nonzero(np.abs(yp - yt) < eps)
    assert sr == max(hits / n, 1.0 / (2 * n))
    assert 0.0 < sr <= 1.0


@pytest.mark.parametrize("call", [
    lambda: z.compute_sr([1.0], [1.0, 2.0], 0.5),
    lambda: z.mdl_score([1.0], [1.0, 2.0], 1),
    lambda: z.mdl_score_reg([1.0], [1.0, 2.0], 1, 20, [1.0], np.eye(1), np.eye(1)),
], ids=["compute_sr", "mdl_score", "mdl_score_reg"])
def test_short_prediction_is_value_error(call):
    with pytest.raises(ValueError, match="shorter"):
        call()


LN10 = math.log(10.0)
Y4 = np.array([1.0, 2.0, 3.0, 4.0])


@pytest.mark.parametrize("yp, yt, k, H, expected", [
    (Y4, Y4, 2, 5, LN10),                          # (2 ln 10 / 4) * 2
    (Y4 + 10, Y4, 0, 5, 4 * math.log(8.0)),        # k = 0, sr = 1/8
    (Y4, Y4, -3, 0, 0.0),                          # k <= 0: no model term whatever H
    (Y4, Y4, 1, 0, -math.inf),                     # ln 0
    (np.full(4, 5.3), np.full(4, 5.0), 1, 20, math.log(40.0) / 4),  # constant targets: eps = 0.4
    (np.full(4, 5.5), np.full(4, 5.0), 1, 20, math.log(40.0) / 4 + 4 * math.log(8.0)),
])
def test_mdl_score_figures(yp, yt, k, H, expected):
    assert z.mdl_score(yp, yt, k, H) == pytest.approx(expected, rel=1e-15)


@pytest.mark.parametrize("yp, yt, k, H", [
    (Y4, Y4, 1, -1),            # ln of a negative number
    (np.array([]), np.array([]), 2, 20),   # empty targets: sr is NaN
])
def test_mdl_score_nan_cases(yp, yt, k, H):
    assert math.isnan(z.mdl_score(yp, yt, k, H))


def test_mdl_score_default_H():
    yp, yt = np.array([1.0, 2.2, 2.9, 7.0, 5.0]), np.array([1.0, 2.0, 3.0, 4.0, 5.0])
    assert z.mdl_score(yp, yt, 3) == z.mdl_score(yp, yt, 3, 20)
    assert z.mdl_score(yp=yp, yt=yt, k=3, H=20) == z.mdl_score(yp, yt, 3, 20)


def test_mdl_score_reg_figures():
    base = z.mdl_score_reg(Y4, Y4, 2, 5, [1.0, 2.0], np.eye(2), np.full((2, 2), 7.0), 0.5)
    assert base == pytest.approx(LN10 + 0.5 * 5.0, rel=1e-15)
    both = z.mdl_score_reg(Y4, Y4, 2, 5, [1.0, 2.0], np.eye(2), np.full((2, 2), 7.0), 0.5, 2.0)
    assert both == pytest.approx(LN10 + 2.5 + 2.0 * 63.0, rel=1e-15)


@given(st.integers(1, 6).flatmap(lambda p: st.tuples(
    hnp.arrays(np.float64, p, elements=st.floats(-10, 10)),
    hnp.arrays(np.float64, (p, p), elements=st.floats(-10, 10)),
    hnp.arrays(np.float64, (p + 1, p + 2), elements=st.floats(-10, 10)))))
def test_mdl_score_reg_penalty_and_zero_weights(data):
    beta, R, wrong = data
    yp, yt = np.array([1.0, 2.5, 3.0, 3.0]), np.array([1.0, 2.0, 3.0, 4.0])
    plain = z.mdl_score(yp, yt, beta.size, 7)
    # Zero weights never read the matrices, so even wrongly sized ones are fine.
    assert z.mdl_score_reg(yp, yt, beta.size, 7, beta, wrong, wrong) == plain
    got = z.mdl_score_reg(yp, yt, beta.size, 7, beta, R, wrong, 1.5, 0.0)
    assert got == pytest.approx(plain + 1.5 * beta @ R @ beta, rel=1e-12, abs=1e-9)


@pytest.mark.parametrize("R1, R2, g1, g2, which", [
    (np.eye(3), np.eye(2), 1.0, 0.0, "R1"),
    (np.eye(2), np.eye(3), 0.0, 1.0, "R2"),
    (np.eye(2), np.ones((2, 1)), 1.0, np.nan, "R2"),   # NaN weight counts as used
])
def test_mdl_score_reg_used_penalty_must_be_square(R1, R2, g1, g2, which):
    with pytest.raises(ValueError, match=which):
        z.mdl_score_reg(Y4, Y4, 2, 5, [1.0, 2.0], R1, R2, g1, g2)
