"""Ctrl-C stops long calls: a real SIGINT to a child process ends the call with
KeyboardInterrupt within a second, at one and two threads and in a forked
child; no thread keeps computing, and the next call on the same engine gives
what a fresh process gives. Shorter calls are stopped from inside the process
by a timer signal whose handler raises."""
import os
import pathlib
import signal
import subprocess
import sys
import time

import numpy as np
import pytest

import zelt_core as z

CHILD = pathlib.Path(__file__).with_name("interrupt_child.py")


def child_env(threads):
    env = dict(os.environ, OMP_NUM_THREADS=str(threads), OPENBLAS_NUM_THREADS="1")
    return env


def fresh_follow_up(engine_name):
    out = subprocess.run([sys.executable, str(CHILD), "fresh", engine_name], capture_output=True,
                         text=True, timeout=300, env=child_env(2), check=True).stdout
    return out.split("after ", 1)[1].strip()


@pytest.fixture(scope="module")
def fresh():
    cache = {}

    def get(engine_name):
        if engine_name not in cache:
            cache[engine_name] = fresh_follow_up(engine_name)
        return cache[engine_name]
    return get


CASES = [
    ("chains", 1, ""), ("chains", 2, ""), ("elite", 1, ""), ("elite", 2, ""),
    ("chains", 2, "fork"), ("elite", 2, "fork"),
    ("penalty_nd_grid", 1, ""), ("penalty_1d_grid", 1, ""), ("penalty_1d_degree", 1, ""),
]


@pytest.mark.parametrize("name, threads, mode", CASES, ids=[f"{n}-{t}t{'-' + m if m else ''}" for n, t, m in CASES])
def test_sigint_stops_long_call_within_a_second(name, threads, mode, fresh):
    args = [sys.executable, str(CHILD), name] + ([mode] if mode else [])
    proc = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            env=child_env(threads))
    try:
        ready = proc.stdout.readline().split()
        assert ready and ready[0] == "ready", proc.stderr.read()
        target = int(ready[1])  # the forked child, where there is one
        time.sleep(0.5)  # well inside the call
        sent = time.monotonic()
        os.kill(target, signal.SIGINT)
        line = proc.stdout.readline().strip()
        latency = time.monotonic() - sent
        out, err = proc.communicate(timeout=300)
    finally:
        proc.kill()
    assert line == "interrupted", err
    assert latency < 1.0
    assert proc.returncode == 0, err
    fields = dict(l.split(" ", 1) for l in out.splitlines())
    # Half a second asleep after the interruption: a thread still computing
    # would burn about that much CPU time.
    assert float(fields["idle_cpu"]) < 0.1
    engine = "elite" if name == "elite" else "chains"
    assert fields["after"] == fresh(engine)


class Alarm(Exception):
    pass


@pytest.fixture
def alarm():
    """Raises Alarm inside the next long call, `after` seconds from now."""
    def handler(signum, frame):
        raise Alarm()
    old = signal.signal(signal.SIGALRM, handler)

    def arm(after):
        signal.setitimer(signal.ITIMER_REAL, after)
    yield arm
    signal.setitimer(signal.ITIMER_REAL, 0)
    signal.signal(signal.SIGALRM, old)


SHORT_LONG_CALLS = {
    # Each takes a few tenths of a second: long enough for a 20 ms alarm.
    "boundary": lambda: z.boundary_reduce_1d(9000, 0.0, 1.0),
    "design_1d": lambda: z.design_matrix_1d(300, np.full(200_000, 1.0001)),
    "design_nd": lambda: z.design_matrix_nd([[i, 3] for i in range(80)],
                                            [np.full(300_000, 1.0001), np.full(300_000, 0.5)]),
    "fit": lambda: z.TournamentMCMC(4, 10**6, 10**6, 2, 0.05, 20, 1).fit(np.ones((2000, 3)), np.arange(2000.0)),
}


@pytest.mark.parametrize("name", SHORT_LONG_CALLS)
def test_handler_exception_leaves_the_call(name, alarm):
    # Whatever the signal handler raises is what the call raises.
    with pytest.raises(Alarm):
        alarm(0.02)
        SHORT_LONG_CALLS[name]()


def test_interrupted_calls_leave_later_results_unchanged(alarm):
    rng = np.random.default_rng(11)
    X = rng.standard_normal((80, 3))
    y = X @ np.array([0.4, -0.3, 0.2]) + rng.normal(0, 0.05, 80)
    eng = z.TournamentMCMC(6, 150, 300, 3, 0.05, 20, 5)
    before = eng.fit(X, y)
    nd_before = z.design_matrix_nd([[2, 1], [0, 3]], [X[:, 0], X[:, 1]])
    for after in (0.005, 0.03, 0.06):
        with pytest.raises(Alarm):
            alarm(after)
            z.TournamentMCMC(4, 10**6, 10**6, 2, 0.05, 20, 1).fit(np.ones((2000, 3)), np.arange(2000.0))
        again = eng.fit(X, y)
        assert again.energy == before.energy
        np.testing.assert_array_equal(again.beta_mcmc, before.beta_mcmc)
        np.testing.assert_array_equal(z.design_matrix_nd([[2, 1], [0, 3]], [X[:, 0], X[:, 1]]), nd_before)
