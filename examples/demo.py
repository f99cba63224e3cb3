"""zelt_core demo: robust polynomial fitting on generated data with gross outliers.

Part 1 fits a one-variable polynomial four ways (least squares, penalised least
squares, the tournament MCMC search for the lowest MDL energy, and that search
followed by a least-squares refit of its consensus set, see robust_fit.py),
prints a table per method and saves a plot that marks the consensus set.
Part 2 fits a surface in two variables.

    python examples/demo.py [--n 200] [--outliers 0.2] [--seed 7] [--out demo.png]
"""
from __future__ import annotations

import argparse
import pathlib
import time
from dataclasses import dataclass
from typing import Callable, Dict, List, Sequence, Tuple

import numpy as np

import zelt_core as z
from robust_fit import consensus_refit, robust_polyfit, robust_scale


@dataclass
class MethodResult:
    name: str
    beta: np.ndarray
    seconds: float


def timed(name: str, fit: Callable[[], np.ndarray]) -> MethodResult:
    t0 = time.perf_counter()
    beta = np.asarray(fit(), dtype=float)
    return MethodResult(name, beta, time.perf_counter() - t0)


def make_data(rng: np.random.Generator, n: int, truth: np.ndarray, noise: float,
              outlier_share: float) -> tuple:
    x = np.sort(rng.uniform(-1.0, 1.0, n))
    y_clean = np.polynomial.polynomial.polyval(x, truth)
    y = y_clean + rng.normal(0.0, noise, n)
    n_out = int(round(outlier_share * n))
    idx = rng.choice(n, n_out, replace=False)
    # Gross outliers: shifted well outside the noise, mostly upwards, as a
    # faulty sensor would produce.
    y[idx] += rng.choice([-1.0, 1.0], n_out, p=[0.2, 0.8]) * rng.uniform(2.0, 4.0, n_out)
    return x, y, idx


def report(title: str, rows: Sequence[MethodResult], truth: np.ndarray, Phi: np.ndarray,
           y: np.ndarray, k: int, H: int) -> None:
    eps = 0.4 * z.mad(y) if z.mad(y) > 0 else 0.4
    print(f"\n{title}")
    print(f"{'method':<24}{'|beta - truth|':>16}{'MDL score':>12}{'within tol':>12}{'time':>11}")
    for r in rows:
        yp = Phi @ r.beta
        err = float(np.linalg.norm(r.beta - truth))
        score = z.mdl_score(yp, y, k, H)
        share = z.compute_sr(yp, y, eps)
        print(f"{r.name:<24}{err:>16.4f}{score:>12.2f}{share:>11.1%}{r.seconds * 1e3:>9.1f} ms")


def part_one(args: argparse.Namespace, rng: np.random.Generator) -> List[MethodResult]:
    truth = np.array([0.5, -1.0, 0.8, 0.6])
    deg = truth.size - 1
    x, y, outliers = make_data(rng, args.n, truth, args.noise, args.outliers)
    Phi = z.design_matrix_1d(deg, x)
    R1, R2 = z.smoothness_penalty_matrices_1d(deg, -1.0, 1.0)

    engine = z.TournamentMCMC(n_chains=args.chains, n_warmup=args.warmup, n_deep=args.deep,
                              seed=args.seed)
    refits = []

    def tournament_and_refit() -> np.ndarray:
        refits.append(robust_polyfit(x, y, deg, engine))
        return refits[-1].beta

    rows = [
        timed("ols", lambda: z.ols(Phi, y)),
        timed("penalised (gamma2=1e-4)",
              lambda: z.fit_regularized_linear(Phi, y, R1, R2, 0.0, 1e-4)),
        timed("tournament MCMC", lambda: engine.fit(Phi, y).beta_mcmc),
        timed("tournament + refit", tournament_and_refit),
    ]
    report(f"Part 1: cubic, n = {args.n}, {len(outliers)} gross outliers "
           f"({args.outliers:.0%}), noise sd {args.noise}", rows, truth, Phi, y, truth.size, 20)
    consensus = refits[-1].consensus
    truly_bad = np.zeros(x.size, bool)
    truly_bad[outliers] = True
    print(f"consensus set of the refit: {consensus.sum()} of {x.size} points; "
          f"{np.sum(~consensus & truly_bad)} of {len(outliers)} gross outliers and "
          f"{np.sum(~consensus & ~truly_bad)} clean points left out")
    plot(args.out, x, y, outliers, consensus, truth, rows)
    return rows


def part_two(args: argparse.Namespace, rng: np.random.Generator) -> None:
    degrees = [2, 2]
    bounds = [(-1.0, 1.0), (-1.0, 1.0)]
    R1, R2, multi = z.build_penalty_matrices_nd(degrees, bounds, 20)
    # Surface f(u, v) = 0.3 + u - 0.5 v + 0.8 u v - 0.6 u^2, in the basis order of `multi`.
    coef: Dict[Tuple[int, ...], float] = {(0, 0): 0.3, (1, 0): 1.0, (0, 1): -0.5, (1, 1): 0.8, (2, 0): -0.6}
    truth = np.array([coef.get(tuple(m), 0.0) for m in multi])
    n = max(args.n, 50)
    u, v = rng.uniform(-1.0, 1.0, n), rng.uniform(-1.0, 1.0, n)
    Phi = z.design_matrix_nd(multi, [u, v])
    y = Phi @ truth + rng.normal(0.0, args.noise, n)
    bad = rng.choice(n, int(round(args.outliers * n)), replace=False)
    y[bad] += rng.uniform(2.0, 4.0, bad.size)
    engine = z.TournamentMCMC(n_chains=args.chains, n_warmup=args.warmup, n_deep=args.deep,
                              seed=args.seed)

    def tournament_and_refit() -> np.ndarray:
        # u and v already span [-1, 1]; y is centred and scaled by its MAD so
        # that the search's start spread and step fit the problem.
        y_center, y_scale = robust_scale(y)
        y_scaled = (y - y_center) / y_scale
        beta = np.array(engine.fit(Phi, y_scaled).beta_mcmc)
        consensus = np.abs(y_scaled - Phi @ beta) < 0.4 * z.mad(y_scaled)
        if consensus.sum() < Phi.shape[1]:
            consensus[:] = True
        beta = y_scale * consensus_refit(Phi, y_scaled, consensus)[0]
        beta[multi.index([0, 0])] += y_center  # the constant term
        return beta

    rows = [
        timed("ols", lambda: z.ols(Phi, y)),
        timed("penalised (gamma1=1e-3)",
              lambda: z.fit_regularized_linear(Phi, y, R1, R2, 1e-3, 0.0)),
        timed("tournament MCMC", lambda: engine.fit(Phi, y).beta_mcmc),
        timed("tournament + refit", tournament_and_refit),
    ]
    report(f"Part 2: surface in two variables, {len(multi)} terms, n = {n}, "
           f"{bad.size} outliers", rows, truth, Phi, y, len(multi), 20)


def plot(path: str, x: np.ndarray, y: np.ndarray, outliers: np.ndarray, consensus: np.ndarray,
         truth: np.ndarray, rows: Sequence[MethodResult]) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    grid = np.linspace(-1.0, 1.0, 400)
    G = z.design_matrix_1d(truth.size - 1, grid)
    fig, ax = plt.subplots(figsize=(8, 5))
    ax.scatter(x[consensus], y[consensus], s=10, c="0.45", label="consensus set (refit on these)")
    ax.scatter(x[~consensus], y[~consensus], s=16, c="tab:red", marker="x",
               label="outside the consensus set")
    ax.scatter(x[outliers], y[outliers], s=60, facecolors="none", edgecolors="tab:red", lw=0.8,
               label="generated gross outliers")
    ax.plot(grid, G @ truth, "k--", lw=2, label="truth")
    styles = [("tab:orange", "-"), ("tab:purple", ":"), ("tab:olive", "-"), ("tab:green", "-")]
    for r, (colour, ls) in zip(rows, styles):
        ax.plot(grid, G @ r.beta, color=colour, ls=ls, lw=2.2, label=r.name)
    ax.set_xlabel("x")
    ax.set_ylabel("y")
    ax.set_title("zelt_core: least squares vs. tournament MCMC (MDL) and its consensus refit")
    ax.legend(loc="best", fontsize=9)
    fig.tight_layout()
    out = pathlib.Path(path).resolve()
    out.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(out, dpi=110)
    plt.close(fig)
    print(f"\nplot written to {out}")


def parse_args(argv: Sequence[str] | None = None) -> argparse.Namespace:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--n", type=int, default=200, help="number of samples (default 200)")
    ap.add_argument("--outliers", type=float, default=0.2, help="share of gross outliers")
    ap.add_argument("--noise", type=float, default=0.05, help="noise standard deviation")
    ap.add_argument("--seed", type=int, default=7, help="seed of data and search")
    ap.add_argument("--chains", type=int, default=32, help="tournament chains")
    ap.add_argument("--warmup", type=int, default=1500, help="chain-phase steps per chain")
    ap.add_argument("--deep", type=int, default=3000, help="refinement steps per elite chain")
    ap.add_argument("--out", default="demo_fit.png", help="path of the PNG plot")
    return ap.parse_args(argv)


def main(argv: Sequence[str] | None = None) -> List[MethodResult]:
    args = parse_args(argv)
    rng = np.random.default_rng(args.seed)
    rows = part_one(args, rng)
    part_two(args, rng)
    return rows


if __name__ == "__main__":
    main()
