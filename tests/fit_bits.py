"""Prints the core's fits of a few fixed problems as hexadecimal floats, one
line per result: the search (penalised and not, at two seeds), least squares,
the penalised solve, the MDL score and the Gibbs entropy. Run under any
interpreter and NumPy with zelt_core installed; tests compare its output with
tests/data/fit_bits.txt, recorded with the CPython 3.9 build."""
import numpy as np

import zelt_core as z


def lines():
    rng = np.random.default_rng(20261209)
    x = np.sort(rng.uniform(-1.0, 1.0, 150))
    y = 0.5 - x + 0.8 * x**2 + 0.6 * x**3 + rng.normal(0.0, 0.05, x.size)
    y[::6] += rng.uniform(2.0, 4.0, y[::6].size)
    Phi = z.design_matrix_1d(3, x)
    R1, R2 = z.smoothness_penalty_matrices_1d(3, -1.0, 1.0)
    X2 = rng.uniform(-1.0, 1.0, (120, 2))
    y2 = 1.0 + X2[:, 0] - 0.3 * X2[:, 0] * X2[:, 1] + rng.normal(0.0, 0.05, 120)
    _, _, terms = z.build_penalty_matrices_nd([2, 2], [(-1.0, 1.0), (-1.0, 1.0)], 10)
    Phi2 = z.design_matrix_nd(terms, [X2[:, 0], X2[:, 1]])
    out = {}
    for seed in (1, 42):
        res = z.TournamentMCMC(n_chains=8, n_warmup=150, n_deep=300, seed=seed).fit(Phi, y)
        out[f"search seed {seed}"] = list(res.beta_mcmc) + [res.energy]
    res = z.TournamentMCMC(n_chains=6, n_warmup=100, n_deep=200, seed=3).fit(Phi, y, R1, R2, 1e-3, 1e-2)
    out["penalised search"] = list(res.beta_mcmc) + [res.energy, res.gibbs.H, res.gibbs.He]
    res = z.TournamentMCMC(n_chains=6, n_warmup=100, n_deep=200, seed=5).fit(Phi2, y2)
    out["search in two variables"] = list(res.beta_mcmc) + [res.energy]
    out["ols"] = list(z.ols(Phi, y))
    out["penalised solve"] = list(z.fit_regularized_linear(Phi, y, R1, R2, 0.0, 1e-2))
    out["mdl score"] = [z.mdl_score(Phi @ out["ols"], y, 4), z.mad(y)]
    out["gibbs entropy"] = [z.gibbs_entropy(np.linspace(0.0, 3.0, 50)).H]
    return [f"{name}: {' '.join(float(v).hex() for v in values)}" for name, values in out.items()]


if __name__ == "__main__":
    print("\n".join(lines()))
