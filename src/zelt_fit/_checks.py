"""Checks of the data a fit is given, before any work, with messages that name
what is wrong. NumPy arrays, lists, pandas Series and DataFrames all arrive
through ``numpy.asarray``; pandas itself is never imported."""
from __future__ import annotations

import numbers
from typing import List, Optional, Tuple

import numpy as np

__all__ = ["as_features", "as_target", "as_degree", "feature_names_of", "require_finite"]


def _numeric(name: str, value: object) -> np.ndarray:
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
    return arr


def require_finite(name: str, arr: np.ndarray) -> None:
    if not np.all(np.isfinite(arr)):
        raise ValueError(f"{name} contains NaN or infinity")


def as_features(x: object, name: str = "x") -> np.ndarray:
    """x as a float64 array of shape (n, d): (n,) is one variable."""
    arr = _numeric(name, x)
    if arr.ndim == 1:
        arr = arr.reshape(-1, 1)
    elif arr.ndim != 2:
        raise ValueError(f"{name} must have shape (n,) or (n, d), got a {arr.ndim}-D array of shape {arr.shape}")
    arr = np.asarray(arr, dtype=np.float64)
    require_finite(name, arr)
    return arr


def as_target(y: object, name: str = "y") -> np.ndarray:
    """y as a float64 array of shape (n,)."""
    arr = _numeric(name, y)
    if arr.ndim != 1:
        raise ValueError(f"{name} must have shape (n,), got shape {arr.shape}")
    arr = np.asarray(arr, dtype=np.float64)
    require_finite(name, arr)
    return arr


def require_same_length(X: np.ndarray, y: np.ndarray, xname: str = "x", yname: str = "y") -> None:
    if X.shape[0] != y.shape[0]:
        raise ValueError(f"{xname} has {X.shape[0]} points but {yname} has {y.shape[0]}")


def as_degree(deg: object, name: str = "deg") -> int:
    """A non-negative integer degree (a NumPy integer too; never a float or bool)."""
    if isinstance(deg, (bool, np.bool_)) or not isinstance(deg, numbers.Integral):
        raise ValueError(f"{name} must be a non-negative integer, got {deg!r}")
    if deg < 0:
        raise ValueError(f"{name} must be a non-negative integer, got {deg}")
    return int(deg)


def require_varying(X: np.ndarray, used: np.ndarray, names: List[str]) -> None:
    """Refuse a variable that some term uses but that takes one value only."""
    if X.shape[0] == 0:
        return
    constant = np.all(X == X[:1], axis=0)
    for j in np.flatnonzero(constant & used):
        raise ValueError(f"{names[j]} is constant ({float(X[0, j])!r} at every point): "
                         "its powers cannot be told apart from the constant term")


def feature_names_of(x: object) -> Optional[List[str]]:
    """Column names of a DataFrame, or the name of a Series; None otherwise."""
    columns = getattr(x, "columns", None)
    if columns is not None and getattr(x, "ndim", 2) == 2:
        names = [str(c) for c in columns]
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


def check_xy(x: object, y: object) -> Tuple[np.ndarray, np.ndarray]:
    X, v = as_features(x), as_target(y)
    require_same_length(X, v)
    return X, v
