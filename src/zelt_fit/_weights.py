"""Case weights of a fit: their checks, the weighted median and MAD that set
the units of the scaled problem, and the search's weighted sample.

A row of weight k counts as k copies of it. Integer weights therefore give
exactly the sample, the units and the sums of the replicated rows; other
weights (inverse variances, say) draw the search's sample in proportion to
weight, so that the search sees the data as the estimate weighs them.
"""
from __future__ import annotations

from typing import Any, Optional

import numpy as np

__all__ = ["check_weights", "as_weights", "weighted_median", "weighted_mad", "is_integral", "unit_rows"]


def as_weights(weights: Any, n: int, name: str = "weights") -> np.ndarray:
    """The weights as a float64 vector of length n (NaN and infinity still in
    it: what a missing value means is the caller's choice)."""
    if hasattr(weights, "dtype") and getattr(weights, "dtype").kind == "b":
        raise ValueError(f"{name} must hold real numbers, got booleans")
    try:
        w = np.asarray(weights, dtype=np.float64)
    except (TypeError, ValueError):
        raise ValueError(f"{name} must be an array of real numbers, got {type(weights).__name__}") from None
    if w.ndim == 2 and w.shape[1] == 1:
        w = w[:, 0]
    if w.ndim != 1:
        raise ValueError(f"{name} must have shape (n,), got shape {w.shape}")
    if w.shape[0] != n:
        raise ValueError(f"{name} has {w.shape[0]} entries but the data have {n} rows")
    return w


def check_weights(w: np.ndarray, name: str = "weights") -> None:
    """Refuse NaN, infinity, negative weights and weights that are all zero."""
    bad = ~np.isfinite(w)
    if bad.any():
        rows = np.flatnonzero(bad)
        shown = ", ".join(str(int(i)) for i in rows[:5]) + (", ..." if rows.size > 5 else "")
        raise ValueError(f"{name} contains NaN or infinity in {rows.size} of {w.size} rows (positions {shown}); "
                         "weights must be finite and >= 0 (pass missing='drop' to leave those rows out)")
    neg = w < 0
    if neg.any():
        i = int(np.flatnonzero(neg)[0])
        raise ValueError(f"{name} must be >= 0, got {float(w[i])!r} at position {i} "
                         f"({int(np.count_nonzero(neg))} negative)")
    if not (w > 0).any():
        raise ValueError(f"{name} are all zero: no row is left to fit")


def is_integral(w: np.ndarray) -> bool:
    """Whole-number weights: counts of copies."""
    return bool(np.all(w == np.floor(w)))


def weighted_median(a: np.ndarray, w: np.ndarray) -> float:
    """The median of a with each value counted w times: for integer weights
    exactly ``np.median(np.repeat(a, w))`` (the mean of the two middle values
    when the weights sum to an even number); a scale-free rule for others."""
    order = np.argsort(a, kind="stable")
    s, cum = a[order], np.cumsum(w[order])
    half = 0.5 * cum[-1]
    lo = min(int(np.searchsorted(cum, half, side="left")), s.size - 1)
    hi = min(int(np.searchsorted(cum, half, side="right")), s.size - 1)
    return float(np.mean([s[lo], s[hi]])) if lo != hi else float(s[lo])


def weighted_mad(a: np.ndarray, w: np.ndarray) -> float:
    """Raw median absolute deviation of a, each value counted w times."""
    return weighted_median(np.abs(a - weighted_median(a, w)), w)


def unit_rows(w: np.ndarray, order: Optional[np.ndarray], size: int) -> np.ndarray:
    """Rows of a sample of `size` units of weight, spread along `order` (the
    rows' order in space; None: as they come). Integer weights: every
    (W / size)-th of the W copies the weights stand for, exactly the rows of a
    sample of the replicated data (every copy when W <= size); other weights:
    `size` rows at equal steps of cumulated weight."""
    ww = w if order is None else w[order]
    cum = np.cumsum(ww)
    total = float(cum[-1])
    if is_integral(w):
        if total <= size:
            pos = np.arange(int(total), dtype=np.float64)
        else:
            pos = np.linspace(0, total - 1, size).round()
    else:
        pos = (np.arange(size) + 0.5) * (total / size)
    rows = np.minimum(np.searchsorted(cum, pos, side="right"), w.size - 1)
    return rows if order is None else order[rows]


def fitted_rows(X: np.ndarray, v: np.ndarray, w: Optional[np.ndarray], name: str = "weights"):
    """The rows a weighted fit uses: (X, v, cw, kept) with the rows of weight
    0 left out (such a row is absent from the fit), cw None where every weight
    is 1 (the fit is then the unweighted one, bit for bit), and kept the mask
    of the rows used (None when every row is)."""
    if w is None:
        return X, v, None, None
    check_weights(w, name)
    kept = None
    if not np.all(w > 0):
        kept = w > 0
        X, v, w = X[kept], v[kept], w[kept]
    return X, v, (None if np.all(w == 1.0) else w), kept
