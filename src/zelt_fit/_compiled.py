"""The compiled pass: the sums of `_passes.block_stats` over every row of raw
X and y, in one call of `zelt_fit._kernel`.

Each row's scaled variables and basis are formed on the fly (no design
matrix), every sum of a round in one sweep. The rows are cut into fixed blocks
whose sums are added in block order, so a pass gives the same bits for any
number of threads; the blocks run on the OpenMP team. X and y are read in
place, float64 or float32."""
from __future__ import annotations

import os
from typing import Optional, Tuple

import numpy as np

try:
    from . import _kernel
except ImportError:  # a copy of the sources without the built module: the NumPy reference runs
    _kernel = None  # type: ignore[assignment]
from ._passes import Evaluation, Stats
from ._units import Scaling

__all__ = ["enabled", "kernel_stats", "kernel_inliers", "fit_series", "BLOCK_ROWS"]

# Rows per block of the compiled pass: the order of its additions depends on
# this alone (never on the thread count).
BLOCK_ROWS = int(_kernel.BLOCK_ROWS) if _kernel is not None else 16384


def enabled() -> bool:
    """Whether in-memory and Dask problems run their passes compiled.

    ZELT_FIT_PASS=numpy selects the NumPy reference (`_passes.block_stats` over
    row blocks), which the tests compare the compiled pass with; anything else,
    or nothing, the compiled pass. Sources run without their built module
    (a copy of src/zelt_fit) run the reference."""
    return _kernel is not None and os.environ.get("ZELT_FIT_PASS", "compiled").strip().lower() != "numpy"


def _as_2d(X: np.ndarray) -> np.ndarray:
    X = np.asarray(X)
    return X.reshape(X.shape[0], -1) if X.ndim != 2 else X


def _evaluation_args(ev: Evaluation, prefix: str = "") -> dict:
    return {prefix + "coef": np.asarray(ev.coef, dtype=np.float64), prefix + "cut": float(ev.cut),
            prefix + "g": None if ev.g is None else np.asarray(ev.g, dtype=np.float64),
            prefix + "bisquare": None if ev.bisquare is None else float(ev.bisquare),
            prefix + "tuning": float(ev.tuning)}


def _scaling_args(scaling: Scaling) -> dict:
    return {"x_center": np.asarray(scaling.x_center, dtype=np.float64),
            "x_scale": np.asarray(scaling.x_scale, dtype=np.float64),
            "y_center": float(scaling.y_center), "y_scale": float(scaling.y_scale)}


def kernel_stats(X: np.ndarray, y: np.ndarray, terms: np.ndarray, scaling: Scaling, ev: Evaluation,
                 previous: Optional[Evaluation] = None, variance: bool = False, clip: Optional[float] = None,
                 previous_keep: Optional[np.ndarray] = None, keep_out: Optional[np.ndarray] = None,
                 cw: Optional[np.ndarray] = None, block_rows: int = BLOCK_ROWS) -> Stats:
    """The `Stats` of one pass over raw X (n, d) and y (n,), as `block_stats`
    gives them for the scaled design of the same rows; with case weights `cw`,
    each row's terms times its weight, and ``wcount`` the weights' sum over the
    kept rows (set on the returned `Stats`).

    Examples
    --------
    >>> import numpy as np
    >>> from zelt_fit._units import Scaling
    >>> s = Scaling(np.zeros(1), np.ones(1), 0.0, 1.0)
    >>> st = kernel_stats(np.array([[0.0], [1.0]]), np.array([1.0, 2.0]), np.array([[0], [1]]), s,
    ...                   Evaluation(np.array([1.0, 1.0]), 0.5))
    >>> st.count, st.G.tolist()
    (2, [[2.0, 1.0], [1.0, 1.0]])
    """
    args = _evaluation_args(ev)
    if previous is not None and previous_keep is None:
        args.update(_evaluation_args(previous, "prev_"))
    out = _kernel.pass_sums(_as_2d(X), np.asarray(y).reshape(-1), np.asarray(terms, dtype=np.int32),
                            **_scaling_args(scaling), **args, previous_keep=previous_keep, keep_out=keep_out,
                            variance=bool(variance), clip=None if clip is None else float(clip), cw=cw,
                            block_rows=int(block_rows))
    return Stats(**out)


def kernel_inliers(X: np.ndarray, y: np.ndarray, terms: np.ndarray, scaling: Scaling,
                   ev: Evaluation) -> Tuple[np.ndarray, np.ndarray]:
    """Every row's membership and robustness weight (0 off the set)."""
    return _kernel.inliers(_as_2d(X), np.asarray(y).reshape(-1), np.asarray(terms, dtype=np.int32),
                           **_scaling_args(scaling), **_evaluation_args(ev))


def fit_series(X: np.ndarray, Y: np.ndarray, terms: np.ndarray, scaling: Scaling, y_center: np.ndarray,
               y_scale: np.ndarray, tolerance: np.ndarray, cw: Optional[np.ndarray], total: float,
               sample: np.ndarray, Phi_s: np.ndarray, settings, centred: bool, auto: bool, top: int,
               degrees: np.ndarray, penalty, own: Optional[list] = None, weights: bool = True) -> dict:
    """The whole robust fit of every column of Y (n, m) against X (n, d), in one
    call of `zelt_fit._kernel`: the search on the rows `sample` (whose scaled
    design is Phi_s), the starts, the consensus rounds, the degree for
    ``auto``, the M-step and its covariance; the series shared by the OpenMP
    team. Column k is on the scaled problem of `scaling`'s variables and
    (y_center[k], y_scale[k]); its search's band is tolerance[k]. Returns a
    dict of arrays with a row per series (see ``_kernel.fit_series``). `own`:
    per series None, or the rows it uses among X's and its own scaling of x,
    sample, sample design, largest degree, weighted size and whether the case
    weights apply, as a tuple (a series with missing values of its own).
    `weights` False: the rows' memberships alone (``"weights"`` is empty)."""
    return _kernel.fit_series(
        _as_2d(X), np.asarray(Y),
        np.asarray(terms, dtype=np.int32), np.asarray(scaling.x_center, dtype=np.float64),
        np.asarray(scaling.x_scale, dtype=np.float64), np.ascontiguousarray(y_center, dtype=np.float64),
        np.ascontiguousarray(y_scale, dtype=np.float64), np.ascontiguousarray(tolerance, dtype=np.float64),
        None if cw is None else np.ascontiguousarray(cw, dtype=np.float64), float(total),
        np.ascontiguousarray(sample, dtype=np.int64), np.asarray(Phi_s, dtype=np.float64),
        int(settings.n_chains), int(settings.n_warmup), int(settings.n_deep), int(settings.n_elite),
        float(settings.step_size), int(settings.seed), bool(centred), bool(auto), int(top),
        np.asarray(degrees).tolist(), float(penalty.slope), float(penalty.curvature),
        penalty.R1 if penalty.active else None, penalty.R2 if penalty.active else None, own, bool(weights))
