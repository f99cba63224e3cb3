"""Hostile but realistic use: each case runs in a child process of its own with a
time limit, so that a crash (death by a signal) or a hang (the limit) is observed
rather than suffered. A child prints one line per check; the test compares them."""
import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

PRELUDE = textwrap.dedent("""
    import copy, copyreg, os, pickle, signal, sys, threading
    import numpy as np
    import zelt_core as z

    def outcome(f):
        try:
            r = f()
        except BaseException as e:  # noqa: B902 - the child reports whatever it was
            return f"{type(e).__name__}: {(str(e).splitlines() or [''])[0]}"
        return "ok"
""")


def run_child(body, timeout=60, threads=2):
    env = dict(os.environ, OMP_NUM_THREADS=str(threads))
    proc = subprocess.run([sys.executable, "-c", PRELUDE + textwrap.dedent(body)], capture_output=True,
                          text=True, timeout=timeout, env=env)
    assert proc.returncode == 0, f"exit {proc.returncode}\n{proc.stdout}\n{proc.stderr}"
    return proc.stdout.splitlines()


# ------------------------------------------------------------- many variables

def test_many_variables_are_refused_without_deep_recursion():
    # Refused by the grid count before any multi-index exists, on the main
    # thread and on a thread with a 256 KiB stack; 62 variables still work there.
    out = run_child("""
        print(outcome(lambda: z.build_penalty_matrices_nd([0] * 230000, [(0.0, 1.0)] * 230000, 2)))
        threading.stack_size(256 * 1024)
        seen = []
        def small_stack():
            seen.append(outcome(lambda: z.build_penalty_matrices_nd([0] * 7000, [(0.0, 1.0)] * 7000, 2)))
            R1, R2, mi = z.build_penalty_matrices_nd([0] * 61 + [1], [(0.0, 1.0)] * 62, 2)
            seen.append(f"{R1.shape} {len(mi)} {len(mi[1])}")
        t = threading.Thread(target=small_stack); t.start(); t.join()
        print(*seen, sep="\\n")
    """)
    assert out[0].startswith("ValueError: grid of n_grid_per_dim^230000 points overflows")
    assert out[1].startswith("ValueError: grid of n_grid_per_dim^7000 points")
    assert out[2] == "(2, 2) 2 62"


# ------------------------------------------------------------ half-made objects

HALF_MADE = {
    "base type called": "z.MCMCResult.__mro__[1]()",
    "protocol-0 reduction": "copyreg._reduce_ex(r, 0)",
    "result __new__ alone": "z.MCMCResult.__new__(z.MCMCResult)",
    "gibbs __new__ alone": "z.GibbsResult.__new__(z.GibbsResult)",
    "engine __new__ alone": "z.TournamentMCMC.__new__(z.TournamentMCMC)",
    "base __new__ for the engine": "z.MCMCResult.__mro__[1].__new__(z.TournamentMCMC)",
    "subclass __new__ alone": "Sub.__new__(Sub)",
    "subclass state None": "pickle.loads(pickle.dumps(NoState()))",
    "result state None": "pickle.loads(pickle.dumps(NoStateResult(), protocol=1))",
}


@pytest.mark.parametrize("name", HALF_MADE)
def test_no_half_made_object_and_no_abort(name):
    out = run_child(f"""
        r = z.TournamentMCMC(3, 5, 5, 2).fit(np.ones((6, 2)), np.arange(6.0))
        class Sub(z.TournamentMCMC):
            pass
        class NoState(z.TournamentMCMC):
            def __getstate__(self):
                return None
        NoStateResult = None  # results cannot be subclassed into existence: use the state hook
        if {name!r} == "result state None":
            class Forged:
                def __reduce__(self):
                    return (copyreg.__newobj__, (z.MCMCResult, r.__reduce__()[1][1], None))
            NoStateResult = Forged
        print(outcome(lambda: {HALF_MADE[name]}))
    """)
    assert out[0].split(":")[0] in ("TypeError", "ValueError"), out


def test_pickles_and_calls_still_make_whole_objects():
    out = run_child("""
        class Labelled(z.TournamentMCMC):
            def __init__(self, label, **settings):
                super().__init__(**settings)
                self.label = label
        e = Labelled("a", n_chains=4, seed=9)
        r = e.fit(np.ones((6, 2)), np.arange(6.0))
        for proto in range(pickle.HIGHEST_PROTOCOL + 1):
            back = pickle.loads(pickle.dumps(e, protocol=proto))
            assert type(back) is Labelled and back == e, proto
            rb = pickle.loads(pickle.dumps(r, protocol=proto))
            assert rb.energy == r.energy and rb.beta_mcmc.tobytes() == r.beta_mcmc.tobytes()
        print(outcome(lambda: z.TournamentMCMC(2.5)))
        print(outcome(lambda: z.MCMCResult()))
        for f in (copy.copy, copy.deepcopy):
            c = f(e)
            print(type(c).__name__, c.label, c == e)
    """)
    assert out[0].startswith("TypeError") and out[1].startswith("TypeError")
    assert out[2:] == ["Labelled a True"] * 2


# ----------------------------------------------------------------- hangs

def test_import_in_a_sub_interpreter_is_refused_at_once():
    out = run_child("""
        try:
            import _xxsubinterpreters as interpreters
        except ImportError:  # CPython 3.13: renamed, and it returns the error instead of raising it
            import _interpreters as interpreters
        sub = interpreters.create()
        def run():
            err = interpreters.run_string(sub, "import zelt_core")
            if err is not None:
                raise ImportError(err.msg)
        print(outcome(run))
        print(z.mad([1.0, 2.0, 4.0]))
    """, timeout=30)
    # CPython 3.12 and later refuse it themselves in an isolated sub-interpreter
    # (their default), before the module's own check
    own = "does not support sub-interpreters"
    assert "ImportError" in out[0] and (own in out[0] if sys.version_info < (3, 12)
                                        else "does not support loading in subinterpreters" in out[0]), out
    assert out[1] == "1.0"


def test_fork_from_a_signal_handler_during_a_team_loop_does_not_hang():
    # The child that returns from the handler into the fit cannot finish it
    # (the team's other threads are not in it): it exits with status 70 and a
    # message; the parent's fit completes as usual.
    out = run_child("""
        rng = np.random.default_rng(1)
        X = rng.normal(size=(100_000, 4)); y = X @ np.array([1.0, 2.0, 3.0, 4.0])
        forked = []
        def handler(signum, frame):
            if not forked:
                forked.append(os.fork())
        signal.signal(signal.SIGALRM, handler)
        signal.setitimer(signal.ITIMER_REAL, 0.2)
        r = z.TournamentMCMC(8, 20000, 0, 2).fit(X, y)
        if forked == [0]:
            os._exit(0)  # never reached in the child
        _, status = os.waitpid(forked[0], 0)
        print(os.waitstatus_to_exitcode(status), np.isfinite(r.energy))
    """, timeout=240)
    assert out == ["70 True"]


def test_fork_after_another_librarys_openmp_team_runs_the_search_on_one_thread():
    out = run_child("""
        import ctypes, ctypes.util
        X = np.random.default_rng(0).normal(size=(40, 3)); y = X @ np.array([1.0, 2.0, 3.0])
        before = z.TournamentMCMC(8, 20, 20, 3).fit(X, y)  # (the module's team: not the point here)
        # One parallel region started through GNU OpenMP directly, as another library would.
        gomp = ctypes.CDLL("libgomp.so.1")
        region = ctypes.CFUNCTYPE(None, ctypes.c_void_p)(lambda data: None)
        gomp.GOMP_parallel.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_uint, ctypes.c_uint]
        gomp.GOMP_parallel(ctypes.cast(region, ctypes.c_void_p), None, 2, 0)
        pid = os.fork()
        if pid == 0:
            r = z.TournamentMCMC(8, 20, 20, 3).fit(X, y)
            os._exit(0 if r.energy == before.energy and (r.beta_mcmc == before.beta_mcmc).all() else 3)
        print(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]))
    """, timeout=60)
    assert out == ["0"]


def test_sigint_stops_the_elite_selection_within_a_second():
    code = PRELUDE + textwrap.dedent("""
        signal.signal(signal.SIGINT, signal.default_int_handler)
        X = np.random.default_rng(3).normal(size=(30, 6)); y = X[:, 0]
        print("ready", flush=True)
        try:
            z.TournamentMCMC(n_chains=40000, n_warmup=0, n_deep=0, n_elite=40000).fit(X, y)
            print("finished", flush=True)
        except KeyboardInterrupt:
            print("interrupted", flush=True)
    """)
    proc = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True, env=dict(os.environ, OMP_NUM_THREADS="2"))
    try:
        assert proc.stdout.readline().strip() == "ready"
        time.sleep(1.0)  # the 40000 one-step chains take a few milliseconds: selection is under way
        sent = time.monotonic()
        proc.send_signal(signal.SIGINT)
        line = proc.stdout.readline().strip()
        latency = time.monotonic() - sent
        proc.communicate(timeout=60)
    finally:
        proc.kill()
    assert line == "interrupted" and latency < 1.0


# ------------------------------------------------------ silent wrong answers

def test_overflowing_normal_equations_are_refused_with_what_overflowed():
    out = run_child("""
        print(outcome(lambda: z.fit_regularized_linear(np.array([[1e200], [1e200]]), [1.0, 2.0])))
        t = 1.7e18 + np.arange(50) * 1e9  # nanosecond timestamps
        print(outcome(lambda: z.fit_regularized_linear(z.design_matrix_1d(9, t), np.sin(np.arange(50.0)))))
        print(outcome(lambda: z.fit_regularized_linear(np.array([[1e150], [1e150]]), [1e300, 1e300])))
        # scaled, the same data fit
        s = (t - t.mean()) / (t.max() - t.min()) * 2
        print(np.isfinite(z.fit_regularized_linear(z.design_matrix_1d(9, s), np.sin(np.arange(50.0)))).all())
    """)
    assert out[0].startswith("ValueError: fit_regularized_linear: Phi'Phi") and "scale the columns" in out[0]
    assert out[1].startswith("ValueError: fit_regularized_linear: Phi'Phi")
    assert out[2].startswith("ValueError: fit_regularized_linear: Phi'y overflows")
    assert out[3] == "True"


CALLS = {
    "mad": "z.mad(A)",
    "ols X": "z.ols(A, np.ones(3))",
    "fit R1": "z.fit_regularized_linear(np.ones((3, 1)), np.ones(3), A, None, 1.0)",
    "design_nd column": "z.design_matrix_nd([[1]], [A])",
    "engine fit": "z.TournamentMCMC(2, 2, 2, 1).fit(A, np.ones(3))",
}


@pytest.mark.parametrize("exc", ["OSError", "KeyboardInterrupt", "MemoryError"])
@pytest.mark.parametrize("call", CALLS)
def test_exception_raised_while_converting_propagates_unchanged(call, exc):
    out = run_child(f"""
        class Lazy:
            def __array__(self, dtype=None, copy=None):
                raise {exc}("from the array itself")
        A = Lazy()
        print(outcome(lambda: {CALLS[call]}))
        def items():
            yield 1
            raise {exc}("from the generator")
        print(outcome(lambda: z.build_penalty_matrices_nd(items(), [(0.0, 1.0)])))
    """)
    assert out == [f"{exc}: from the array itself", f"{exc}: from the generator"]


REFUSED = {
    "complex": "np.array([[1 + 1j], [2 - 1j], [3.0]])",
    "strings": "[['1'], ['2'], ['30']]",
    "bytes": "np.array([[b'1'], [b'2'], [b'3']])",
    "datetime": "np.array(['2020-01-01', '2020-01-05', '2020-02-01'], dtype='datetime64[D]')",
    "timedelta": "np.array([1, 2, 30], dtype='timedelta64[s]')",
}


@pytest.mark.parametrize("kind", REFUSED)
def test_non_real_data_is_refused_with_the_standard_type_error(kind):
    out = run_child(f"""
        A = {REFUSED[kind]}
        for call in {list(CALLS.values())!r}:
            print(outcome(lambda: eval(call)).split("(")[0])
    """)
    # An optional matrix that does not convert keeps its RuntimeError (the cast message).
    assert out[:2] == ["TypeError: mad", "TypeError: ols"] and out[3:] == ["TypeError: design_matrix_nd", "TypeError: fit"]
    assert out[2].startswith("RuntimeError: Unable to cast Python instance of type ") and "for R1" in out[2]


def test_real_dtypes_convert_as_float64_does():
    out = run_child("""
        rng = np.random.default_rng(4)
        X = rng.integers(-5, 6, size=(30, 3)); y = rng.integers(0, 9, size=30)
        ref = (z.mad(y.astype(float)), z.ols(X.astype(float), y.astype(float)).tobytes())
        for cast in (np.int8, np.int64, np.uint16, np.float32, object, list):
            Xc = X.astype(cast) if cast is not list else X.tolist()
            yc = y.astype(cast) if cast is not list else y.tolist()
            if cast is np.uint16:
                Xc = np.abs(X).astype(np.uint16); ref_u = z.ols(np.abs(X).astype(float), y.astype(float)).tobytes()
            got = (z.mad(yc), z.ols(Xc, yc).tobytes())
            print(got == (ref if cast is not np.uint16 else (ref[0], ref_u)))
        print(z.mad(np.array([True, False, True])) == z.mad([1.0, 0.0, 1.0]))
    """)
    assert out == ["True"] * 7


# ------------------------------------------------------------ messages

def test_messages_a_user_can_act_on():
    out = run_child("""
        class Liar(list):
            def __len__(self):
                return 2**62
        print(z.build_penalty_matrices_nd(Liar([1, 1]), Liar([(0.0, 1.0), (0.0, 1.0)]), 3)[2])
        print(z.design_matrix_nd(Liar([[1]]), Liar([np.arange(3.0)])).ravel().tolist())
        print(outcome(lambda: z.fit_regularized_linear(np.ones((3, 1)), np.ones(3), None, "abc", 0.0, 1.0)))
        print(outcome(lambda: z.TournamentMCMC().fit(np.ones((3, 1)), np.ones(3), {"a": 1})))
    """)
    assert out[0] == "[[0, 0], [0, 1], [1, 0], [1, 1]]"
    assert out[1] == "[0.0, 1.0, 2.0]"
    assert out[2].startswith("RuntimeError: Unable to cast Python instance of type <class 'str'>")
    assert "for R2" in out[2] and "'?'" not in out[2]
    assert out[3].startswith("RuntimeError: Unable to cast Python instance of type <class 'dict'>")
    assert "for R1" in out[3]
