"""Side-by-side timing: zelt_core against the NumPy/SciPy way, in one run.

Each benchmark module ``bench_*.py`` defines ``workloads(quick)`` returning a list
of ``Workload``, and may define ``report(quick)`` returning extra Markdown that
run.py prints after the table.  Both callables of a workload are timed
alternately, so a noisy moment of the shared machine hits both; the table
reports medians and ratios (speed-up = other time / zelt_core time).
"""
from __future__ import annotations

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


@dataclass
class Row:
    name: str
    ours_s: float
    theirs_s: Optional[float]
    theirs_label: str
    note: str = ""
    why_slower: str = ""

    @property
    def speedup(self) -> Optional[float]:
        return None if self.theirs_s is None else self.theirs_s / self.ours_s


def _once(fn: Callable[[], object]) -> float:
    t0 = time.perf_counter()
    fn()
    return time.perf_counter() - t0


def measure(w: Workload, repeat: int = 7, min_time: float = 0.02) -> Row:
    """Median time per call, calls batched so that one sample lasts >= min_time."""
    w.ours()
    if w.theirs is not None:
        w.theirs()
    calls = max(1, int(min_time / max(_once(w.ours), 1e-9)))
    calls_t = 1
    if w.theirs is not None:
        calls_t = max(1, int(min_time / max(_once(w.theirs), 1e-9)))
    ours, theirs = [], []
    for _ in range(repeat):
        ours.append(sum(_once(w.ours) for _ in range(calls)) / calls)
        if w.theirs is not None:
            theirs.append(sum(_once(w.theirs) for _ in range(calls_t)) / calls_t)
    return Row(
        w.name,
        statistics.median(ours),
        statistics.median(theirs) if theirs else None,
        w.theirs_label,
        w.note,
        w.why_slower,
    )


def fmt_time(s: Optional[float]) -> str:
    if s is None:
        return "-"
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("us", 1e-6)):
        if s >= scale:
            return f"{s / scale:.3g} {unit}"
    return f"{s / 1e-9:.3g} ns"


def table(rows: List[Row]) -> str:
    head = "| workload | zelt_core | other | other time | speed-up | note |\n|---|---|---|---|---|---|"
    lines = [head]
    for r in rows:
        sp = "-" if r.speedup is None else f"{r.speedup:.3g}x"
        note = r.note
        if r.speedup is not None and r.speedup < 1.0 and r.why_slower:
            note = f"{note}; slower: {r.why_slower}" if note else f"slower: {r.why_slower}"
        lines.append(
            f"| {r.name} | {fmt_time(r.ours_s)} | {r.theirs_label} | {fmt_time(r.theirs_s)} | {sp} | {note} |"
        )
    return "\n".join(lines)
