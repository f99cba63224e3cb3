"""Memory: no growth over many calls (including failing ones), and result views
that outlive their MCMCResult. Each check runs in a child interpreter."""
import os
import subprocess
import sys
import textwrap

import pytest

SANITIZED = bool(os.environ.get("ZELT_SANITIZED"))


def run_child(code, timeout=900):
    res = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                         text=True, timeout=timeout)
    assert res.returncode == 0, f"stdout:\n{res.stdout[-4000:]}\nstderr:\n{res.stderr[-4000:]}"
    return res.stdout


CALLS = """
import copy, pickle
import numpy as np
import zelt_core as z

rng = np.random.default_rng(0)
x = rng.uniform(-1, 1, 40)
Phi = z.design_matrix_1d(3, x)
y = Phi @ np.array([0.2, -0.4, 0.3, 0.1]) + rng.normal(0, 0.05, 40)
R1, R2 = z.smoothness_penalty_matrices_1d(3, -1.0, 1.0, 50)
eng = z.TournamentMCMC(2, 5, 5, 2, 0.05, 20, 1)

def raises(fn, *a):
    try:
        fn(*a)
    except (TypeError, ValueError, RuntimeError, MemoryError):
        return
    raise AssertionError(f"{fn} did not raise")

def one_round():
    z.mad(y); z.compute_sr(y, y, 0.1); z.mdl_score(y, y, 4)
    z.mdl_score_reg(Phi @ y[:4], y, 4, 20, y[:4], R1, R2, 0.1, 0.1)
    z.design_matrix_1d(3, x); z.smoothness_penalty_matrices_1d(3, 0.0, 1.0, 20)
    z.boundary_reduce_1d(3, 0.0, 1.0)
    z.design_matrix_nd([[0, 1], [2, 1], (1, 1)], [x, x])
    z.build_penalty_matrices_nd([2, 1], [(0.0, 1.0), (-1.0, 1.0)], 5)
    z.ols(Phi, y); z.fit_regularized_linear(Phi, y, R1, R2, 1e-3, 1e-3)
    g = z.gibbs_entropy(y); g.H
    r = eng.fit(Phi, y, R1, None, 1e-3); r.beta_mcmc; r.gibbs.H
    # failing calls: conversion errors, checks, casts and allocation failures
    raises(z.mad, "abc"); raises(z.compute_sr, y[:3], y, 0.1)
    raises(z.mdl_score_reg, y, y, 4, 20, y[:4], R1[:2], R2, 1.0)
    raises(z.design_matrix_1d, -1, x); raises(z.smoothness_penalty_matrices_1d, 3, 0.0, 1.0, 1)
    raises(z.boundary_reduce_1d, -5, 0.0, 1.0)
    raises(z.design_matrix_nd, [[1]], [x, x]); raises(z.build_penalty_matrices_nd, [1], [], 5)
    raises(z.ols, Phi, y[:3]); raises(z.fit_regularized_linear, Phi, y, "R1")
    raises(z.fit_regularized_linear, Phi, y, R1[:2], None, 1.0)
    raises(z.gibbs_entropy, np.array([])); raises(eng.fit, Phi, y[:5])
    raises(eng.fit, Phi, y, None, object()); raises(z.TournamentMCMC(0).fit, Phi, y)
    raises(eng.fit, Phi, y * np.nan); raises(z.fit_regularized_linear, Phi, y, R1, None, np.inf)
    # travel: pickling, copies, reprs, and refused states
    for obj in (r, g, eng):
        pickle.loads(pickle.dumps(obj, 5)); copy.deepcopy(obj); copy.copy(obj); repr(obj)
    state = r.__getstate__()
    raises(z.MCMCResult.__new__, z.MCMCResult, state[:1] + (x[:, None],) + state[2:])
    raises(z.MCMCResult.__new__, z.MCMCResult, state[:3] + ((1, 2.0),) + state[4:])
    raises(z.TournamentMCMC.__new__, z.TournamentMCMC, (1, 25, 200, 2000, 5, 0.05, 20, -1))
    raises(z.TournamentMCMC.__new__, z.TournamentMCMC)  # a bare instance is refused
"""

# Long calls stopped by a timer signal whose handler raises, on the thread
# team and in the basis loops: the unwinding paths of an interruption.
INTERRUPTS = """
import signal

class Alarm(Exception):
    pass

def _raise(*args):
    raise Alarm()

signal.signal(signal.SIGALRM, _raise)
big_X, big_y = np.ones((3000, 3)), np.arange(3000.0)
long_eng = z.TournamentMCMC(4, 10**6, 10**6, 2, 0.05, 20, 1)

def interrupted(fn, *args):
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.002)  # inside: a loaded machine may be slow to the call
        fn(*args)
    except Alarm:
        return
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
    raise AssertionError(f"{fn} was not interrupted")

def interrupt_round():
    interrupted(long_eng.fit, big_X, big_y)
    interrupted(z.smoothness_penalty_matrices_1d, 2, 0.0, 1.0, 2**31 - 1)
    interrupted(z.build_penalty_matrices_nd, [2, 2], [(0.0, 1.0), (0.0, 1.0)], 2**31 - 1)
"""


def rss_growth_mb(setup, round_name, warm_up, rounds):
    """Resident memory gained over `rounds` calls of `round_name`, after `warm_up`."""
    out = run_child(setup + f"""
def rss_mb():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096 / 2**20

for _ in range({warm_up}):
    {round_name}()
start = rss_mb()
for _ in range({rounds}):
    {round_name}()
print(rss_mb() - start)
""")
    return float(out.strip().splitlines()[-1])


@pytest.mark.skipif(SANITIZED, reason="resident memory is not meaningful under ASan's allocator")
@pytest.mark.parametrize("setup, round_name, warm_up, rounds, limit", [
    (CALLS, "one_round", 300, 3000, 8.0),
    (CALLS + INTERRUPTS, "interrupt_round", 50, 500, 4.0),
])
def test_resident_memory_stays_flat(setup, round_name, warm_up, rounds, limit):
    growth = rss_growth_mb(setup, round_name, warm_up, rounds)
    assert growth < limit, f"resident memory grew by {growth:.1f} MiB over {rounds} rounds of {round_name}"


def test_many_calls_run_clean():
    # Under the sanitizer build this is where a use-after-free or overflow on any
    # path, failing and interrupted ones included, aborts the child.
    run_child(CALLS + INTERRUPTS + "\nfor _ in range(200):\n    one_round()\n    interrupt_round()\nprint('ok')\n")


def test_views_outlive_result():
    run_child("""
import gc
import numpy as np
import zelt_core as z

X = np.column_stack([np.ones(30), np.linspace(-1, 1, 30)])
y = X @ np.array([0.5, -0.25])
r = z.TournamentMCMC(4, 20, 20, 2, 0.05, 20, 3).fit(X, y)
beta, gibbs = r.beta_mcmc, r.gibbs
expected = (beta.copy(), r.energy, gibbs.H, gibbs.r_heat, gibbs.T)
del r
gc.collect()
junk = [np.full(1000, 7.0) for _ in range(200)]   # reuse any freed memory
np.testing.assert_array_equal(beta, expected[0])
assert (gibbs.H, gibbs.r_heat, gibbs.T) == expected[2:]
assert isinstance(beta.base, z.MCMCResult) and beta.base.energy == expected[1]
del beta
gc.collect()
assert gibbs.T == 1.0
print("ok")
""")
