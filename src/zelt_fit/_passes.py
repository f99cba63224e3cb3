"""One pass over the rows of the scaled problem: the sums a refit round needs.

Every round of the refit is one such pass, and a pass is a sum over row blocks
of the same per-block statistics, so a refit runs unchanged on one array, on
row blocks of a large one, or on the chunks of a Dask array."""
from __future__ import annotations

from dataclasses import dataclass
from typing import Optional

import numpy as np

__all__ = ["Evaluation", "Stats", "block_stats", "variance_basis", "relative_scale"]

# Rows per block of a pass: large enough that NumPy's per-call cost vanishes,
# small enough that a block's design stays in cache.
BLOCK_ROWS = 32768
# The modelled noise scale is held within a factor exp(LOG_REL) = 30 of its
# geometric mean: a quadratic in log r^2 extrapolated past the data could
# otherwise overflow.
LOG_REL = float(np.log(30.0))
# tuning of the bisquare criterion of `clip`: 95 % Gaussian efficiency
RHO_C = 4.6850649


def variance_basis(U: np.ndarray) -> np.ndarray:
    """Columns 1, u_j, u_j^2 of each scaled variable: the model of log r^2."""
    n, d = U.shape
    Q = np.empty((n, 1 + 2 * d))
    Q[:, 0] = 1.0
    Q[:, 1::2] = U
    Q[:, 2::2] = U * U
    return Q


def relative_scale(U: np.ndarray, g: np.ndarray) -> np.ndarray:
    """Noise scale relative to its geometric mean: exp(Q'g / 2), held within
    exp(LOG_REL)."""
    return np.exp(np.clip(0.5 * (variance_basis(U) @ g), -LOG_REL, LOG_REL))


@dataclass(frozen=True)
class Evaluation:
    """What a pass evaluates at every row: residual r = v - phi'coef,
    standardised t = r / rel with rel = exp(Q'g / 2) (1 without a variance
    model), the point kept when |t| <= cut, and its weight: 1 / rel^2, times
    Tukey's bisquare weight
    (1 - (t / bisquare)^2)^2 in the final M-step (whose points are those with
    |t| < bisquare, a weight above 0)."""

    coef: np.ndarray
    cut: float
    g: Optional[np.ndarray] = None
    bisquare: Optional[float] = None
    tuning: float = 4.6850649        # c of the bisquare: bisquare / tuning is the scale

    def keeps(self, a: np.ndarray) -> np.ndarray:
        """The kept rows among standardised residuals of absolute value a."""
        return a < self.bisquare if self.bisquare is not None else a <= self.cut

    def weights(self, a: np.ndarray) -> np.ndarray:
        """Each row's robustness weight in the estimate, in [0, 1]: the
        bisquare's (1 - (t / bisquare)^2)^2, or 1 for a kept row of a cut."""
        if self.bisquare is None:
            return self.keeps(a).astype(np.float64)
        q = np.minimum(a / self.bisquare, 1.0)
        q = 1.0 - q * q
        return q * q

    def residuals(self, Phi: np.ndarray, v: np.ndarray, U: np.ndarray):
        r = v - Phi @ self.coef
        if self.g is None:
            return r, r, None
        rel = relative_scale(U, self.g)
        return r, r / rel, rel


@dataclass
class Stats:
    """Sums over the rows of one pass (added block by block)."""

    G: np.ndarray                    # sum w phi phi'
    h: np.ndarray                    # sum w phi v
    vv: float = 0.0                  # sum w v^2
    count: int = 0                   # rows kept
    tt: float = 0.0                  # sum over kept rows of t^2 (at the evaluated coef)
    changed: int = 0                 # rows kept here but not by the previous evaluation, or the reverse
    psi2: float = 0.0                # sum over kept rows of psi(t / s)^2 (the M-step)
    dpsi: float = 0.0                # sum over kept rows of psi'(t / s)
    dpsi2: float = 0.0               # sum over kept rows of psi'(t / s)^2
    QQ: Optional[np.ndarray] = None  # variance model: sum Q Q', sum Q z, sum z, sum z^2, z = log r^2
    Qz: Optional[np.ndarray] = None
    z1: float = 0.0
    z2: float = 0.0
    Gu: Optional[np.ndarray] = None  # sum over kept rows of phi phi' / rel^2 (no robustness weight)
    Hpsi: Optional[np.ndarray] = None  # sum over kept rows of psi'(u) phi phi' / rel^2: the M-step's Hessian
    gpsi: Optional[np.ndarray] = None  # sum over kept rows of psi(u) phi / rel: its gradient
    clipped: float = 0.0             # sum over all rows of 2 rho(r / clip), when asked
    prev_rr: float = 0.0             # sum over the previous evaluation's kept rows of r^2 at this coef
    wcount: float = 0.0              # sum of the case weights of the kept rows (count without them)

    def __iadd__(self, other: "Stats") -> "Stats":
        self.G += other.G
        self.h += other.h
        self.vv += other.vv
        self.count += other.count
        self.wcount += other.wcount
        self.tt += other.tt
        self.changed += other.changed
        self.psi2 += other.psi2
        self.dpsi += other.dpsi
        self.dpsi2 += other.dpsi2
        self.z1 += other.z1
        self.z2 += other.z2
        self.clipped += other.clipped
        self.prev_rr += other.prev_rr
        for name in ("QQ", "Qz", "Gu", "Hpsi", "gpsi"):
            mine, theirs = getattr(self, name), getattr(other, name)
            if theirs is not None:
                setattr(self, name, theirs.copy() if mine is None else mine + theirs)
        return self


def block_stats(Phi: np.ndarray, v: np.ndarray, U: np.ndarray, ev: Evaluation,
                previous: Optional[Evaluation] = None, variance: bool = False,
                clip: Optional[float] = None,
                previous_keep: Optional[np.ndarray] = None, keep_out: Optional[np.ndarray] = None,
                cw: Optional[np.ndarray] = None) -> Stats:
    """The sums of one block of rows. `previous`: count the rows whose
    membership differs from that evaluation's. `variance`: the sums of the
    regression of log r^2 on the variance basis over the kept rows. `clip`:
    the sum of 2 rho(r / clip) over every row, rho Tukey's bisquare. `previous_keep`:
    the previous evaluation's kept rows, when the caller has kept them (then
    they are not evaluated again); `keep_out`: where to write this one's.
    `cw`: the rows' case weights (finite, >= 0; None: all 1), which multiply
    each row's term of every sum (a row of weight k counts as k copies of it);
    `count` and `changed` still count rows, `wcount` sums the kept rows' weights."""
    r, t, rel = ev.residuals(Phi, v, U)
    a = np.abs(t)
    if ev.bisquare is not None:
        keep = ev.keeps(a)
        out = _bisquare_stats(Phi, v, t, rel, keep, ev, cw)
        return _finish_block(out, Phi, v, U, r, keep, previous, variance, clip,
                             previous_keep, keep_out, cw)
    keep = a <= ev.cut
    w = keep.astype(np.float64)
    if cw is not None:
        w *= cw
    if rel is not None:
        w /= rel * rel
    # the transpose of the (column-major) design is row-major: its rows scale
    # by w in one contiguous sweep each
    Pw = Phi.T * w
    tk = np.where(keep, t, 0.0)
    count = int(np.count_nonzero(keep))
    if cw is None:
        out = Stats(G=Pw @ Phi, h=Pw @ v, vv=float(w @ (v * v)), count=count, tt=float(tk @ tk),
                    wcount=float(count))
    else:
        out = Stats(G=Pw @ Phi, h=Pw @ v, vv=float(w @ (v * v)), count=count, tt=float((cw * tk) @ tk),
                    wcount=float(cw[keep].sum()))
    return _finish_block(out, Phi, v, U, r, keep, previous, variance, clip,
                         previous_keep, keep_out, cw)


def _bisquare_stats(Phi: np.ndarray, v: np.ndarray, t: np.ndarray, rel: Optional[np.ndarray],
                    keep: np.ndarray, ev: Evaluation, cw: Optional[np.ndarray] = None) -> Stats:
    """The sums of one round of the final M-step: the weighted normal equations
    of the next reweighted least-squares solve, and for the covariance the
    matrix over the kept points and the sums of psi^2, psi' and psi'^2 at
    u = t / scale (psi(u) = u (1 - (u/c)^2)^2)."""
    assert ev.bisquare is not None
    q = np.where(keep, t / ev.bisquare, 0.0)
    q2 = q * q
    wb = np.where(keep, (1.0 - q2) ** 2, 0.0)
    inv = 1.0 if rel is None else 1.0 / (rel * rel)
    PT = Phi.T
    Pw = PT * (wb * inv)
    Gu = (PT * (keep * inv)) @ Phi
    u = q * ev.tuning
    psi = u * wb
    dpsi = np.where(keep, (1.0 - q2) * (1.0 - 5.0 * q2), 0.0)
    tk = np.where(keep, t, 0.0)
    count = int(np.count_nonzero(keep))
    if cw is None:
        return Stats(G=Pw @ Phi, h=Pw @ v, vv=float((wb * inv) @ (v * v)), count=count,
                     tt=float(tk @ tk), psi2=float(psi @ psi), dpsi=float(dpsi.sum()), dpsi2=float(dpsi @ dpsi),
                     Gu=Gu, Hpsi=(PT * (dpsi * inv)) @ Phi, gpsi=PT @ (psi if rel is None else psi / rel),
                     wcount=float(count))
    # every row's term times its case weight
    wi = cw * inv
    wbi = wb * wi
    return Stats(G=(PT * wbi) @ Phi, h=(PT * wbi) @ v, vv=float(wbi @ (v * v)), count=count,
                 tt=float((cw * tk) @ tk), psi2=float((cw * psi) @ psi), dpsi=float(cw @ dpsi),
                 dpsi2=float((cw * dpsi) @ dpsi), Gu=(PT * (keep * wi)) @ Phi, Hpsi=(PT * (dpsi * wi)) @ Phi,
                 gpsi=PT @ (cw * psi if rel is None else cw * psi / rel), wcount=float(cw[keep].sum()))


def _finish_block(out: Stats, Phi, v, U, r, keep, previous, variance, clip,
                  previous_keep, keep_out, cw=None) -> Stats:
    if keep_out is not None:
        keep_out[:] = keep
    if previous_keep is not None or previous is not None:
        if previous_keep is None:
            _, tp, _ = previous.residuals(Phi, v, U)
            previous_keep = previous.keeps(np.abs(tp))
        out.changed = int(np.count_nonzero(keep != previous_keep))
        rp = np.where(previous_keep, r, 0.0)
        out.prev_rr = float(rp @ rp) if cw is None else float((cw * rp) @ rp)
    if clip is not None:
        # the bisquare criterion sum 2 rho(r / clip), rho as statsmodels scales
        # it (t^2 / 2 near 0, c^2 / 6 from c on): like a sum of squared
        # standardised residuals where they are small, a constant for outliers
        with np.errstate(over="ignore", divide="ignore", invalid="ignore"):
            q = np.minimum(np.abs(r) / (clip * RHO_C), 1.0)
        q = 1.0 - q * q
        rho = 1.0 - q * q * q
        out.clipped = RHO_C * RHO_C / 3.0 * float(np.sum(rho) if cw is None else cw @ rho)
    if variance:
        Q = variance_basis(U[keep])
        z = np.log(np.maximum(r[keep] ** 2, 1e-300))
        if cw is None:
            out.QQ, out.Qz = Q.T @ Q, Q.T @ z
            out.z1, out.z2 = float(z.sum()), float(z @ z)
        else:
            ck = cw[keep]
            out.QQ, out.Qz = (Q.T * ck) @ Q, Q.T @ (ck * z)
            out.z1, out.z2 = float(ck @ z), float((ck * z) @ z)
    return out

