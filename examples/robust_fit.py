"""A robust cubic trend in years and francs
========================================

A robust cubic trend in the data's own units: x in years, y in francs, a
quarter of the readings grossly wrong (one-sided, as a faulty meter gives).
Run it as (``--plot`` is optional):

.. code-block:: sh

    python examples/robust_fit.py --plot robust_fit.png

robust_polyfit maps the years to [-1, 1] and the francs to a unit robust
spread, lets zelt_core's tournament search find the points a cubic explains,
refits them (the bisquare MM-estimate from the best of three starts), and hands back
coefficients, standard errors and intervals in years and francs.
"""
from __future__ import annotations

import argparse
from typing import Optional, Sequence, Tuple

import numpy as np

from zelt_fit import robust_polyfit


def readings(seed: int = 3) -> Tuple[np.ndarray, np.ndarray, np.ndarray]:
    rng = np.random.default_rng(seed)
    years = np.sort(rng.uniform(1990.0, 2020.0, 120))
    t = years - 2005.0
    francs = 150_000.0 + 2_000.0 * t - 40.0 * t**2 + 1.5 * t**3 + rng.normal(0.0, 500.0, years.size)
    bad = rng.choice(years.size, 30, replace=False)
    francs[bad] += rng.uniform(20_000.0, 60_000.0, bad.size)
    return years, francs, bad


def main(argv: Optional[Sequence[str]] = None) -> None:
    ap = argparse.ArgumentParser(description=(__doc__ or "").split("\n")[0])
    ap.add_argument("--plot", help="write a plot of the fit to this PNG file")
    args = ap.parse_args(argv)

    years, francs, bad = readings()
    fit = robust_polyfit(years, francs, 3)
    print(fit.summary())
    print(f"flagged {fit.n - fit.n_inliers} ({np.sum(~fit.inliers[bad])} of the {bad.size} "
          "corrupted readings)")

    clean = np.polynomial.Polynomial([150_000.0, 2_000.0, -40.0, 1.5])
    grid = np.linspace(1990.0, 2020.0, 7)
    print("largest error of the fitted curve on a grid of years (francs): "
          f"{np.max(np.abs(fit.predict(grid) - clean(grid - 2005.0))):.1f}")
    yhat, lo, hi = fit.predict([2021.0], interval="prediction")
    print(f"2021: {yhat[0]:,.0f} francs, 95 % prediction interval {lo[0]:,.0f} to {hi[0]:,.0f}")

    if args.plot:
        import matplotlib

        matplotlib.use("Agg")
        ax = fit.plot()
        ax.set_xlabel("year")
        ax.set_ylabel("francs")
        ax.figure.savefig(args.plot, dpi=110, bbox_inches="tight")
        print(f"plot written to {args.plot}")


if __name__ == "__main__":
    main()
