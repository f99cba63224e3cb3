"""The compiled pass of the refit: robust_polyfit against numpy's least-squares
Polynomial.fit, the compiled pass against the NumPy pass, 1 against 2 threads,
and each pass against its physical floor.

    python benchmarks/bench_compiled.py [--quick] [--sizes 1e6,1e7] [--repeat 5]

Data: a cubic on x in [-1, 1], noise sd 0.05, 20 % two-sided gross outliers
(bench_large's). Times are medians, the methods in turns in one process
(compare ratios: the machine is shared). The NumPy pass is the tests'
reference (ZELT_FIT_PASS=numpy). The thread counts run in child processes
with OMP_NUM_THREADS set. The floor of a pass is the bytes it must read (x and
y as float64, the previous pass's kept-row mask) and write (this pass's mask)
over the memory bandwidth measured here: the best of a few sums of a 400 MB
array (80 MB with --quick). One fit at n = 100, degree 2, is timed too, with
its kernel call alone (the same arguments) and the Python around it.
"""
from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import textwrap
import time
from typing import Callable, Dict, List, Sequence

ENV = {"OPENBLAS_NUM_THREADS": "1", "OMP_WAIT_POLICY": "passive"}
for _key, _value in ENV.items():
    os.environ.setdefault(_key, _value)

import numpy as np  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from bench_large import data  # noqa: E402

from zelt_fit import _compiled, _problem, robust_polyfit  # noqa: E402
from zelt_fit._passes import Evaluation  # noqa: E402
from zelt_fit._terms import polynomial_terms  # noqa: E402


def fmt(s: float) -> str:
    return f"{s * 1e6:.3g} us" if s < 1e-3 else f"{s * 1e3:.3g} ms" if s < 1 else f"{s:.3g} s"


def bandwidth(mb: int, repeat: int = 5) -> float:
    """Bytes per second of the best of `repeat` sums of an array of `mb` megabytes."""
    a = np.ones(mb * 2 ** 20 // 8)
    best = np.inf
    for _ in range(repeat):
        t0 = time.perf_counter()
        a.sum()
        best = min(best, time.perf_counter() - t0)
    return a.nbytes / best


def in_turns(fns: Dict[str, Callable[[], object]], repeat: int) -> Dict[str, float]:
    """Median time of each callable, called in rotating order."""
    names = list(fns)
    times: Dict[str, List[float]] = {k: [] for k in names}
    for i in range(repeat):
        for j in range(len(names)):
            name = names[(i + j) % len(names)]
            t0 = time.perf_counter()
            fns[name]()
            times[name].append(time.perf_counter() - t0)
    return {k: float(np.median(v)) for k, v in times.items()}


def with_pass(kind: str, fn: Callable[[], object]) -> Callable[[], object]:
    def run():
        old = os.environ.get("ZELT_FIT_PASS")
        os.environ["ZELT_FIT_PASS"] = kind
        try:
            return fn()
        finally:
            if old is None:
                del os.environ["ZELT_FIT_PASS"]
            else:
                os.environ["ZELT_FIT_PASS"] = old
    return run


def pass_setup(n: int):
    """A cubic problem of n points, its scaling from a fit, and a cut and an M-step evaluation."""
    x, y = data(n)
    fit = robust_polyfit(x[:20000], y[:20000], 3)
    terms = polynomial_terms(1, 3)
    coef = np.asarray(fit.coef_scaled, dtype=np.float64)
    cut = Evaluation(coef, 4.0 * fit.scale / fit.scaling.y_scale)
    mm = Evaluation(coef, cut.cut, None, bisquare=cut.cut, tuning=4.685)
    return x[:, None], y, terms, fit.scaling, cut, mm


def floor_bytes(n: int) -> int:
    """Bytes one round must move: x and y read, the previous mask read, this one written."""
    return n * (8 + 8 + 1 + 1)


def fit_rows(n: int, repeat: int, bw: float, rounds_of: Dict[str, int]) -> List[str]:
    x, y = data(n)
    from numpy.polynomial import Polynomial
    fits = {"robust_polyfit (compiled pass)": with_pass("compiled", lambda: rounds_of.__setitem__(
                "compiled", robust_polyfit(x, y, 3).rounds)),
            "robust_polyfit (NumPy pass)": with_pass("numpy", lambda: robust_polyfit(x, y, 3)),
            "Polynomial.fit": lambda: Polynomial.fit(x, y, 3)}
    t = in_turns(fits, repeat)
    ls = t["Polynomial.fit"]
    rounds = rounds_of["compiled"]
    floor = rounds * floor_bytes(n) / bw
    return [f"| {n:.0e} | {fmt(t['robust_polyfit (compiled pass)'])} | {fmt(t['robust_polyfit (NumPy pass)'])} | "
            f"{fmt(ls)} | {t['robust_polyfit (compiled pass)'] / ls:.2f}x | "
            f"{t['robust_polyfit (NumPy pass)'] / ls:.2f}x | {rounds} | {fmt(floor)} |"]


def pass_rows(n: int, repeat: int, bw: float) -> List[str]:
    X, y, terms, scaling, cut, mm = pass_setup(n)
    reference = _problem.ArrayProblem(X, y, terms, scaling, compiled=False)
    compiled = _problem.ArrayProblem(X, y, terms, scaling, compiled=True)
    floor = floor_bytes(n) / bw
    out = []
    for label, ev in (("cut round", cut), ("M-step round", mm)):
        t = in_turns({"compiled": lambda: compiled(ev, previous=ev), "numpy": lambda: reference(ev, previous=ev)},
                     repeat)
        out.append(f"| {n:.0e} | {label} | {fmt(t['compiled'])} | {fmt(t['numpy'])} | "
                   f"{t['numpy'] / t['compiled']:.1f}x | {fmt(floor)} | {t['compiled'] / floor:.1f}x |")
    return out


THREADS = textwrap.dedent("""
    import json, sys, time
    import numpy as np
    sys.path.insert(0, {here!r})
    from bench_compiled import in_turns, pass_setup
    from bench_large import data
    from zelt_fit import _problem, robust_polyfit
    n, repeat = {n}, {repeat}
    X, y, terms, scaling, cut, mm = pass_setup(n)
    prob = _problem.ArrayProblem(X, y, terms, scaling, compiled=True)
    x = X[:, 0]
    t = in_turns({{"fit": lambda: robust_polyfit(x, y, 3), "pass": lambda: prob(mm)}}, repeat)
    print(json.dumps(t))
""")


def thread_rows(n: int, repeat: int) -> List[str]:
    t = {}
    for threads in ("1", "2"):
        env = dict(os.environ, OMP_NUM_THREADS=threads, ZELT_FIT_PASS="compiled")
        out = subprocess.run([sys.executable, "-c", THREADS.format(here=HERE, n=n, repeat=repeat)],
                             capture_output=True, text=True, check=True, env=env)
        t[threads] = json.loads(out.stdout.strip().splitlines()[-1])
    return [f"| {n:.0e} | {what} | {fmt(t['1'][key])} | {fmt(t['2'][key])} | {t['1'][key] / t['2'][key]:.2f}x |"
            for what, key in (("robust_polyfit", "fit"), ("one M-step pass", "pass"))]


def kernel_args(fit: Callable[[], object]) -> tuple:
    """The arguments of the one `_kernel.fit_series` call that `fit` makes."""
    seen: List[tuple] = []
    kernel = _compiled._kernel

    class Recorder:
        def __getattr__(self, name: str) -> object:
            return getattr(kernel, name)

        def fit_series(self, *args: object) -> object:
            seen.append(args)
            return kernel.fit_series(*args)

    _compiled._kernel = Recorder()
    try:
        fit()
    finally:
        _compiled._kernel = kernel
    assert len(seen) == 1, f"expected one kernel call, saw {len(seen)}"
    return seen[0]


def small_fit_row(repeat: int) -> str:
    """One fit at n = 100, degree 2, against Polynomial.fit; and its split: the
    kernel call alone (`_kernel.fit_series` on the arguments the fit passes
    it, the search, starts, rounds and covariance) and the Python around it
    (the fit's time less that)."""
    from numpy.polynomial import Polynomial
    rng = np.random.default_rng(1)
    x = rng.uniform(-1, 1, 100)
    y = 1 + x - 0.5 * x * x + rng.normal(0, 0.05, 100)
    y[::7] += 3.0
    args = with_pass("compiled", lambda: kernel_args(lambda: robust_polyfit(x, y, 2)))()

    def batch(fn, k):
        def run():
            for _ in range(k):
                fn()
        return run
    k = 20
    t = in_turns({"compiled": with_pass("compiled", batch(lambda: robust_polyfit(x, y, 2), k)),
                  "numpy": with_pass("numpy", batch(lambda: robust_polyfit(x, y, 2), k)),
                  "kernel": batch(lambda: _compiled._kernel.fit_series(*args), k),
                  "ls": batch(lambda: Polynomial.fit(x, y, 2), k)}, repeat)
    me, ref, kern, ls = t["compiled"] / k, t["numpy"] / k, t["kernel"] / k, t["ls"] / k
    return (f"One fit at n = 100, degree 2: {fmt(me)} with the compiled pass ({1 / me:.0f} fits/s), "
            f"{fmt(ref)} with the NumPy pass, Polynomial.fit {fmt(ls)}: {me / ls:.1f}x Polynomial.fit. "
            f"Its kernel call alone {fmt(kern)} ({kern / ls:.1f}x Polynomial.fit), the Python around it "
            f"{fmt(me - kern)} ({(me - kern) / ls:.1f}x).")


def run(sizes: Sequence[int], repeat: int, bw_mb: int) -> str:
    bw = bandwidth(bw_mb)
    parts = [f"Memory bandwidth (best sum of a {bw_mb} MB array): {bw / 1e9:.1f} GB/s. A round's floor: "
             "18 bytes a row (x, y, two masks) over that bandwidth.", "",
             "| n | robust_polyfit, compiled pass | robust_polyfit, NumPy pass | Polynomial.fit | ratio, compiled "
             "| ratio, NumPy | rounds | rounds x floor |", "|---|---|---|---|---|---|---|---|"]
    rounds: Dict[str, int] = {}
    for n in sizes:
        parts += fit_rows(n, repeat if n < 10 ** 7 else max(1, repeat // 2), bw, rounds)
        print(f"  done: fits n={n:.0e}", file=sys.stderr)
    parts += ["", "| n | pass | compiled | NumPy | speed-up | floor | compiled / floor |",
              "|---|---|---|---|---|---|---|"]
    for n in sizes:
        parts += pass_rows(n, repeat, bw)
    parts += ["", "| n | work | 1 thread | 2 threads | speed-up |", "|---|---|---|---|---|"]
    parts += thread_rows(sizes[0], repeat)
    parts += ["", small_fit_row(repeat)]
    return "\n".join(parts)


def workloads(quick: bool) -> list:
    return []


def report(quick: bool) -> str:
    return run([10_000], 1, 80) if quick else run([1_000_000, 10_000_000], 5, 400)


def main(argv: Sequence[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="n = 1e4, one repeat (a smoke run, not a timing)")
    ap.add_argument("--sizes", default="1e6,1e7", help="comma-separated numbers of points")
    ap.add_argument("--repeat", type=int, default=5)
    args = ap.parse_args(argv)
    if args.quick:
        print(report(True))
        return 0
    print(run([int(float(s)) for s in args.sizes.split(",")], args.repeat, 400))
    return 0


if __name__ == "__main__":
    sys.exit(main())
