"""The whole fit in compiled code (zelt_fit._kernel.fit_series) against the
NumPy reference (ZELT_FIT_PASS=numpy runs the refit of _refit and _fit):
coefficients, covariance, scale and inliers on a family of problems; a
batch's bits at one and two threads; a batch's hostile columns against their
single calls."""
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from zelt_fit import _compiled, robust_polyfit

pytestmark = pytest.mark.skipif(_compiled._kernel is None, reason="the compiled kernel is not built")


def data(d=1, n=300, seed=0, kind="outliers"):
    rng = np.random.default_rng(seed)
    X = rng.uniform(-3.0, 5.0, (n, d))
    s = X.sum(axis=1)
    noise = rng.normal(0.0, 0.3, n)
    if kind == "uneven":
        noise *= 0.2 + np.abs(X[:, 0])           # the noise grows along x: the variance model
    y = 2.0 + 0.5 * s - 0.2 * X[:, 0] ** 2 + noise
    if kind in ("outliers", "uneven"):
        bad = rng.choice(n, n // 5, replace=False)
        y[bad] -= rng.uniform(3.0, 8.0, bad.size)
    elif kind == "leverage":
        far = rng.choice(n, n // 6, replace=False)
        X[far, 0] = rng.uniform(12.0, 14.0, far.size)  # far out in x, on a wrong line
        y[far] = 40.0 - 2.0 * X[far, 0] + rng.normal(0.0, 0.1, far.size)
    elif kind == "exact":
        y = 1.0 - 0.5 * s + 0.25 * X[:, 0] ** 2
        y[: n // 3] += 5.0
    return (X[:, 0] if d == 1 else X), y


CASES = {
    "line, outliers": (dict(), 1, {}),
    "quadratic, outliers": (dict(), 2, {}),
    "cubic, leverage points": (dict(kind="leverage"), 3, {}),
    "auto, outliers": (dict(), "auto", {}),
    "auto, uneven noise": (dict(kind="uneven", n=600), "auto", dict(max_deg=4)),
    "exact polynomial": (dict(kind="exact"), 2, {}),
    "two variables": (dict(d=2), 2, {}),
    "three variables, auto": (dict(d=3, n=500), "auto", {}),
    "tensor basis": (dict(d=2), 2, dict(basis="tensor")),
    "explicit terms, not closed": (dict(d=1), [0, 2, 3], {}),
    "penalties": (dict(), 5, dict(slope=1e-3, curvature=1e-4)),
    "case weights": (dict(seed=3), 2, dict(weights=np.tile([1.0, 2.0, 0.0, 0.5], 75))),
    "sampled search": (dict(n=5000, seed=4), 2, dict(search_points=800)),
}


def relclose(a, b, rtol):
    a, b = np.asarray(a, dtype=float), np.asarray(b, dtype=float)
    scale = max(float(np.max(np.abs(b))) if b.size else 0.0, 1e-300)
    return a.shape == b.shape and bool(np.all(np.abs(a - b) <= rtol * scale))


@pytest.mark.parametrize("case", list(CASES))
def test_compiled_fit_agrees_with_the_numpy_reference(case, monkeypatch):
    kwargs, deg, options = CASES[case]
    x, y = data(**kwargs)
    monkeypatch.delenv("ZELT_FIT_PASS", raising=False)
    got = robust_polyfit(x, y, deg, **options)
    monkeypatch.setenv("ZELT_FIT_PASS", "numpy")
    ref = robust_polyfit(x, y, deg, **options)
    assert got.degree == ref.degree and got.extra["start"] == ref.extra["start"]
    assert np.array_equal(got.inliers, ref.inliers) and got.n_inliers == ref.n_inliers
    assert relclose(got.coef_scaled, ref.coef_scaled, 1e-10), (got.coef_scaled, ref.coef_scaled)
    assert relclose(got.coef, ref.coef, 1e-10)
    if kwargs.get("kind") == "exact":
        return            # residuals of rounding alone: their scale is noise in both
    assert relclose(got.cov_scaled, ref.cov_scaled, 1e-9)
    assert got.scale == pytest.approx(ref.scale, rel=1e-10)
    assert got.dof == pytest.approx(ref.dof, rel=1e-12)
    assert relclose(got.weights, ref.weights, 1e-9)
    assert (got.extra["variance_model"] is None) == (ref.extra["variance_model"] is None)
    if deg == "auto":
        assert len(got.extra["degrees"]) == len(ref.extra["degrees"])
        for a, b in zip(got.extra["degrees"], ref.extra["degrees"]):
            assert a["degree"] == b["degree"] and a["inliers"] == b["inliers"]
            assert a["criterion"] == pytest.approx(b["criterion"], rel=1e-9)


def test_the_uneven_case_does_model_the_noise():
    # the family above must reach the variance model, or its agreement says nothing of it
    x, y = data(kind="uneven", n=600)
    assert robust_polyfit(x, y, 2).extra["variance_model"] is not None


BITS = textwrap.dedent("""
    import sys
    import numpy as np
    from zelt_fit import robust_polyfit
    rng = np.random.default_rng(2)
    x = np.linspace(0.0, 1.0, 50)
    Y = 1.0 + np.outer(x, rng.normal(size=90)) + rng.normal(0.0, 0.05, (50, 90))
    Y[rng.uniform(size=Y.shape) < 0.2] -= 2.0
    b = robust_polyfit(x, Y, "auto", max_deg=3, progress=False)
    sys.stdout.write((b.coef.tobytes() + b.stderr.tobytes() + b.inliers.tobytes()).hex())
""")


def test_a_batch_has_the_same_bits_at_one_and_two_threads():
    runs = []
    for threads in ("1", "2"):
        env = dict(os.environ, OMP_NUM_THREADS=threads)
        out = subprocess.run([sys.executable, "-c", BITS], capture_output=True, text=True, env=env, timeout=300)
        assert out.returncode == 0, out.stderr
        runs.append(out.stdout)
    assert runs[0] and runs[0] == runs[1]


def test_hostile_columns_are_their_single_calls():
    rng = np.random.default_rng(5)
    n = 40
    x = np.linspace(-1.0, 1.0, n)
    Y = np.column_stack([
        1.0 + x + rng.normal(0.0, 0.1, n),       # ordinary
        np.full(n, 3.0),                          # constant: MAD 0 and spread 0
        np.where(np.arange(n) < 25, 2.0, x),      # more than half the values equal
        1e200 * (1.0 + x),                        # beyond what its variances can hold
        np.round(x * 3.0),                        # ties
        -x + rng.standard_cauchy(n),              # heavy tails
    ])
    batch = robust_polyfit(x, Y, 1)
    for k in range(Y.shape[1]):
        try:
            single = robust_polyfit(x, Y[:, k], 1)
        except (ValueError, RuntimeError) as err:
            assert batch.failed[k] and batch.errors[k] == str(err)
            continue
        fit = batch[k]
        assert fit.coef.tobytes() == single.coef.tobytes() and fit.cov.tobytes() == single.cov.tobytes()
        assert np.array_equal(batch.coef[:, k], single.coef) and batch.scale[k] == single.scale
        assert np.array_equal(batch.inliers[:, k], single.inliers)
    assert batch.failed[3]


def test_large_fit_forms_its_weights_on_request_as_a_small_one_would(monkeypatch):
    from zelt_fit import _fit
    import pickle

    rng = np.random.default_rng(8)
    n = 3000
    x = rng.uniform(-1.0, 1.0, n)
    y = 1.0 + x - x ** 3 + rng.normal(0.0, 0.05, n)
    y[rng.uniform(size=n) < 0.2] += 3.0
    x[[5, 17]] = np.nan                                  # dropped rows keep weight 0
    eager = robust_polyfit(x, y, 3, missing="drop")
    monkeypatch.setattr(_fit, "LAZY_WEIGHT_ROWS", 1000)
    lazy = robust_polyfit(x, y, 3, missing="drop")
    assert callable(lazy._robustness_weights)            # not formed yet
    assert lazy.coef.tobytes() == eager.coef.tobytes()
    again = pickle.loads(pickle.dumps(lazy))             # a pickle carries the weights themselves
    assert isinstance(again._robustness_weights, np.ndarray)
    for fit in (lazy, again):
        assert fit.weights.shape == (n,) and fit.weights.tobytes() == eager.weights.tobytes()
    assert lazy.weights[5] == 0.0 and not lazy.weights.flags.writeable


FORK = textwrap.dedent("""
    import os
    import numpy as np
    from zelt_fit import robust_polyfit
    rng = np.random.default_rng(3)
    x = np.linspace(0.0, 1.0, 40)
    Y = 1.0 + np.outer(x, rng.normal(size=24)) + rng.normal(0.0, 0.05, (40, 24))
    Y[rng.uniform(size=Y.shape) < 0.2] += 2.0
    parent = robust_polyfit(x, Y, 1, progress=False)      # the thread team now exists
    pid = os.fork()
    if pid == 0:
        child = robust_polyfit(x, Y, 1, progress=False)
        os._exit(0 if child.coef.tobytes() == parent.coef.tobytes() else 3)
    _, status = os.waitpid(pid, 0)
    print(os.waitstatus_to_exitcode(status))
""")


def test_a_batch_in_a_fork_child_runs_and_gives_the_same_bits():
    env = dict(os.environ, OMP_NUM_THREADS="2")
    out = subprocess.run([sys.executable, "-c", FORK], capture_output=True, text=True, env=env, timeout=120)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "0"
