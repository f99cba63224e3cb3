"""The zelt_fit package as users install it: beside zelt_core in one
distribution, composing the native engine through one module, documented, and
installable on its own from the repaired wheel."""
import ast
import inspect
import os
import pathlib
import subprocess
import sys
import textwrap

import pytest

import zelt_core
import zelt_fit

CORE_NAMES = ['mad', 'compute_sr', 'mdl_score', 'mdl_score_reg', 'design_matrix_1d',
              'smoothness_penalty_matrices_1d', 'boundary_reduce_1d', 'design_matrix_nd',
              'build_penalty_matrices_nd', 'ols', 'fit_regularized_linear', 'GibbsResult',
              'gibbs_entropy', 'MCMCResult', 'TournamentMCMC']
PACKAGE = pathlib.Path(zelt_fit.__file__).resolve().parent
ROOT = pathlib.Path(__file__).resolve().parent.parent


def test_zelt_core_keeps_its_fifteen_attributes():
    assert sorted(a for a in dir(zelt_core) if not a.startswith("_")) == sorted(CORE_NAMES)


def test_only_the_engine_module_imports_zelt_core_and_nothing_is_re_exported():
    importers = []
    for path in sorted(PACKAGE.glob("*.py")):
        tree = ast.parse(path.read_text())
        for node in ast.walk(tree):
            names = ([a.name for a in node.names] if isinstance(node, ast.Import) else
                     [node.module or ""] if isinstance(node, ast.ImportFrom) else [])
            if any(n == "zelt_core" or n.startswith("zelt_core.") for n in names):
                importers.append(path.name)
    assert importers == ["_engine.py"]
    assert not set(CORE_NAMES) & set(dir(zelt_fit))
    for name in zelt_fit.__all__:
        obj = getattr(zelt_fit, name)
        assert not (inspect.isclass(obj) and obj.__module__ == "zelt_core")


def test_no_native_class_is_subclassed():
    native = {getattr(zelt_core, n) for n in CORE_NAMES if inspect.isclass(getattr(zelt_core, n))}
    for name in dir(zelt_fit):
        obj = getattr(zelt_fit, name)
        if inspect.isclass(obj):
            assert not native & set(obj.__mro__), name


def test_public_names_have_numpydoc_docstrings_and_signatures():
    for name in zelt_fit.__all__:
        if name == "__version__":
            continue
        obj = getattr(zelt_fit, name)
        doc = inspect.getdoc(obj)
        assert doc and len(doc.splitlines()) > 3, name
        if inspect.isfunction(obj) or name in ("PolyFit", "RobustPolynomialRegressor"):
            assert "Examples\n--------" in doc, name
        inspect.signature(obj)
    for cls in (zelt_fit.PolyFit, zelt_fit.BatchFit, zelt_fit.RobustPolynomialRegressor):
        for attr, member in vars(cls).items():
            if not attr.startswith("_") and callable(member):
                assert inspect.getdoc(member), f"{cls.__name__}.{attr}"


def test_docstring_examples_run():
    import doctest
    import importlib
    import importlib.util

    names = ["zelt_fit", "zelt_fit._fit", "zelt_fit._result", "zelt_fit._estimator", "zelt_fit._terms",
             "zelt_fit._engine", "zelt_fit._batch"]
    if importlib.util.find_spec("xarray") is not None:
        names.append("zelt_fit.xarray")
    for name in names:
        result = doctest.testmod(importlib.import_module(name), optionflags=doctest.NORMALIZE_WHITESPACE)
        assert result.failed == 0, name


def test_version_comes_from_the_distribution_and_the_package_is_typed():
    from importlib.metadata import version

    assert zelt_fit.__version__ == version("zelt_core")
    assert (PACKAGE / "py.typed").exists()


def test_package_type_checks(tmp_path):
    pytest.importorskip("mypy")
    res = subprocess.run([sys.executable, "-m", "mypy", "--cache-dir", str(tmp_path), "--strict-optional",
                          "--check-untyped-defs", "--ignore-missing-imports", str(ROOT / "src" / "zelt_fit")],
                         capture_output=True, text=True, cwd=tmp_path)
    assert res.returncode == 0, res.stdout + res.stderr


@pytest.mark.skipif(not os.environ.get("ZELT_WHEEL"), reason="only in the run against the wheel")
def test_wheel_package_is_the_one_loaded():
    assert os.path.join("build", "wheel-site") in zelt_fit.__file__


FRESH = textwrap.dedent("""
    import numpy as np, zelt_core, zelt_fit
    from sklearn.utils.estimator_checks import check_estimator
    assert sorted(a for a in dir(zelt_core) if not a.startswith("_")) == sorted({names!r})
    x = np.linspace(0.0, 1.0, 100); y = 1 + 2 * x; y[::10] += 5
    fit = zelt_fit.robust_polyfit(x, y, 1)
    assert (~fit.inliers).sum() == 10, fit
    failed = [r["check_name"] for r in check_estimator(zelt_fit.RobustPolynomialRegressor(), on_fail=None)
              if r["status"] == "failed"]
    assert not failed, failed
    print("ok", zelt_fit.__version__, zelt_fit.__file__)
""")


@pytest.mark.skipif(not os.environ.get("ZELT_WHEEL_FILE"), reason="only in the run against the wheel")
def test_fresh_environment_with_only_the_wheel(tmp_path):
    wheel = os.environ["ZELT_WHEEL_FILE"]
    env_dir = tmp_path / "venv"
    # nothing of this run's own: no PYTHONPATH pointing at the wheel's test install
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "PYTHONHOME")}
    subprocess.run([sys.executable, "-m", "venv", str(env_dir)], check=True, timeout=300, env=env)
    py = str(env_dir / "bin" / "python")
    pip = subprocess.run([py, "-m", "pip", "install", "-q", wheel, "scikit-learn==1.6.1"],
                         capture_output=True, text=True, timeout=900, env=env)
    assert pip.returncode == 0, pip.stderr[-3000:]
    out = subprocess.run([py, "-c", FRESH.format(names=CORE_NAMES)], capture_output=True, text=True,
                         timeout=600, cwd=tmp_path, env=env)
    assert out.returncode == 0, out.stderr[-3000:]
    assert out.stdout.startswith("ok ") and str(env_dir) in out.stdout
