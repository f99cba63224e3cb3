"""The refit: from the search's band to precise coefficients, their
covariance and, for deg="auto", the degree.

Starts. Three candidate starts: the points inside the search's band; Tukey's
biweight by reweighted least squares from least squares on the search's
points; and an S-estimate by fast-S on the same points (`_sest`), the start
that points far out in x on a wrong curve (bad leverage points) cannot pull.

Stage 1, the consensus set of each start. Least squares on the start's
points; then the set is redrawn as the points within CUT residual scales of
the solve, and solved again, until it stops changing. The scale is the root
mean square residual of the current set, corrected for the cut (a set cut at
CUT standard deviations of Gaussian noise holds residuals of variance
kappa(CUT) times the noise variance). A scale taken from the set does not
break when half the points are wrong (one-sided), where an M-scale of every
point must.

The choice. The start whose set's solve leaves the least M-scale of the
residuals on the search's points (bisquare, 50 % breakdown) is kept: bad
leverage points cannot make that scale small, so a start they pulled loses.

Stage 2, the estimate. The noise may vary with the variables: log r^2 of the
set is regressed on 1, u_j, u_j^2, and where that regression is significant
(F test at 1e-3) residuals are standardised by its fitted scale and weighted by
its inverse square. Then the MM-step: Tukey's bisquare M-estimate (c = 4.685,
95 % efficiency at Gaussian noise) at a held scale, by reweighted least
squares from the set's solve. The scale held is the set's, or the M-scale of
the solve's residuals on the search's points where that is less and the noise
shows no sign of varying (P > 0.05 in the test above): heavy tails widen the
set's scale, not the M-scale. Its points are those of weight above 0;
its covariance is the M-estimate's over them.

Every round is one pass over the rows (`_passes`): the refit runs the same on
one array, on row blocks, or on a Dask array's chunks.
"""
from __future__ import annotations

from dataclasses import dataclass
from typing import Callable, Optional

import numpy as np
from scipy.special import ndtr

from . import _engine
from ._passes import Evaluation, Stats
from ._sest import C_MM

__all__ = ["Penalty", "Refit", "Stage1", "Columns", "consensus_rounds", "robust_refit", "biweight_start",
           "best_start", "CUT"]

CUT = 4.0
VARIANCE_ALPHA = 1e-3
# the M-step holds the M-scale where it is less than the set's scale unless the
# noise's variance model is significant at this level (heteroscedastic noise
# too weak for VARIANCE_ALPHA still wants the set's wider scale)
TAIL_ALPHA = 0.05
MAX_ROUNDS = 30
# The M-step's rounds stop when no coefficient moves by more than this share
# of its own size (plus the size of the scaled problem's unit).
MAX_MM_ROUNDS = 100
MM_TOL = 1e-10


def kappa(c: float) -> float:
    """E[Z^2 | |Z| <= c] for a standard normal Z."""
    p = 2.0 * ndtr(c) - 1.0
    return float(1.0 - 2.0 * c * np.exp(-0.5 * c * c) / np.sqrt(2.0 * np.pi) / p)


KAPPA = kappa(CUT)


@dataclass(frozen=True)
class Penalty:
    """Smoothness weights of the refit on the scaled problem: the refit
    minimises mean((v - Phi b)^2) + slope * b'R1 b + curvature * b'R2 b."""

    slope: float = 0.0
    curvature: float = 0.0
    R1: Optional[np.ndarray] = None
    R2: Optional[np.ndarray] = None

    @property
    def active(self) -> bool:
        return self.slope != 0.0 or self.curvature != 0.0

    def matrix(self, m: float) -> np.ndarray:
        """m (slope R1 + curvature R2): the penalty in the normal equations of m rows."""
        assert self.R1 is not None and self.R2 is not None
        return m * (self.slope * self.R1 + self.curvature * self.R2)

    def restricted(self, index: np.ndarray) -> "Penalty":
        if not self.active:
            return self
        assert self.R1 is not None and self.R2 is not None
        sub = np.ix_(index, index)
        return Penalty(self.slope, self.curvature, self.R1[sub], self.R2[sub])


# A pass: run(evaluation, previous=None, variance=False, clip=None) -> Stats
PassFn = Callable[..., Stats]


@dataclass
class Refit:
    """Outcome of the refit, on the scaled problem."""

    coef: np.ndarray          # coefficients of the chosen columns of the scaled basis
    final: Evaluation         # the evaluation that defines the inliers (|t| <= cut), full width
    n_inliers: int
    rounds: int               # passes over the data
    cov_unit: np.ndarray      # covariance of coef for sigma = 1
    sigma: float              # the covariance's scale: cov = sigma^2 cov_unit
    dof: float                # residual degrees of freedom
    heteroscedastic: bool     # whether a variance model standardises the residuals
    scale: float              # residual standard deviation of the inliers (standardised)
    wcount: float = float("nan")  # the inliers' case weights summed (n_inliers without weights)


def _sqrt_system(G: np.ndarray, h: np.ndarray):
    """(A, b) with A'A = G and A'b = h: the normal equations as a square
    least-squares problem, for the core's solvers."""
    lam, V = np.linalg.eigh(0.5 * (G + G.T))
    top = max(float(lam[-1]), 0.0)
    keep = lam > top * 1e-15 * len(lam)
    root = np.sqrt(np.where(keep, lam, 0.0))
    A = root[:, None] * V.T
    b = np.where(keep, (V.T @ h) / np.where(keep, root, 1.0), 0.0)
    return A, b


class Columns:
    """A candidate model: some columns of the full scaled basis. Passes run on
    the full basis with the other coefficients zero, so every candidate shares
    one source of rows; the sums are cut down to the candidate's columns."""

    def __init__(self, index: np.ndarray, width: int, penalty: Penalty) -> None:
        self.index = np.asarray(index, dtype=np.int64)
        self.width = int(width)
        self.p = self.index.size
        self.penalty = penalty.restricted(self.index)

    def pad(self, b: np.ndarray) -> np.ndarray:
        out = np.zeros(self.width)
        out[self.index] = b
        return out

    def cut(self, st: Stats) -> Stats:
        if self.p == self.width:
            return st
        ix = np.ix_(self.index, self.index)
        return Stats(G=st.G[ix], h=st.h[self.index], vv=st.vv, count=st.count, wcount=st.wcount, tt=st.tt,
                     changed=st.changed, psi2=st.psi2, dpsi=st.dpsi, dpsi2=st.dpsi2, QQ=st.QQ, Qz=st.Qz,
                     z1=st.z1, z2=st.z2, Gu=None if st.Gu is None else st.Gu[ix], clipped=st.clipped,
                     Hpsi=None if st.Hpsi is None else st.Hpsi[ix],
                     gpsi=None if st.gpsi is None else st.gpsi[self.index])

    def solve(self, st: Stats) -> np.ndarray:
        """Coefficients from the sums of a pass: least squares through the
        core's SVD solver (minimum norm where the set does not determine them),
        or its penalised solver."""
        A, b = _sqrt_system(st.G, st.h)
        pen = self.penalty
        if not pen.active:
            return _engine.least_squares(A, b)
        # the core weighs penalties by its number of rows (p here); the refit by the set's
        # (its case weights summed)
        scale = st.wcount / A.shape[0]
        return _engine.penalised_least_squares(A, b, pen.R1, pen.R2, pen.slope * scale,
                                               pen.curvature * scale)


# Below this share of sum w v^2 the residual sum of squares formed from the
# sums cancels to noise (data on a polynomial to 1e-8 of their size): it is
# then formed from the residuals themselves, in a pass of its own.
NEAR_EXACT = 1e-10
# The least residual scale, as a share of the root mean square of the scaled
# y over the set: rounding level for the solves of a polynomial's sums.
SCALE_FLOOR = 1e-12


def _rss(st: Stats, b: np.ndarray) -> float:
    # sum w (v - phi'b)^2 = v'Wv - 2 b'h + b'Gb
    return max(st.vv - 2.0 * float(b @ st.h) + float(b @ st.G @ b), 0.0)


def _residual_rss(run: "PassFn", b_full: np.ndarray, ev: Evaluation) -> float:
    """The residual sum of squares of coefficients b over the set of `ev`,
    formed from the residuals in a pass of its own."""
    return run(Evaluation(b_full, np.inf), previous=ev).prev_rr


@dataclass
class Stage1:
    """The consensus set of one candidate: solve `coef` (full width), the set
    `ev` (|r| <= ev.cut at ev.coef), its size, scale, and the passes made."""

    coef: np.ndarray
    ev: Evaluation
    count: int
    sigma: float
    rounds: int
    rss: float
    clipped: float = float("nan")   # sum of 2 rho(r / clip) at coef, when asked
    first: Optional[Stats] = None   # the full-width sums of the start's pass
    wcount: float = float("nan")    # the set's case weights summed (count without weights)

    @property
    def size(self) -> float:
        """The set's size as the estimate counts it: its case weights summed."""
        return self.wcount if self.wcount == self.wcount else float(self.count)


def consensus_rounds(run: PassFn, cols: Columns, band: Evaluation, first: Optional[Stats] = None,
                     clip: Optional[float] = None, max_rounds: int = MAX_ROUNDS) -> Stage1:
    """Stage 1: least squares on the band, the set redrawn at CUT scales until
    stable. `first`: the band's sums when a pass has made them already."""
    p = cols.p
    start_stats = first if first is not None else run(band)
    st = cols.cut(start_stats)
    rounds = 0 if first is not None else 1
    ev = band
    if st.count < p:
        # Too few points to determine the coefficients: start from all of them
        # and let the scale trim the set.
        ev = Evaluation(np.zeros(cols.width), np.inf)
        st = cols.cut(run(ev))
        rounds += 1
    while True:
        b = cols.solve(st)
        rss = _rss(st, b)
        if rss <= NEAR_EXACT * st.vv:
            rss = _residual_rss(run, cols.pad(b), ev)
            rounds += 1
        s = float(np.sqrt(rss / max(st.wcount - p, 1) / KAPPA))
        # Data exactly on a polynomial leave residuals of rounding alone, which
        # differ from solve to solve: the scale is held above that level, so
        # that the set keeps every point the polynomial passes through.
        s = max(s, SCALE_FLOOR * float(np.sqrt(st.vv / max(st.wcount, 1))))
        new = Evaluation(cols.pad(b), CUT * s if s > 0 else 1e-300)
        if rounds >= max_rounds:
            return Stage1(new.coef, ev, st.count, s, rounds, rss, first=start_stats, wcount=st.wcount)
        nst = run(new, previous=ev, clip=clip)
        rounds += 1
        if nst.count < p:
            return Stage1(new.coef, ev, st.count, s, rounds, rss, first=start_stats, wcount=st.wcount)
        if nst.changed == 0:
            return Stage1(new.coef, new, nst.count, s, rounds, rss, nst.clipped, start_stats, nst.wcount)
        ev, st = new, cols.cut(nst)


def biweight_start(Phi: np.ndarray, v: np.ndarray, width: int, index: np.ndarray,
                   c: float = 4.685, max_rounds: int = 50) -> Evaluation:
    """Tukey's biweight by reweighted least squares from least squares (scale:
    the normalised MAD of the residuals each round), as an evaluation that
    keeps the points within CUT of its scales. Only a start: the consensus
    rounds that follow settle the set, so the coefficients need not be polished."""
    b = _engine.least_squares(Phi, v)
    for _ in range(max_rounds):
        r = v - Phi @ b
        s = 1.4826 * _engine.mad(r)
        if not s > 0:
            break
        t = r / (c * s)
        w = np.where(np.abs(t) < 1.0, (1.0 - t * t) ** 2, 0.0)
        if np.count_nonzero(w) < Phi.shape[1]:
            break
        sw = np.sqrt(w)
        new = _engine.least_squares(Phi * sw[:, None], v * sw)
        done = float(np.max(np.abs(new - b))) <= 1e-6 * (1.0 + float(np.max(np.abs(new))))
        b = new
        if done:
            break
    s = 1.4826 * float(np.median(np.abs(v - Phi @ b)))
    full = np.zeros(width)
    full[index] = b
    return Evaluation(full, CUT * s if s > 0 else np.inf)


def best_start(run: PassFn, cols: Columns, starts, scale_of: Callable[[np.ndarray], float]) -> tuple:
    """Stage 1 from every start; the index of the one whose solve leaves the
    least robust scale of the residuals (`scale_of`, an M-scale on the
    search's points, which bad leverage points cannot lower), its Stage1 and
    every start's scale. A start whose points are those of a set found
    already gives that set again and is not run."""
    first = consensus_rounds(run, cols, starts[0])
    results = [first]
    for ev in starts[1:]:
        st = run(ev, previous=first.ev)
        if st.changed == 0:
            results.append(first)
            continue
        other = consensus_rounds(run, cols, ev, first=st)
        # the same final set gives the same sums, so the same solve, bit for bit
        results.append(first if np.array_equal(other.coef, first.coef) else other)
    if all(r is first for r in results):
        return 0, first, [float("nan")] * len(results)
    crit = [scale_of(r.coef) for r in results]
    best = int(np.argmin([c if np.isfinite(c) else np.inf for c in crit]))
    return best, results[best], crit


def _variance_fit(st: Stats, p: int):
    """(g, P): coefficients g of the regression log r^2 = Q'g over the set and
    the P-value of its F test against a constant; (None, nan) where the set
    cannot carry the regression."""
    from scipy.stats import f as fdist

    assert st.QQ is not None and st.Qz is not None
    m, q = st.wcount, st.QQ.shape[0]
    if m <= q + p + 2:
        return None, float("nan")
    lam, V = np.linalg.eigh(st.QQ)
    if lam[0] <= lam[-1] * 1e-12:
        return None, float("nan")      # a variable with too few distinct values for a quadratic
    g = V @ ((V.T @ st.Qz) / lam)
    rss1 = st.z2 - float(g @ st.Qz)
    rss0 = st.z2 - st.z1 * st.z1 / m
    if rss1 <= 0:
        return None, float("nan")
    if rss0 <= rss1:
        return None, 1.0
    F = ((rss0 - rss1) / (q - 1)) / (rss1 / (m - q))
    return g, float(fdist.sf(F, q - 1, m - q))


def _variance_model(st: Stats, p: int, fitted=None) -> Optional[np.ndarray]:
    """Coefficients g of log r^2 = Q'g, centred to a geometric-mean scale of 1
    over the set, where the regression is significant; None otherwise."""
    g, pval = _variance_fit(st, p) if fitted is None else fitted
    if g is None or not pval <= VARIANCE_ALPHA:
        return None
    # the fitted log r^2 average z1 / m over the set (the constant column makes the
    # fit's residuals sum to zero): centred, the scale has geometric mean 1 there
    g = g.copy()
    g[0] -= st.z1 / st.wcount
    return g


def _covariance(st: Stats, b: np.ndarray, cols: Columns, rss: float):
    """Covariance for unit sigma, sigma and degrees of freedom, from the final
    pass and the residual sum of squares of b over its set."""
    m, p = st.wcount, cols.p
    if cols.penalty.active:
        # b = M^-1 h with M = G + m (slope R1 + curvature R2): the sandwich
        # M^-1 G M^-1, and trace(M^-1 G) effective parameters
        # in the basis that gives M a unit diagonal: a weight large enough to
        # pin the penalised directions leaves M's unpenalised ones (the
        # intercept, the slope) many orders of magnitude smaller, where a
        # pseudo-inverse of M itself would drop them
        M = st.G + cols.penalty.matrix(m)
        M = 0.5 * (M + M.T)
        diag = np.diag(M)
        d = np.where(diag > 0, 1.0 / np.sqrt(np.where(diag > 0, diag, 1.0)), 0.0)
        Mi = d[:, None] * np.linalg.pinv(d[:, None] * M * d[None, :], hermitian=True) * d[None, :]
        cov = Mi @ st.G @ Mi
        dof = float(m - np.trace(Mi @ st.G))
        sigma2 = rss / dof if dof > 0 else float("nan")
        return 0.5 * (cov + cov.T), float(np.sqrt(sigma2)), dof
    dof = float(m - p)
    # least squares: s^2 (Phi'W Phi)^+ (the pseudo-inverse keeps a rank-deficient set finite)
    cov = np.linalg.pinv(0.5 * (st.G + st.G.T), hermitian=True)
    sigma2 = rss / dof if dof > 0 else float("nan")
    return cov, float(np.sqrt(sigma2)), dof


def _mm_covariance(st: Stats, cols: Columns, scale: float):
    """Covariance of the bisquare M-step at a held scale s, over its m points
    (weight above 0), as statsmodels' RLM computes its H1 form:
    K^2 s^2 [sum psi^2 / (m - p)] / [mean psi']^2 (Phi'V^-1 Phi)^-1 with
    K = 1 + p/m var(psi') / mean(psi')^2, psi at u = t / s; V the modelled
    noise variances. Points of weight 0 (the outliers, bad leverage points
    among them) leave the matrix: they carry no information on the fit."""
    m, p = st.wcount, cols.p
    dof = float(m - p)
    mean_d = st.dpsi / m if m else float("nan")
    if not mean_d > 0 or dof <= 0:
        return np.full((p, p), np.nan), float("nan"), dof
    var_d = max(st.dpsi2 / m - mean_d * mean_d, 0.0)
    K = 1.0 + p / m * var_d / (mean_d * mean_d)
    sigma2 = K * K * scale * scale * (st.psi2 / dof) / (mean_d * mean_d)
    assert st.Gu is not None
    cov = np.linalg.pinv(0.5 * (st.Gu + st.Gu.T), hermitian=True)
    return cov, float(np.sqrt(sigma2)), dof


def _newton_step(st: Stats, s: float) -> Optional[np.ndarray]:
    """Newton's step for the M-step's equation sum psi(u) phi / rel = 0 at the
    held scale s (u = t / s): s Hpsi^-1 gpsi. Reweighted least squares crawls
    where the design is uneven (points far out in x); Newton's steps end in a
    few rounds. None where the Hessian is not positive definite (psi' of the
    bisquare is negative beyond c / sqrt(5)): a reweighted step instead."""
    assert st.Hpsi is not None and st.gpsi is not None
    lam, V = np.linalg.eigh(0.5 * (st.Hpsi + st.Hpsi.T))
    if not lam[0] > max(float(lam[-1]), 0.0) * 1e-10:
        return None
    return s * (V @ ((V.T @ st.gpsi) / lam))


def robust_refit(run: PassFn, cols: Columns, band: Evaluation, stage1: Optional[Stage1] = None,
                 robust: bool = True, scale_of: Optional[Callable[[np.ndarray], float]] = None) -> Refit:
    """Both stages; `stage1` when the consensus rounds have run already (the
    degree choice runs them for every candidate). `robust=False`: least
    squares on the stage-1 set (no variance model, no M-step). `scale_of`: the
    M-scale of a solve's residuals on the search's points; the M-step holds
    the lesser of it and the set's scale."""
    p = cols.p
    s1 = stage1 if stage1 is not None else consensus_rounds(run, cols, band)
    rounds = s1.rounds
    s = s1.sigma
    if not robust or s1.count <= p or s == 0:
        st = cols.cut(run(s1.ev))
        rounds += 1
        b = cols.solve(st)
        rss = _rss(st, b)
        if rss <= NEAR_EXACT * st.vv:
            rss = _residual_rss(run, cols.pad(b), s1.ev)
            rounds += 1
        cov, sigma, dof = _covariance(st, b, cols, rss)
        return Refit(b, s1.ev, st.count, rounds, cov, sigma, dof, False, sigma, st.wcount)
    # the variance model, from the residuals of the stage-1 solve over its set
    ev = Evaluation(s1.coef, CUT * s)
    vst = run(ev, variance=True)
    rounds += 1
    fitted = _variance_fit(vst, p)
    g = _variance_model(vst, p, fitted)
    # the bisquare M-step at the held scale, by reweighted least squares. The
    # set's scale is the root mean square within CUT scales: with heavy tails
    # (t2, say) well above the noise's spread, and a bisquare that wide weighs
    # the tails like least squares. The M-scale of every point gauges the
    # spread as an S-estimate does and breaks only when half the points are
    # wrong, where it grows and the set's scale is held. Not where the noise
    # varies along the variables (even short of the variance model's level):
    # there the wider scale keeps the noisy region's points.
    if g is None and scale_of is not None and not fitted[1] <= TAIL_ALPHA:
        m = scale_of(s1.coef)
        if np.isfinite(m) and 0.0 < m < s:
            s = m
    c = C_MM * s
    ev = Evaluation(s1.coef, c, g, bisquare=c, tuning=C_MM)
    st = cols.cut(run(ev))
    rounds += 1
    for _ in range(MAX_MM_ROUNDS):
        if st.count < p:
            break
        step = _newton_step(st, s)
        new_b = cols.pad(ev.coef[cols.index] + step if step is not None else cols.solve(st))
        moved = float(np.max(np.abs(new_b - ev.coef)))
        ev = Evaluation(new_b, c, g, bisquare=c, tuning=C_MM)
        st = cols.cut(run(ev))
        rounds += 1
        if moved <= MM_TOL * (1.0 + float(np.max(np.abs(new_b)))):
            break
    b = ev.coef[cols.index]
    cov, sigma, dof = _mm_covariance(st, cols, s)
    return Refit(b, ev, st.count, rounds, cov, sigma, dof, g is not None, s, st.wcount)
