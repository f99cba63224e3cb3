"""The demo: four fits of sensor readings with gross outliers
==========================================================

zelt demo: robust polynomial fitting of generated sensor readings with gross outliers.

Part 1 fits a cubic calibration curve (a sensor's output in millivolts against
temperature in degrees Celsius) four ways: zelt_core's least squares and
penalised least squares, its tournament MCMC search alone, and zelt_fit's
robust_polyfit (the search followed by the refit of its consensus set). It prints a table per method and saves a plot: the fits over the data,
and below them each fit's distance from the true curve.
Part 2 fits a surface in two variables with robust_polyfit.

Times are of warm calls: each fit runs once untimed (the first call of a
process pays for loading SciPy's and the module's code), then the median of
three calls is shown. Run it as:

.. code-block:: sh

    python examples/demo.py --n 200 --outliers 0.2 --seed 7 --out demo_fit.png
"""
from __future__ import annotations

import argparse
import pathlib
import time
from dataclasses import dataclass
from typing import Callable, List, Sequence, Tuple

import numpy as np

import zelt_core as z
from zelt_fit import PolyFit, robust_polyfit

# The true calibration curve, in the scaled variable u = (T - 20 degC) / 20 degC.
TRUTH = np.array([0.5, -1.0, 0.8, 0.6])
T_MID, T_HALF = 20.0, 20.0      # degrees Celsius
MV = 100.0                      # millivolts per unit of the scaled curve


@dataclass
class MethodResult:
    name: str
    beta: np.ndarray    # coefficients of u^0 .. u^3, in units of MV
    seconds: float


def warm_seconds(call: Callable[[], object], repeats: int = 3) -> float:
    """Median time of `repeats` calls after a first, untimed one."""
    call()
    times = []
    for _ in range(repeats):
        t0 = time.perf_counter()
        call()
        times.append(time.perf_counter() - t0)
    return float(np.median(times))


def timed(name: str, fit: Callable[[], np.ndarray]) -> MethodResult:
    seconds = warm_seconds(fit)
    return MethodResult(name, np.asarray(fit(), dtype=float), seconds)


def make_data(rng: np.random.Generator, n: int, noise: float,
              outlier_share: float) -> Tuple[np.ndarray, np.ndarray, np.ndarray]:
    u = np.sort(rng.uniform(-1.0, 1.0, n))
    y = np.polynomial.polynomial.polyval(u, TRUTH) + rng.normal(0.0, noise, n)
    idx = rng.choice(n, int(round(outlier_share * n)), replace=False)
    # Gross outliers: shifted well outside the noise, mostly upwards, as a
    # faulty sensor would produce.
    y[idx] += rng.choice([-1.0, 1.0], idx.size, p=[0.2, 0.8]) * rng.uniform(2.0, 4.0, idx.size)
    return u, y, idx


def report(title: str, rows: Sequence[MethodResult], Phi: np.ndarray, y: np.ndarray) -> None:
    eps = 0.4 * z.mad(y) if z.mad(y) > 0 else 0.4
    print(f"\n{title}")
    print(f"{'method':<24}{'|beta - truth|':>16}{'MDL score':>12}{'within tol':>12}{'warm time':>11}")
    for r in rows:
        yp = Phi @ r.beta
        print(f"{r.name:<24}{np.linalg.norm(r.beta - TRUTH):>16.4f}{z.mdl_score(yp, y, TRUTH.size):>12.2f}"
              f"{z.compute_sr(yp, y, eps):>11.1%}{r.seconds * 1e3:>9.3g} ms")


def part_one(args: argparse.Namespace, rng: np.random.Generator) -> List[MethodResult]:
    u, y, outliers = make_data(rng, args.n, args.noise, args.outliers)
    Phi = z.design_matrix_1d(3, u)
    R1, R2 = z.smoothness_penalty_matrices_1d(3, -1.0, 1.0)
    engine = z.TournamentMCMC(n_chains=args.chains, n_warmup=args.warmup, n_deep=args.deep, seed=args.seed)
    celsius, millivolts = T_MID + T_HALF * u, MV * y
    fits = []

    def robust() -> np.ndarray:
        # in the data's own units (its coefficients are of powers of T, in mV)
        fits.append(robust_polyfit(celsius, millivolts, 3, seed=args.seed))
        return fits[-1].coef

    rows = [
        timed("least squares", lambda: z.ols(Phi, y)),
        timed("penalised (gamma2=1e-2)", lambda: z.fit_regularized_linear(Phi, y, R1, R2, 0.0, 1e-2)),
        timed("tournament MCMC alone", lambda: engine.fit(Phi, y).beta_mcmc),
        timed("robust_polyfit", robust),
    ]
    # the same cubic as coefficients of u^0 .. u^3 in units of MV, for the table
    ug = np.linspace(-1.0, 1.0, 8)
    rows[-1].beta = np.linalg.lstsq(z.design_matrix_1d(3, ug), fits[-1].predict(T_MID + T_HALF * ug) / MV,
                                    rcond=None)[0]
    share = f"{outliers.size / args.n:.0%}"
    report(f"Part 1: cubic calibration curve, n = {args.n}, {outliers.size} gross outliers ({share}), "
           f"noise sd {args.noise}", rows, Phi, y)
    fit = fits[-1]
    truly_bad = np.zeros(u.size, bool)
    truly_bad[outliers] = True
    print(f"consensus set of robust_polyfit: {fit.n_inliers} of {u.size} points; "
          f"{np.sum(~fit.inliers & truly_bad)} of {outliers.size} gross outliers and "
          f"{np.sum(~fit.inliers & ~truly_bad)} clean points left out")
    print(fit.summary())
    plot(args.out, celsius, millivolts, truly_bad, fit, rows)
    return rows


def part_two(args: argparse.Namespace, rng: np.random.Generator) -> None:
    # Surface f(p, q) = 0.3 + p - 0.5 q + 0.8 p q - 0.6 p^2 on pressure p (bar) and
    # flow q (l/min), each mapped from its own range.
    n = max(args.n, 50)
    p, q = rng.uniform(-1.0, 1.0, n), rng.uniform(-1.0, 1.0, n)
    y = 0.3 + p - 0.5 * q + 0.8 * p * q - 0.6 * p**2 + rng.normal(0.0, args.noise, n)
    bad = rng.choice(n, int(round(args.outliers * n)), replace=False)
    y[bad] += rng.uniform(2.0, 4.0, bad.size)
    X = np.column_stack([5.0 + 3.0 * p, 40.0 + 25.0 * q])
    seconds = warm_seconds(lambda: robust_polyfit(X, y, 2))
    fit = robust_polyfit(X, y, 2)
    grid = np.column_stack([5.0 + 3.0 * np.linspace(-1, 1, 9), 40.0 + 25.0 * np.linspace(1, -1, 9)])
    clean = 0.3 + (grid[:, 0] - 5) / 3 - 0.5 * (grid[:, 1] - 40) / 25 \
        + 0.8 * (grid[:, 0] - 5) / 3 * (grid[:, 1] - 40) / 25 - 0.6 * ((grid[:, 0] - 5) / 3) ** 2
    ls = np.linalg.lstsq(z.design_matrix_nd(fit.terms.tolist(), [X[:, 0], X[:, 1]]), y, rcond=None)[0]
    ls_pred = z.design_matrix_nd(fit.terms.tolist(), [grid[:, 0], grid[:, 1]]) @ ls
    print(f"\nPart 2: surface in two variables (bar, l/min), {fit.terms.shape[0]} terms, n = {n}, "
          f"{bad.size} outliers")
    print(f"  robust_polyfit: largest error on a grid {np.max(np.abs(fit.predict(grid) - clean)):.4f}, "
          f"flagged {fit.n - fit.n_inliers} ({np.sum(~fit.inliers[bad])} of {bad.size} outliers), "
          f"{seconds * 1e3:.1f} ms warm")
    print(f"  least squares:  largest error on a grid {np.max(np.abs(ls_pred - clean)):.4f}")


def plot(path: str, celsius: np.ndarray, millivolts: np.ndarray, truly_bad: np.ndarray, fit: PolyFit,
         rows: Sequence[MethodResult]) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    grid = np.linspace(-1.0, 1.0, 400)
    G = z.design_matrix_1d(3, grid)
    tgrid = T_MID + T_HALF * grid
    truth = MV * (G @ TRUTH)
    fig, (top, bottom) = plt.subplots(2, 1, figsize=(9.5, 7.5), sharex=True,
                                      gridspec_kw={"height_ratios": [3, 2]})
    inl = fit.inliers
    top.scatter(celsius[inl], millivolts[inl], s=10, c="0.55", label="kept by robust_polyfit", zorder=1)
    top.scatter(celsius[~inl], millivolts[~inl], s=22, c="tab:red", marker="x", lw=1.0,
                label="flagged by robust_polyfit", zorder=2)
    top.scatter(celsius[truly_bad], millivolts[truly_bad], s=70, facecolors="none", edgecolors="tab:red",
                lw=0.7, label="generated gross outliers", zorder=2)
    styles = {"least squares": ("tab:orange", "-", 2.0), "penalised (gamma2=1e-2)": ("tab:purple", (0, (1, 1.5)), 2.4),
              "tournament MCMC alone": ("tab:olive", (0, (6, 2, 1, 2)), 2.0),
              "robust_polyfit": ("tab:green", "-", 4.0)}
    for r in rows:
        colour, ls, lw = styles[r.name]
        curve = MV * (G @ r.beta)
        alpha = 0.55 if r.name == "robust_polyfit" else 1.0
        top.plot(tgrid, curve, color=colour, ls=ls, lw=lw, alpha=alpha, label=r.name, zorder=3)
        bottom.plot(tgrid, curve - truth, color=colour, ls=ls, lw=lw if lw < 4 else 2.4, label=r.name)
    # the truth on top of everything, thin and dashed, so the refit cannot hide it
    top.plot(tgrid, truth, color="black", ls="--", lw=1.4, label="true curve", zorder=4)
    bottom.axhline(0.0, color="black", ls="--", lw=1.4, label="true curve")
    _, lo, hi = fit.predict(tgrid, interval="confidence")
    bottom.fill_between(tgrid, lo - truth, hi - truth, color="tab:green", alpha=0.2, lw=0,
                        label="robust_polyfit 95% confidence band")
    top.set_ylabel("sensor output (mV)")
    bottom.set_ylabel("fit minus true curve (mV, symlog)")
    bottom.set_xlabel("temperature (°C)")
    # symmetric log scale: the misses of least squares and the noise-sized ones of
    # the robust fits both show
    bottom.set_yscale("symlog", linthresh=2.0)
    share = truly_bad.sum() / truly_bad.size
    top.set_title(f"Robust cubic fit: n = {truly_bad.size} readings, {truly_bad.sum()} gross outliers "
                  f"({share:.0%})")
    top.legend(loc="upper left", bbox_to_anchor=(1.01, 1.0), fontsize=8.5, frameon=False)
    bottom.legend(loc="upper left", bbox_to_anchor=(1.01, 1.0), fontsize=8.5, frameon=False)
    fig.tight_layout()
    out = pathlib.Path(path)
    out.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(out, dpi=110)
    plt.close(fig)
    print(f"\nplot written to {path}")


def parse_args(argv: Sequence[str] | None = None) -> argparse.Namespace:
    ap = argparse.ArgumentParser(description=(__doc__ or "").split("\n")[0])
    ap.add_argument("--n", type=int, default=200, help="number of readings (default 200)")
    ap.add_argument("--outliers", type=float, default=0.2, help="share of gross outliers")
    ap.add_argument("--noise", type=float, default=0.05, help="noise standard deviation (scaled units)")
    ap.add_argument("--seed", type=int, default=7, help="seed of data and search")
    ap.add_argument("--chains", type=int, default=32, help="tournament chains (the search alone)")
    ap.add_argument("--warmup", type=int, default=1500, help="chain-phase steps per chain (the search alone)")
    ap.add_argument("--deep", type=int, default=3000, help="refinement steps per elite chain (the search alone)")
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
