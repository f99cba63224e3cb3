"""The scaled problem: each variable mapped to [-1, 1], y centred and divided by a
robust spread, and the linear map that takes coefficients (and their
covariance) from the scaled basis back to powers of the original variables."""
from __future__ import annotations

from dataclasses import dataclass
from math import comb
from typing import List, Tuple

import numpy as np

__all__ = ["Scaling", "fit_scaling"]


@dataclass(frozen=True)
class Scaling:
    """x[:, j] = x_center[j] + x_scale[j] * u[:, j] and y = y_center + y_scale * v,
    with u in [-1, 1] and v of unit robust spread."""

    x_center: np.ndarray
    x_scale: np.ndarray
    y_center: float
    y_scale: float
    v_mad: float = 1.0      # the median absolute deviation of the scaled y

    def u(self, X: np.ndarray) -> np.ndarray:
        """Scaled variables of X (n, d), as a (n, d) array."""
        return (X - self.x_center) / self.x_scale

    def v(self, y: np.ndarray) -> np.ndarray:
        return (y - self.y_center) / self.y_scale

    def to_original(self, terms: np.ndarray) -> np.ndarray:
        """Matrix A (p, p) with coef = y_scale * A @ coef_scaled (+ y_center on
        the constant term): the coefficient of the raw monomial terms[i] is
        sum_m A[i, m] * coef_scaled[m].

        Each power of a scaled variable expands by the binomial theorem,
        ((x - c) / h)^k = sum_j C(k, j) (-c)^(k - j) / h^k * x^j, and a term is
        the product of its variables' expansions. Every x^j that appears is a term
        of the set when the set is closed under lowering a power (centres are
        zero otherwise, and then A is diagonal)."""
        p, d = terms.shape
        index = {tuple(t): i for i, t in enumerate(terms.tolist())}
        A = np.zeros((p, p))
        for m, t in enumerate(terms.tolist()):
            # per variable: the powers j <= k and their weights
            factors = []
            for jvar, k in enumerate(t):
                c, h = float(self.x_center[jvar]), float(self.x_scale[jvar])
                if c == 0.0:
                    factors.append([(k, h ** -k)])
                else:
                    factors.append([(j, comb(k, j) * (-c) ** (k - j) / h ** k) for j in range(k + 1)])
            # product over the variables
            entries: List[Tuple[Tuple[int, ...], float]] = [((), 1.0)]
            for options in factors:
                entries = [(key + (j,), w * wj) for key, w in entries for j, wj in options]
            for key, w in entries:
                A[index[key], m] += w
        return A


def _spread(v: np.ndarray, center: float, mad: float) -> float:
    # MAD first; when more than half the values coincide, the mean absolute
    # deviation; for a constant y, 1 (any positive number divides it).
    if mad > 0:
        return mad
    mean_dev = float(np.mean(np.abs(v - center))) if v.size else 0.0
    return mean_dev if mean_dev > 0 else 1.0


def fit_scaling(X: np.ndarray, y: np.ndarray, center_x: bool, center_y: bool, mad) -> Scaling:
    """The map of X (n, d) and y (n,) onto the scaled problem.

    `center_x`: centre each variable on its mid-range (only for sets of terms
    closed under lowering a power); otherwise each is divided by its largest
    magnitude. `center_y`: centre y on its median (only when the model has a
    constant term). `mad` is the robust-spread function of the engine."""
    if center_x:
        lo, hi = X.min(axis=0), X.max(axis=0)
        center = 0.5 * (lo + hi)
        half = 0.5 * (hi - lo)
    else:
        center = np.zeros(X.shape[1])
        half = np.abs(X).max(axis=0)
    # A constant variable is refused before this; a zero spread can only come
    # from a variable used by no term (degree 0 for instance).
    half = np.where(half > 0, half, 1.0)
    m = mad(y)
    if center_y:
        yc = float(np.median(y))
        ys = _spread(y, yc, m)
    else:
        yc = 0.0
        ys = _spread(y, 0.0, float(np.median(np.abs(y))))
    # the scaled y's own MAD, without forming it: mad((y - c) / s) = mad(y) / s
    return Scaling(center.astype(float), half.astype(float), yc, ys, m / ys)
