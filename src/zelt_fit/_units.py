"""The scaled problem: each variable mapped to [-1, 1], y centred and divided by a
robust spread, and the linear map that takes coefficients (and their
covariance) from the scaled basis back to powers of the original variables."""
from __future__ import annotations

from dataclasses import dataclass
from math import comb, isfinite, log10
from typing import List, Optional, Sequence, Tuple

import numpy as np

__all__ = ["Scaling", "fit_scaling", "require_representable"]

# Each coefficient in the original units, and its variance (its square), must
# be a double of full precision: decimal exponents within +-LIMIT_EXP for the
# coefficient's factor, with margins for the scaled problem's own numbers.
LIMIT_EXP = 145.0


@dataclass(frozen=True)
class Scaling:
    """x[:, j] = x_center[j] + x_scale[j] * u[:, j] and y = y_center + y_scale * v,
    with u in [-1, 1] and v of unit robust spread."""

    x_center: np.ndarray
    x_scale: np.ndarray
    y_center: float
    y_scale: float
    v_mad: float = 1.0      # the median absolute deviation of the scaled y

    def __post_init__(self) -> None:
        for a in (self.x_center, self.x_scale):
            a.flags.writeable = False

    def u(self, X: np.ndarray) -> np.ndarray:
        """Scaled variables of X (n, d), as a (n, d) float64 array (X may be float32)."""
        return np.subtract(X, self.x_center, dtype=np.float64) / self.x_scale

    def v(self, y: np.ndarray) -> np.ndarray:
        return np.subtract(y, self.y_center, dtype=np.float64) / self.y_scale

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
        A = np.zeros((p, p))
        if d == 1:
            # the loop below for one variable: the same operations in the same order
            powers = terms[:, 0].tolist()
            row = {k: i for i, k in enumerate(powers)}
            c, h = float(self.x_center[0]), float(self.x_scale[0])
            for m, k in enumerate(powers):
                if c == 0.0:
                    A[row[k], m] += h ** -k
                else:
                    for j in range(k + 1):
                        A[row[j], m] += comb(k, j) * (-c) ** (k - j) / h ** k
            return A
        index = {tuple(t): i for i, t in enumerate(terms.tolist())}
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


def _spread(v: np.ndarray, center: float, mad: float, w: Optional[np.ndarray] = None) -> float:
    # MAD first; when more than half the values coincide, the mean absolute
    # deviation; for a constant y, 1 (any positive number divides it).
    if mad > 0:
        return mad
    if w is None:
        mean_dev = float(np.mean(np.abs(v - center))) if v.size else 0.0
    else:
        mean_dev = float(w @ np.abs(v - center) / w.sum()) if v.size else 0.0
    return mean_dev if mean_dev > 0 else 1.0


def median(y: np.ndarray) -> float:
    """``float(np.median(y))`` of a 1-D array, bit for bit (the same partition,
    the same mean of the middle values), without its general machinery."""
    n = y.shape[0]
    if y.ndim != 1 or n == 0 or y.dtype.kind != "f":
        return float(np.median(y))
    h = n // 2
    if n % 2:
        return float(np.partition(y, [h, -1])[h])
    part = np.partition(y, [h - 1, h, -1])
    return float((part[h - 1] + part[h]) / 2)


def fit_scaling(X: np.ndarray, y: np.ndarray, center_x: bool, center_y: bool, mad,
                weights: Optional[np.ndarray] = None,
                ranges: Optional[Tuple[np.ndarray, np.ndarray]] = None) -> Scaling:
    """The map of X (n, d) and y (n,) onto the scaled problem.

    `center_x`: centre each variable on its mid-range (only for sets of terms
    closed under lowering a power); otherwise each is divided by its largest
    magnitude. `center_y`: centre y on its median (only when the model has a
    constant term). `mad` is the robust-spread function of the engine.
    `weights`: case weights of the rows of y (its median and MAD then count
    each value that many times). `ranges`: X's columns' (min, max), where the
    caller has them already."""
    lo, hi = (X.min(axis=0), X.max(axis=0)) if ranges is None else ranges
    lo, hi = lo.astype(np.float64), hi.astype(np.float64)
    if center_x:
        center = 0.5 * lo + 0.5 * hi     # halves first: hi - lo may overflow where each half does not
        half = 0.5 * hi - 0.5 * lo
    else:
        center = np.zeros(X.shape[1])
        half = np.maximum(np.abs(lo), np.abs(hi))    # the largest magnitude of each column
    # A constant variable is refused before this; a zero spread can only come
    # from a variable used by no term (degree 0 for instance).
    half = np.where(half > 0, half, 1.0)
    if weights is not None:
        from ._weights import weighted_mad, weighted_median

        m = weighted_mad(y, weights)
        if center_y:
            yc = weighted_median(y, weights)
            ys = _spread(y, yc, m, weights)
        else:
            yc = 0.0
            ys = _spread(y, 0.0, weighted_median(np.abs(y), weights), weights)
        return Scaling(center.astype(float), half.astype(float), yc, ys, m / ys)
    m = mad(y)
    if center_y:
        yc = median(y)
        ys = _spread(y, yc, m)
    else:
        yc = 0.0
        ys = _spread(y, 0.0, median(np.abs(y)))
    # the scaled y's own MAD, without forming it: mad((y - c) / s) = mad(y) / s
    return Scaling(center.astype(float), half.astype(float), yc, ys, m / ys)


def _exp10(value: float) -> float:
    return log10(value) if value > 0 else -np.inf


def require_representable(scaling: Scaling, terms: np.ndarray, y_range: Tuple[float, float],
                          x_ranges: Sequence[Tuple[float, float]], names: Optional[List[str]] = None) -> None:
    """Refuse data whose fit cannot be written in its own units as doubles.

    The coefficient of a term of powers k_j is y_scale times sums of
    C(k_j, i) c_j^(k_j - i) / h_j^k_j (centres c_j, half-ranges h_j), and its
    variance the square of that. Each is bounded on a log scale before any of
    it is computed: overflow (inf) and underflow (0, or a subnormal's lost
    digits) are refused with the ranges that cause them, instead of coming back
    as infinite standard errors or as zeros."""
    ys = float(scaling.y_scale)
    d = terms.shape[1]
    if names is None or len(names) != d:
        names = ["x"] if d == 1 else [f"x[:, {j}]" for j in range(d)]
    ylo, yhi = y_range
    e_y = _exp10(ys)
    if not -LIMIT_EXP <= e_y <= LIMIT_EXP:
        raise ValueError(f"y spans [{ylo:.6g}, {yhi:.6g}], of robust spread {ys:.3g}: in these units the "
                         "variances of the fit (y squared) are beyond a double's range; rescale y "
                         f"(for example y / {10.0 ** round(e_y):.0e}) and the results back")
    top_v = max(abs(ylo - scaling.y_center), abs(yhi - scaling.y_center)) / ys
    if not isfinite(top_v) or top_v > 10.0 ** LIMIT_EXP:
        raise ValueError(f"y spans [{ylo:.6g}, {yhi:.6g}], {top_v:.3g} times its robust spread "
                         f"{ys:.3g}: the squares of such values overflow a double; leave out or "
                         "correct the values that far away")
    e_h = [_exp10(float(h)) for h in scaling.x_scale]
    e_c = [_exp10(abs(float(c)) + float(h)) if c != 0 else _exp10(float(h))
           for c, h in zip(scaling.x_center, scaling.x_scale)]
    for t in terms.tolist():
        # the term's own factor h^-k, with y's scale and without; and a bound on the
        # largest of the binomial sums' factors, sum_j k_j (log(|c_j| + h_j) - log h_j)
        own = -sum(k * e_h[j] for j, k in enumerate(t) if k)
        high = e_y + sum(k * (e_c[j] - e_h[j]) for j, k in enumerate(t) if k)
        orders = (own, e_y + own, high)
        if max(orders) > LIMIT_EXP or min(orders) < -LIMIT_EXP:
            high, low = max(orders[1:]), min(orders[1:])
            used = [j for j, k in enumerate(t) if k]
            spans = ", ".join(f"{names[j]} spans [{x_ranges[j][0]:.6g}, {x_ranges[j][1]:.6g}]" for j in used)
            power = "*".join(f"{names[j]}^{t[j]}" if t[j] > 1 else names[j] for j in used)
            raise ValueError(f"{spans} and y [{ylo:.6g}, {yhi:.6g}]: in these units the coefficient of "
                             f"{power} and its variance are beyond a double's range (of order 1e{high:+.0f} "
                             f"to 1e{low:+.0f}); rescale the variable(s) (to values of order one, for "
                             "example) or lower the power")
