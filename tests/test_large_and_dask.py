"""Large n and Dask: the refit in row blocks equals the plain one, a fit of Dask
arrays equals the in-memory fit of the same data, and the client never holds
the data. Cluster tests run in a child interpreter with a time limit."""
import os
import pathlib
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from zelt_fit import _fit, _problem, polynomial_terms, robust_polyfit

ROOT = pathlib.Path(__file__).resolve().parent.parent
SANITIZED = bool(os.environ.get("ZELT_SANITIZED"))
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from test_zelt_fit import bisquare_at_scale  # noqa: E402


def big_cubic(n, seed=0, share=0.2):
    rng = np.random.default_rng(seed)
    x = rng.uniform(0.0, 50.0, n)
    u = (x - 25.0) / 25.0
    y = 0.5 - u + 0.8 * u ** 2 + 0.6 * u ** 3 + rng.normal(0.0, 0.05, n)
    bad = rng.choice(n, int(share * n), replace=False)
    y[bad] += rng.choice([-1.0, 1.0], bad.size) * rng.uniform(2.0, 5.0, bad.size)
    inlier = np.ones(n, bool)
    inlier[bad] = False
    return x, y, inlier


def test_blockwise_refit_equals_the_plain_one():
    n = 150_000
    x, y, inlier = big_cubic(n)
    fit = robust_polyfit(x, y, 3)
    # plain: every row in one block, the scaled design held whole; blockwise:
    # the design built anew in blocks of 4096 rows at every pass
    terms = polynomial_terms(1, 3)
    X = x[:, None]
    whole = _problem.ArrayProblem(X, y, terms, fit.scaling, block=n, keep=True, compiled=False)
    blocks = _problem.ArrayProblem(X, y, terms, fit.scaling, block=4096, keep=False, compiled=False)
    plain = _fit.fit_problem(whole, terms, 3, "total", None)
    blockwise = _fit.fit_problem(blocks, terms, 3, "total", None)
    for other in (plain, blockwise):
        np.testing.assert_allclose(fit.coef, other.coef, rtol=1e-10, atol=0)
        np.testing.assert_array_equal(fit.inliers, other.inliers)
        np.testing.assert_allclose(fit.cov, other.cov, rtol=1e-8)
    # and both are the bisquare M-estimate at the fit's scale, computed on copied rows
    Phi = np.vander(fit.scaling.u(X)[:, 0], 4, increasing=True)
    v = fit.scaling.v(y)
    expected, keep = bisquare_at_scale(Phi, v, fit.inliers, fit.scale / fit.scaling.y_scale)
    np.testing.assert_array_equal(keep, fit.inliers)
    np.testing.assert_allclose(fit.coef_scaled, expected, rtol=0, atol=1e-9)
    assert not np.any(fit.inliers & ~inlier)


def test_large_fit_memory_stays_near_the_data(tmp_path):
    # peak resident growth of a fit of 2e6 points, measured in a child process
    code = textwrap.dedent("""
        import numpy as np
        from zelt_fit import robust_polyfit
        def status(key):
            for line in open("/proc/self/status"):
                if line.startswith(key):
                    return int(line.split()[1]) * 1024
        n = 2_000_000
        rng = np.random.default_rng(1)
        x = rng.uniform(-1, 1, n); y = 1 - x + x ** 3 + rng.normal(0, 0.05, n); y[::5] += 3
        robust_polyfit(x[:3000], y[:3000], 3)
        base = status("VmRSS")
        open("/proc/self/clear_refs", "w").write("5")
        fit = robust_polyfit(x, y, 3)
        print((status("VmHWM") - base) / (x.nbytes + y.nbytes))
    """)
    if SANITIZED:
        pytest.skip("resident memory is the sanitizer's own in that run")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=600)
    assert out.returncode == 0, out.stderr
    assert float(out.stdout) < 2.0, out.stdout


CLUSTER = textwrap.dedent("""
    import os, sys, numpy as np, dask, dask.array as da
    from dask.distributed import Client, LocalCluster
    from zelt_fit import robust_polyfit

    def status(key):
        for line in open("/proc/self/status"):
            if line.startswith(key):
                return int(line.split()[1]) * 1024

    if __name__ == "__main__":
        with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                          env={"OMP_NUM_THREADS": "1"}) as cluster, Client(cluster) as client:
            rng = np.random.default_rng(3)
            n = 120_000
            x = rng.uniform(0, 50, n); u = (x - 25) / 25
            y = 0.5 - u + 0.8 * u ** 2 + 0.6 * u ** 3 + rng.normal(0, 0.05, n)
            y[::4] += rng.uniform(2, 5, y[::4].size)
            mem = robust_polyfit(x, y, 3)
            xd, yd = da.from_array(x, chunks=17_000), da.from_array(y, chunks=23_000)
            fit = robust_polyfit(xd, yd, 3)
            assert isinstance(fit.inliers, da.Array), type(fit.inliers)
            rel = np.max(np.abs(fit.coef - mem.coef) / np.abs(mem.coef))
            same = int(np.sum(fit.inliers.compute() != mem.inliers))
            print("one", rel, same, fit.n_inliers == mem.n_inliers, fit.summary() != "")
            # two variables and the automatic degree
            X = np.column_stack([x, rng.uniform(-3, 3, n)])
            z = 1 + u - 0.5 * u * X[:, 1] + rng.normal(0, 0.05, n); z[::3] -= 4
            m2 = robust_polyfit(X, z, "auto")
            d2 = robust_polyfit(da.from_array(X, chunks=(20_000, 2)), da.from_array(z, chunks=20_000), "auto")
            print("two", d2.degree == m2.degree, np.max(np.abs(d2.coef - m2.coef)) / np.max(np.abs(m2.coef)))
            # data made and kept on the workers: the client's memory does not grow with it
            base = status("VmRSS")
            open("/proc/self/clear_refs", "w").write("5")
            big = 4_000_000
            gx = da.random.RandomState(5).uniform(0, 1, big, chunks=500_000)
            gy = 2 + 3 * gx + da.random.RandomState(6).normal(0, 0.01, big, chunks=500_000)
            gy = da.where(da.random.RandomState(7).uniform(0, 1, big, chunks=500_000) < 0.2, gy + 5, gy)
            gx, gy = client.persist([gx, gy])
            g = robust_polyfit(gx, gy, 1)
            grown = status("VmHWM") - base
            print("big", np.max(np.abs(g.coef - [2, 3])), grown / (2 * 8 * big))
            try:
                robust_polyfit(da.from_array(np.r_[x[:-1], np.nan], chunks=17_000), yd, 3)
            except ValueError as err:
                print("refused", err)
""")


@pytest.mark.skipif(SANITIZED, reason="worker processes of a cluster under the sanitizer take too long")
def test_dask_fit_equals_the_in_memory_fit_on_a_two_process_cluster():
    pytest.importorskip("distributed")
    proc = subprocess.run([sys.executable, "-c", CLUSTER], capture_output=True, text=True, timeout=600,
                          cwd=ROOT)
    assert proc.returncode == 0, proc.stderr[-4000:]
    lines = {line.split()[0]: line.split()[1:] for line in proc.stdout.splitlines() if line}
    rel, same, count, summary = lines["one"]
    assert float(rel) < 1e-6 and int(same) == 0 and count == "True" and summary == "True"
    assert lines["two"][0] == "True" and float(lines["two"][1]) < 1e-6
    err, grown = (float(v) for v in lines["big"])
    assert err < 0.01
    assert grown < 0.25, grown     # the data: 64 MB on the workers
    assert " ".join(lines["refused"]).startswith(
        "x contains NaN or infinity in 1 of 120000 rows (positions 119999)")


def test_dask_input_is_recognised_without_importing_dask():
    code = ("import sys, numpy as np\n"
            "from zelt_fit import robust_polyfit\n"
            "robust_polyfit(np.linspace(0, 1, 50), np.linspace(0, 1, 50) ** 2, 2)\n"
            "print('dask' in sys.modules)")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0 and out.stdout.strip() == "False", out.stderr
