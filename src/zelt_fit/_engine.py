"""The native engine, composed: the one module of the package that imports
zelt_core. Everything else reaches the core through these functions, on the
scaled problem (variables in [-1, 1], y of unit robust spread)."""
from __future__ import annotations

import contextlib
import contextvars
import numbers
from dataclasses import dataclass
from typing import Iterator, Optional, Tuple

import numpy as np

import zelt_core as _core

__all__ = ["SearchSettings", "SearchOutcome", "default_search", "SHORT_SEARCH_POINTS", "SHORT_SEARCH_PER_TERM",
           "design", "mad", "tolerance", "tolerance_of_mad", "search",
           "centred_search", "check_seed", "least_squares", "penalised_least_squares", "penalty_matrices"]

# The engine's counts are C ints; its seed a 64-bit unsigned integer.
INT32_MAX = 2**31 - 1
SEED_LIMIT = 2**64


def _integer(name: str, value: object) -> bool:
    if type(value) is int:      # the common case, without the abstract base class's check
        return True
    return isinstance(value, numbers.Integral) and not isinstance(value, (bool, np.bool_))


def check_seed(seed: object, name: str = "seed") -> int:
    """A seed of the search: an integer in [0, 2**64)."""
    if not _integer(name, seed) or not 0 <= int(seed) < SEED_LIMIT:  # type: ignore[call-overload]
        raise ValueError(f"{name} must be an integer in [0, 2**64), got {seed!r}")
    return int(seed)  # type: ignore[call-overload]


@dataclass(frozen=True)
class SearchSettings:
    """Settings of the tournament search (see ``zelt_core.TournamentMCMC``).

    The refit does the cold refinement's polishing, so the refinement runs
    200 steps per elite chain instead of the engine's 2000: measured on generated
    polynomials, the refit's errors and failures were the same in every case
    tried, in half the time. These are the settings of a fit whose caller
    passes none, except on short data: where the search sees at most 300
    points and at least 10 per coefficient, such a fit warms its chains up
    for 100 steps and refines for 50 (`default_search`). Measured on the
    peer benchmark's generated data (60 and 180 data sets per cell at
    n = 60, 100 and 300: every cell, the degree choice and the textbook data
    sets), the shorter search moved no cell by more than the default
    settings move under another seed; it takes a fit of a quadratic at
    n = 100 from 9.0 to 7.1 times numpy's ``Polynomial.fit`` (one thread)
    and a batch of 2000 such series at n = 60 from about 2200 to 3700 per
    second (two threads; benchmarks/README.md, "Search settings for short
    series"). With fewer points per coefficient (three variables at n = 60)
    it raised the median error by 12 %, so those keep the long search. Every field is checked when the settings are made:
    counts are integers (``n_chains`` and ``n_elite`` at least 1, the step
    counts at least 0, all within 32 bits), ``step_size`` is finite and
    positive, ``seed`` an integer in [0, 2**64); a ValueError names the field.

    See Also
    --------
    robust_polyfit : takes it as ``search``.

    Examples
    --------
    >>> from zelt_fit import SearchSettings, robust_polyfit
    >>> from zelt_fit._engine import default_search
    >>> longer = SearchSettings(n_warmup=1000, n_deep=1000)
    >>> SearchSettings().n_warmup, default_search(100, 3).n_warmup
    (200, 100)
    >>> fit = robust_polyfit([0, 1, 2, 3, 4, 5], [1, 3, 5, 7, 9, 30], 1, search=longer)  # doctest: +SKIP
    """

    n_chains: int = 25
    n_warmup: int = 200
    n_deep: int = 200
    n_elite: int = 5
    step_size: float = 0.05
    seed: int = 42

    def __post_init__(self) -> None:
        for name, low in (("n_chains", 1), ("n_warmup", 0), ("n_deep", 0), ("n_elite", 1)):
            value = getattr(self, name)
            if not _integer(name, value) or not low <= int(value) <= INT32_MAX:
                raise ValueError(f"SearchSettings: {name} must be an integer in [{low}, 2**31 - 1], got {value!r}")
        step = self.step_size
        if (isinstance(step, (bool, np.bool_)) or not isinstance(step, numbers.Real)
                or not np.isfinite(step) or step <= 0):
            raise ValueError(f"SearchSettings: step_size must be a finite positive number, got {step!r}")
        check_seed(self.seed, "SearchSettings: seed")

    def _native(self):
        return _core.TournamentMCMC(n_chains=self.n_chains, n_warmup=self.n_warmup,
                                    n_deep=self.n_deep, n_elite=self.n_elite,
                                    step_size=self.step_size, seed=self.seed)


# A fit whose caller passes no settings searches shorter where the search
# sees at most this many points and at least SHORT_SEARCH_PER_TERM per
# coefficient: 100 warm-up and 50 refinement steps instead of 200 and 200.
# Measured with benchmarks/bench_peers.py at n = 60, 100 and 300 (see
# benchmarks/README.md): no cell moved by more than the default settings move
# under another seed, except three variables at n = 60 (10 coefficients, 6
# points each), whose median error rose by 12 %.
SHORT_SEARCH_POINTS = 300
SHORT_SEARCH_PER_TERM = 10
SHORT_WARMUP = 100
SHORT_DEEP = 50


def default_search(n_points: int, n_terms: int, seed: int = 42) -> SearchSettings:
    """The search settings of a fit whose caller gives none.

    Parameters
    ----------
    n_points : int
        Points the search sees (its sample).
    n_terms : int
        Coefficients of the model searched.
    seed : int
        The search's seed.

    Returns
    -------
    SearchSettings
        ``SearchSettings(n_warmup=100, n_deep=50)`` when ``n_points`` is at
        most 300 and at least 10 per coefficient, else ``SearchSettings()``.

    Examples
    --------
    >>> from zelt_fit._engine import default_search
    >>> default_search(60, 3)
    SearchSettings(n_chains=25, n_warmup=100, n_deep=50, n_elite=5, step_size=0.05, seed=42)
    >>> default_search(60, 10) == default_search(2000, 3) == SearchSettings()
    True
    """
    if n_points <= SHORT_SEARCH_POINTS and n_points >= SHORT_SEARCH_PER_TERM * n_terms:
        return SearchSettings(n_warmup=SHORT_WARMUP, n_deep=SHORT_DEEP, seed=seed)
    return SearchSettings(seed=seed)


@dataclass(frozen=True)
class SearchOutcome:
    """What the search found on the scaled problem."""

    coef: np.ndarray    # coefficients of the scaled basis, scaled y
    energy: float       # its MDL energy


def design(terms: np.ndarray, U: np.ndarray) -> np.ndarray:
    """Design matrix (n, p) of the monomials `terms` at the scaled points U (n, d)."""
    p, d = terms.shape
    if d == 1 and np.array_equal(terms[:, 0], np.arange(p)):
        return _core.design_matrix_1d(p - 1, U[:, 0])
    return _core.design_matrix_nd(terms.tolist(), [U[:, j] for j in range(d)])


def mad(v: np.ndarray) -> float:
    """Raw median absolute deviation (no consistency factor)."""
    return _core.mad(v)


def tolerance(v: np.ndarray) -> float:
    """Half-width of the band whose points the search's energy counts: 0.4 x
    mad(v), or 0.4 when that is zero (the engine's own rule)."""
    return tolerance_of_mad(_core.mad(v))


def tolerance_of_mad(m: float) -> float:
    """The band's half-width from the MAD of the targets."""
    return 0.4 * m if m > 0 else 0.4


# Set while a fit whose terms are not closed under lowering a power runs (see
# `search`); a context variable, so that fits on other threads are not affected.
_CENTRED = contextvars.ContextVar("zelt_fit_centred_search", default=False)


@contextlib.contextmanager
def centred_search(on: bool) -> Iterator[None]:
    """Within the block, `search` centres the design's columns (see there)."""
    token = _CENTRED.set(bool(on))
    try:
        yield
    finally:
        _CENTRED.reset(token)


def search(Phi: np.ndarray, v: np.ndarray, settings: SearchSettings) -> SearchOutcome:
    """Tournament search for the coefficients of lowest MDL energy.

    The chains start around 0 with spread 0.5 and take steps of 0.05, so they
    reach coefficients of order one. A scaled variable u in [-1, 1] gives
    such coefficients when the terms are closed under lowering a power; when
    they are not, the variables cannot be centred, and a column such as u**2
    with x in [10, 12] lies in [0.69, 1]: the coefficients that fit it are of
    order ten, out of the chains' reach, and the search's band holds every point.
    Within `centred_search(True)` and with a constant column, every other
    column is mapped to [-1, 1] on these points for the search and the
    coefficients mapped back; the MDL energy depends only on the predictions,
    so the search's problem is the same, in coordinates it can reach."""
    const = np.flatnonzero(np.all(Phi == 1.0, axis=0)) if Phi.shape[0] else np.zeros(0, dtype=np.int64)
    if not (_CENTRED.get() and const.size):
        result = settings._native().fit(Phi, v)
        return SearchOutcome(np.array(result.beta_mcmc), float(result.energy))
    lo, hi = Phi.min(axis=0), Phi.max(axis=0)
    center, half = 0.5 * lo + 0.5 * hi, 0.5 * hi - 0.5 * lo
    center[const], half[const] = 0.0, 1.0
    center[half == 0] = 0.0
    half[half == 0] = 1.0
    result = settings._native().fit((Phi - center) / half, v)
    coef = np.array(result.beta_mcmc) / half
    coef[const[0]] -= float(center @ coef)
    return SearchOutcome(coef, float(result.energy))


def least_squares(Phi: np.ndarray, v: np.ndarray) -> np.ndarray:
    """Least squares by SVD, minimum-norm where Phi is rank deficient."""
    return _core.ols(Phi, v)


def penalised_least_squares(Phi: np.ndarray, v: np.ndarray, R1: Optional[np.ndarray],
                            R2: Optional[np.ndarray], gamma1: float, gamma2: float) -> np.ndarray:
    """argmin |v - Phi b|^2 + n (gamma1 b'R1 b + gamma2 b'R2 b) (+ a 1e-10 ridge),
    n the number of rows: the weights are per observation."""
    return _core.fit_regularized_linear(Phi, v, R1, R2, gamma1, gamma2)


def penalty_matrices(terms: np.ndarray) -> Tuple[np.ndarray, np.ndarray]:
    """Slope and curvature penalties (R1, R2) of the polynomial on [-1, 1]^d,
    restricted to `terms`: b'R1 b is the grid integral of the squared gradient,
    b'R2 b that of the squared Hessian."""
    p, d = terms.shape
    top = terms.max(axis=0)
    if d == 1:
        R1, R2 = _core.smoothness_penalty_matrices_1d(int(top[0]), -1.0, 1.0)
        index = terms[:, 0]
        return R1[np.ix_(index, index)], R2[np.ix_(index, index)]
    size = int(np.prod(top + 1))
    if size > 4096:
        raise ValueError(f"a smoothness penalty in {d} variables needs the tensor basis of "
                         f"powers up to {top.tolist()}, {size} terms; at most 4096 are supported")
    R1, R2, multi = _core.build_penalty_matrices_nd([int(k) for k in top], [(-1.0, 1.0)] * d)
    position = {tuple(m): i for i, m in enumerate(multi)}
    index = np.array([position[tuple(t)] for t in terms.tolist()])
    return R1[np.ix_(index, index)], R2[np.ix_(index, index)]
