"""Child process of tests/test_interrupt.py (not collected): runs one long call
until the test sends SIGINT, then shows that the process is sound.

    python interrupt_child.py CALL [fork]   long call, then the checks below
    python interrupt_child.py fresh          only the follow-up, as a new process

Prints "ready" just before the long call, "interrupted" as soon as it raised
KeyboardInterrupt, the CPU seconds the process used while sleeping half a
second afterwards (a worker thread still computing would show here), and
"after ..." with the bytes of a follow-up fit and penalty on the same engine.
"""
import os
import signal
import sys
import time

import numpy as np

import zelt_core as z

# A process started with SIGINT ignored (a background job of a shell) would
# otherwise never see it.
signal.signal(signal.SIGINT, signal.default_int_handler)

rng = np.random.default_rng(7)
N = 2_000_000
X = rng.standard_normal((N, 4))
y = X @ np.array([0.5, -0.25, 0.75, 0.1]) + rng.standard_normal(N)
R1, R2 = z.smoothness_penalty_matrices_1d(3, -1.0, 1.0, 50)
engines = {
    # On all N rows each runs for a minute or more if nobody stops it; the
    # follow-up on 300 rows takes milliseconds.
    "chains": z.TournamentMCMC(n_chains=8, n_warmup=3000, n_deep=0, seed=3),
    "elite": z.TournamentMCMC(n_chains=2, n_warmup=0, n_deep=10000, n_elite=2, seed=3),
}
LONG = {
    "chains": lambda: engines["chains"].fit(X, y),
    "elite": lambda: engines["elite"].fit(X, y, R1, None, 0.5),
    "penalty_nd_grid": lambda: z.build_penalty_matrices_nd([2, 2], [(0.0, 1.0), (0.0, 1.0)], 2**31 - 1),
    "penalty_1d_grid": lambda: z.smoothness_penalty_matrices_1d(2, 0.0, 1.0, 2**31 - 1),
    "penalty_1d_degree": lambda: z.smoothness_penalty_matrices_1d(3000, 0.0, 1.0, 600),
}


def follow_up(engine):
    """A small fit on the engine that was interrupted, and a small penalty."""
    Xs, ys = X[:300], y[:300]
    res = engine.fit(Xs, ys, R1, None, 0.5)
    P1, P2, _ = z.build_penalty_matrices_nd([2, 3], [(0.0, 1.0), (-1.0, 2.0)], 40)
    return " ".join(a.tobytes().hex() for a in (np.array([res.energy]), res.beta_mcmc, P1, P2))


def main():
    name = sys.argv[1]
    engine = engines["elite" if name == "elite" else "chains"]
    if name == "fresh":
        print("after", follow_up(engines[sys.argv[2]]), flush=True)
        return
    if len(sys.argv) > 2 and sys.argv[2] == "fork":
        engine.fit(X[:50], y[:50])  # this process now owns the thread team
        pid = os.fork()
        if pid:
            _, status = os.waitpid(pid, 0)
            sys.exit(os.waitstatus_to_exitcode(status))
    print("ready", os.getpid(), flush=True)
    try:
        LONG[name]()
    except KeyboardInterrupt:
        print("interrupted", flush=True)
    else:
        print("finished", flush=True)
    time.sleep(0.2)
    cpu = time.process_time()
    time.sleep(0.5)
    print("idle_cpu", time.process_time() - cpu, flush=True)
    print("after", follow_up(engine), flush=True)
    sys.stdout.flush()
    os._exit(0)  # also the forked child: no interpreter teardown twice


if __name__ == "__main__":
    main()
