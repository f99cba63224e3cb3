"""zelt_fit.xarray.polyfit: shaped like xarray's own polyfit (names, dims,
the degree's order and coordinates), close to it on clean data, robust on
clouded data, each series the batch's; a Dask-backed input stays lazy, one
task per chunk of series, and computes to the in-memory answer."""
import subprocess
import sys

import numpy as np
import pytest

xr = pytest.importorskip("xarray")

from zelt_fit import robust_polyfit  # noqa: E402
from zelt_fit.xarray import polyfit  # noqa: E402


def make_cube(ny=4, nx=5, nt=40, clouds=0.0, seed=0, time=None):
    rng = np.random.default_rng(seed)
    t = np.arange(nt, dtype=np.float64) if time is None else time
    s = np.linspace(-1.0, 1.0, nt)
    a = rng.normal(0.5, 0.1, (ny, nx, 1))
    b = rng.normal(0.0, 0.2, (ny, nx, 1))
    c = rng.normal(0.0, 0.1, (ny, nx, 1))
    data = a + b * s + c * s ** 2 + rng.normal(0.0, 0.01, (ny, nx, nt))
    data = data - 0.5 * (rng.uniform(size=data.shape) < clouds)
    return xr.DataArray(data, dims=("lat", "lon", "time"),
                        coords={"lat": np.arange(ny) * 1.5, "lon": np.arange(nx) * 2.0, "time": t},
                        attrs={"units": "reflectance"}, name="refl")


@pytest.mark.parametrize("deg", [1, 2])
def test_dataarray_matches_xarrays_polyfit_on_clean_data(deg):
    cube = make_cube()
    ours = polyfit(cube, "time", deg)
    theirs = cube.polyfit("time", deg)
    c, ref = ours.polyfit_coefficients, theirs.polyfit_coefficients
    assert c.dims == ref.dims == ("degree", "lat", "lon")
    assert c.degree.values.tolist() == ref.degree.values.tolist() == list(range(deg, -1, -1))
    np.testing.assert_array_equal(c.lat, ref.lat)
    # the same trends within the noise (0.01 over 40 points, a trend over 40 steps)
    scale = 0.01 / np.array([40.0 ** k for k in range(deg, -1, -1)])
    assert np.all(np.abs(c - ref).values <= 10 * scale[:, None, None])
    assert ours.polyfit_stderr.dims == c.dims and ours.polyfit_scale.dims == ("lat", "lon")
    assert ours.polyfit_inliers.dims == cube.dims and ours.polyfit_inliers.dtype == bool
    assert ours.attrs == cube.attrs
    # xarray's polyval takes the coefficients as they are
    np.testing.assert_allclose(xr.polyval(cube.time, c), xr.polyval(cube.time, ref), atol=0.01)


def test_each_series_is_the_batchs_and_clouds_are_flagged():
    cube = make_cube(clouds=0.2, seed=1)
    out = polyfit(cube, "time", 2, seed=7)
    Y = cube.values.reshape(-1, cube.sizes["time"]).T
    batch = robust_polyfit(cube.time.values, Y, 2, seed=7)
    np.testing.assert_array_equal(out.polyfit_coefficients.values.reshape(3, -1), batch.coef[::-1])
    np.testing.assert_array_equal(out.polyfit_stderr.values.reshape(3, -1), batch.stderr[::-1])
    np.testing.assert_array_equal(out.polyfit_scale.values.ravel(), batch.scale)
    np.testing.assert_array_equal(out.polyfit_inliers.values.reshape(-1, cube.sizes["time"]).T, batch.inliers)
    clouded = cube.values < (make_cube(seed=1).values - 0.25)
    assert not np.any(out.polyfit_inliers.values & clouded)
    # least squares is pulled down by the clouds; the robust trend is not
    clean = make_cube(seed=1).polyfit("time", 2).polyfit_coefficients.sel(degree=0)
    ls = cube.polyfit("time", 2).polyfit_coefficients.sel(degree=0)
    robust = out.polyfit_coefficients.sel(degree=0)
    assert float(np.abs(robust - clean).median()) < 0.2 * float(np.abs(ls - clean).median())


def test_dataset_fits_each_variable_with_the_dimension():
    cube = make_cube(seed=2)
    ds = xr.Dataset({"a": cube, "b": 2.0 * cube.isel(lon=0), "flat": cube.isel(time=0),
                     "label": ("time", np.array(["x"] * cube.sizes["time"]))})
    out = polyfit(ds, "time", 1)
    assert set(out.data_vars) == {f"{v}_polyfit_{w}" for v in "ab" for w in
                                  ("coefficients", "stderr", "scale", "inliers")}
    assert out.b_polyfit_coefficients.dims == ("degree", "lat")
    np.testing.assert_allclose(out.b_polyfit_coefficients, 2.0 * out.a_polyfit_coefficients.isel(lon=0),
                               rtol=1e-6)
    assert set(ds[["a", "b"]].polyfit("time", 1).data_vars) == {"a_polyfit_coefficients",
                                                                 "b_polyfit_coefficients"}


def test_auto_degree_and_explicit_powers():
    cube = make_cube(seed=3, nt=30)
    out = polyfit(cube, "time", "auto", max_deg=3)
    assert out.polyfit_coefficients.degree.values.tolist() == [3, 2, 1, 0]
    deg = out.polyfit_degree
    assert deg.dims == ("lat", "lon") and deg.dtype == np.int64 and set(np.unique(deg)) <= {0, 1, 2, 3}
    above = out.polyfit_coefficients.degree > deg
    assert np.all(out.polyfit_coefficients.where(above) .fillna(0.0) == 0.0)
    powers = polyfit(cube, "time", [0, 2])
    assert powers.polyfit_coefficients.degree.values.tolist() == [2, 0]


def test_missing_points_and_empty_pixels():
    cube = make_cube(seed=4).copy()
    cube[0, 0] = np.nan                          # ocean: no data at all
    cube[1, 1, ::3] = np.nan                     # clouds masked
    with pytest.raises(ValueError, match="missing='drop'"):
        polyfit(cube, "time", 1)
    out = polyfit(cube, "time", 1, missing="drop")
    c = out.polyfit_coefficients
    assert np.all(np.isnan(c[:, 0, 0])) and np.isnan(out.polyfit_scale[0, 0])
    assert np.isfinite(c[:, 1, 1]).all() and not out.polyfit_inliers[1, 1, ::3].any()
    assert int(np.isnan(c.sel(degree=1)).sum()) == 1


def test_datetime_coordinate_as_xarray_takes_it():
    t = np.datetime64("2020-01-01", "ns") + np.arange(36) * np.timedelta64(30, "D")
    cube = make_cube(time=t, nt=36, seed=5)
    ours = polyfit(cube, "time", 1).polyfit_coefficients
    theirs = cube.polyfit("time", 1).polyfit_coefficients
    np.testing.assert_allclose(ours.sel(degree=1), theirs.sel(degree=1), rtol=0.05, atol=0.01 / 3e16)
    np.testing.assert_allclose(xr.polyval(cube.time, ours), xr.polyval(cube.time, theirs), atol=0.01)


def _no_compute(*args, **kwargs):
    raise AssertionError("a computation ran")


def test_dask_input_stays_lazy_and_equals_in_memory():
    dask = pytest.importorskip("dask")
    cube = make_cube(ny=6, nx=4, clouds=0.1, seed=6)
    cube[2, 3, ::4] = np.nan
    lazy_in = cube.chunk({"lat": 2, "lon": 4, "time": 10})   # chunked along time too
    with dask.config.set(scheduler=_no_compute):
        lazy = polyfit(lazy_in, "time", "auto", max_deg=2, missing="drop")
    for name, var in lazy.data_vars.items():
        assert var.chunks is not None, name
    coef = lazy.polyfit_coefficients.data
    assert coef.numblocks == (1, 3, 1)                  # one block per chunk of series
    # one fitting task per chunk of series, which every output shares
    graph = dict(lazy.__dask_graph__())
    fits = [k for k in graph if isinstance(k, tuple) and str(k[0]).startswith("fit_block-")]
    assert len(fits) == 3, fits
    eager = polyfit(cube, "time", "auto", max_deg=2, missing="drop")
    computed = lazy.compute(scheduler="threads")
    for name in eager.data_vars:
        np.testing.assert_array_equal(computed[name].values, eager[name].values, err_msg=name)


@pytest.mark.parametrize("args, error, pattern", [
    (dict(dim="depth"), ValueError, "'depth' is not a dimension"),
    (dict(obj=np.zeros((3, 4))), TypeError, "DataArray or Dataset"),
    (dict(deg=-2), ValueError, "non-negative"),
    (dict(kwargs={"x": 1}), TypeError, "pass neither"),
    (dict(rename=True), ValueError, "dimension named 'degree'"),
])
def test_errors(args, error, pattern):
    cube = make_cube(ny=2, nx=2, nt=12)
    if args.get("rename"):
        cube = cube.rename(lat="degree")
    with pytest.raises(error, match=pattern):
        polyfit(args.get("obj", cube), args.get("dim", "time"), args.get("deg", 1), **args.get("kwargs", {}))


def test_clear_message_without_xarray():
    code = ("import sys; sys.modules['xarray'] = None\n"
            "import zelt_fit.xarray as zx\n"
            "try:\n    zx.polyfit(None, 'time', 1)\n"
            "except ImportError as err:\n    print(err)\n")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert "zelt_fit.xarray needs xarray: pip install" in out.stdout, out.stderr


def test_any_order_of_dimensions_and_a_single_series():
    cube = make_cube(clouds=0.2, seed=8)
    out = polyfit(cube, "time", 2)
    moved = polyfit(cube.transpose("time", "lon", "lat"), "time", 2)
    assert moved.polyfit_coefficients.dims == ("degree", "lon", "lat")
    assert moved.polyfit_inliers.dims == ("time", "lon", "lat")
    np.testing.assert_array_equal(moved.polyfit_coefficients,
                                  out.polyfit_coefficients.transpose("degree", "lon", "lat"))
    np.testing.assert_array_equal(moved.polyfit_inliers, out.polyfit_inliers.transpose("time", "lon", "lat"))
    one = polyfit(cube.isel(lat=1, lon=2), "time", 2)
    assert one.polyfit_coefficients.dims == ("degree",) and one.polyfit_scale.dims == ()
    np.testing.assert_array_equal(one.polyfit_coefficients, out.polyfit_coefficients[:, 1, 2])
