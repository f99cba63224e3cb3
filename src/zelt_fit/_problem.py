"""The rows of a fit, where they live: in memory, or in the chunks of Dask arrays.

A problem knows its scaling, gives the search its sample of points, runs a pass
(the sums of `_passes.block_stats` over every row), and marks the inliers. A
pass is one call of the compiled kernel (`_compiled`) on the raw x and y: no
design matrix, no copy of x or y (peak memory: two inlier masks). With
ZELT_FIT_PASS=numpy the NumPy reference runs instead: a small problem keeps its
scaled design, a large one builds it block by block. On Dask every pass is one
reduction over the chunks (one kernel call per chunk), computed where the
chunks live; the client holds only the sums.
"""
from __future__ import annotations

from typing import Any, Optional, Tuple

import numpy as np

from . import _compiled, _engine
from ._passes import BLOCK_ROWS, Evaluation, Stats, block_stats
from ._units import Scaling

__all__ = ["ArrayProblem", "DaskProblem", "LazyWeights", "is_dask", "spread_subset", "stride_subset"]


def is_dask(a: object) -> bool:
    """A Dask array, recognised without importing Dask."""
    return type(a).__module__.split(".")[0] == "dask" and hasattr(a, "chunks") and hasattr(a, "to_delayed")


def _morton_order(U: np.ndarray) -> np.ndarray:
    """Order of the points along a Z-order (Morton) curve through [-1, 1]^d:
    the bits of the quantised coordinates interleaved, so that points close in
    the order are close in space."""
    n, d = U.shape
    bits = max(1, min(21, 63 // d))
    q = np.clip(((U + 1.0) * 0.5 * (2 ** bits)).astype(np.int64), 0, 2 ** bits - 1).astype(np.uint64)
    code = np.zeros(n, dtype=np.uint64)
    for b in range(bits):
        for j in range(d):
            code |= ((q[:, j] >> np.uint64(b)) & np.uint64(1)) << np.uint64(b * d + j)
    return stable_argsort(code)


def stable_argsort(a: np.ndarray) -> np.ndarray:
    """``np.argsort(a, kind="stable")`` of a 1-D array without NaN, from the
    faster unstable sort: the indices of each run of equal values, which it
    may leave in any order, put back in ascending order (only those runs are
    sorted again)."""
    order = np.argsort(a)
    if order.size < 2:
        return order
    s = a[order]
    tie = s[1:] == s[:-1]
    if not tie.any():
        return order
    member = np.zeros(order.size, dtype=bool)      # positions inside a run of equal values
    member[1:] |= tie
    member[:-1] |= tie
    at = np.flatnonzero(member)
    run = np.cumsum(np.concatenate([[True], ~tie]))[at]   # each position's run of equal values
    idx = order[at]
    order[at] = idx[np.lexsort((idx, run))]
    return order


def spread_subset(U: np.ndarray, size: int) -> np.ndarray:
    """Indices of `size` points spread evenly over the data: every (n / size)-th
    point in the order of x in one variable, along a Z-order curve in several
    (in one variable the two orders agree up to ties)."""
    n, d = U.shape
    order = stable_argsort(U[:, 0]) if d == 1 else _morton_order(U)
    return order[stride_subset(n, size)]


def stride_subset(n: int, size: int) -> np.ndarray:
    """Every (n / size)-th row index: a sample that needs no sort of the data."""
    return np.linspace(0, n - 1, size).round().astype(np.int64)


# Above this many points the search's sample is taken every (n / size)-th row
# instead of spread over a sort of x (the sort would cost more than the fit), and
# y's median and MAD, which only set the units of the scaled problem, come from
# every (n / SCALE_POINTS)-th row.
SORT_POINTS = 200_000
SCALE_POINTS = 100_000
# A problem whose scaled design, variables and y take at most this many bytes
# keeps them for all its passes; a larger one builds them block by block.
KEEP_BYTES = 64 * 2 ** 20


def _standardised(Phi: np.ndarray, v: np.ndarray, U: np.ndarray, sw: Optional[np.ndarray]):
    """(Phi, v, U) of rows of relative precision sw^2: the design's rows and v
    times sw (a residual then has the same variance at every row)."""
    if sw is None:
        return Phi, v, U
    return Phi * sw[:, None], v * sw, U


class ArrayProblem:
    """The scaled problem of in-memory arrays X (n, d) and y (n,), with the
    rows' case weights `cw` (None: all 1)."""

    def __init__(self, X: np.ndarray, y: np.ndarray, terms: np.ndarray, scaling: Scaling,
                 block: int = BLOCK_ROWS, keep: Optional[bool] = None, cw: Optional[np.ndarray] = None,
                 sw: Optional[np.ndarray] = None, compiled: Optional[bool] = None) -> None:
        self.X, self.y, self.terms, self.scaling = X, y, terms, scaling
        self.n = int(y.shape[0])
        self.cw = cw
        # inverse-variance weights: each row's design and y times the square
        # root of its (relative) precision, so that every residual is on one scale
        self.sw = sw
        # the number of points as the estimate counts them: the weights summed
        self.total = float(self.n) if cw is None else float(cw.sum())
        self.block = int(block)
        p, d = terms.shape
        # `block` and `keep` shape the NumPy reference only (`compiled=False`);
        # inverse-variance weights (`sw`) still run there
        self.compiled = (_compiled.enabled() if compiled is None else bool(compiled)) and sw is None
        self.small = (self.n <= self.block or self.n * (p + d + 1) * 8 <= KEEP_BYTES) if keep is None else keep
        self._full: Optional[Tuple[np.ndarray, np.ndarray, np.ndarray]] = None
        # the rows the last pass kept (one byte a row), so that the next pass
        # compares with them instead of evaluating the previous solve again
        self._last: Optional[Evaluation] = None
        # (allocated by the first pass: a fit that runs whole in compiled code never makes one here)
        self._keep_buf: Optional[np.ndarray] = None
        self._spare_buf: Optional[np.ndarray] = None
        if self.small and not self.compiled:
            U = scaling.u(X)
            self._full = _standardised(_engine.design(terms, U), scaling.v(y), U, sw)

    @property
    def _keep(self) -> np.ndarray:
        if self._keep_buf is None:
            self._keep_buf = np.zeros(self.n, dtype=bool)
        return self._keep_buf

    @_keep.setter
    def _keep(self, value: np.ndarray) -> None:
        self._keep_buf = value

    @property
    def _spare(self) -> np.ndarray:
        if self._spare_buf is None:
            self._spare_buf = np.zeros(self.n, dtype=bool)
        return self._spare_buf

    @_spare.setter
    def _spare(self, value: np.ndarray) -> None:
        self._spare_buf = value

    def _blocks(self):
        if self._full is not None:
            Phi, v, U = self._full
            for lo in range(0, self.n, self.block):
                hi = min(self.n, lo + self.block)
                yield Phi[lo:hi], v[lo:hi], U[lo:hi]
            return
        for lo in range(0, self.n, self.block):
            hi = min(self.n, lo + self.block)
            U = self.scaling.u(self.X[lo:hi])
            yield _standardised(_engine.design(self.terms, U), self.scaling.v(self.y[lo:hi]), U,
                                None if self.sw is None else self.sw[lo:hi])

    def __call__(self, ev: Evaluation, previous: Optional[Evaluation] = None, variance: bool = False,
                 clip: Optional[float] = None) -> Stats:
        total: Optional[Stats] = None
        known = previous is not None and previous is self._last
        out, lo = self._spare, 0
        cw = self.cw
        if self.compiled:
            total = _compiled.kernel_stats(self.X, self.y, self.terms, self.scaling, ev, previous, variance, clip,
                                           previous_keep=self._keep if known else None, keep_out=out, cw=cw)
            self._spare, self._keep, self._last = self._keep, out, ev
            return total
        for Phi, v, U in self._blocks():
            hi = lo + v.shape[0]
            part = block_stats(Phi, v, U, ev, previous, variance, clip,
                               previous_keep=self._keep[lo:hi] if known else None, keep_out=out[lo:hi],
                               cw=None if cw is None else cw[lo:hi])
            lo = hi
            if total is None:
                total = part
            else:
                total += part
        assert total is not None
        self._spare, self._keep, self._last = self._keep, out, ev
        return total

    def rows(self, index: Optional[np.ndarray]):
        """(Phi, v, U) of some rows (None: every row, in order, without a copy of X and y first)."""
        if index is None:
            U = self.scaling.u(self.X)
            return _standardised(_engine.design(self.terms, U), self.scaling.v(self.y), U, self.sw)
        U = self.scaling.u(self.X[index])
        return _standardised(_engine.design(self.terms, U), self.scaling.v(self.y[index]), U,
                             None if self.sw is None else self.sw[index])

    def sample(self, size: int) -> np.ndarray:
        """Row indices of the search's points: all of them, or `size` spread
        over the data. With case weights a row comes as often as its weight
        asks (`_weights.unit_rows`): integer weights give the rows of the
        replicated data's sample."""
        if self.cw is not None:
            from ._weights import is_integral, unit_rows

            units = self.total if is_integral(self.cw) else self.n
            if units <= size or units > SORT_POINTS:
                return unit_rows(self.cw, None, size)
            U = self.scaling.u(self.X)
            order = stable_argsort(U[:, 0]) if U.shape[1] == 1 else _morton_order(U)
            return unit_rows(self.cw, order, size)
        if self.n <= size:
            return np.arange(self.n)
        if self.n > SORT_POINTS:
            return stride_subset(self.n, size)
        return spread_subset(self.scaling.u(self.X), size)

    def tolerance(self) -> float:
        """The search's band, from the MAD of every scaled y."""
        return _engine.tolerance_of_mad(self.scaling.v_mad)

    def inliers(self, ev: Evaluation) -> Tuple[np.ndarray, np.ndarray]:
        """The kept rows and every row's robustness weight (0 off the set)."""
        if self.compiled:
            return _compiled.kernel_inliers(self.X, self.y, self.terms, self.scaling, ev)
        out = np.empty(self.n, dtype=bool)
        w = np.empty(self.n)
        lo = 0
        for Phi, v, U in self._blocks():
            _, t, _ = ev.residuals(Phi, v, U)
            a = np.abs(t)
            keep = ev.keeps(a)
            out[lo:lo + v.shape[0]] = keep
            w[lo:lo + v.shape[0]] = np.where(keep, ev.weights(a), 0.0)
            lo += v.shape[0]
        return out, w


class LazyWeights:
    """Every row's robustness weight in a fit, formed when first asked for: a
    large fit returns its inlier mask (a byte a row) and keeps what forms the
    weights (eight bytes a row) instead of the weights themselves. `complete`:
    where the fitted rows sit among the input's (None: they are the input)."""

    def __init__(self, X: np.ndarray, y: np.ndarray, terms: np.ndarray, scaling: Scaling, ev: Evaluation) -> None:
        self.X, self.y, self.terms, self.scaling, self.ev = X, y, terms, scaling, ev
        self.complete: Optional[np.ndarray] = None

    def __call__(self) -> np.ndarray:
        if _compiled.enabled():
            w = _compiled.kernel_inliers(self.X, self.y, self.terms, self.scaling, self.ev)[1]
        else:
            w = ArrayProblem(self.X, self.y, self.terms, self.scaling, compiled=False).inliers(self.ev)[1]
        if self.complete is not None:
            full = np.zeros(self.complete.shape[0])
            full[np.flatnonzero(self.complete)] = w
            w = full
        return w


def _chunk_stats(x: np.ndarray, y: np.ndarray, terms, scaling, ev, previous, variance, clip,
                 w: Optional[np.ndarray] = None, precision: Optional[float] = None,
                 compiled: bool = True) -> Stats:
    """One chunk's sums: one kernel call, or (the NumPy reference, and
    inverse-variance weights for now) blocks of BLOCK_ROWS rows (a block's
    design stays in cache); `w` the chunk's case weights, or with `precision`
    (their mean) its inverse-variance weights."""
    X = x.reshape(x.shape[0], -1)
    y = np.asarray(y).ravel()
    w = None if w is None else np.asarray(w, dtype=np.float64).ravel()
    if compiled and precision is None:
        return _compiled.kernel_stats(X, y, terms, scaling, ev, previous, variance, clip, cw=w)
    total: Optional[Stats] = None
    for lo in range(0, max(X.shape[0], 1), BLOCK_ROWS):
        hi = min(X.shape[0], lo + BLOCK_ROWS)
        U = scaling.u(X[lo:hi].astype(np.float64, copy=False))
        v = scaling.v(y[lo:hi].astype(np.float64, copy=False))
        if precision is not None:
            assert w is not None
            Phi, v, U = _standardised(_engine.design(terms, U), v, U, np.sqrt(w[lo:hi] / precision))
            part = block_stats(Phi, v, U, ev, previous, variance, clip)
        else:
            part = block_stats(_engine.design(terms, U), v, U, ev, previous, variance, clip,
                               cw=None if w is None else w[lo:hi])
        if total is None:
            total = part
        else:
            total += part
    assert total is not None
    return total


def _add(*parts: Stats) -> Stats:
    total = parts[0]
    for part in parts[1:]:
        total += part
    return total


def _chunk_inliers(x: np.ndarray, y: np.ndarray, terms, scaling, ev, w=None,
                   precision: Optional[float] = None, compiled: bool = True) -> np.ndarray:
    """One chunk's robustness weights, as column 0 of a (rows, 1) block (0 off the set)."""
    if compiled and precision is None:
        return _compiled.kernel_inliers(x.reshape(x.shape[0], -1), np.asarray(y).ravel(), terms, scaling, ev)[1]
    X = x.reshape(x.shape[0], -1).astype(np.float64, copy=False)
    U = scaling.u(X)
    v = scaling.v(np.asarray(y, dtype=np.float64).ravel())
    sw = None if precision is None else np.sqrt(np.asarray(w, dtype=np.float64).ravel() / precision)
    Phi, v, U = _standardised(_engine.design(terms, U), v, U, sw)
    _, t, _ = ev.residuals(Phi, v, U)
    a = np.abs(t)
    return np.where(ev.keeps(a), ev.weights(a), 0.0)


def _chunk_units(w: np.ndarray, start: float, pos: np.ndarray, offset: int) -> np.ndarray:
    """The rows (global indices) of one chunk that hold the sample's units at
    `pos` (cumulated weight), the chunk's weights beginning at `start`."""
    cum = start + np.cumsum(np.asarray(w, dtype=np.float64).ravel())
    return offset + np.minimum(np.searchsorted(cum, pos, side="right"), cum.size - 1)


def _dask_unit_rows(w: Any, total: float, integral: bool, size: int) -> np.ndarray:
    """`_weights.unit_rows` of a Dask array of weights in the rows' own order:
    the chunks' sums in one pass, then each chunk maps its own units to rows."""
    import dask

    sums = np.asarray(dask.compute(*[dask.delayed(np.sum)(c) for c in w.to_delayed().ravel()]),
                      dtype=np.float64)
    if integral:
        pos = (np.arange(int(total), dtype=np.float64) if total <= size
               else np.linspace(0, total - 1, size).round())
    else:
        pos = (np.arange(size) + 0.5) * (total / size)
    starts = np.concatenate([[0.0], np.cumsum(sums)[:-1]])
    ends = starts + sums
    offsets = np.concatenate([[0], np.cumsum(w.chunks[0])[:-1]]).astype(np.int64)
    parts = []
    for k, chunk in enumerate(w.to_delayed().ravel()):
        last = k == len(sums) - 1
        mine = pos[(pos >= starts[k]) & ((pos < ends[k]) | last)]
        if mine.size:
            parts.append(dask.delayed(_chunk_units, pure=True)(chunk, float(starts[k]), mine, int(offsets[k])))
    return np.concatenate(dask.compute(*parts)).astype(np.int64)


class DaskProblem:
    """The scaled problem of Dask arrays x (n,) or (n, d) and y (n,), chunked
    along the rows, with case weights `w` (a Dask array chunked like y, or
    None); x, y and w are read chunk by chunk where they live."""

    def __init__(self, x: Any, y: Any, terms: np.ndarray, scaling: Scaling, w: Any = None,
                 total: Optional[float] = None, integral: bool = True, precision: Optional[float] = None,
                 compiled: Optional[bool] = None) -> None:
        self.x, self.y, self.terms, self.scaling, self.w = x, y, terms, scaling, w
        # inverse-variance weights: their mean (None: w are case weights)
        self.precision = precision
        self.n = int(y.shape[0])
        self.total = float(self.n) if total is None else float(total)
        self.integral = integral
        self._xs = x.to_delayed().ravel().tolist()
        self._ys = y.to_delayed().ravel().tolist()
        self._ws = w.to_delayed().ravel().tolist() if w is not None else [None] * len(self._ys)
        self.compiled = _compiled.enabled() if compiled is None else bool(compiled)

    def __call__(self, ev: Evaluation, previous: Optional[Evaluation] = None, variance: bool = False,
                 clip: Optional[float] = None) -> Stats:
        import dask

        parts = [dask.delayed(_chunk_stats, pure=True)(xc, yc, self.terms, self.scaling, ev, previous,
                                                       variance, clip, wc, self.precision, self.compiled)
                 for xc, yc, wc in zip(self._xs, self._ys, self._ws)]
        # a tree of sums: no node adds more than 8 chunks' sums
        while len(parts) > 1:
            parts = [dask.delayed(_add, pure=True)(*parts[i:i + 8]) for i in range(0, len(parts), 8)]
        (total,) = dask.compute(parts[0])
        return total

    def rows(self, index: np.ndarray):
        import dask

        xs, ys = dask.compute(self.x[index], self.y[index])
        X = np.asarray(xs, dtype=np.float64).reshape(len(index), -1)
        U = self.scaling.u(X)
        sw = None
        if self.precision is not None:
            sw = np.sqrt(np.asarray(self.w[index].compute(), dtype=np.float64) / self.precision)
        return _standardised(_engine.design(self.terms, U), self.scaling.v(np.asarray(ys, dtype=np.float64)), U, sw)

    def sample(self, size: int) -> np.ndarray:
        if self.w is None or self.precision is not None:
            return np.arange(self.n) if self.n <= size else stride_subset(self.n, size)
        return _dask_unit_rows(self.w, self.total, self.integral, size)

    def tolerance(self) -> float:
        raise NotImplementedError  # set by the fit from its sample

    def inliers(self, ev: Evaluation):
        import dask.array as da

        if self.precision is None:
            w = da.map_blocks(_chunk_inliers, self.x, self.y[:, None], self.terms, self.scaling, ev,
                              None, None, self.compiled, dtype=np.float64, drop_axis=1, chunks=(self.y.chunks[0],))
        else:
            w = da.map_blocks(_chunk_inliers, self.x, self.y[:, None], self.terms, self.scaling, ev,
                              self.w[:, None], self.precision, self.compiled, dtype=np.float64, drop_axis=1,
                              chunks=(self.y.chunks[0],))
        return w > 0.0, w
