"""Robust scale: ``mad`` against the NumPy way, ``np.median`` of the absolute
deviations from ``np.median``.

Both select rather than sort (NumPy's median partitions a copy); ``mad``
copies its input once at the boundary and twice inside (the working buffer
and the copy its first median consumes).
"""
from __future__ import annotations

from typing import List

import numpy as np

import zelt_core
from harness import Workload


# Seen on the benchmark machine: in a fresh process every call of mad on 1e6
# points takes its three 8 MB buffers as new pages (glibc maps them for the
# call and unmaps them after it, as the default thresholds have it), while
# NumPy asks for huge pages for large arrays. In a process whose earlier large
# allocations have raised glibc's thresholds, the same call is about a third
# faster and ahead of NumPy.
WHY_SLOWER = ("fresh pages: the boundary copy and the two buffers that mad's definition prescribes "
              "(3 x 8 MB at 1e6) are mapped and unmapped by glibc on every call in a fresh process; "
              "NumPy uses huge pages for large arrays")


def numpy_mad(y: np.ndarray) -> float:
    return float(np.median(np.abs(y - np.median(y))))


def workloads(quick: bool) -> List[Workload]:
    rng = np.random.default_rng(5)
    out = []
    for n in ((100, 1_000) if quick else (1_000, 1_000_000)):
        y = rng.standard_t(3, size=n)  # heavy tails: where a robust scale is used
        out.append(Workload(f"mad n={n:.0e}", lambda y=y: zelt_core.mad(y), lambda y=y: numpy_mad(y),
                            "numpy.median", why_slower=WHY_SLOWER))
    return out
