"""Bases and penalties: zelt_core against the straightforward NumPy way.

- design_matrix_1d against numpy.polynomial.polynomial.polyvander;
- design_matrix_nd (3 variables) against a NumPy broadcast of X ** K;
- smoothness_penalty_matrices_1d and build_penalty_matrices_nd against the
  NumPy construction of the same matrices: derivative tables at every grid
  point (G x M), then dV * W'W summed over the derivative directions.
"""
from __future__ import annotations

import itertools
import math

import numpy as np
import numpy.polynomial.polynomial as P

import zelt_core as z
from harness import Workload


def _deriv_table(x, deg, order):
    """(len(x), deg + 1) table of d^order/dx^order x^p."""
    p = np.arange(deg + 1)
    coef = np.array([math.prod(range(k - order + 1, k + 1)) if k >= order else 0 for k in p], float)
    return coef * x[:, None] ** np.maximum(p - order, 0)


def numpy_penalty_1d(deg, x_min, x_max, n_grid):
    dx = (x_max - x_min) / (n_grid - 1)
    x = x_min + np.arange(n_grid) * dx
    d1 = _deriv_table(x, deg, 1)
    d2 = _deriv_table(x, deg, 2)
    return dx * (d1.T @ d1), dx * (d2.T @ d2)


def numpy_penalty_nd(degrees, bounds, n):
    D = len(degrees)
    mis = list(itertools.product(*(range(d + 1) for d in degrees)))
    axes = [np.linspace(lo, hi, n) for lo, hi in bounds]
    dV = np.prod([(hi - lo) / (n - 1) for lo, hi in bounds])
    pts = [a.ravel() for a in np.meshgrid(*axes, indexing="ij")]
    idx = [np.array([mi[d] for mi in mis]) for d in range(D)]
    tabs = [[_deriv_table(pts[d], degrees[d], o)[:, idx[d]] for o in range(3)] for d in range(D)]

    def W(orders):
        w = tabs[0][orders[0]].copy()
        for d in range(1, D):
            w *= tabs[d][orders[d]]
        return w

    M = len(mis)
    R1, R2 = np.zeros((M, M)), np.zeros((M, M))
    for i in range(D):
        for j in range(D):
            w = W([(d == i) + (d == j) for d in range(D)])
            R2 += dV * (w.T @ w)
        w = W([int(d == i) for d in range(D)])
        R1 += dV * (w.T @ w)
    return R1, R2, [list(mi) for mi in mis]


def numpy_design_nd(K, X):
    # X: n x D, K: M x D non-negative powers.
    return np.prod(X[:, None, :] ** K[None, :, :], axis=2)


def workloads(quick: bool):
    rng = np.random.default_rng(0)
    n1 = 1_000 if quick else 100_000
    x = rng.uniform(-1.5, 1.5, size=n1)

    nn = 500 if quick else 20_000
    X = rng.uniform(-1.5, 1.5, size=(nn, 3))
    X_cols = [np.ascontiguousarray(X[:, d]) for d in range(3)]
    mis = [list(mi) for mi in itertools.product(range(4), repeat=3)]
    K = np.array(mis, dtype=float)

    n_axis = 5 if quick else 30
    box2 = [(0.0, 1.0), (-1.0, 2.0)]
    box3 = box2 + [(0.5, 1.5)]
    box4 = box3 + [(-2.0, -1.0)]

    out = [
        Workload(
            f"design_matrix_1d n={n1} deg=8",
            lambda: z.design_matrix_1d(8, x),
            lambda: P.polyvander(x, 8),
            "polyvander",
        ),
        Workload(
            f"design_matrix_nd n={nn} D=3 M=64",
            lambda: z.design_matrix_nd(mis, X_cols),
            lambda: numpy_design_nd(K, X),
            "numpy broadcast",
        ),
        Workload(
            "smoothness_penalty_matrices_1d deg=8 n_grid=600",
            lambda: z.smoothness_penalty_matrices_1d(8, -1.0, 2.0, 600),
            lambda: numpy_penalty_1d(8, -1.0, 2.0, 600),
            "numpy tables + W'W",
        ),
        Workload(
            f"build_penalty_matrices_nd D=2 deg=3 n={n_axis}",
            lambda: z.build_penalty_matrices_nd([3, 3], box2, n_axis),
            lambda: numpy_penalty_nd([3, 3], box2, n_axis),
            "numpy tables + W'W",
        ),
        Workload(
            f"build_penalty_matrices_nd D=3 deg=3 n={n_axis}",
            lambda: z.build_penalty_matrices_nd([3, 3, 3], box3, n_axis),
            lambda: numpy_penalty_nd([3, 3, 3], box3, n_axis),
            "numpy tables + W'W",
        ),
    ]
    out.append(
        Workload(
            f"build_penalty_matrices_nd D=4 deg=3 n={n_axis}",
            lambda: z.build_penalty_matrices_nd([3] * 4, box4, n_axis),
            note=f"no NumPy run: its 12 G x M tables need {12 * n_axis**4 * 256 * 8 / 1e9:.3g} GB here (G = n^4)",
        )
    )
    return out
