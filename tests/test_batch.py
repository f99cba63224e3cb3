"""robust_polyfit of many series at once (y of shape (n, m)): each series is
exactly the single call on its column (bit for bit, same seed), series that
cannot be fitted come back NaN and counted, the arrays have numpy.polynomial's
shapes, and Ctrl-C stops a long batch."""
import os
import signal
import subprocess
import sys
import textwrap
import time

import numpy as np
import pytest

from zelt_fit import BatchFit, PolyFit, robust_polyfit


def cube(n=60, m=5, d=1, seed=0, missing=False):
    """m series sharing x: low-degree trends, one-sided outliers (clouds), a
    few missing values when asked."""
    rng = np.random.default_rng(seed)
    x = rng.uniform(-2.0, 3.0, (n, d)) if d > 1 else np.sort(rng.uniform(-2.0, 3.0, n))
    X = x.reshape(n, -1)
    coef = rng.normal(0.0, 1.0, (3, m))
    Y = coef[0] + np.outer(X.sum(axis=1), coef[1]) + np.outer(X[:, 0] ** 2, 0.3 * coef[2])
    Y += rng.normal(0.0, 0.05, (n, m))
    Y -= 3.0 * (rng.uniform(size=(n, m)) < 0.2)
    if missing:
        Y[rng.uniform(size=(n, m)) < 0.1] = np.nan
        x = x.copy()
        x[7] = np.nan
    return x, Y


def same(a, b):
    a, b = np.asarray(a), np.asarray(b)
    return a.shape == b.shape and a.dtype == b.dtype and a.tobytes() == b.tobytes()


FAMILY = {
    "one variable, degree 2": (dict(d=1), 2, {}),
    "one variable, auto": (dict(d=1), "auto", {}),
    "one variable, explicit powers": (dict(d=1), [0, 2], {}),
    "two variables, degree 2": (dict(d=2), 2, {}),
    "two variables, auto tensor": (dict(d=2), "auto", dict(basis="tensor", max_deg=2)),
    "missing dropped": (dict(d=1, missing=True), 2, dict(missing="drop")),
    "missing dropped, auto": (dict(d=1, missing=True), "auto", dict(missing="drop", max_deg=4)),
    "penalties": (dict(d=1), 4, dict(slope=0.01, curvature=0.001)),
    "another seed": (dict(d=1, seed=3), 3, dict(seed=12345)),
    "case weights": (dict(d=1), 2, dict(weights=np.tile([1.0, 2.0, 0.0, 3.0], 15))),
    "variance weights": (dict(d=1), 1, dict(weights=np.linspace(0.5, 2.0, 60), weight_kind="variance")),
}


@pytest.mark.parametrize("case", list(FAMILY))
def test_each_series_is_the_single_call_bit_for_bit(case):
    data, deg, kwargs = FAMILY[case]
    x, Y = cube(**data)
    batch = robust_polyfit(x, Y, deg, **kwargs)
    assert isinstance(batch, BatchFit) and len(batch) == Y.shape[1] and batch.n_failed == 0
    for k in range(Y.shape[1]):
        single = robust_polyfit(x, Y[:, k], deg, **kwargs)
        fit = batch[k]
        for name in ("coef", "cov", "inliers", "weights", "search_coef", "coef_scaled", "terms"):
            assert same(getattr(fit, name), getattr(single, name)), (case, k, name)
        assert (fit.scale, fit.degree, fit.n_dropped, fit.rounds) == \
               (single.scale, single.degree, single.n_dropped, single.rounds)
        # the batch's arrays hold the same numbers in column k
        rows = [batch.terms.tolist().index(t) for t in single.terms.tolist()]
        assert same(batch.coef[rows, k], single.coef) and same(batch.stderr[rows, k], single.stderr)
        assert same(batch.inliers[:, k], single.inliers) and same(batch.weights[:, k], single.weights)
        assert batch.scale[k] == single.scale and batch.degree[k] == single.degree
        assert batch.n_inliers[k] == single.n_inliers and batch.n_dropped[k] == single.n_dropped


@pytest.mark.parametrize("n, holes", [(310, (20, 5)), (40, (12, 3))], ids=["long batch, short series",
                                                                         "short batch, long series"])
def test_series_across_the_short_search_line_are_their_single_calls(n, holes):
    # a series whose missing values take its sample across the line where a fit
    # without settings searches shorter runs its own call's search, not the batch's
    from zelt_fit._engine import default_search
    x, Y = cube(n=n, m=4, seed=9)
    for k, h in enumerate(holes, start=1):
        Y[np.random.default_rng(k).choice(n, h, replace=False), k] = np.nan
    assert default_search(n - holes[0], 3) != default_search(n, 3)     # the case is exercised
    assert default_search(n - holes[1], 3) == default_search(n, 3)
    batch = robust_polyfit(x, Y, 2, missing="drop")
    assert batch.n_failed == 0
    for k in range(Y.shape[1]):
        single = robust_polyfit(x, Y[:, k], 2, missing="drop")
        fit = batch[k]
        for name in ("coef", "cov", "inliers", "weights", "search_coef"):
            assert same(getattr(fit, name), getattr(single, name)), (k, name)
        assert same(batch.coef[:, k], single.coef) and same(batch.inliers[:, k], single.inliers)


def test_auto_rows_are_the_largest_candidate_and_unused_terms_hold_zero():
    x, Y = cube(m=6, seed=4)
    Y[:, 0] = 2.0 + 0.1 * np.random.default_rng(1).normal(size=x.size)   # a constant series
    batch = robust_polyfit(x, Y, "auto", max_deg=5)
    assert batch.coef.shape == (6, 6) and batch.terms[:, 0].tolist() == list(range(6))
    for k in range(6):
        above = batch.terms[:, 0] > batch.degree[k]
        assert np.all(batch.coef[above, k] == 0.0) and np.all(np.isnan(batch.stderr[above, k]))
        assert np.all(np.isfinite(batch.stderr[~above, k]))
    assert batch.degree[0] == 0


def test_series_with_too_few_points_come_back_nan_and_counted():
    x, Y = cube(n=40, m=6, seed=5)
    Y[:, 1] = np.nan                      # no point
    Y[2:, 3] = np.nan                     # two points for three coefficients
    Y[::2, 4] = np.nan                    # half of them: fitted
    batch = robust_polyfit(x, Y, 2, missing="drop")
    assert batch.n_failed == 2 and batch.failed.tolist() == [False, True, False, True, False, False]
    assert set(batch.errors) == {1, 3} and "0 complete rows" in batch.errors[1] \
        and "2 complete rows, fewer than the 3 coefficients" in batch.errors[3]
    for k in (1, 3):
        assert np.all(np.isnan(batch.coef[:, k])) and np.isnan(batch.scale[k]) and batch.degree[k] == -1
        assert not batch.inliers[:, k].any() and not batch.weights[:, k].any()
        with pytest.raises(ValueError, match=f"series {k} has no fit"):
            batch[k]
    assert np.all(np.isfinite(batch.coef[:, [0, 2, 4, 5]]))
    assert batch.n_dropped[4] == 20 and not batch.inliers[::2, 4].any()
    fits = list(batch)
    assert fits[1] is None and fits[3] is None and isinstance(fits[4], PolyFit)
    assert "failed=2" in repr(batch) and "Failed (NaN):" in batch.summary() and "series 1:" in batch.summary()
    assert np.all(np.isnan(batch.predict([0.0, 1.0])[:, [1, 3]]))


def test_every_series_failing_warns():
    x = np.linspace(0.0, 1.0, 10)
    Y = np.full((10, 3), np.nan)
    with pytest.warns(RuntimeWarning, match="none of the 3 series"):
        batch = robust_polyfit(x, Y, 1, missing="drop")
    assert batch.n_failed == 3 and np.all(np.isnan(batch.coef))


def test_a_missing_x_drops_the_row_of_every_series():
    x, Y = cube(n=50, m=4, seed=6)
    x = x.copy()
    x[[3, 30]] = np.nan
    batch = robust_polyfit(x, Y, 1, missing="drop")
    assert np.all(batch.n_dropped == 2) and not batch.inliers[[3, 30]].any()
    assert not batch.weights[[3, 30]].any()


@pytest.mark.parametrize("where, pattern", [
    ("y", r"y\[:, 2\] contains NaN or infinity in 1 of 30 rows \(positions 4\).*\(2 of the 4 series"),
    ("x", r"x contains NaN or infinity in 1 of 30 rows \(positions 9\)"),
])
def test_missing_values_refused_by_default_naming_the_series(where, pattern):
    x, Y = cube(n=30, m=4, seed=7)
    if where == "y":
        Y[4, 2] = np.nan
        Y[8, 3] = np.inf
    else:
        x = x.copy()
        x[9] = np.nan
    with pytest.raises(ValueError, match=pattern):
        robust_polyfit(x, Y, 1)


@pytest.mark.parametrize("args, pattern", [
    (dict(Y=np.zeros((20, 2, 2))), r"y must have shape \(n,\) or \(n, m\)"),
    (dict(Y=np.zeros((19, 2))), "x has 20 points but y has 19 rows"),
    (dict(deg=-1), "non-negative"),
    (dict(deg="auot"), "did you mean 'auto'"),
    (dict(x=np.ones(20)), "x is constant"),
    (dict(progress="yes"), "progress must be True, False or None"),
    (dict(seed=-1), "seed"),
    (dict(weights=np.r_[np.nan, np.ones(19)]), "weights contains NaN or infinity in 1 of 20 rows"),
    (dict(weights=-np.ones(20)), "weights must be >= 0"),
    (dict(weights=np.ones(19)), "weights has 19 entries"),
])
def test_errors_of_the_whole_batch_raise_at_once(args, pattern):
    rng = np.random.default_rng(8)
    x = args.get("x", np.linspace(0.0, 1.0, 20))
    Y = args.get("Y", rng.normal(size=(20, 3)))
    kwargs = {k: v for k, v in args.items() if k in ("progress", "seed", "weights")}
    with pytest.raises(ValueError, match=pattern):
        robust_polyfit(x, Y, args.get("deg", 1), **kwargs)


def test_dask_matrix_is_sent_to_the_xarray_layer():
    da = pytest.importorskip("dask.array")
    with pytest.raises(ValueError, match="zelt_fit.xarray.polyfit"):
        robust_polyfit(np.arange(10.0), da.zeros((10, 3), chunks=5), 1)


def test_shapes_predict_and_presentation():
    x, Y = cube(n=45, m=7, seed=9)
    batch = robust_polyfit(x, Y, 2)
    assert batch.coef.shape == batch.stderr.shape == (3, 7)
    assert batch.inliers.shape == batch.weights.shape == (45, 7) and batch.inliers.dtype == bool
    assert batch.scale.shape == batch.degree.shape == batch.n_inliers.shape == (7,)
    assert not batch.coef.flags.writeable
    new = np.linspace(-1.0, 2.0, 11)
    pred = batch.predict(new)
    assert pred.shape == (11, 7)
    np.testing.assert_allclose(pred[:, 3], batch[3].predict(new), rtol=0, atol=0)
    # the coefficients are numpy.polynomial's: column k evaluates series k
    np.testing.assert_allclose(pred, np.polynomial.polynomial.polyval(new, batch.coef).T, rtol=1e-9, atol=1e-9)
    assert batch[-1] is list(batch)[6] and len(list(batch)) == 7
    with pytest.raises(IndexError):
        batch[7]
    with pytest.raises(TypeError):
        batch[1:3]
    text = repr(batch)
    assert text.startswith("BatchFit(series=7, n=45, degree=2, terms=3") and "failed=0" in text
    summary = batch.summary()
    assert "Series:" in summary and "coef x^2" in summary and "inlier share" in summary
    assert robust_polyfit(x, Y[:, :1], 2).coef.shape == (3, 1)


def test_dataframe_columns_name_the_series():
    pd = pytest.importorskip("pandas")
    x, Y = cube(n=30, m=3, seed=10)
    frame = pd.DataFrame(Y, columns=["north", "south", "east"])
    batch = robust_polyfit(pd.Series(x, name="year"), frame, 1)
    assert batch.series_names == ["north", "south", "east"]
    single = robust_polyfit(pd.Series(x, name="year"), frame["south"], 1)
    assert same(batch[1].coef, single.coef) and batch[1].feature_names == ["year"]


@pytest.mark.parametrize("progress, shown", [(True, True), (False, False), (None, False)])
def test_progress_bar(progress, shown, capsys):
    if progress:
        pytest.importorskip("tqdm")
    x, Y = cube(n=30, m=3, seed=11)
    robust_polyfit(x, Y, 1, progress=progress)
    err = capsys.readouterr().err
    assert ("series" in err) == shown, err


CHILD = textwrap.dedent("""
    import signal, sys, time
    import numpy as np
    from zelt_fit import robust_polyfit
    signal.signal(signal.SIGINT, signal.default_int_handler)
    rng = np.random.default_rng(0)
    x = np.linspace(0.0, 1.0, 60)
    Y = 1.0 + x[:, None] + rng.normal(0.0, 0.1, (60, 200_000))   # minutes of work
    print("ready", flush=True)
    try:
        robust_polyfit(x, Y, 2, progress=False)
    except KeyboardInterrupt:
        print("interrupted", flush=True)
    else:
        print("finished", flush=True)
""")


def test_ctrl_c_stops_a_long_batch_within_a_second():
    env = dict(os.environ, OMP_NUM_THREADS="2")
    proc = subprocess.Popen([sys.executable, "-c", CHILD], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True, env=env)
    try:
        assert proc.stdout.readline().strip() == "ready", proc.stderr.read()
        time.sleep(1.5)                  # well inside the batch
        sent = time.monotonic()
        proc.send_signal(signal.SIGINT)
        line = proc.stdout.readline().strip()
        elapsed = time.monotonic() - sent
        assert line == "interrupted", proc.stderr.read()
        assert elapsed < 1.0, elapsed
        assert proc.wait(timeout=30) == 0
    finally:
        if proc.poll() is None:
            proc.kill()
