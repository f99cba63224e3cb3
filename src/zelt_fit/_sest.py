"""The high-breakdown start: an S-estimate of regression by fast-S.

An S-estimate minimises an M-scale of the residuals: the s that solves
mean(rho(r_i / s)) = B, with Tukey's bisquare rho(t) = 1 - (1 - (t/c)^2)^3
(1 beyond c). With B = 1/2 and c = 1.5476 the scale is consistent for Gaussian
noise and no set of fewer than half the points can make it small: points far
out in x that lie on a wrong curve (bad leverage points) pull least squares,
Huber's and the biweight's M-estimates, but they cannot lower this scale.

Fast-S (Salibian-Barrera and Yohai, 2006): many elemental subsets of p points,
each solved exactly and improved by a few reweighted least-squares steps (the
weights of the S-objective, (1 - (t/c)^2)^2), the candidates ranked by the
scale of their residuals; the best few are iterated to convergence and the
one of least scale is the estimate. Everything runs on the search's points
(at most a few thousand), every candidate at once as array operations.
"""
from __future__ import annotations

from dataclasses import dataclass
from typing import Optional

import numpy as np

__all__ = ["SEstimate", "s_estimate", "subset_indices", "subset_count", "m_scale", "m_scale_one", "bisquare_rho",
           "C_S", "B_S", "C_MM"]

# bisquare tuning of the scale: E rho(Z) = B_S for a standard normal Z, so the
# scale breaks down only when half the points are wrong
C_S = 1.5476450
B_S = 0.5
# bisquare tuning of the final M-step: 95 % efficiency at Gaussian noise
C_MM = 4.6850649

# elemental subsets drawn (between the two, by `subset_count`), the steps each
# candidate gets before the ranking, the candidates kept, and the steps these
# get on every point: the S-estimate starts the refit's rounds, which refine
# it, so a rough one does (at n = 300 with bad leverage points, two steps and
# 50 polishing steps of the best three gave the same fits at three times the cost)
SUBSETS = 500
MIN_SUBSETS = 30
FIRST_STEPS = 1
KEEP = 1
POLISH_STEPS = 3
# the candidates are screened on at most this many of the points (spread over them)
SCREEN_POINTS = 500
TOL = 1e-6

# the subsets' generator: splitmix64 from seed ^ SEED_MIX, one 64-bit draw per
# index (z % m), a few lines that the compiled start repeats draw for draw
SEED_MIX = 0x5345535453455354
_GOLDEN = 0x9E3779B97F4A7C15
_MIX1 = 0xBF58476D1CE4E5B9
_MIX2 = 0x94D049BB133111EB


def bisquare_rho(t: np.ndarray, c: float) -> np.ndarray:
    """Tukey's bisquare rho, scaled to 1 at |t| >= c."""
    u = t * (1.0 / c)
    u = 1.0 - np.minimum(u * u, 1.0)
    return 1.0 - u * u * u


def _weights(t: np.ndarray, c: float) -> np.ndarray:
    """psi(t) / t of the bisquare (up to a constant): (1 - (t/c)^2)^2 inside c."""
    u = t * (1.0 / c)
    u = 1.0 - np.minimum(u * u, 1.0)
    return u * u


def m_scale(R: np.ndarray, c: float = C_S, b: float = B_S, s0: Optional[np.ndarray] = None,
            iterations: int = 500, tol: float = 1e-10) -> np.ndarray:
    """The M-scale of each row of residuals R (k, m): s with mean rho(r / s) = b,
    by the fixed point s^2 <- s^2 mean(rho(r / s)) / b (monotone, from the
    normalised MAD). A row with more than (1 - b) m zero residuals has scale 0."""
    R = np.atleast_2d(R)
    A = np.abs(R)
    s = np.median(A, axis=1) / 0.6744897501960817 if s0 is None else np.array(s0, dtype=float, copy=True)
    bad = ~(s > 0)
    if np.any(bad):
        # the MAD is 0 when half the residuals are: start from the mean instead
        s[bad] = np.mean(A[bad], axis=1) / 0.6744897501960817
    active = np.flatnonzero(s > 0)
    for _ in range(iterations):
        if active.size == 0:
            break
        sa = s[active]
        new = sa * np.sqrt(np.mean(bisquare_rho(A[active] / sa[:, None], c), axis=1) / b)
        s[active] = new
        active = active[np.abs(new - sa) > tol * new]
    return s


def m_scale_one(r: np.ndarray, c: float = C_S, b: float = B_S, s0: float = 0.0, tol: float = 1e-12,
                iterations: int = 200) -> float:
    """The M-scale of one vector of residuals, by Newton's steps on
    f(s) = mean(rho(r / s)) - b kept inside a bracket of the root (f falls
    with s): -s f'(s) = mean(6 u (1 - u)^2), u = (r / (c s))^2 inside c. The
    fixed point of `m_scale` crawls when the scale sits near a breakdown."""
    a = np.abs(r)
    if np.count_nonzero(a) <= b * a.size:
        return 0.0     # mean rho(r / s) <= b for every s > 0: the scale of an exact fit
    s = float(s0) if s0 > 0 else float(np.median(a)) / 0.6744897501960817
    if not s > 0:
        s = float(np.mean(a)) / 0.6744897501960817
        if not s > 0:
            return 0.0
    lo, hi = 0.0, np.inf
    for _ in range(iterations):
        u = np.minimum((a * (1.0 / (c * s))) ** 2, 1.0)
        w = 1.0 - u
        f = float(np.mean(1.0 - w * w * w)) - b
        if f > 0.0:
            lo = s
        else:
            hi = s
        d = float(np.mean(6.0 * u * w * w))
        new = s * (1.0 + f / d) if d > 0.0 else (2.0 * s if f > 0.0 else 0.5 * s)
        if abs(new - s) <= tol * new:
            return float(new)
        if not lo < new < hi:
            new = np.sqrt(lo * hi) if lo > 0.0 and np.isfinite(hi) else (2.0 * s if f > 0.0 else 0.5 * s)
        s = float(new)
    return s


@dataclass
class SEstimate:
    """coef: the S-estimate's coefficients; scale: its M-scale on the points;
    subsets: elemental subsets that gave a determined solve."""

    coef: np.ndarray
    scale: float
    subsets: int


def _solve_weighted(Phi: np.ndarray, v: np.ndarray, W: np.ndarray) -> np.ndarray:
    """Weighted least squares for each row of weights W (k, m) at once; a
    singular weighted system keeps its row's previous solve (NaN)."""
    PW = W[:, :, None] * Phi[None, :, :]                     # (k, m, p)
    G = np.matmul(PW.transpose(0, 2, 1), Phi)               # (k, p, p)
    h = np.matmul(PW.transpose(0, 2, 1), v)
    out = np.full(h.shape, np.nan)
    # eigen-decomposition per candidate: a clear test of rank, cheap at these sizes
    lam, V = np.linalg.eigh(G)
    ok = lam[:, 0] > np.maximum(lam[:, -1], 0.0) * 1e-12
    if np.any(ok):
        Vo = V[ok]
        coord = np.einsum("kij,ki->kj", Vo, h[ok]) / lam[ok]
        out[ok] = np.einsum("kij,kj->ki", Vo, coord)
    return out


def _approximate_scales(R: np.ndarray, c: float, b: float) -> np.ndarray:
    """A one-step approximation of each row's M-scale: the normalised MAD
    moved once towards the root, as fast-S ranks its candidates."""
    s0 = np.median(np.abs(R), axis=1) / 0.6744897501960817
    s = np.zeros_like(s0)
    pos = s0 > 0
    s[pos] = s0[pos] * np.sqrt(np.mean(bisquare_rho(R[pos] / s0[pos, None], c), axis=1) / b)
    return s


def _screen(Phi: np.ndarray, v: np.ndarray, B: np.ndarray, steps: int, c: float, b: float):
    """`steps` reweighted least-squares steps of the S-objective for every
    candidate row of B, each at an approximation of its scale; returns the
    candidates and their approximate scales after the last step."""
    R = v[None, :] - B @ Phi.T
    s = _approximate_scales(R, c, b)
    for _ in range(steps):
        pos = s > 0
        if not np.any(pos):
            break
        new = _solve_weighted(Phi, v, _weights(R[pos] / s[pos, None], c))
        good = np.all(np.isfinite(new), axis=1)
        B[np.flatnonzero(pos)[good]] = new[good]
        R = v[None, :] - B @ Phi.T
        s = _approximate_scales(R, c, b)
    return B, s


def _polish(Phi: np.ndarray, v: np.ndarray, beta: np.ndarray, c: float, b: float, steps: int):
    """Reweighted least-squares steps of the S-objective from beta to
    convergence, the scale re-solved before each; returns (beta, scale)."""
    s = m_scale_one(v - Phi @ beta, c, b)
    for _ in range(steps):
        if not s > 0:
            break
        r = v - Phi @ beta
        PW = Phi.T * _weights(r / s, c)
        lam, V = np.linalg.eigh(PW @ Phi)
        if not lam[0] > max(float(lam[-1]), 0.0) * 1e-12:
            break
        new = V @ ((V.T @ (PW @ v)) / lam)
        moved = float(np.max(np.abs(new - beta)))
        beta = new
        s = m_scale_one(v - Phi @ beta, c, b, s0=s)
        if moved <= TOL * (1.0 + float(np.max(np.abs(beta)))):
            break
    return beta, s


def subset_indices(seed: int, count: int, m: int) -> np.ndarray:
    """`count` indices in [0, m) from splitmix64 seeded by seed ^ SEED_MIX:
    draw i (from 0) mixes the state seed ^ SEED_MIX + (i + 1) * 0x9E3779B97F4A7C15
    (modulo 2^64) and is taken modulo m. Unsigned arrays wrap without a warning.

    Examples
    --------
    >>> subset_indices(7, 5, 10).tolist() == subset_indices(7, 8, 10)[:5].tolist()
    True
    """
    state0 = np.array([(int(seed) & 0xFFFFFFFFFFFFFFFF) ^ SEED_MIX], dtype=np.uint64)
    z = state0 + np.arange(1, count + 1, dtype=np.uint64) * np.uint64(_GOLDEN)
    z = (z ^ (z >> np.uint64(30))) * np.uint64(_MIX1)
    z = (z ^ (z >> np.uint64(27))) * np.uint64(_MIX2)
    z ^= z >> np.uint64(31)
    return (z % np.uint64(m)).astype(np.int64)


def subset_count(p: int, share: float = 0.3, miss: float = 1e-3) -> int:
    """Elemental subsets for a chance of at most `miss` that none is free of a
    `share` of wrong points: log(miss) / log(1 - (1 - share)^p), within
    [MIN_SUBSETS, SUBSETS]."""
    clean = (1.0 - share) ** p
    need = np.log(miss) / np.log1p(-clean) if clean < 1.0 else 1.0
    return int(min(SUBSETS, max(MIN_SUBSETS, np.ceil(need))))


def s_estimate(Phi: np.ndarray, v: np.ndarray, seed: int, subsets: Optional[int] = None,
               c: float = C_S, b: float = B_S, polish: int = POLISH_STEPS) -> Optional[SEstimate]:
    """Fast-S on the rows of Phi (m, p) and v (m,). The elemental subsets come
    from a generator seeded by `seed`, so the estimate is a pure function of
    the data and the seed. `polish`: the steps of the best candidate on every
    row (a start for the refit's rounds needs few; a converged estimate more).
    The generator is `subset_indices` (splitmix64), defined in a few lines so
    that the compiled start draws the same subsets.
    None when no subset determines the coefficients. NaN or infinity in Phi
    or v is refused (ValueError): the scales of such residuals mean nothing.

    Examples
    --------
    >>> u = np.linspace(-1.0, 1.0, 40)
    >>> Phi = np.c_[np.ones_like(u), u]
    >>> v = 1.0 + 2.0 * u
    >>> v[:12] += 5.0                          # 30 % of the points wrong
    >>> est = s_estimate(Phi, v, seed=0)
    >>> np.round(est.coef, 6).tolist(), est.scale < 1e-9
    ([1.0, 2.0], True)
    """
    for name, a in (("Phi", Phi), ("v", v)):
        if not np.all(np.isfinite(a)):
            raise ValueError(f"s_estimate: {name} holds NaN or infinity")
    m, p = Phi.shape
    if m <= p:
        return None
    subsets = subset_count(p) if subsets is None else int(subsets)
    # subsets drawn with replacement, subset by subset; those with a repeated row are dropped
    idx = subset_indices(seed, subsets * p, m).reshape(subsets, p)
    srt = np.sort(idx, axis=1)
    idx = idx[np.all(np.diff(srt, axis=1) > 0, axis=1)] if p > 1 else idx
    if idx.shape[0] == 0:
        return None
    A = Phi[idx]                                             # (k, p, p)
    U, S, Vt = np.linalg.svd(A)
    ok = S[:, -1] > S[:, 0] * 1e-10
    if not np.any(ok):
        return None
    U, S, Vt, idx = U[ok], S[ok], Vt[ok], idx[ok]
    rhs = v[idx]
    B = np.einsum("kji,kj->ki", Vt, np.einsum("kji,kj->ki", U, rhs) / S)
    # screen on a spread subset of at most SCREEN_POINTS rows
    screen = np.arange(m) if m <= SCREEN_POINTS else np.linspace(0, m - 1, SCREEN_POINTS).round().astype(np.int64)
    Ps, vs = Phi[screen], v[screen]
    B, s = _screen(Ps, vs, B, FIRST_STEPS, c, b)
    # a candidate whose scale is 0 fits half the points exactly: as good as any
    order = np.argsort(np.where(np.isfinite(s), s, np.inf), kind="stable")[:KEEP]
    polished = [_polish(Phi, v, B[k].copy(), c, b, polish) for k in order]
    k = int(np.argmin([sc if np.isfinite(sc) else np.inf for _, sc in polished]))
    return SEstimate(polished[k][0], polished[k][1], int(idx.shape[0]))
