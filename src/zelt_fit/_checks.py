"""Checks of the data a fit is given, before any work, with messages that name
what is wrong. NumPy arrays, lists, pandas Series and DataFrames all arrive
through ``numpy.asarray``; pandas itself is never imported."""
from __future__ import annotations

import difflib
import math
import numbers
import os
import sys
import types
import warnings
from typing import List, Optional, Tuple

import numpy as np

__all__ = ["as_features", "as_target", "as_degree", "feature_names_of", "require_finite",
           "as_count", "as_weight", "as_level", "same_index"]


_PACKAGE_DIR = os.path.dirname(os.path.abspath(__file__))


def warn_at_caller(message: str, category: type) -> None:
    """warnings.warn at the first frame outside zelt_fit: the user's own line,
    whichever of the package's paths (a fit, a batch, the estimator) led here."""
    frame: Optional[types.FrameType] = sys._getframe(1)
    level = 2  # stacklevel 1 is this function
    while frame is not None and os.path.dirname(os.path.abspath(frame.f_code.co_filename)) == _PACKAGE_DIR:
        frame, level = frame.f_back, level + 1
    warnings.warn(message, category, stacklevel=level)


def _longdouble(name: str, arr: np.ndarray) -> None:
    # float64 holds 53 bits; a long double more: say so when the rounding changes a value
    if arr.dtype.kind == "f" and arr.dtype.itemsize > 8 and np.finfo(arr.dtype).nmant > 52:
        with np.errstate(invalid="ignore", over="ignore"):
            lost = arr.astype(np.float64).astype(arr.dtype) != arr
        if np.any(lost & np.isfinite(arr)):
            warn_at_caller(f"{name} holds {arr.dtype} values that float64 cannot hold exactly "
                           f"({int(np.count_nonzero(lost))} of {arr.size} rounded): the fit works in "
                           "float64", UserWarning)


def _numeric(name: str, value: object) -> np.ndarray:
    if isinstance(value, np.ma.MaskedArray):
        masked = int(np.count_nonzero(np.ma.getmaskarray(value)))
        if masked:
            raise ValueError(f"{name} is a masked array with {masked} masked entries: a fit does not "
                             "guess what they hold; leave those rows out (keep = ~np.ma.getmaskarray"
                             f"({name}); pass {name}[keep]) or fill them")
        value = np.ma.getdata(value)
    if type(value).__module__.startswith("scipy.sparse"):
        raise ValueError(f"{name} is a scipy.sparse matrix; a polynomial fit needs dense data: "
                         f"pass {name}.toarray()")
    try:
        arr = np.asarray(value)
    except (TypeError, ValueError) as err:
        raise ValueError(f"{name} could not be read as a numeric array: {err}") from None
    kind = arr.dtype.kind
    if kind == "O":
        try:
            arr = arr.astype(np.float64)
        except (TypeError, ValueError) as err:
            raise ValueError(f"{name} holds values that are not numbers: {err}") from None
    elif kind == "c":
        raise ValueError(f"{name} is complex; complex data not supported")
    elif kind not in "biuf":
        raise ValueError(f"{name} has dtype {arr.dtype}; it must hold real numbers")
    _longdouble(name, arr)
    return arr


def _float(arr: np.ndarray) -> np.ndarray:
    # float32 and float64 are used as they are (the fit's arithmetic is float64
    # either way, block by block); other kinds become float64
    return arr if arr.dtype in (np.float32, np.float64) else np.asarray(arr, dtype=np.float64)


def require_finite(name: str, arr: np.ndarray) -> None:
    if not np.all(np.isfinite(arr)):
        raise ValueError(f"{name} contains NaN or infinity")


def as_features(x: object, name: str = "x", finite: bool = False) -> np.ndarray:
    """x as a float64 array of shape (n, d): (n,) is one variable. `finite`:
    the caller has seen every value finite already."""
    arr = _numeric(name, x)
    if arr.ndim == 1:
        arr = arr.reshape(-1, 1)
    elif arr.ndim != 2:
        raise ValueError(f"{name} must have shape (n,) or (n, d), got a {arr.ndim}-D array of shape {arr.shape}")
    arr = _float(arr)
    if not finite:
        require_finite(name, arr)
    return arr


def as_target(y: object, name: str = "y", finite: bool = False) -> np.ndarray:
    """y as a float64 array of shape (n,). `finite`: as for `as_features`."""
    arr = _numeric(name, y)
    if arr.ndim != 1:
        raise ValueError(f"{name} must have shape (n,), got shape {arr.shape}")
    arr = _float(arr)
    if not finite:
        require_finite(name, arr)
    return arr


def require_same_length(X: np.ndarray, y: np.ndarray, xname: str = "x", yname: str = "y") -> None:
    if X.shape[0] != y.shape[0]:
        raise ValueError(f"{xname} has {X.shape[0]} points but {yname} has {y.shape[0]}")


def as_degree(deg: object, name: str = "deg", auto: bool = False) -> int:
    """A non-negative integer degree (a NumPy integer too; never a float or bool).
    With `auto`, the message names "auto" as the other choice."""
    if type(deg) is not int and (isinstance(deg, (bool, np.bool_)) or not isinstance(deg, numbers.Integral)):
        other = " or 'auto'" if auto else ""
        raise ValueError(f"{name} must be a non-negative integer{other}, got {deg!r}{auto_hint(deg) if auto else ''}")
    if deg < 0:
        raise ValueError(f"{name} must be a non-negative integer, got {deg}")
    return int(deg)


def auto_hint(value: object) -> str:
    """" (did you mean 'auto'?)" for a string close to it."""
    if isinstance(value, str) and difflib.get_close_matches(value.strip().lower(), ["auto"], 1, 0.5):
        return " (did you mean 'auto'?)"
    return ""


def as_count(value: object, name: str, low: int) -> int:
    """An integer setting of at least `low` (never a float, a bool or None)."""
    if type(value) is not int and (isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Integral)):
        raise ValueError(f"{name} must be an integer, got {value!r}")
    if value < low:
        raise ValueError(f"{name} must be at least {low}, got {value}")
    return int(value)


def as_weight(value: object, name: str) -> float:
    """A finite non-negative real number (never a string, a bool or None)."""
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real):
        raise ValueError(f"{name} must be a finite non-negative number, got {value!r}")
    value = float(value)
    if not math.isfinite(value) or value < 0:
        raise ValueError(f"{name} must be a finite non-negative number, got {value!r}")
    return value


def as_level(level: object, name: str = "level") -> float:
    """A level strictly between 0 and 1."""
    if isinstance(level, (bool, np.bool_)) or not isinstance(level, numbers.Real):
        raise ValueError(f"{name} must be a number strictly between 0 and 1, got {level!r}")
    level = float(level)
    if not 0.0 < level < 1.0:
        raise ValueError(f"{name} must lie strictly between 0 and 1, got {level!r}")
    return level


def same_index(x: object, y: object, xname: str = "x", yname: str = "y") -> None:
    """Refuse pandas objects whose indexes differ: pairing them by position
    would pair rows that pandas itself would not."""
    ix, iy = getattr(x, "index", None), getattr(y, "index", None)
    if ix is None or iy is None or not hasattr(ix, "equals") or not hasattr(iy, "equals"):
        return
    if not ix.equals(iy):
        raise ValueError(f"{xname} and {yname} are pandas objects with different indexes: pairing them by "
                         f"position would pair rows that belong to different labels; align them first "
                         f"({yname} = {yname}.reindex({xname}.index)) or pass arrays")


def require_varying(X: np.ndarray, used: np.ndarray, names: List[str],
                    ranges: Optional[Tuple[np.ndarray, np.ndarray]] = None) -> None:
    """Refuse a variable that some term uses but that takes one value only.
    `ranges`: the columns' (min, max) of a finite X, where the caller has them."""
    if X.shape[0] == 0:
        return
    constant = np.all(X == X[:1], axis=0) if ranges is None else ranges[0] == ranges[1]
    for j in np.flatnonzero(constant & used):
        raise ValueError(f"{names[j]} is constant ({float(X[0, j])!r} at every point): "
                         "its powers cannot be told apart from the constant term")


def feature_names_of(x: object) -> Optional[List[str]]:
    """Column names of a DataFrame, or the name of a Series; None otherwise."""
    columns = getattr(x, "columns", None)
    if columns is not None and getattr(x, "ndim", 2) == 2:
        names = [str(c) for c in columns]
        twice = sorted({n for n in names if names.count(n) > 1})
        if twice:
            raise ValueError(f"x has columns of the same name {twice}: a term could not be told "
                             "from another; rename them")
        return names
    name = getattr(x, "name", None)
    if name is not None and getattr(x, "ndim", 1) == 1 and not isinstance(x, np.ndarray):
        return [str(name)]
    return None


def variable_names(d: int, feature_names: Optional[List[str]], base: str = "x") -> List[str]:
    """How a message names variable j: the column name, or x / x[:, j]."""
    if feature_names is not None and len(feature_names) == d:
        return [f"{base} column {n!r}" for n in feature_names]
    return [base] if d == 1 else [f"{base}[:, {j}]" for j in range(d)]


def check_xy(x: object, y: object, finite: bool = False) -> Tuple[np.ndarray, np.ndarray]:
    """(X (n, d), y (n,)) checked; `finite`: every value was seen finite already
    (`_missing.scan_rows`), so neither is scanned again."""
    X, v = as_features(x, finite=finite), as_target(y, finite=finite)
    require_same_length(X, v)
    return X, v
