"""Sphinx configuration of the zelt documentation (``make docs``)."""
import os
import pathlib
import sys
import zlib

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE / "_ext"))

from importlib.metadata import version as _version  # noqa: E402

project = "zelt"
author = "zelt_core developers"
copyright = "the zelt_core developers, BSD-3-Clause"
release = _version("zelt_core")
version = release

extensions = [
    "sphinx.ext.autodoc",
    "sphinx.ext.autosummary",
    "sphinx.ext.intersphinx",
    "sphinx.ext.viewcode",
    "sphinx.ext.mathjax",
    "sphinx-mathjax-offline",   # MathJax from its pip package: formulas render offline
    "numpydoc",
    "sphinx_gallery.gen_gallery",
    "myst_parser",
    "stubdoc",
    "runcode",
]

# Command lines and options are typed as written: no curly quotes, no "--" made
# into a dash, anywhere.
smartquotes = False

# Cross-references to NumPy, SciPy, scikit-learn, pandas and matplotlib resolve
# offline, from small inventories written here of the names these pages use; the
# links point at each project's published documentation.
_INVENTORIES = {
    "python": ("https://docs.python.org/3/", [
        ("bltin-boolean-values", "std:label", "library/stdtypes.html#$", "Boolean Values"),
        *[(name, "py:data", "library/constants.html#$") for name in ("None", "True", "False")],
        *[(name, "py:class", "library/stdtypes.html#$") for name in ("list", "tuple", "dict", "str")],
        *[(name, "py:class", "library/functions.html#$") for name in ("int", "float", "bool")],
        ("callable", "py:function", "library/functions.html#$"),
        *[(name, "std:term", "glossary.html#term-$") for name in ("iterable", "sequence", "generator")],
    ]),
    "numpy": ("https://numpy.org/doc/stable/", [
        ("numpy.ndarray", "py:class", "reference/generated/numpy.ndarray.html#$"),
        ("numpy.linalg.lstsq", "py:function", "reference/generated/numpy.linalg.lstsq.html#$"),
        ("numpy.polyfit", "py:function", "reference/generated/numpy.polyfit.html#$"),
        ("numpy.polynomial.polynomial.polyfit", "py:function",
         "reference/generated/numpy.polynomial.polynomial.polyfit.html#$"),
        ("numpy.polynomial.polynomial.polyvander", "py:function",
         "reference/generated/numpy.polynomial.polynomial.polyvander.html#$"),
        ("numpy.median", "py:function", "reference/generated/numpy.median.html#$"),
        ("numpy.random.Generator", "py:class", "reference/random/generator.html#$"),
        ("numpy.random.default_rng", "py:function", "reference/random/generator.html#$"),
        ("array_like", "std:term", "glossary.html#term-array_like"),
    ]),
    "scipy": ("https://docs.scipy.org/doc/scipy/", [
        ("scipy.stats.t", "py:data", "reference/generated/scipy.stats.t.html#$"),
        ("scipy.optimize.least_squares", "py:function", "reference/generated/scipy.optimize.least_squares.html#$"),
    ]),
    "sklearn": ("https://scikit-learn.org/stable/", [
        (f"sklearn.{name}", role, f"modules/generated/sklearn.{name}.html#$") for name, role in [
            ("linear_model.HuberRegressor", "py:class"), ("linear_model.RANSACRegressor", "py:class"),
            ("linear_model.TheilSenRegressor", "py:class"), ("linear_model.LinearRegression", "py:class"),
            ("preprocessing.PolynomialFeatures", "py:class"), ("pipeline.Pipeline", "py:class"),
            ("model_selection.GridSearchCV", "py:class"), ("model_selection.cross_val_score", "py:function"),
            ("base.clone", "py:function"), ("base.BaseEstimator", "py:class")]
    ]),
    "pandas": ("https://pandas.pydata.org/docs/", [
        ("pandas.DataFrame", "py:class", "reference/api/pandas.DataFrame.html#$"),
    ]),
    "matplotlib": ("https://matplotlib.org/stable/", [
        ("matplotlib.axes.Axes", "py:class", "api/_as_gen/matplotlib.axes.Axes.html#$"),
    ]),
}


def _write_inventory(project_name, entries, folder):
    # the format Sphinx writes (objects.inv, version 2): a plain header, then
    # "name domain:role priority uri display-name" lines, zlib-compressed
    body = "".join(f"{name} {role} 1 {uri} {shown[0] if shown else '-'}\n"
                   for name, role, uri, *shown in entries)
    path = folder / f"{project_name}.inv"
    header = (f"# Sphinx inventory version 2\n# Project: {project_name}\n# Version: \n"
              "# The remainder of this file is compressed using zlib.\n")
    path.write_bytes(header.encode() + zlib.compress(body.encode()))
    return str(path)


_INV_DIR = HERE.parent / "build" / "inventories"
_INV_DIR.mkdir(parents=True, exist_ok=True)
intersphinx_mapping = {name: (url, _write_inventory(name, entries, _INV_DIR))
                       for name, (url, entries) in _INVENTORIES.items()}

# The examples are scripts that write their own pictures: the gallery runs
# robust_fit.py, demo.py and robust_trends_cube.py (the Dask example starts a cluster and is shown, not run)
# and shows the PNG files they write.
sys.path.insert(0, str(HERE / "_ext"))
from png_scraper import png_scraper  # noqa: E402

sphinx_gallery_conf = {
    "examples_dirs": str(HERE.parent / "examples"),
    "gallery_dirs": "auto_examples",
    "filename_pattern": r"(robust_fit|demo|robust_trends_cube)\.py$",
    "image_scrapers": (png_scraper,),
    "reset_argv": lambda gallery_conf, script_vars: {
        "robust_fit.py": ["--plot", "robust_fit.png"],
        "demo.py": ["--out", "demo_fit.png"],
        "robust_trends_cube.py": ["--plot", "robust_trends_cube.png"],
    }.get(os.path.basename(script_vars["src_file"]), []),
    "download_all_examples": False,
    "remove_config_comments": True,
    "within_subsection_order": "FileNameSortKey",
}

numpydoc_show_class_members = False
numpydoc_xref_param_type = True
numpydoc_xref_aliases = {"array_like": ":term:`array_like`", "ndarray": "numpy.ndarray",
                         "DataFrame": "pandas.DataFrame", "Generator": "numpy.random.Generator",
                         "Axes": "matplotlib.axes.Axes", "PolyFit": "zelt_fit.PolyFit",
                         "BatchFit": "zelt_fit.BatchFit",
                         "SearchSettings": "zelt_fit.SearchSettings"}
numpydoc_xref_ignore = {"of", "or", "optional", "default", "shape", "and"}
numpydoc_validation_checks = set()
autosummary_generate = False
autodoc_typehints = "none"
source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
myst_heading_anchors = 2

html_theme = "furo"
html_title = f"zelt {release}"
exclude_patterns = ["_build", "_run_images", "auto_examples/*.ipynb", "auto_examples/*.py", "auto_examples/*.zip"]
suppress_warnings = ["config.cache"]   # the gallery settings hold functions
