"""What an estimator shares with scikit-learn, without importing it: its
exception and warning classes when scikit-learn is loaded (so that its own
``except NotFittedError`` catches ours), look-alikes otherwise, and its rules
for feature names and input arrays."""
from __future__ import annotations

import sys
import warnings
from typing import Optional

import numpy as np

__all__ = ["NotFittedError", "DataConversionWarning", "UndefinedMetricWarning", "not_fitted",
           "conversion_warning", "undefined_metric",
           "feature_names", "check_feature_names", "check_array"]


class NotFittedError(ValueError, AttributeError):
    """Raised by an estimator used before `fit` (scikit-learn's own class is
    raised instead when scikit-learn is loaded)."""


class DataConversionWarning(UserWarning):
    """Warns of input converted to the shape a method expects."""


def _loaded(module: str, name: str, fallback):
    mod = sys.modules.get(module)
    return getattr(mod, name, fallback) if mod is not None else fallback


def not_fitted(estimator) -> Exception:
    cls = _loaded("sklearn.exceptions", "NotFittedError", NotFittedError)
    return cls(f"This {type(estimator).__name__} instance is not fitted yet. Call 'fit' with "
               "appropriate arguments before using this estimator.")


def conversion_warning(message: str) -> None:
    cls = _loaded("sklearn.exceptions", "DataConversionWarning", DataConversionWarning)
    warnings.warn(message, cls, stacklevel=3)


class UndefinedMetricWarning(UserWarning):
    """Warns of a score that is not defined for the data given."""


def undefined_metric(message: str) -> None:
    cls = _loaded("sklearn.exceptions", "UndefinedMetricWarning", UndefinedMetricWarning)
    warnings.warn(message, cls, stacklevel=3)


def feature_names(X) -> Optional[np.ndarray]:
    """String column names of a DataFrame-like X (pandas or the dataframe
    interchange protocol), as an object array; None for anything else."""
    names = None
    if hasattr(X, "columns") and hasattr(X, "iloc") and getattr(X, "ndim", 2) == 2:
        names = np.asarray(X.columns, dtype=object)
    elif hasattr(X, "__dataframe__"):
        names = np.asarray(list(X.__dataframe__().column_names()), dtype=object)
    if names is None or len(names) == 0:
        return None
    types = sorted({type(v).__qualname__ for v in names})
    if len(types) > 1 and "str" in types:
        raise TypeError(f"Feature names are only supported if all input features have string names, "
                        f"but your input has {types} as feature name / column name types. Convert "
                        "them all to strings (X.columns = X.columns.astype(str)) or remove them.")
    return names if types == ["str"] else None


def _list(names) -> str:
    out = ""
    for i, name in enumerate(names):
        if i >= 5:
            return out + "- ...\n"
        out += f"- {name}\n"
    return out


def check_feature_names(estimator, X) -> None:
    """The names of X against those seen in fit: a warning when only one side
    has names, a ValueError when they differ."""
    fitted = getattr(estimator, "feature_names_in_", None)
    given = feature_names(X)
    cls = type(estimator).__name__
    if fitted is None and given is None:
        return
    if fitted is None:
        warnings.warn(f"X has feature names, but {cls} was fitted without feature names", UserWarning,
                      stacklevel=3)
        return
    if given is None:
        warnings.warn(f"X does not have valid feature names, but {cls} was fitted with feature names",
                      UserWarning, stacklevel=3)
        return
    if len(fitted) == len(given) and np.all(fitted == given):
        return
    message = "The feature names should match those that were passed during fit.\n"
    unexpected = sorted(set(given) - set(fitted))
    missing = sorted(set(fitted) - set(given))
    if unexpected:
        message += "Feature names unseen at fit time:\n" + _list(unexpected)
    if missing:
        message += "Feature names seen at fit time, yet now missing:\n" + _list(missing)
    if not unexpected and not missing:
        message += "Feature names must be in the same order as they were in fit.\n"
    raise ValueError(message)


def _is_sparse(X) -> bool:
    return type(X).__module__.startswith("scipy.sparse") or hasattr(X, "tocsr")


def check_array(X, name: str = "X") -> np.ndarray:
    """X as a 2-D float64 array with at least one sample and one feature,
    finite, real; the messages are scikit-learn's."""
    if X is None:
        raise ValueError(f"Expected 2D array, got None for {name}")
    if _is_sparse(X):
        raise TypeError(f"Sparse data was passed for {name}, but dense data is required: "
                        "use X.toarray() to convert it to a dense array")
    arr = np.asarray(X)
    if arr.dtype.kind == "c":
        raise ValueError("Complex data not supported")
    if arr.dtype.kind == "O":
        if any(isinstance(v, complex) for v in arr.ravel()):
            raise ValueError("Complex data not supported")
        arr = arr.astype(np.float64)  # TypeError "float() argument must be a string or a number..."
    elif arr.dtype.kind not in "biuf":
        raise ValueError(f"{name} has dtype {arr.dtype}; it must hold real numbers")
    if arr.ndim != 2:
        raise ValueError(f"Expected 2D array, got {arr.ndim}D array of shape {arr.shape} for {name}. "
                         "Reshape your data either using array.reshape(-1, 1) if it has a single feature "
                         "or array.reshape(1, -1) if it contains a single sample")
    if arr.shape[0] < 1:
        raise ValueError(f"Found array with 0 sample(s) (shape={arr.shape}) while a minimum of 1 is required.")
    if arr.shape[1] < 1:
        raise ValueError(f"Found array with 0 feature(s) (shape={arr.shape}) while a minimum of 1 is required.")
    arr = np.asarray(arr, dtype=np.float64)
    if not np.all(np.isfinite(arr)):
        raise ValueError(f"Input {name} contains NaN or infinity")
    return arr


def check_target(y, n: int) -> np.ndarray:
    """y as a 1-D float64 array of n values; a column vector is raveled with
    scikit-learn's DataConversionWarning."""
    if y is None:
        raise ValueError("This estimator requires y to be passed, but the target y is None.")
    if _is_sparse(y):
        raise TypeError("Sparse data was passed for y, but dense data is required")
    arr = np.asarray(y)
    if arr.dtype.kind == "c":
        raise ValueError("Complex data not supported")
    if arr.dtype.kind == "O":
        arr = arr.astype(np.float64)
    elif arr.dtype.kind not in "biuf":
        raise ValueError(f"y has dtype {arr.dtype}; it must hold real numbers")
    if arr.ndim == 2 and arr.shape[1] == 1:
        conversion_warning("A column-vector y was passed when a 1d array was expected. Please change "
                           "the shape of y to (n_samples, ), for example using ravel().")
        arr = arr.ravel()
    if arr.ndim != 1:
        raise ValueError(f"y should be a 1d array, got an array of shape {arr.shape} instead.")
    if arr.shape[0] != n:
        raise ValueError(f"Found input variables with inconsistent numbers of samples: [{n}, {arr.shape[0]}]")
    arr = np.asarray(arr, dtype=np.float64)
    if not np.all(np.isfinite(arr)):
        raise ValueError("Input y contains NaN or infinity")
    return arr
