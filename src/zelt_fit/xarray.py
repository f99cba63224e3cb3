"""Robust polynomial fits along one dimension of an xarray DataArray or Dataset.

:func:`polyfit` is shaped like xarray's own ``polyfit`` (least squares): a
Dataset of ``polyfit_coefficients`` with a ``degree`` dimension, highest degree
first as xarray orders it, and the other dimensions of the input; plus the
robust fit's ``polyfit_stderr``, ``polyfit_scale``, ``polyfit_inliers`` (the
input's dimensions) and, with ``deg="auto"``, ``polyfit_degree``. A Dask-backed
input stays lazy: each chunk of series is one task, fitted where it lives.

xarray is an optional dependency (``pip install zelt_core[xarray]``), imported
only by this module.
"""
from __future__ import annotations

from typing import Any, Dict, Hashable, List, Tuple

import numpy as np

from ._batch import BatchFit
from ._fit import robust_polyfit, _terms_of

__all__ = ["polyfit"]

DEGREE = "degree"


def _xarray():
    try:
        import xarray
    except ImportError:
        raise ImportError("zelt_fit.xarray needs xarray: pip install xarray (or zelt_core[xarray])") from None
    return xarray


def _coordinate(obj: Any, dim: Hashable) -> np.ndarray:
    """The values along `dim` as floats, as xarray's polyfit takes them: the
    coordinate (datetimes in nanoseconds since 1970), or 0, 1, 2, ... where
    the dimension has none."""
    if dim not in obj.dims:
        raise ValueError(f"dim {dim!r} is not a dimension of the input (its dimensions: {tuple(obj.dims)})")
    if dim not in obj.coords:
        return np.arange(obj.sizes[dim], dtype=np.float64)
    values = np.asarray(obj.coords[dim].values)
    if values.dtype.kind in "mM":
        if values.dtype.kind == "M":
            values = values - np.datetime64("1970-01-01", "ns")
        return values.astype("timedelta64[ns]").astype(np.float64)
    if values.dtype.kind == "O":   # cftime dates and the like: xarray's own conversion
        from xarray.core.missing import get_clean_interp_index

        return np.asarray(get_clean_interp_index(obj, dim, strict=False), dtype=np.float64)
    if values.dtype.kind not in "biuf":
        raise ValueError(f"the coordinate of {dim!r} has dtype {values.dtype}; it must hold numbers or dates")
    return values.astype(np.float64)


def _fit_block(block: np.ndarray, x: np.ndarray, deg: Any, order: np.ndarray, auto: bool,
               options: Dict[str, Any]) -> Tuple[np.ndarray, ...]:
    """The fits of one block of series, the fitted dimension last: (..., n)."""
    lead, n = block.shape[:-1], block.shape[-1]
    p = order.size
    Y = np.asarray(block, dtype=np.float64).reshape(-1, n).T
    if Y.shape[1] == 0:
        out = [np.empty(lead + (p,)), np.empty(lead + (p,)), np.empty(lead), np.empty(lead + (n,), dtype=bool)]
        return tuple(out + ([np.empty(lead, dtype=np.int64)] if auto else []))
    batch = robust_polyfit(x, Y, deg, **options)
    assert isinstance(batch, BatchFit)
    out = [batch.coef[order].T.reshape(lead + (p,)), batch.stderr[order].T.reshape(lead + (p,)),
           batch.scale.reshape(lead), batch.inliers.T.reshape(lead + (n,))]
    if auto:
        out.append(batch.degree.reshape(lead))
    return tuple(out)


def polyfit(obj: Any, dim: Hashable, deg: Any, **kwargs: Any) -> Any:
    """Robust polynomial fit of every series of `obj` along `dim`.

    The robust counterpart of ``obj.polyfit(dim, deg)``: each series (each
    position of the other dimensions) is fitted by :func:`~zelt_fit.robust_polyfit`
    against the coordinate of `dim`, so that clouds, spikes and glitches do
    not pull the trends. For a Dask-backed input nothing is computed: the
    result is lazy, one task per chunk of series (the input is first put in
    one chunk along `dim`), and computing it never brings the cube to the
    client.

    Parameters
    ----------
    obj : xarray.DataArray or xarray.Dataset
        The data. In a Dataset every numeric variable that has `dim` is fitted.
    dim : hashable
        The dimension to fit along; its coordinate is x (datetimes in
        nanoseconds since 1970-01-01, as xarray's polyfit takes them; 0, 1,
        2, ... without a coordinate).
    deg : int, "auto" or sequence of int
        The degree, ``"auto"`` (chosen per series), or the powers to fit.
    **kwargs
        Any other argument of :func:`~zelt_fit.robust_polyfit` (``seed``,
        ``missing``, ``slope``, ``curvature``, ``max_deg``, ``search``...).
        ``missing="drop"`` fits each series on its complete points (clouds
        masked as NaN); by default a NaN is refused. ``progress`` shows a
        progress bar for in-memory input (for Dask, use Dask's own, e.g.
        ``dask.diagnostics.ProgressBar``).

    Returns
    -------
    xarray.Dataset
        ``polyfit_coefficients`` (``degree``, other dimensions), ``degree``
        from the highest power down to 0, as xarray orders it;
        ``polyfit_stderr`` (the same dimensions); ``polyfit_scale`` (the
        other dimensions); ``polyfit_inliers`` (the input's dimensions, False
        for an outlier or a missing point); ``polyfit_degree`` with
        ``deg="auto"`` (the terms above a series' degree hold 0). For a
        Dataset each name has its variable's name and "_" in front. A series
        that cannot be fitted (too few complete points) has NaN coefficients.

    See Also
    --------
    xarray.DataArray.polyfit : least squares, which outliers pull.
    xarray.polyval : evaluates the coefficients.
    zelt_fit.robust_polyfit : the fit of one series, or of the columns of a matrix.

    Examples
    --------
    >>> import numpy as np, xarray as xr
    >>> from zelt_fit.xarray import polyfit
    >>> rng = np.random.default_rng(0)
    >>> t = np.arange(48.0)
    >>> cube = xr.DataArray(0.5 + 0.01 * t + rng.normal(0, 0.002, (3, 4, 48)),
    ...                     dims=("y", "x", "time"), coords={"time": t})
    >>> cube[..., ::5] -= 0.3                          # clouds: darker
    >>> fit = polyfit(cube, "time", 1)
    >>> fit.polyfit_coefficients.dims, fit.polyfit_coefficients.degree.values.tolist()
    (('degree', 'y', 'x'), [1, 0])
    >>> bool(np.allclose(fit.polyfit_coefficients.sel(degree=1), 0.01, atol=1e-3))
    True
    """
    xr = _xarray()
    if "x" in kwargs or "y" in kwargs:
        raise TypeError("polyfit takes x from the coordinate of dim and y from obj; pass neither")
    if isinstance(obj, xr.DataArray):
        fields: List[Tuple[str, Any]] = [("", obj)]
    elif isinstance(obj, xr.Dataset):
        fields = [(f"{name}_", var) for name, var in obj.data_vars.items()
                  if dim in var.dims and var.dtype.kind in "biuf"]
        if not fields:
            raise ValueError(f"no numeric variable of the Dataset has the dimension {dim!r}")
    else:
        raise TypeError(f"obj must be an xarray DataArray or Dataset, got {type(obj).__name__}")
    if DEGREE in obj.dims:
        raise ValueError(f"the input has a dimension named {DEGREE!r}, the one the coefficients take: rename it")
    x = _coordinate(obj, dim)
    n_x = int(np.count_nonzero(np.isfinite(x)))
    # the degree checked now, not when a lazy result is computed
    terms, _, _, auto = _terms_of(deg, kwargs.get("basis", "total"), 1, kwargs.get("max_deg"), n_x)
    powers = terms[:, 0]
    order = np.argsort(-powers, kind="stable")
    out: Dict[str, Any] = {}
    for prefix, var in fields:
        lazy = var.chunks is not None
        options = dict(kwargs)
        options.setdefault("progress", False if lazy else None)
        if lazy:
            var = var.chunk({dim: -1})
        others = [d for d in var.dims if d != dim]
        results = xr.apply_ufunc(
            _fit_block, var, kwargs={"x": x, "deg": deg, "order": order, "auto": auto, "options": options},
            input_core_dims=[[dim]],
            output_core_dims=[[DEGREE], [DEGREE], [], [dim]] + ([[]] if auto else []),
            dask="parallelized",
            output_dtypes=[np.float64, np.float64, np.float64, bool] + ([np.int64] if auto else []),
            dask_gufunc_kwargs={"output_sizes": {DEGREE: int(powers.size)}},
        )
        coef, stderr, scale, inliers = results[:4]
        coords = {DEGREE: powers[order]}
        out[prefix + "polyfit_coefficients"] = coef.transpose(DEGREE, *others).assign_coords(coords)
        out[prefix + "polyfit_stderr"] = stderr.transpose(DEGREE, *others).assign_coords(coords)
        out[prefix + "polyfit_scale"] = scale
        out[prefix + "polyfit_inliers"] = inliers.transpose(*var.dims)
        if auto:
            out[prefix + "polyfit_degree"] = results[4]
    return xr.Dataset(out, attrs=dict(obj.attrs))
