"""Gibbs entropy, the tournament search and its result classes."""
import gc
import math
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

import zelt_core as zc

# --------------------------------------------------------------------------
# Pure-Python re-derivation of the random streams and of the whole search.
# It reproduces a fit bit for bit when X * beta is exact (one-hot rows), so
# that the energy depends only on an integer count.
# --------------------------------------------------------------------------
MASK64 = (1 << 64) - 1


class MT64:
    """64-bit Mersenne Twister (mt19937_64)."""

    def __init__(self, seed):
        mt = [seed & MASK64]
        for i in range(1, 312):
            prev = mt[-1]
            mt.append((6364136223846793005 * (prev ^ (prev >> 62)) + i) & MASK64)
        self.mt, self.i = mt, 312

    def __call__(self):
        mt = self.mt
        if self.i >= 312:
            for i in range(312):
                x = (mt[i] & 0xFFFFFFFF80000000) | (mt[(i + 1) % 312] & 0x7FFFFFFF)
                xa = (x >> 1) ^ (0xB5026F5AA96619E9 if x & 1 else 0)
                mt[i] = mt[(i + 156) % 312] ^ xa
            self.i = 0
        y = mt[self.i]
        self.i += 1
        y ^= (y >> 29) & 0x5555555555555555
        y ^= (y << 17) & 0x71D67FFFEDA60000
        y ^= (y << 37) & 0xFFF7EEE000000000
        y ^= y >> 43
        return y & MASK64


def uniform(rng):
    u = float(rng()) * 2.0**-64
    return math.nextafter(1.0, 0.0) if u >= 1.0 else u


class Normal:
    """Polar method with a spare deviate kept by the object."""

    def __init__(self, sd):
        self.sd, self.spare = sd, None

    def __call__(self, rng):
        if self.spare is not None:
            z, self.spare = self.spare, None
        else:
            while True:
                x = 2.0 * uniform(rng) - 1.0
                y = 2.0 * uniform(rng) - 1.0
                r2 = x * x + y * y
                if not (r2 > 1.0 or r2 == 0.0):
                    break
            mult = math.sqrt(-2.0 * math.log(r2) / r2)
            self.spare, z = x * mult, y * mult
        return z * self.sd + 0.0


def py_median(v):
    s, n = sorted(v), len(v)
    return s[n // 2] if n % 2 else (s[n // 2] + s[n // 2 - 1]) * 0.5


def py_gibbs(E, T):
    emin = E[0]
    for e in E[1:]:
        emin = min(emin, e)
    teff = T + 1e-300
    w = [math.exp(-(e - emin) / teff) for e in E]
    wsum = 0.0
    for wi in w:
        wsum += wi
    H = 0.0
    for wi in w:
        p = wi / wsum
        H -= p * math.log(p + 1e-300)
    hmax = math.log(max(float(len(E)), 2.0))
    he = H / (hmax + 1e-300)
    mean = 0.0
    for e in E:
        mean += e
    mean /= len(E)
    var = 0.0
    for e in E:
        var += (e - mean) * (e - mean)
    return dict(H=H, Hmax=hmax, He=he, r_heat=0.01 + 0.99 * he, var_E=var / len(E), T=T)


def onehot_design(cols, k):
    """Row i has a single 1 in column cols[i] (or none for -1): X @ b is exact."""
    X = np.zeros((len(cols), k))
    for i, c in enumerate(cols):
        if c >= 0:
            X[i, c] = 1.0
    return X


def py_fit(cols, k, y, n_chains, n_warmup, n_deep, n_elite, step_size, H, seed, fill="spec"):
    n = len(y)
    m = py_median([abs(v - py_median(y)) for v in y])
    eps = 0.4 * m if m > 0 else 0.4
    logHk = k * math.log(2.0 * H) if k > 0 else 0.0

    def energy(b):
        hit = sum(1 for i in range(n) if abs((b[cols[i]] if cols[i] >= 0 else 0.0) - y[i]) < eps)
        sr, floor = hit / n, 1.0 / (2.0 * n)
        sr = floor if floor > sr else sr
        return (logHk / n) * k - n * math.log(sr)

    def step(rng, prop, b, e, T):
        bc = [b[i] + prop(rng) for i in range(k)]
        ec = energy(bc)
        if ec < e:
            return bc, ec
        u = uniform(rng)
        x = (e - ec) / T
        return (bc, ec) if u < math.exp(x if x < 0.0 else 0.0) else (b, e)

    chains = []
    for c in range(n_chains):
        rng = MT64(seed + 1000 * c)
        init, prop = Normal(0.5), Normal(step_size)
        b = [init(rng) for _ in range(k)]
        e, T = energy(b), 2.0
        for _ in range(n_warmup):
            b, e = step(rng, prop, b, e, T)
            T *= 0.995
        chains.append((b, e))
    gb = py_gibbs([e for _, e in chains], 1.0)

    assert n_chains <= 16  # up to 16 the native sort is an insertion sort: stable
    chains.sort(key=lambda ch: ch[1])

    def dist(a, b):
        s = 0.0
        for u, v in zip(a, b):
            s += (u - v) * (u - v)
        return math.sqrt(s)

    elite = [chains[0]]
    for ch in chains[1:]:
        if len(elite) >= n_elite:
            break
        if all(not (dist(ch[0], mb[0]) <= 0.1) for mb in elite):
            elite.append(ch)
    if fill == "spec":
        pos = len(elite)
        while pos < n_chains and len(elite) < n_elite:
            elite.append(chains[pos])
            pos += 1
    else:  # the tempting variant: fill with chains not taken yet, in rank order
        for ch in chains:
            if len(elite) >= n_elite:
                break
            if all(ch is not mb for mb in elite):
                elite.append(ch)

    best_b, best_e = list(elite[0][0]), elite[0][1]
    T = 0.5 * gb["r_heat"]
    for ei, (b, e) in enumerate(elite):
        rng, prop = MT64(seed + 7777 + 13 * ei), Normal(0.3 * step_size)
        for _ in range(n_deep):
            b, e = step(rng, prop, b, e, T)
            if e < best_e:
                best_b, best_e = list(b), e
            T *= 0.9997
    return dict(beta=best_b, energy=best_e, gibbs=gb, elite=elite)


def test_reference_twister_matches_the_standard_check_value():
    # The C++ standard's check: the 10000th output of a default-seeded mt19937_64.
    rng = MT64(5489)
    for _ in range(9999):
        rng()
    assert rng() == 9981545732273789042


def targets(n, seed=7):
    return np.random.default_rng(seed).normal(0.0, 0.6, size=n)


def assert_matches_reference(res, ref):
    assert res.energy == ref["energy"]
    np.testing.assert_array_equal(res.beta_mcmc, np.array(ref["beta"], dtype=float))
    for name, val in ref["gibbs"].items():
        assert getattr(res.gibbs, name) == val, name


REFERENCE_CASES = {
    # name: (k, n_chains, n_warmup, n_deep, n_elite, step_size, H, seed)
    "typical": (3, 5, 30, 40, 3, 0.3, 20, 42),
    "odd_k_spare_carried": (1, 4, 25, 25, 2, 0.4, 5, 1),
    "no_warmup": (2, 4, 0, 20, 3, 0.2, 20, 9),
    "no_deep": (3, 5, 20, 0, 3, 0.3, 20, 11),
    "negative_deep": (3, 5, 20, -4, 3, 0.3, 20, 11),
    "elite_negative": (2, 4, 15, 30, -3, 0.3, 20, 5),
    "single_chain": (2, 1, 20, 30, 5, 0.3, 20, 3),
    "k0": (0, 3, 10, 10, 5, 0.3, 20, 2),
    "zero_step": (2, 3, 10, 10, 2, 0.0, 20, 4),
    "elite_exceeds_chains": (2, 3, 10, 15, 8, 0.3, 20, 6),
    "seed_wraps": (2, 3, 10, 10, 3, 0.3, 20, 2**64 - 1500),
}


@pytest.mark.parametrize("case", sorted(REFERENCE_CASES))
def test_fit_reproduces_pure_python_derivation_bit_for_bit(case):
    k, n_chains, n_warmup, n_deep, n_elite, step, H, seed = REFERENCE_CASES[case]
    n = 14
    cols = [i % k if k else -1 for i in range(n)]
    cols[-1] = -1  # one row predicts 0 whatever beta is
    y = targets(n)
    res = zc.TournamentMCMC(n_chains, n_warmup, n_deep, n_elite, step, H, seed).fit(
        onehot_design(cols, k), y
    )
    ref = py_fit(cols, k, list(y), n_chains, n_warmup, n_deep, n_elite, step, H, seed % 2**64)
    assert_matches_reference(res, ref)
    assert res.n_chains == n_chains and res.n_elite == n_elite


FILL_SEED = 12  # found by scanning seeds with py_fit; the test re-checks the scenario


def test_fill_up_takes_a_chain_twice():
    # Seed chosen so that, with one coefficient and no warm-up, the diversity
    # pass skips a chain close to the best one and the fill-up (starting at
    # position m of the ranking) takes an already chosen chain again, and the
    # refinement of that second copy decides the result.
    k, n, y = 1, 12, list(targets(12, seed=3))
    cols = [0] * n
    args = dict(n_chains=5, n_warmup=0, n_deep=3, n_elite=4, step_size=0.3, H=20, seed=FILL_SEED)
    ref = py_fit(cols, k, y, **args)
    ids = [id(ch) for ch in ref["elite"]]
    assert len(set(ids)) < len(ids), "scenario lost: no chain taken twice"
    assert py_fit(cols, k, y, fill="skip_taken", **args)["energy"] != ref["energy"]
    res = zc.TournamentMCMC(5, 0, 3, 4, 0.3, 20, FILL_SEED).fit(onehot_design(cols, k), np.array(y))
    assert_matches_reference(res, ref)

