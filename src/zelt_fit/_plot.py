"""Drawing a fit in one variable (matplotlib is imported here only)."""
from __future__ import annotations

from typing import Any

import numpy as np

from . import _checks

__all__ = ["plot_fit"]


def _pyplot():
    try:
        import matplotlib.pyplot as plt
    except ImportError:
        raise ImportError("PolyFit.plot needs matplotlib, which is not installed: "
                          "pip install matplotlib") from None
    return plt


def plot_fit(fit: Any, ax: Any = None, level: float = 0.95, n_grid: int = 400, data: Any = None):
    if fit.n_features != 1:
        raise ValueError(f"plot draws fits in one variable; this fit has {fit.n_features}")
    level = _checks.as_level(level)
    n_grid = _checks.as_count(n_grid, "n_grid", 2)
    if data is not None:
        if not isinstance(data, (tuple, list)) or len(data) != 2:
            raise ValueError("data must be a pair (x, y) of the points fitted")
        x, y = _checks.as_features(data[0], "data's x"), _checks.as_target(data[1], "data's y")
        if x.shape[1] != 1 or x.shape[0] != y.shape[0]:
            raise ValueError(f"data's x and y must be of one variable and the same length, got shapes "
                             f"{np.shape(data[0])} and {np.shape(data[1])}")
    if ax is None:
        plt = _pyplot()
        _, ax = plt.subplots(figsize=(7.5, 4.5))
    else:
        _pyplot()
    if data is not None:
        x, y = data
        x = np.asarray(x, dtype=float).ravel()
        y = np.asarray(y, dtype=float).ravel()
        inl = np.asarray(fit.inliers, dtype=bool) if x.size == fit.n else None
        sampled = False
    else:
        x, y, inl = fit.extra.get("plot_x"), fit.extra.get("plot_y"), fit.extra.get("plot_inliers")
        sampled = x is not None and x.size < fit.n
    name = fit.feature_names[0] if fit.feature_names else "x"
    lo_x = float(np.min(x)) if x is not None and x.size else fit.scaling.x_center[0] - fit.scaling.x_scale[0]
    hi_x = float(np.max(x)) if x is not None and x.size else fit.scaling.x_center[0] + fit.scaling.x_scale[0]
    grid = np.linspace(lo_x, hi_x, n_grid)
    yhat, clo, chi = fit.predict(grid, interval="confidence", level=level)
    _, plo, phi = fit.predict(grid, interval="prediction", level=level)
    ax.fill_between(grid, plo, phi, color="tab:blue", alpha=0.12, lw=0,
                    label=f"{level:.0%} prediction band")
    ax.fill_between(grid, clo, chi, color="tab:blue", alpha=0.35, lw=0,
                    label=f"{level:.0%} confidence band")
    if x is not None:
        if inl is None:
            ax.scatter(x, y, s=9, c="0.35", label="data")
        else:
            ax.scatter(x[inl], y[inl], s=9, c="0.35", label="inliers" + (" (sample)" if sampled else ""))
            ax.scatter(x[~inl], y[~inl], s=18, c="tab:red", marker="x", lw=1.0,
                       label="flagged" + (" (sample)" if sampled else ""))
    ax.plot(grid, yhat, color="tab:blue", lw=2.0, label=f"fit, degree {fit.degree}")
    ax.set_xlabel(name)
    ax.set_ylabel("y")
    ax.set_title(f"robust polynomial fit: {fit.n_inliers} of {fit.n} points inliers")
    ax.legend(loc="upper left", bbox_to_anchor=(1.01, 1.0), fontsize=8, frameon=False)
    return ax
