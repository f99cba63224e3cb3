"""Tournament search and Gibbs entropy.

Workloads (side by side, see harness.py):
- ``gibbs_entropy`` on 1e4 energies against the same formulas in NumPy;
- ``TournamentMCMC().fit`` (default settings) on n = 60, k = 4 and n = 1000, k = 8
  against a NumPy implementation of the same search whose chains are stepped
  together as matrix products (own random stream, so equal in cost, not in bits).

Besides the table, ``workloads()`` prints the cost of one energy evaluation:
``fit`` time at one OpenMP thread divided by its n_chains*(n_warmup+1) +
elite*n_deep evaluations, next to the floor of one bare matrix-vector product
plus count on the same data, timed by ``floor_energy.cpp`` compiled with the
extension's own compiler and flags (read from the build tree), and the 1-vs-2
thread speed-up of the chain phase. Timings run in subprocesses because the
OpenMP team size is fixed when the runtime loads.

    python benchmarks/bench_ensemble.py [--quick]   # the per-evaluation report alone
"""
from __future__ import annotations

import os
import pathlib
import re
import shlex
import statistics
import struct
import subprocess
import sys
import time

import numpy as np

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent
BUILD = ROOT / "build" / "release"
sys.path.insert(0, str(HERE))

import zelt_core as zc  # noqa: E402
from harness import Workload  # noqa: E402

DEFAULTS = dict(n_chains=25, n_warmup=200, n_deep=2000, n_elite=5, step_size=0.05, H_piH=20, seed=42)
SIZES = ((60, 4), (1000, 8))


def data(n, k, seed=0):
    rng = np.random.default_rng(seed)
    X = rng.normal(size=(n, k))
    y = X @ rng.normal(size=k) + 0.1 * rng.normal(size=n)
    return X, y


def n_evaluations(s):
    elite = min(max(s["n_elite"], 1), s["n_chains"])  # the fill-up always reaches this size
    return s["n_chains"] * (max(s["n_warmup"], 0) + 1) + elite * max(s["n_deep"], 0)


# ---------------------------------------------------------------- NumPy side
def numpy_gibbs(E, T=1.0):
    w = np.exp(-(E - E.min()) / (T + 1e-300))
    p = w / w.sum()
    H = -np.sum(p * np.log(p + 1e-300))
    Hmax = np.log(max(E.size, 2))
    He = H / (Hmax + 1e-300)
    return H, Hmax, He, 0.01 + 0.99 * He, np.var(E), T


def numpy_tournament(X, y, n_chains=25, n_warmup=200, n_deep=2000, n_elite=5, step_size=0.05,
                     H_piH=20, seed=42):
    """The same search (no penalty), all chains of a phase advanced together."""
    rng = np.random.default_rng(seed)
    n, k = X.shape
    m = np.median(np.abs(y - np.median(y)))
    eps = 0.4 * m if m > 0 else 0.4
    model = (k * np.log(2.0 * H_piH) / n) * k if k > 0 else 0.0
    floor = 1.0 / (2.0 * n)

    def energies(B):  # B: k x chains
        hits = (np.abs(X @ B - y[:, None]) < eps).sum(axis=0)
        return model - n * np.log(np.maximum(hits / n, floor))

    def step(B, E, T, sd):
        Bc = B + rng.normal(0.0, sd, size=B.shape)
        Ec = energies(Bc)
        ratio = np.minimum((E - Ec) / T, 0.0)
        acc = (Ec < E) | (rng.random(E.size) < np.exp(ratio))
        B[:, acc] = Bc[:, acc]
        E[acc] = Ec[acc]

    B = rng.normal(0.0, 0.5, size=(k, n_chains))
    E = energies(B)
    T = 2.0
    for _ in range(n_warmup):
        step(B, E, T, step_size)
        T *= 0.995
    gb = numpy_gibbs(E)

    order = np.argsort(E, kind="quicksort")
    elite = [order[0]]
    for i in order[1:]:
        if len(elite) >= n_elite:
            break
        if all(np.linalg.norm(B[:, i] - B[:, j]) > 0.1 for j in elite):
            elite.append(i)
    pos = len(elite)
    while pos < n_chains and len(elite) < n_elite:
        elite.append(order[pos])
        pos += 1

    # Elite chains advance together: chain ei runs at 0.5 r_heat 0.9997^(ei n_deep + it).
    Be, Ee = B[:, elite].copy(), E[elite].copy()
    Te = 0.5 * gb[3] * 0.9997 ** (np.arange(len(elite)) * n_deep)
    best_e, best_b = Ee[0], Be[:, 0].copy()
    for _ in range(n_deep):
        step(Be, Ee, Te, 0.3 * step_size)
        j = int(np.argmin(Ee))
        if Ee[j] < best_e:
            best_e, best_b = Ee[j], Be[:, j].copy()
        Te *= 0.9997
    return best_b, best_e, gb


# ------------------------------------------------------- per-evaluation report
def _fit_seconds(n, k, settings, threads, repeat):
    """Median seconds of one fit in a fresh process with the given team size."""
    code = (
        "import sys, time, statistics; sys.path.insert(0, %r)\n"
        "import zelt_core as zc, bench_ensemble as b\n"
        "X, y = b.data(%d, %d); eng = zc.TournamentMCMC(**%r); eng.fit(X, y)\n"
        "ts = []\n"
        "for _ in range(%d):\n"
        "    t0 = time.perf_counter(); eng.fit(X, y); ts.append(time.perf_counter() - t0)\n"
        "print(statistics.median(ts))\n" % (str(HERE), n, k, settings, repeat)
    )
    env = dict(os.environ, OMP_NUM_THREADS=str(threads))
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, check=True)
    return float(out.stdout.strip())


def _module_flags():
    """Compiler and flags of the extension's computational sources, from the build tree."""
    ninja = BUILD / "build.ninja"
    cache = BUILD / "CMakeCache.txt"
    if not (ninja.exists() and cache.exists()):
        return None
    text = ninja.read_text()
    block = re.search(r"^build \S*ensemble\.cpp\.o:.*?\n((?:  .*\n)+)", text, re.M)
    cxx = re.search(r"^CMAKE_CXX_COMPILER:\w+=(.*)$", cache.read_text(), re.M)
    if not block or not cxx:
        return None
    fields = dict(re.findall(r"^  (\w+) = (.*)$", block.group(1), re.M))
    return [cxx.group(1)] + shlex.split(fields.get("DEFINES", "")) + shlex.split(fields.get("FLAGS", "")) + \
        shlex.split(fields.get("INCLUDES", ""))


def _floor_binary():
    cmd = _module_flags()
    if cmd is None:
        return None
    exe = BUILD / "bench" / "floor_energy"
    src = HERE / "floor_energy.cpp"
    if not exe.exists() or exe.stat().st_mtime < src.stat().st_mtime:
        exe.parent.mkdir(parents=True, exist_ok=True)
        subprocess.run(cmd + [str(src), "-o", str(exe)], check=True)
    return exe


def _floor_ns(exe, n, k, reps):
    X, y = data(n, k)
    b = np.random.default_rng(1).normal(0.0, 0.5, size=k)
    path = BUILD / "bench" / f"floor_{n}_{k}.bin"
    with open(path, "wb") as f:
        f.write(struct.pack("<qq", n, k))
        f.write(np.asfortranarray(X).tobytes(order="F"))
        f.write(y.tobytes())
        f.write(b.tobytes())
        f.write(struct.pack("<d", 0.4 * zc.mad(y)))
    out = subprocess.run([str(exe), str(path), str(reps)], capture_output=True, text=True, check=True)
    return float(out.stdout.split()[0])


def per_evaluation_report(quick=False):
    settings = dict(DEFAULTS)
    if quick:
        settings.update(n_warmup=20, n_deep=100)
    repeat = 1 if quick else 7
    exe = _floor_binary()
    lines = ["| data | fit, 1 thread | evaluations | per evaluation | floor (X*b + count) | ratio |"
             " chain phase 1 -> 2 threads |", "|---|---|---|---|---|---|---|"]
    for n, k in SIZES:
        evals = n_evaluations(settings)
        t1 = _fit_seconds(n, k, settings, 1, repeat)
        per = t1 / evals * 1e9
        floor = _floor_ns(exe, n, k, 2000 if quick else max(20000, 20_000_000 // (n * k))) if exe else None
        chain = dict(settings, n_deep=0)
        c1 = _fit_seconds(n, k, chain, 1, repeat)
        c2 = _fit_seconds(n, k, chain, 2, repeat)
        lines.append(
            f"| n={n}, k={k} | {t1 * 1e3:.3g} ms | {evals} | {per:.0f} ns | "
            + (f"{floor:.0f} ns | {per / floor:.2f}x" if floor else "no build tree | -")
            + f" | {c1 * 1e3:.3g} ms -> {c2 * 1e3:.3g} ms ({c1 / c2:.2f}x) |"
        )
    print("Energy evaluation cost of TournamentMCMC.fit (medians of %d runs)" % repeat)
    print("\n".join(lines))
    return lines


# ------------------------------------------------------------------ workloads
def workloads(quick: bool):
    per_evaluation_report(quick)
    E = np.random.default_rng(3).normal(100.0, 5.0, size=1000 if quick else 10_000)
    out = [
        Workload(f"gibbs_entropy, {E.size} energies", lambda: zc.gibbs_entropy(E), lambda: numpy_gibbs(E)),
    ]
    settings = dict(DEFAULTS)
    if quick:
        settings.update(n_warmup=20, n_deep=100)
    for n, k in SIZES:
        X, y = data(n, k)
        eng = zc.TournamentMCMC(**settings)
        out.append(
            Workload(
                f"TournamentMCMC.fit n={n} k={k}",
                lambda eng=eng, X=X, y=y: eng.fit(X, y),
                lambda X=X, y=y: numpy_tournament(X, y, **settings),
                theirs_label="numpy, chains batched",
                note=f"{n_evaluations(settings)} evaluations, default OpenMP team",
            )
        )
    return out


if __name__ == "__main__":
    per_evaluation_report("--quick" in sys.argv)
