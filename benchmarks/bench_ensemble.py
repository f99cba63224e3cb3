"""Tournament search and Gibbs entropy.

Workloads (side by side, see harness.py):
- ``gibbs_entropy`` on 1e4 energies against the same formulas in NumPy;
- ``TournamentMCMC().fit`` (default settings) on n = 60, k = 4 and n = 1000, k = 8
  against a NumPy implementation of the same search whose chains are stepped
  together as matrix products (own random stream, so equal in cost, not in bits).

``report()`` adds two tables:
- the floor: ``fit`` time at one OpenMP thread against its number of energy
  evaluations times the cost of one bare matrix-vector product plus tolerance
  count on the same data, timed in C++ by ``floor_energy`` (CMake target of
  the module's own library and flags, see floor_energy.cpp) in two forms:
  Eigen's product followed by the count, and the fused product-and-count
  kernel that the search itself uses;
- the speed-up from 1 to 2 OpenMP threads of the whole search and of its
  chain phase alone (fits without refinement), each the median of several
  runs in fresh processes (OMP_NUM_THREADS), the runs of the team sizes
  interleaved, because the machine is shared; 2 threads once with the
  runtime's default (spinning) wait at the end of a loop and once with
  OMP_WAIT_POLICY=passive, which behaves far better while another process
  holds one of the two cores.

    python benchmarks/bench_ensemble.py [--quick]   # the two report tables alone
"""
from __future__ import annotations

import os
import pathlib
import shutil
import statistics
import struct
import subprocess
import sys

import numpy as np

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent
BUILD = ROOT / "build" / "release"
sys.path.insert(0, str(HERE))

import zelt_core as zc  # noqa: E402
from harness import Workload  # noqa: E402

# OpenBLAS threads spin for a while after each product; in this process
# (and the fit processes it starts, which inherit it) they would take the
# second core from the chain phase. The NumPy search takes the same time
# with one BLAS thread, its products being small (checked side by side).
ENV = {"OPENBLAS_NUM_THREADS": "1"}

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


# ------------------------------------------------------------------ floor
def floor_binary():
    """The floor_energy helper of the release build tree, built if missing or stale."""
    exe = BUILD / "floor_energy"
    sources = [HERE / "floor_energy.cpp"] + [ROOT / "_native" / f for f in ("stats.cpp", "stats.hpp", "kernels.cpp", "kernels.hpp")]
    if exe.exists() and exe.stat().st_mtime >= max(p.stat().st_mtime for p in sources):
        return exe
    cmake = pathlib.Path(sys.executable).with_name("cmake")
    cmake = str(cmake) if cmake.exists() else shutil.which("cmake")
    if cmake is None or not (BUILD / "CMakeCache.txt").exists():
        return None
    proc = subprocess.run([cmake, "--build", str(BUILD), "--target", "floor_energy"],
                          capture_output=True, text=True)
    return exe if proc.returncode == 0 and exe.exists() else None


def floor_ns(exe, n, k, reps):
    """(Eigen product + count, fused kernel) ns per evaluation, and bit mismatches."""
    X, y = data(n, k)
    b = np.random.default_rng(1).normal(0.0, 0.5, size=k)
    path = BUILD / f"floor_{n}_{k}.bin"
    with open(path, "wb") as f:
        f.write(struct.pack("<qq", n, k))
        f.write(np.asfortranarray(X).tobytes(order="F"))
        f.write(y.tobytes())
        f.write(b.tobytes())
        f.write(struct.pack("<d", 0.4 * zc.mad(y)))
    out = subprocess.run([str(exe), str(path), str(reps)], capture_output=True, text=True, check=True)
    eigen, fused, mismatches, _ = out.stdout.split()
    return float(eigen), float(fused), int(mismatches)


# ------------------------------------------------------------ fresh processes
def fit_seconds(n, k, settings, threads, repeat, passive=False):
    """Seconds of `repeat` fits (after one warm-up) in a fresh process with the
    given team size (and, if passive, OMP_WAIT_POLICY=passive)."""
    code = (
        "import sys, time; sys.path.insert(0, %r)\n"
        "import zelt_core as zc, bench_ensemble as b\n"
        "X, y = b.data(%d, %d); eng = zc.TournamentMCMC(**%r); eng.fit(X, y)\n"
        "for _ in range(%d):\n"
        "    t0 = time.perf_counter(); eng.fit(X, y); print(time.perf_counter() - t0)\n"
        % (str(HERE), n, k, settings, repeat)
    )
    env = dict(os.environ, OMP_NUM_THREADS=str(threads))
    if passive:
        env["OMP_WAIT_POLICY"] = "passive"
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, check=True)
    return [float(v) for v in out.stdout.split()]


def interleaved_medians(n, k, settings, teams, rounds, repeat):
    """Median fit time per team, a team being (threads, passive); the
    processes of the teams take turns, so a busy moment hits all of them."""
    samples = {t: [] for t in teams}
    for _ in range(rounds):
        for t in teams:
            samples[t] += fit_seconds(n, k, settings, t[0], repeat, t[1])
    return {t: statistics.median(v) for t, v in samples.items()}


def report(quick=False):
    settings = dict(DEFAULTS)
    if quick:
        settings.update(n_warmup=20, n_deep=100)
    # Many short rounds rather than a few long ones: on the shared machine a
    # busy spell then shows in a few samples instead of a whole team's median.
    rounds, repeat = (1, 1) if quick else (7, 3)
    exe = floor_binary()
    floor_rows = [
        "| data | evaluations | fit, 1 thread | per evaluation | floor: Eigen X*b + count | "
        "floor: fused product-count | fit / floor (Eigen) | fit / floor (fused) | fused = Eigen bits |",
        "|---|---|---|---|---|---|---|---|---|",
    ]
    thread_rows = ["| data | run | 1 thread | 2 threads | speed-up | 2 threads, passive wait | speed-up |",
                   "|---|---|---|---|---|---|---|"]
    for n, k in SIZES:
        evals = n_evaluations(settings)
        # Fits and floor take turns too, so that their ratio compares like with like.
        fits, eig, fus, bad = [], [], [], 0
        for _ in range(rounds):
            fits += fit_seconds(n, k, settings, 1, repeat)
            if exe is not None:
                e, f, b = floor_ns(exe, n, k, 1000 if quick else max(2000, 4_000_000 // (n * k)))
                eig.append(e)
                fus.append(f)
                bad += b
        t1 = statistics.median(fits)
        per = t1 / evals * 1e9
        if exe is not None:
            e, f = statistics.median(eig), statistics.median(fus)
            floor_rows.append(
                f"| n={n}, k={k} | {evals} | {t1 * 1e3:.3g} ms | {per:.0f} ns | {e:.0f} ns | {f:.0f} ns | "
                f"{per / e:.2f}x | {per / f:.2f}x | {'yes' if bad == 0 else f'NO ({bad} differ)'} |"
            )
        else:
            floor_rows.append(f"| n={n}, k={k} | {evals} | {t1 * 1e3:.3g} ms | {per:.0f} ns | "
                              "no floor_energy (build tree missing) | - | - | - | - |")
        one, two, two_p = (1, False), (2, False), (2, True)
        for run, run_settings in (("whole search", settings), ("chain phase", dict(settings, n_deep=0))):
            med = interleaved_medians(n, k, run_settings, [one, two, two_p], rounds, repeat)
            thread_rows.append(
                f"| n={n}, k={k} | {run} | {med[one] * 1e3:.3g} ms | {med[two] * 1e3:.3g} ms "
                f"| {med[one] / med[two]:.2f}x | {med[two_p] * 1e3:.3g} ms | {med[one] / med[two_p]:.2f}x |"
            )
    runs = rounds * repeat
    return "\n".join(
        [f"TournamentMCMC.fit against the floor (one OpenMP thread; medians of {runs} fits and of "
         f"{rounds} floor runs taken in turns with them; default settings"
         + (", quick sizes" if quick else "") + "):", ""]
        + floor_rows
        + ["", f"Whole search and chain phase alone (n_deep=0) from 1 to 2 OpenMP threads, in fresh processes "
               f"(medians of {runs} fits each, interleaved; 'passive wait' is OMP_WAIT_POLICY=passive):", ""]
        + thread_rows
    )


# ------------------------------------------------------------------ workloads
def workloads(quick: bool):
    E = np.random.default_rng(3).normal(100.0, 5.0, size=1000 if quick else 10_000)
    out = [
        Workload(
            f"gibbs_entropy, {E.size} energies",
            lambda: zc.gibbs_entropy(E),
            lambda: numpy_gibbs(E),
            why_slower="an exp and a log per energy through the C library, one at a time; NumPy runs both "
                 "in its SIMD loops. Faster ones would change the reheat temperature of the search "
                 "in the last bits, and with it the search's results",
        ),
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
                note=f"{n_evaluations(settings)} evaluations; OpenBLAS at one thread in this module's run "
                     "(see ENV)",
                team=True,
            )
        )
    return out


if __name__ == "__main__":
    if any(os.environ.get(key) != value for key, value in ENV.items()):
        # run.py gives every module its ENV; run alone, start again with it
        os.execve(sys.executable, [sys.executable] + sys.argv, dict(os.environ, **ENV))
    print(report("--quick" in sys.argv))
