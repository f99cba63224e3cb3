"""Side-by-side timing: zelt_core against the NumPy/SciPy way, in one run.

Each benchmark module ``bench_*.py`` defines ``workloads(quick)`` returning a list
of ``Workload``, and may define ``report(quick)`` returning extra Markdown that
run.py prints after the table.  Both callables of a workload are timed
alternately, so a noisy moment of the shared machine hits both; the table
reports medians and ratios (speed-up = other time / zelt_core time).
A workload on the OpenMP team (``team=True``) is timed at one thread and at
the runtime's full team in turns, so that the table shows its scaling.
"""
from __future__ import annotations

import ctypes
import statistics
import time
from dataclasses import dataclass
from typing import Callable, List, Optional


@dataclass
class Workload:
    name: str
    ours: Callable[[], object]
    theirs: Optional[Callable[[], object]] = None
    theirs_label: str = "numpy"
    note: str = ""
    why_slower: str = ""  # printed only when zelt_core is the slower of the two
    team: bool = False    # runs on the OpenMP team: timed at 1 thread and at the full team


@dataclass
class Row:
    name: str
    ours_s: float
    theirs_s: Optional[float]
    theirs_label: str
    note: str = ""
    why_slower: str = ""
    ours_1t_s: Optional[float] = None  # at one OpenMP thread (team workloads)
    threads: Optional[int] = None      # the full team ours_s was timed with

    @property
    def speedup(self) -> Optional[float]:
        return None if self.theirs_s is None else self.theirs_s / self.ours_s


def _once(fn: Callable[[], object]) -> float:
    t0 = time.perf_counter()
    fn()
    return time.perf_counter() - t0


def openmp_runtime():
    """GNU OpenMP as the module loaded it (same soname, same team settings), or None."""
    try:
        lib = ctypes.CDLL("libgomp.so.1")
    except OSError:
        return None
    lib.omp_set_num_threads.argtypes = [ctypes.c_int]
    return lib


def measure(w: Workload, repeat: int = 7, min_time: float = 0.02) -> Row:
    """Median time per call, calls batched so that one sample lasts >= min_time;
    a team workload also at one thread, the team sizes taking turns."""
    omp = openmp_runtime() if w.team else None
    full = omp.omp_get_max_threads() if omp is not None else None

    def team(size):
        if omp is not None:
            omp.omp_set_num_threads(size)

    w.ours()
    if w.theirs is not None:
        w.theirs()
    calls = max(1, int(min_time / max(_once(w.ours), 1e-9)))
    calls_t = 1
    if w.theirs is not None:
        calls_t = max(1, int(min_time / max(_once(w.theirs), 1e-9)))
    ours, ours_1t, theirs = [], [], []
    try:
        for _ in range(repeat):
            if omp is not None:
                team(1)
                w.ours()  # the first call at a new team size pays for the change
                ours_1t.append(sum(_once(w.ours) for _ in range(calls)) / calls)
                team(full)
                w.ours()
            ours.append(sum(_once(w.ours) for _ in range(calls)) / calls)
            if w.theirs is not None:
                theirs.append(sum(_once(w.theirs) for _ in range(calls_t)) / calls_t)
    finally:
        team(full)
    return Row(
        w.name,
        statistics.median(ours),
        statistics.median(theirs) if theirs else None,
        w.theirs_label,
        w.note,
        w.why_slower,
        statistics.median(ours_1t) if ours_1t else None,
        full,
    )


def fmt_time(s: Optional[float]) -> str:
    if s is None:
        return "-"
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("us", 1e-6)):
        if s >= scale:
            return f"{s / scale:.3g} {unit}"
    return f"{s / 1e-9:.3g} ns"


def table(rows: List[Row], full_team: int) -> str:
    """Team workloads show both team sizes and their ratio; the others run on
    one thread, their time in the full-team column."""
    head = (f"| workload | zelt_core, 1 thread | zelt_core, {full_team} threads | other | other time | speed-up "
            "| note |\n|---|---|---|---|---|---|---|")
    lines = [head]
    for r in rows:
        sp = "-" if r.speedup is None else f"{r.speedup:.3g}x"
        note = r.note
        if r.ours_1t_s is not None:
            scaling = f"1 -> {r.threads} threads: {r.ours_1t_s / r.ours_s:.2f}x"
            note = f"{scaling}; {note}" if note else scaling
        if r.speedup is not None and r.speedup < 1.0 and r.why_slower:
            note = f"{note}; slower: {r.why_slower}" if note else f"slower: {r.why_slower}"
        lines.append(
            f"| {r.name} | {fmt_time(r.ours_1t_s)} | {fmt_time(r.ours_s)} | {r.theirs_label} | {fmt_time(r.theirs_s)} "
            f"| {sp} | {note} |"
        )
    return "\n".join(lines)
