"""The terms of a polynomial model: one multi-index (a power per variable) per
coefficient, and what can be said of a set of them."""
from __future__ import annotations

import itertools
from typing import Optional, Sequence

import numpy as np

__all__ = ["polynomial_terms", "is_closed", "term_names"]

# More terms than this make a design of n x p doubles and p x p normal matrices
# that no polynomial fit of this kind needs; refused before any allocation.
MAX_TERMS = 20_000


def _count_total(d: int, deg: int, limit: Optional[int] = None) -> int:
    """Multi-indices of d variables with total degree <= deg: C(d + deg, deg);
    with a limit, any count above it stands for every larger one (the loop
    stops there, so a degree of 2**63 is counted at once)."""
    if d == 1:
        return deg + 1
    count = 1
    for i in range(1, deg + 1):
        count = count * (d + i) // i
        if limit is not None and count > limit:
            return count
    return count


def polynomial_terms(n_features: int, deg: int, basis: str = "total") -> np.ndarray:
    """Multi-indices of a polynomial basis.

    Parameters
    ----------
    n_features : int
        Number of variables d.
    deg : int
        Degree, a non-negative integer.
    basis : {"total", "tensor"}
        ``"total"``: every multi-index of total degree <= `deg`, by increasing
        total degree and, within one degree, with the first variable's power
        falling (the order of scikit-learn's ``PolynomialFeatures``).
        ``"tensor"``: every multi-index with each power <= `deg`, the last
        variable varying fastest (the order of ``zelt_core.build_penalty_matrices_nd``).

    Returns
    -------
    terms : ndarray of int, shape (p, d)
        ``terms[i]`` holds the powers of the i-th term; in one variable
        ``terms[i] == [i]`` for both bases.

    See Also
    --------
    robust_polyfit : takes these multi-indices as ``deg``.
    sklearn.preprocessing.PolynomialFeatures : total-degree monomials as a transformer.

    Examples
    --------
    >>> polynomial_terms(2, 2).tolist()
    [[0, 0], [1, 0], [0, 1], [2, 0], [1, 1], [0, 2]]
    >>> polynomial_terms(2, 1, "tensor").tolist()
    [[0, 0], [0, 1], [1, 0], [1, 1]]
    """
    d, deg = int(n_features), int(deg)
    if d < 1:
        raise ValueError(f"n_features must be at least 1, got {d}")
    if deg < 0:
        raise ValueError(f"deg must be a non-negative integer, got {deg}")
    if basis == "total":
        count = _count_total(d, deg, MAX_TERMS)
    elif basis == "tensor":
        count = (deg + 1) ** d
    else:
        raise ValueError(f"basis must be 'total', 'tensor' or an array of multi-indices, got {basis!r}")
    if count > MAX_TERMS:
        raise ValueError(f"a {basis} basis of degree {deg} in {d} variables has {count} terms, "
                         f"more than the {MAX_TERMS} a fit can use")
    if d == 1:    # both bases: the powers 0 .. deg
        return np.arange(deg + 1, dtype=np.int64).reshape(-1, 1)
    if basis == "tensor":
        grid = itertools.product(range(deg + 1), repeat=d)
        return np.array(list(grid), dtype=np.int64).reshape(-1, d)
    out = []
    for total in range(deg + 1):
        # compositions of `total` into d parts, first part falling
        for cut in itertools.combinations_with_replacement(range(d), total):
            powers = np.bincount(np.asarray(cut, dtype=np.int64), minlength=d) if total else np.zeros(d, np.int64)
            out.append(powers)
    terms = np.array(out, dtype=np.int64).reshape(-1, d)
    return terms


def as_terms(terms: object, n_features: int) -> np.ndarray:
    """Validate explicit multi-indices: a (p, d) array of non-negative ints
    without repeats (in one variable a list of powers is taken as (p, 1))."""
    arr = np.asarray(terms)
    if arr.dtype == bool or not np.issubdtype(arr.dtype, np.integer):
        if arr.size and np.issubdtype(arr.dtype, np.floating) and np.all(arr == np.round(arr)):
            arr = arr.astype(np.int64)
        elif arr.size:
            raise ValueError(f"terms must hold integer powers, got dtype {arr.dtype}")
        else:
            arr = arr.astype(np.int64)
    if arr.ndim == 1 and n_features == 1:
        arr = arr.reshape(-1, 1)
    if arr.ndim != 2 or arr.shape[1] != n_features:
        raise ValueError(f"terms must have shape (p, {n_features}) for {n_features} variable(s), "
                         f"got shape {arr.shape}")
    if arr.shape[0] == 0:
        raise ValueError("terms is empty: a model needs at least one term")
    if arr.shape[0] > MAX_TERMS:
        raise ValueError(f"{arr.shape[0]} terms are more than the {MAX_TERMS} a fit can use")
    if np.any(arr < 0):
        raise ValueError("terms must hold non-negative powers")
    if np.any(arr > 2**31 - 1):
        raise ValueError("terms hold a power beyond 2**31 - 1")
    arr = arr.astype(np.int64)
    if len({tuple(t) for t in arr.tolist()}) != arr.shape[0]:
        raise ValueError("terms hold the same multi-index twice")
    return arr


def is_closed(terms: np.ndarray) -> bool:
    """True when lowering any power of any term by one gives a term of the set
    (total and tensor bases are). Only then is the model the same whatever the
    origin of each variable, so only then may the variables be centred."""
    present = {tuple(t) for t in terms.tolist()}
    for t in present:
        for j, power in enumerate(t):
            if power > 0 and (t[:j] + (power - 1,) + t[j + 1:]) not in present:
                return False
    return True


def _readable(name: str) -> str:
    # a name that is not an identifier ("0", "1", "a*b", "t 2") goes in brackets,
    # so that "[0]*[1]^2" cannot be read as a product of numbers
    return name if name.isidentifier() else f"[{name}]"


def term_names(terms: np.ndarray, feature_names: Optional[Sequence[str]] = None) -> list:
    """Readable names: "1", "x", "x^2" in one variable; "x0*x1^2" in several
    (or the given feature names; one that is not an identifier in brackets,
    as "[0]*[1]^2" for integer column names).

    Examples
    --------
    >>> term_names(np.array([[0, 0], [1, 2]]), ["0", "rate"])
    ['1', '[0]*rate^2']
    """
    d = terms.shape[1]
    if feature_names is None:
        feature_names = ["x"] if d == 1 else [f"x{j}" for j in range(d)]
    feature_names = [_readable(str(f)) for f in feature_names]
    names = []
    for t in terms.tolist():
        parts = [name if k == 1 else f"{name}^{k}" for name, k in zip(feature_names, t) if k]
        names.append("*".join(parts) if parts else "1")
    return names
