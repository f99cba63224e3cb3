"""Rows with a missing value (NaN or infinity): refused with a message that
counts them and names the first few, or dropped before the fit, the fit's
point masks then spread back to the input's length."""
from __future__ import annotations

from typing import Any, NamedTuple, Optional, Tuple

import numpy as np

__all__ = ["MISSING", "Rows", "complete_rows", "scan_rows", "missing_message", "dask_complete_rows", "spread_dask",
           "target_name"]

MISSING = ("raise", "drop")
SHOWN = 5


def check_option(missing: object) -> str:
    if not isinstance(missing, str) or missing not in MISSING:
        raise ValueError(f"missing must be 'raise' or 'drop', got {missing!r}")
    return missing


def missing_message(name: str, bad: np.ndarray, n: int) -> str:
    """ "x contains NaN or infinity in 2 of 120 rows (positions 3, 17) ..." """
    rows = np.flatnonzero(bad)
    shown = ", ".join(str(int(i)) for i in rows[:SHOWN]) + (", ..." if rows.size > SHOWN else "")
    return (f"{name} contains NaN or infinity in {rows.size} of {n} rows (positions {shown}); "
            "pass missing='drop' to fit the complete rows")


class Rows(NamedTuple):
    """The rows to fit and the input they came from, as float arrays."""

    x: np.ndarray            # complete rows of x
    y: np.ndarray            # complete rows of y
    x_all: np.ndarray        # every row of x, (n,) or (n, d)
    y_all: np.ndarray        # every row of y
    complete: np.ndarray     # bool (n,): the rows fitted


def _floats(value: Any) -> Optional[np.ndarray]:
    try:
        arr = np.asarray(value)
        if arr.dtype.kind == "O":
            arr = arr.astype(np.float64)
    except (TypeError, ValueError):
        return None
    if arr.dtype.kind not in "biuf":
        return None
    # float32 is checked as it is: a float64 copy of x and y would be the
    # largest allocation of a float32 fit
    return arr if arr.dtype in (np.float32, np.float64) else np.asarray(arr, dtype=np.float64)


def complete_rows(x: Any, y: Any, missing: str, w: Optional[np.ndarray] = None) -> Optional[Rows]:
    """None when every row is complete (or the input is malformed in a way the
    argument checks report); with missing="raise" a ValueError naming the
    argument, how many rows and the first few positions; with "drop" the
    complete rows. `w`: the rows' case weights, whose NaN or infinity makes a
    row incomplete too (with "raise" the caller has refused them already)."""
    return scan_rows(x, y, missing, w)[0]


def scan_rows(x: Any, y: Any, missing: str, w: Optional[np.ndarray] = None) -> Tuple[Optional[Rows], bool]:
    """`complete_rows`, and whether every value of x and y was seen finite
    (then the argument checks need not look again). One pass over each."""
    X, v = _floats(x), _floats(y)
    if X is None or v is None or X.ndim not in (1, 2) or v.ndim != 1 or X.shape[0] != v.shape[0]:
        return None, False
    row_weights = w is not None and w.shape[0] == v.shape[0]
    # the common case first: one reduction each, the row masks only when one fails
    if not row_weights and np.isfinite(X).all() and np.isfinite(v).all():
        return None, True
    bad_x = ~np.isfinite(X) if X.ndim == 1 else ~np.all(np.isfinite(X), axis=1)
    bad_y = ~np.isfinite(v)
    if row_weights and w is not None:
        bad_y = bad_y | ~np.isfinite(w)
    if not (bad_x.any() or bad_y.any()):
        return None, True
    if missing == "raise":
        name, bad = ("x", bad_x) if bad_x.any() else ("y", bad_y)
        message = missing_message(name, bad, v.shape[0])
        if bad_x.any() and bad_y.any():
            message += f" (y too has NaN or infinity in {int(np.count_nonzero(bad_y))} rows)"
        raise ValueError(message)
    complete = ~(bad_x | bad_y)
    if not complete.any():
        raise ValueError(f"no complete row: each of the {v.shape[0]} rows has NaN or infinity in x or y"
                         + (" or weights" if w is not None else ""))
    return Rows(X[complete], v[complete], X, v, complete), True


def target_name(y: Any) -> Optional[str]:
    """The name of a pandas Series (or any named 1-D, non-NumPy column)."""
    name = getattr(y, "name", None)
    if name is not None and getattr(y, "ndim", 1) == 1 and not isinstance(y, np.ndarray):
        return str(name)
    return None


def dask_complete_rows(X: Any, y: Any):
    """Lazy mask of the complete rows of Dask arrays X (n, d) and y (n,)."""
    import dask.array as da

    return da.isfinite(X).all(axis=1) & da.isfinite(y)


def _bad_rows(block: np.ndarray, offset: int):
    bad = ~np.isfinite(block) if block.ndim == 1 else ~np.all(np.isfinite(block), axis=1)
    rows = np.flatnonzero(bad)
    return rows.size, offset + rows[:SHOWN]


def dask_raise(a: Any, name: str) -> None:
    """The missing-value message of a Dask array known to hold one: one pass
    that brings back each chunk's count and first positions only."""
    import dask

    offsets = np.concatenate([[0], np.cumsum(a.chunks[0])[:-1]])
    parts = [dask.delayed(_bad_rows, pure=True)(block, int(off))
             for block, off in zip(a.to_delayed().ravel(), offsets)]
    found = dask.compute(*parts)
    count = sum(c for c, _ in found)
    first = np.concatenate([rows for _, rows in found])[:SHOWN + 1]
    shown = ", ".join(str(int(i)) for i in first[:SHOWN]) + (", ..." if count > SHOWN else "")
    raise ValueError(f"{name} contains NaN or infinity in {count} of {int(a.shape[0])} rows "
                     f"(positions {shown}); pass missing='drop' to fit the complete rows")


def _count(block: np.ndarray) -> np.ndarray:
    return np.array([np.count_nonzero(block)], dtype=np.int64)


def _scatter(complete: np.ndarray, values: np.ndarray, fill: Any) -> np.ndarray:
    out = np.full(complete.shape[0], fill, dtype=values.dtype)
    out[complete] = values
    return out


def spread_dask(values: Any, complete: Any, fill: Any) -> Any:
    """A lazy array of the input's length: `values` (one per complete row) at
    the complete rows, `fill` at the dropped ones. One pass counts the complete
    rows per chunk, so that each chunk of `values` meets its input chunk."""
    import dask.array as da

    counts = da.map_blocks(_count, complete, dtype=np.int64, chunks=((1,) * complete.numblocks[0],))
    per_chunk = tuple(int(c) for c in counts.compute())
    values = values.rechunk((per_chunk,))
    import dask

    parts = [da.from_delayed(dask.delayed(_scatter, pure=True)(c, v, fill), shape=(size,), dtype=values.dtype)
             for c, v, size in zip(complete.to_delayed().ravel(), values.to_delayed().ravel(),
                                   complete.chunks[0])]
    return da.concatenate(parts)
