"""Robust trends of a cloudy image cube
=====================================

A trend per pixel of a synthetic satellite cube (60 x 60 pixels, 48 monthly
images): smooth linear and quadratic trends of reflectance, noise, and clouds,
which make a reading darker (one-sided outliers) or leave it missing. Run it as
(``--plot`` is optional):

.. code-block:: sh

    python examples/robust_trends_cube.py --plot robust_trends_cube.png

xarray's ``polyfit`` fits each pixel by least squares, which every cloud pulls
down; ``zelt_fit.xarray.polyfit`` fits each pixel robustly, with the same
shape of result. The script prints the median error of the trend (the mean
slope over the four years) of both, and draws the true trend and the error
maps of both fits.
"""
from __future__ import annotations

import argparse
import time
from typing import Any, Optional, Sequence, Tuple

import numpy as np


def synthetic_cube(size: int = 60, times: int = 48, seed: int = 0) -> Tuple[Any, np.ndarray]:
    """The cube as an xarray DataArray (y, x, time in years), and the true
    mean slope of each pixel over the period (reflectance per year)."""
    import xarray as xr

    rng = np.random.default_rng(seed)
    t = np.arange(times) / 12.0                       # years since the first image
    gy, gx = np.meshgrid(np.linspace(0.0, 1.0, size), np.linspace(0.0, 1.0, size), indexing="ij")
    base = 0.25 + 0.1 * np.sin(3.0 * gx) * np.cos(2.0 * gy)
    slope = 0.02 * np.sin(4.0 * gx + 1.0) + 0.01 * np.cos(5.0 * gy)      # per year
    curve = -0.008 * np.clip(gx + gy - 0.8, 0.0, None)                  # quadratic to the north-east
    truth = base[..., None] + slope[..., None] * t + curve[..., None] * t ** 2
    data = truth + rng.normal(0.0, 0.004, truth.shape)
    # clouds: more of them to the north-east; a cloudy reading is darker, or missing
    cover = 0.08 + 0.3 * gx * gy
    cloudy = rng.uniform(size=truth.shape) < cover[..., None]
    data = np.where(cloudy, data - rng.uniform(0.03, 0.15, truth.shape), data)
    data[cloudy & (rng.uniform(size=truth.shape) < 0.3)] = np.nan
    cube = xr.DataArray(data, dims=("y", "x", "time"), coords={"time": t}, name="reflectance",
                        attrs={"units": "1", "long_name": "surface reflectance"})
    mean_slope = slope + curve * (t[0] + t[-1])       # (f(t_end) - f(t_0)) / (t_end - t_0)
    return cube, mean_slope


def mean_slope(coefficients: Any, t: np.ndarray) -> np.ndarray:
    """The mean slope over [t_0, t_end] of the quadratic of each pixel."""
    return (coefficients.sel(degree=1) + coefficients.sel(degree=2) * (t[0] + t[-1])).values


def trend_errors(cube: Any, truth: np.ndarray, seed: int = 0) -> Tuple[np.ndarray, np.ndarray, float, Any]:
    """Absolute trend errors of least squares and of the robust fit, the
    robust fit's series per second, and its result."""
    from zelt_fit.xarray import polyfit

    t = cube.time.values
    ls = cube.polyfit("time", 2, skipna=True).polyfit_coefficients
    polyfit(cube.isel(y=slice(0, 1), x=slice(0, 1)), "time", 2, missing="drop")   # imports and first calls
    start = time.perf_counter()
    robust = polyfit(cube, "time", 2, missing="drop", seed=seed, progress=False)
    rate = cube.sizes["y"] * cube.sizes["x"] / (time.perf_counter() - start)
    return (np.abs(mean_slope(ls, t) - truth), np.abs(mean_slope(robust.polyfit_coefficients, t) - truth),
            rate, robust)


def plot_maps(truth: np.ndarray, err_ls: np.ndarray, err_robust: np.ndarray, path: str) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(1, 3, figsize=(12.0, 3.9), constrained_layout=True)
    im = axes[0].imshow(truth, cmap="RdBu_r", origin="lower", vmin=-np.abs(truth).max(), vmax=np.abs(truth).max())
    axes[0].set_title("true trend (reflectance / year)")
    fig.colorbar(im, ax=axes[0], shrink=0.85)
    top = float(np.nanquantile(err_ls, 0.98))
    for ax, err, name in ((axes[1], err_ls, "least squares (xarray polyfit)"),
                          (axes[2], err_robust, "robust (zelt_fit.xarray.polyfit)")):
        im = ax.imshow(err, cmap="magma", origin="lower", vmin=0.0, vmax=top)
        ax.set_title(f"{name}\n|trend error|, median {np.nanmedian(err):.2g}")
        fig.colorbar(im, ax=ax, shrink=0.85)
    for ax in axes:
        ax.set_xticks([])
        ax.set_yticks([])
    fig.savefig(path, dpi=100)
    plt.close(fig)


def main(argv: Optional[Sequence[str]] = None) -> None:
    ap = argparse.ArgumentParser(description=(__doc__ or "").split("\n")[0])
    ap.add_argument("--size", type=int, default=60, help="pixels per side (default 60)")
    ap.add_argument("--times", type=int, default=48, help="images (months; default 48)")
    ap.add_argument("--seed", type=int, default=0, help="seed of the synthetic cube")
    ap.add_argument("--plot", help="write the maps of the trend errors to this PNG file")
    args = ap.parse_args(argv)

    cube, truth = synthetic_cube(args.size, args.times, args.seed)
    missing = int(np.isnan(cube.values).sum())
    print(f"cube: {args.size} x {args.size} pixels x {args.times} images, "
          f"{missing} readings missing ({missing / cube.size:.1%}), clouds darken the others")
    err_ls, err_robust, rate, robust = trend_errors(cube, truth, args.seed)
    print(f"robust fits: {rate:.0f} series/s; pixels without a fit: "
          f"{int(np.isnan(robust.polyfit_scale.values).sum())}")
    print(f"median trend error, least squares (xarray polyfit): {np.nanmedian(err_ls):.4g} per year")
    print(f"median trend error, robust (zelt_fit.xarray.polyfit): {np.nanmedian(err_robust):.4g} per year")
    print(f"least squares' median error is {np.nanmedian(err_ls) / np.nanmedian(err_robust):.1f} times "
          "the robust one's")
    share = float(robust.polyfit_inliers.values.sum() / np.isfinite(cube.values).sum())
    print(f"readings kept by the robust fits: {share:.1%}")
    if args.plot:
        plot_maps(truth, err_ls, err_robust, args.plot)
        print(f"maps written to {args.plot}")


if __name__ == "__main__":
    main()
