"""The compiled pass (zelt_fit._kernel) against the NumPy reference
(`_passes.block_stats` on the scaled design): every sum of a round, the kept
rows, the inliers, case weights, whole fits; its bits at one and two threads;
Ctrl-C during a pass; a fork after one."""
import os
import signal
import subprocess
import sys
import textwrap
import time

import numpy as np
import pytest

from zelt_fit import _compiled, _engine, _problem, robust_polyfit
from zelt_fit._passes import Evaluation, Stats, block_stats
from zelt_fit._terms import polynomial_terms
from zelt_fit._units import Scaling

FIELDS = list(Stats.__dataclass_fields__)
COUNTS = ("count", "changed")


def test_the_installed_package_runs_compiled(monkeypatch):
    # an install without its kernel would silently run the (slower) reference
    assert _compiled._kernel is not None
    monkeypatch.delenv("ZELT_FIT_PASS", raising=False)
    assert _compiled.enabled()
    monkeypatch.setenv("ZELT_FIT_PASS", "numpy")
    assert not _compiled.enabled()


def problem(d, basis, n=3000, seed=0, dtype=np.float64):
    rng = np.random.default_rng(seed)
    X = rng.uniform(-2.0, 6.0, (n, d)).astype(dtype)
    Xd = X.astype(np.float64)
    y = (1.0 + Xd.sum(axis=1) - 0.3 * Xd[:, 0] ** 2 + rng.normal(0.0, 0.5 + 0.2 * np.abs(Xd[:, 0]), n))
    bad = rng.choice(n, n // 5, replace=False)
    y[bad] += rng.uniform(5.0, 20.0, bad.size)
    y = y.astype(dtype)
    terms = polynomial_terms(d, 2, basis)
    scaling = Scaling(np.full(d, 2.0), np.full(d, 4.0), 1.5, 2.5)
    coef = rng.normal(0.0, 0.3, len(terms))
    return X, y, terms, scaling, coef


def reference(X, y, terms, scaling, ev, **kw):
    U = scaling.u(X)
    return block_stats(_engine.design(terms, U), scaling.v(y), U, ev, **kw)


def assert_stats_close(ref, got, rtol=1e-10):
    for name in FIELDS:
        a, b = getattr(ref, name), getattr(got, name)
        if a is None:
            assert b is None, name
            continue
        if name in COUNTS:
            assert a == b, name
            continue
        a, b = np.asarray(a, float), np.asarray(b, float)
        scale = max(float(np.max(np.abs(a))), 1e-300)
        assert np.max(np.abs(a - b)) <= rtol * scale, (name, a, b)


def evaluations(d, coef, kind, model):
    g = np.concatenate([[0.2], np.tile([0.3, -0.4], d)]) if model else None
    if kind == "cut":
        return Evaluation(coef, 1.3, g), Evaluation(coef * 1.05, 1.1, g)
    return Evaluation(coef, 1.3, g, bisquare=1.6, tuning=4.685), Evaluation(coef * 0.9, 1.2, g)


@pytest.mark.parametrize("d", [1, 2, 3])
@pytest.mark.parametrize("basis", ["total", "tensor"])
@pytest.mark.parametrize("model", [False, True])
@pytest.mark.parametrize("kind", ["cut", "bisquare"])
@pytest.mark.parametrize("extras", ["plain", "clip+previous", "variance+mask", "weights+clip+previous",
                                    "weights+variance"])
def test_every_sum_matches_the_reference(d, basis, model, kind, extras):
    X, y, terms, scaling, coef = problem(d, basis, seed=d)
    ev, prev = evaluations(d, coef, kind, model)
    kw = {}
    if "weights" in extras:
        # fractional case weights, some zero
        kw["cw"] = np.random.default_rng(d).uniform(-0.5, 3.0, len(y)).clip(0.0)
    if "previous" in extras:
        kw.update(previous=prev, clip=0.8)
    elif "variance" in extras:
        U = scaling.u(X)
        keep_prev = prev.keeps(np.abs(prev.residuals(_engine.design(terms, U), scaling.v(y), U)[1]))
        kw.update(previous_keep=keep_prev, variance=True)
    ref_keep, got_keep = np.zeros(len(y), bool), np.ones(len(y), bool)
    ref = reference(X, y, terms, scaling, ev, keep_out=ref_keep, **kw)
    got = _compiled.kernel_stats(X, y, terms, scaling, ev, keep_out=got_keep, block_rows=512, **kw)
    assert_stats_close(ref, got)
    np.testing.assert_array_equal(ref_keep, got_keep)
    assert 0 < got.count < len(y)
    if "previous" in kw or "previous_keep" in kw:
        assert got.changed > 0


@pytest.mark.parametrize("xtype,ytype", [(np.float32, np.float32), (np.float32, np.float64),
                                         (np.float64, np.float32)])
def test_float32_is_read_in_place_as_the_reference_reads_it(xtype, ytype):
    X, y, terms, scaling, coef = problem(2, "total", seed=5)
    X, y = X.astype(xtype), y.astype(ytype)
    ev = Evaluation(coef, 1.5, None, bisquare=2.0)
    ref = reference(X, y, terms, scaling, ev, clip=1.0)
    got = _compiled.kernel_stats(X, y, terms, scaling, ev, clip=1.0)
    assert_stats_close(ref, got)


def test_strided_views_and_integer_input():
    X, y, terms, scaling, coef = problem(2, "total", n=2000, seed=6)
    ev = Evaluation(coef, 1.5)
    wide = np.asfortranarray(np.column_stack([X[:, 0], np.zeros(len(y)), X[:, 1]]))
    ref = reference(X[::3], y[::3], terms, scaling, ev)
    assert_stats_close(ref, _compiled.kernel_stats(wide[::3, ::2], y[::3], terms, scaling, ev))
    Xi, yi = np.round(X).astype(np.int64), np.round(y).astype(np.int32)
    assert_stats_close(reference(Xi.astype(float), yi.astype(float), terms, scaling, ev),
                       _compiled.kernel_stats(Xi, yi, terms, scaling, ev))


def _misaligned(a):
    """The same values in a buffer that starts one byte past an element
    boundary (as a chunk rebuilt from received bytes may)."""
    raw = np.zeros(a.nbytes + 1, dtype=np.uint8)
    out = np.frombuffer(raw.data, dtype=a.dtype, offset=1, count=a.size).reshape(a.shape)
    out.flags.writeable = True
    out[...] = a
    out.flags.writeable = False
    assert out.ctypes.data % a.itemsize != 0
    return out


@pytest.mark.parametrize("dtype", [np.float64, np.float32])
def test_misaligned_arrays_are_read_as_they_are(dtype):
    X, y, terms, scaling, coef = problem(2, "total", n=3000, seed=14, dtype=dtype)
    ev = Evaluation(coef, 1.5, None, bisquare=2.0)
    cw = np.random.default_rng(2).uniform(0.0, 2.0, len(y))
    ref = _compiled.kernel_stats(X, y, terms, scaling, ev, cw=cw, clip=1.0)
    got = _compiled.kernel_stats(_misaligned(X), _misaligned(y), terms, scaling, ev, cw=_misaligned(cw), clip=1.0)
    for name in FIELDS:
        a, b = getattr(ref, name), getattr(got, name)
        assert (a is None and b is None) or np.array_equal(a, b), name
    keep, w = _compiled.kernel_inliers(_misaligned(X), _misaligned(y), terms, scaling, ev)
    np.testing.assert_array_equal(w, _compiled.kernel_inliers(X, y, terms, scaling, ev)[1])


@pytest.mark.parametrize("kind", ["cut", "bisquare"])
def test_inliers_match_the_reference(kind):
    X, y, terms, scaling, coef = problem(2, "tensor", seed=8)
    ev, _ = evaluations(2, coef, kind, True)
    reference_problem = _problem.ArrayProblem(X, y, terms, scaling, compiled=False)
    keep, w = reference_problem.inliers(ev)
    got_keep, got_w = _compiled.kernel_inliers(X, y, terms, scaling, ev)
    np.testing.assert_array_equal(keep, got_keep)
    np.testing.assert_allclose(got_w, w, rtol=1e-12, atol=1e-15)
    assert (kind == "cut") == bool(np.all((w == 0) | (w == 1)))


@pytest.mark.parametrize("kind", ["cut", "bisquare"])
@pytest.mark.parametrize("model", [False, True])
def test_integer_case_weights_equal_replicated_rows(kind, model):
    X, y, terms, scaling, coef = problem(2, "total", n=1500, seed=9)
    ev, prev = evaluations(2, coef, kind, model)
    rng = np.random.default_rng(10)
    cw = rng.integers(0, 4, len(y)).astype(np.float64)
    rep = np.repeat(np.arange(len(y)), cw.astype(int))
    kw = dict(previous=prev, clip=0.9, variance=True)
    weighted = _compiled.kernel_stats(X, y, terms, scaling, ev, cw=cw, **kw)
    replicated = _compiled.kernel_stats(X[rep], y[rep], terms, scaling, ev, **kw)
    for name in FIELDS:
        if name in COUNTS:
            continue
        a, b = getattr(replicated, name), getattr(weighted, name)
        if a is None:
            assert b is None
            continue
        np.testing.assert_allclose(b, a, rtol=1e-10, atol=1e-10 * float(np.max(np.abs(a))), err_msg=name)
    # counts stay unweighted row counts; wcount is the kept rows' weight
    assert weighted.wcount == replicated.count
    plain = _compiled.kernel_stats(X, y, terms, scaling, ev, **kw)
    assert weighted.count == plain.count and weighted.changed == plain.changed
    assert plain.wcount == plain.count
    # twice the weights: every weighted sum twice, the counts unchanged
    doubled = _compiled.kernel_stats(X, y, terms, scaling, ev, cw=2.0 * cw, **kw)
    for name in FIELDS:
        a, b = getattr(weighted, name), getattr(doubled, name)
        if a is None:
            continue
        if name in COUNTS:
            assert a == b
        else:
            np.testing.assert_array_equal(np.asarray(b), 2.0 * np.asarray(a), err_msg=name)
    assert doubled.wcount == 2.0 * weighted.wcount


@pytest.mark.parametrize("bad,match", [([-1.0], "non-negative"), ([np.nan], "finite"), ([np.inf], "finite")])
def test_refuses_bad_case_weights(bad, match):
    X, y, terms, scaling, coef = problem(1, "total", n=50)
    cw = np.ones(50)
    cw[7] = bad[0]
    with pytest.raises(ValueError, match=match):
        _compiled.kernel_stats(X, y, terms, scaling, Evaluation(coef, 1.0), cw=cw)
    with pytest.raises(ValueError, match="one weight per row"):
        _compiled.kernel_stats(X, y, terms, scaling, Evaluation(coef, 1.0), cw=np.ones(49))


def test_refuses_inconsistent_shapes():
    X, y, terms, scaling, coef = problem(2, "total", n=50)
    with pytest.raises(ValueError, match="rows"):
        _compiled.kernel_stats(X, y[:-1], terms, scaling, Evaluation(coef, 1.0))
    with pytest.raises(ValueError, match="coef"):
        _compiled.kernel_stats(X, y, terms, scaling, Evaluation(coef[:-1], 1.0))
    with pytest.raises(ValueError, match="variance model"):
        _compiled.kernel_stats(X, y, terms, scaling, Evaluation(coef, 1.0, np.ones(3)))
    with pytest.raises(ValueError, match="keep_out"):
        _compiled.kernel_stats(X, y, terms, scaling, Evaluation(coef, 1.0), keep_out=np.zeros(49, bool))


def _fit_cases():
    rng = np.random.default_rng(3)
    n = 4000
    x = rng.uniform(-1.0, 3.0, n)
    y = 1.0 - x + 0.5 * x ** 3 + rng.normal(0.0, 0.1, n)
    y[rng.choice(n, n // 5, replace=False)] += 5.0
    hetero = 1.0 + 0.5 * x ** 2 + rng.normal(0.0, 0.05 * (1.0 + 2.0 * np.abs(x)), n)
    X2 = rng.uniform(-1.0, 1.0, (n, 2))
    y2 = 1.0 + X2[:, 0] - X2[:, 0] * X2[:, 1] + rng.normal(0.0, 0.05, n)
    y2[:400] -= 3.0
    X3 = rng.uniform(0.0, 2.0, (n, 3))
    y3 = X3.sum(axis=1) ** 2 / 4 + rng.normal(0.0, 0.05, n)
    y3[-600:] += 2.0
    return {
        "cubic": ((x, y, 3), {}),
        "noise model": ((x, hetero, 2), {}),
        "penalised": ((x, y, 3), dict(slope=1e-3, curvature=1e-4)),
        "two variables tensor": ((X2, y2, 2), dict(basis="tensor")),
        "three variables": ((X3, y3, 2), {}),
        "float32": ((x.astype(np.float32), y.astype(np.float32), 3), {}),
        "case weights": ((x, y, 3), dict(weights=rng.uniform(0.2, 3.0, n))),
        "integer weights, auto": ((x, y, "auto"), dict(weights=rng.integers(0, 4, n).astype(float), max_deg=4)),
    }


@pytest.mark.parametrize("case", list(_fit_cases()))
def test_whole_fit_compiled_equals_the_reference(case, monkeypatch):
    args, kw = _fit_cases()[case]
    monkeypatch.setenv("ZELT_FIT_PASS", "numpy")
    ref = robust_polyfit(*args, **kw)
    monkeypatch.setenv("ZELT_FIT_PASS", "compiled")
    got = robust_polyfit(*args, **kw)
    np.testing.assert_allclose(got.coef, ref.coef, rtol=1e-10, atol=1e-12 * float(np.max(np.abs(ref.coef))))
    np.testing.assert_allclose(got.stderr, ref.stderr, rtol=1e-10)
    np.testing.assert_array_equal(got.inliers, ref.inliers)
    if case == "noise model":
        assert got.extra.get("variance_model") is not None
        np.testing.assert_allclose(got.extra["variance_model"], ref.extra["variance_model"], rtol=1e-8)


def test_large_fit_runs_without_a_design():
    # above the reference's keep-the-design size: the compiled problem holds no design
    X, y, terms, scaling, coef = problem(1, "total", n=300_000, seed=4)
    prob = _problem.ArrayProblem(X, y, terms, scaling, compiled=True)
    assert prob._full is None
    ref = _problem.ArrayProblem(X, y, terms, scaling, compiled=False)
    ev = Evaluation(coef, 2.0)
    assert_stats_close(ref(ev), prob(ev))
    # the next pass compares with the kept rows of the last, as the reference does
    new = Evaluation(coef * 1.01, 2.0)
    assert_stats_close(ref(new, previous=ev), prob(new, previous=ev))


def test_dask_chunk_stats_match():
    X, y, terms, scaling, coef = problem(2, "total", n=5000, seed=12)
    ev, prev = evaluations(2, coef, "bisquare", True)
    ref = _problem._chunk_stats(X, y, terms, scaling, ev, prev, True, 0.9, compiled=False)
    got = _problem._chunk_stats(X, y, terms, scaling, ev, prev, True, 0.9, compiled=True)
    assert_stats_close(ref, got)
    np.testing.assert_allclose(_problem._chunk_inliers(X, y, terms, scaling, ev, compiled=True),
                               _problem._chunk_inliers(X, y, terms, scaling, ev, compiled=False), rtol=1e-12,
                               atol=1e-15)


def run_child(code, env=None, timeout=120):
    full_env = dict(os.environ, **(env or {}))
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          env=full_env, timeout=timeout)


BITS_CHILD = """
    import hashlib
    import numpy as np
    from zelt_fit import _compiled, robust_polyfit
    from zelt_fit._passes import Evaluation
    from zelt_fit._terms import polynomial_terms
    from zelt_fit._units import Scaling
    rng = np.random.default_rng(0)
    n = 300_000
    X = rng.uniform(-1, 1, (n, 2))
    y = X[:, 0] - X[:, 1] ** 2 + rng.normal(0, 0.1, n)
    y[::5] += 3.0
    terms = polynomial_terms(2, 3)
    s = Scaling(np.zeros(2), np.ones(2), 0.0, 1.0)
    g = np.array([0.1, 0.2, 0.3, -0.1, 0.2])
    ev = Evaluation(rng.normal(0, 0.3, len(terms)), 0.5, g, bisquare=0.6)
    st = _compiled.kernel_stats(X, y, terms, s, ev, Evaluation(np.zeros(len(terms)), 0.4), True, 0.5)
    h = hashlib.sha256()
    for name, value in sorted(vars(st).items()):
        h.update(np.asarray(value if value is not None else 0.0, dtype=np.float64).tobytes())
    fit = robust_polyfit(X[:, 0], y, 3)
    h.update(fit.coef.tobytes())
    h.update(fit.stderr.tobytes())
    print(h.hexdigest())
"""


def test_bits_do_not_depend_on_the_thread_count():
    out = {}
    for threads in ("1", "2"):
        res = run_child(BITS_CHILD, {"OMP_NUM_THREADS": threads}, timeout=300)
        assert res.returncode == 0, res.stderr
        out[threads] = res.stdout.strip()
    assert out["1"] == out["2"]


INTERRUPT_CHILD = """
    import signal, sys, time
    import numpy as np
    signal.signal(signal.SIGINT, signal.default_int_handler)
    from zelt_fit import _compiled
    from zelt_fit._passes import Evaluation
    from zelt_fit._terms import polynomial_terms
    from zelt_fit._units import Scaling
    rng = np.random.default_rng(0)
    n = 400_000
    X = rng.uniform(-1, 1, (n, 3))
    y = rng.normal(size=n)
    terms = polynomial_terms(3, 6, "tensor")   # 343 terms: three 343 x 343 sums a row, minutes for all rows
    s = Scaling(np.zeros(3), np.ones(3), 0.0, 1.0)
    ev = Evaluation(np.zeros(len(terms)), 1.0, None, bisquare=10.0)
    print("ready", flush=True)
    start = time.monotonic()
    try:
        _compiled.kernel_stats(X, y, terms, s, ev)
    except KeyboardInterrupt:
        print("interrupted %.3f" % (time.monotonic() - start), flush=True)
        # the module is sound after the stop
        st = _compiled.kernel_stats(X[:100], y[:100], terms[:4], s, Evaluation(np.zeros(4), 10.0))
        print("after", st.count, flush=True)
        sys.exit(0)
    print("finished", flush=True)
"""


@pytest.mark.parametrize("threads", ["1", "2"])
def test_ctrl_c_stops_a_long_pass(threads):
    env = dict(os.environ, OMP_NUM_THREADS=threads)
    proc = subprocess.Popen([sys.executable, "-c", textwrap.dedent(INTERRUPT_CHILD)], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, env=env)
    try:
        assert proc.stdout.readline().strip() == "ready"
        time.sleep(1.0)
        sent = time.monotonic()
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=60)
        waited = time.monotonic() - sent
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    assert proc.returncode == 0, err
    lines = out.split("\n")
    assert lines[0].startswith("interrupted"), out
    assert lines[1] == "after 100"
    assert waited < 10.0


FORK_CHILD = """
    import os, sys
    import numpy as np
    from zelt_fit import _compiled
    from zelt_fit._passes import Evaluation
    from zelt_fit._terms import polynomial_terms
    from zelt_fit._units import Scaling
    rng = np.random.default_rng(0)
    X = rng.uniform(-1, 1, (200_000, 1))
    y = rng.normal(size=200_000)
    terms = polynomial_terms(1, 3)
    s = Scaling(np.zeros(1), np.ones(1), 0.0, 1.0)
    ev = Evaluation(np.zeros(4), 1.0)
    parent = _compiled.kernel_stats(X, y, terms, s, ev)   # the thread team now exists
    pid = os.fork()
    if pid == 0:
        child = _compiled.kernel_stats(X, y, terms, s, ev)
        same = child.count == parent.count and np.array_equal(child.G, parent.G)
        os._exit(0 if same else 3)
    _, status = os.waitpid(pid, 0)
    print(os.waitstatus_to_exitcode(status) if hasattr(os, "waitstatus_to_exitcode") else status >> 8)
"""


def test_a_fork_after_a_pass_does_not_hang():
    res = run_child(FORK_CHILD, {"OMP_NUM_THREADS": "2"}, timeout=120)
    assert res.returncode == 0, res.stderr
    assert res.stdout.strip() == "0"


@pytest.fixture(scope="module")
def pass_unit_runs(native_checks):
    # tests/native/pass_units.cpp as built (AVX2 tiles where the processor has
    # them) and with the SSE2 tiles only: {build: {line's name: count}}
    return {build: {name: int(value) for name, value in
                    (line.split() for line in native_checks[check].splitlines())}
            for build, check in (("as built", "pass_units"), ("SSE2 tiles only", "pass_units_sse2"))}


@pytest.mark.parametrize("build", ["as built", "SSE2 tiles only"])
@pytest.mark.parametrize("check", ["selection_failures", "variance_failures", "moment_failures",
                                   "log_failures"])
def test_the_native_pass_checks_find_no_fault(pass_unit_runs, build, check):
    # an M-step round's sums chosen by their use (Newton's step, the reweighted
    # step, the covariance), and a cut round that adds the variance model's
    # sums, against the round that makes everything; in one variable the Grams
    # from the power moments against the products of the basis columns; the
    # tiles' log within 2 ulp of the C library's from 1e-300 to the largest double
    assert pass_unit_runs[build][check] == 0


def test_the_tiles_log_is_within_two_ulp(pass_unit_runs):
    worst = {build: run["log_worst_ulp"] for build, run in pass_unit_runs.items()}
    assert all(0 <= ulp <= 2 for ulp in worst.values()), worst


def test_the_sse2_tiles_make_the_same_bits_as_the_wide_ones(pass_unit_runs):
    # every sum of every pass the check makes, hashed bit for bit
    assert pass_unit_runs["as built"]["sums_hash"] == pass_unit_runs["SSE2 tiles only"]["sums_hash"]
