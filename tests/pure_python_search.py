"""Pure-Python re-derivation of the tournament search, for the tests (not
collected): the random streams (mt19937_64, the canonical uniform, polar-method
normals with their spare) and the whole search as one sequential loop. It
reproduces a fit bit for bit when X * beta is exact (one-hot rows), so that the
energy depends only on an integer count."""
import math

import numpy as np

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


def py_fit(cols, k, y, n_chains, n_warmup, n_deep, n_elite, step_size, H, seed, fill="from_m",
           pen_diag=None, gamma1=0.0, keep="strict", late_start=1.0):
    """The whole search, sequentially, as one loop over the elite chains.

    pen_diag: diagonal of R1 (penalty gamma1 * b'R1 b), None for no penalty.
    fill and keep select tempting wrong variants of the fill-up and of the
    best-state rule, late_start a factor off the start temperature of every
    elite chain after the first, to show that a scenario tells them apart.
    Besides the result, returns the elite and a trace of the refinement:
    best_from (elite position whose refinement gave the result, -1 for the
    start state) and reached (per elite chain, the lowest energy it met and
    the first state at it)."""
    n = len(y)
    m = py_median([abs(v - py_median(y)) for v in y])
    eps = 0.4 * m if m > 0 else 0.4
    logHk = k * math.log(2.0 * H) if k > 0 else 0.0
    X = onehot_design(cols, k).tolist()

    def energy(b):
        hit = 0
        for i in range(n):
            acc = 0.0  # the row sum in column order: exact for one-hot rows, NaN with an infinite b
            for j in range(k):
                acc = acc + X[i][j] * b[j]
            hit += abs(acc - y[i]) < eps
        sr, floor = hit / n, 1.0 / (2.0 * n)
        sr = floor if floor > sr else sr
        L = (logHk / n) * k - n * math.log(sr)
        if pen_diag is not None and gamma1 != 0.0:
            quad = 0.0
            for j in range(k):
                col_dot = 0.0  # one non-zero term: exact in any order (0 * inf is NaN in any order too)
                for i in range(k):
                    col_dot += (pen_diag[j] if i == j else 0.0) * b[i]
                quad += b[j] * col_dot
            L += gamma1 * quad
        return L

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
    chains.sort(key=lambda ch: (math.isnan(ch[1]), ch[1]))  # NaN energies last

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
    if fill == "from_m":  # the fill-up starts at position m, blind to what is taken
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

    better = (lambda a, b: a < b) if keep == "strict" else (lambda a, b: a <= b)
    best_b, best_e, best_from = list(elite[0][0]), elite[0][1], -1
    reached = []
    T = 0.5 * gb["r_heat"]
    for ei, (b, e) in enumerate(elite):
        rng, prop = MT64(seed + 7777 + 13 * ei), Normal(0.3 * step_size)
        low_b, low_e = None, math.inf
        t = T * late_start if ei > 0 else T
        for _ in range(n_deep):
            b, e = step(rng, prop, b, e, t)
            if better(e, best_e):
                best_b, best_e, best_from = list(b), e, ei
            if e < low_e:
                low_b, low_e = list(b), e
            t *= 0.9997
            T *= 0.9997
        reached.append((low_e, low_b))
    return dict(beta=best_b, energy=best_e, gibbs=gb, elite=elite, best_from=best_from, reached=reached)
