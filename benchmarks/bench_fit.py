"""Linear fits on tall problems: ``ols`` against ``numpy.linalg.lstsq`` (both
SVD-based, minimum-norm) and ``fit_regularized_linear`` against the NumPy
normal-equation solve of the same penalised system.

``ols`` decomposes X itself and keeps the thin n x p left factor up to date
through the whole decomposition (Householder and rotation updates on n x p);
LAPACK's gelsd behind lstsq reduces a tall X by a blocked QR first and never
forms that factor, so on very tall X lstsq does several times less work.
``fit_regularized_linear`` copies Phi once at the boundary (as every entry
does) before its rank update; NumPy multiplies the caller's array in place.
Both of ours run on one thread in the portable (SSE2) build, while NumPy's
OpenBLAS picks AVX-512 kernels for this CPU at run time and may use threads.
"""

from __future__ import annotations

from typing import List

import numpy as np

import zelt_core
from harness import Workload

OLS_NOTE = ("method fixed: SVD of X itself with thin U and V (an n x p factor kept up to date "
            "throughout); lstsq's gelsd reduces a tall X by a blocked QR first and never forms it; "
            "OpenBLAS/LAPACK with AVX-512 kernels against our portable SSE2 build")
FIT_NOTE = ("the boundary copies Phi (n x p doubles) before Phi'Phi, which Eigen forms on one "
            "thread with SSE2; NumPy's X.T @ X runs in OpenBLAS (AVX-512, threads) on the caller's array")


def _smoothness(p: int) -> np.ndarray:
    # Symmetric positive semi-definite p x p penalty (squared second differences).
    D = np.diff(np.eye(p), n=2, axis=0)
    return D.T @ D


def _np_penalised(X, y, R1, R2, g1, g2, ridge):
    m = float(len(y))
    A = X.T @ X
    A[np.diag_indices_from(A)] += ridge
    A += (m * g1) * R1
    A += (m * g2) * R2
    return np.linalg.solve(A, X.T @ y)


def workloads(quick: bool) -> List[Workload]:
    rng = np.random.default_rng(20240501)
    # (n, p, memory order of X); C order is what NumPy hands out by default.
    cases = [(200, 10, "C")] if quick else [
        (1_000, 10, "C"),
        (1_000, 20, "C"),
        (100_000, 10, "C"),
        (100_000, 20, "C"),
        (100_000, 20, "F"),
    ]
    out: List[Workload] = []
    for n, p, order in cases:
        X = np.asarray(rng.standard_normal((n, p)), order=order)
        y = X @ rng.standard_normal(p) + 0.1 * rng.standard_normal(n)
        R1, R2 = _smoothness(p), np.eye(p)
        pen = (R1, R2, 1e-3, 1e-4, 1e-10)
        tag = f"n={n} p={p} {order}-order"
        out.append(
            Workload(
                f"ols {tag}",
                lambda X=X, y=y: zelt_core.ols(X, y),
                lambda X=X, y=y: np.linalg.lstsq(X, y, rcond=None)[0],
                theirs_label="numpy.linalg.lstsq",
                why_slower=OLS_NOTE,
            )
        )
        out.append(
            Workload(
                f"fit_regularized_linear {tag}",
                lambda X=X, y=y, pen=pen: zelt_core.fit_regularized_linear(X, y, *pen),
                lambda X=X, y=y, pen=pen: _np_penalised(X, y, *pen),
                theirs_label="numpy normal equations",
                why_slower=FIT_NOTE,
            )
        )
    return out
