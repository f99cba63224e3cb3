"""Sphinx configuration of the zelt documentation (``make docs``)."""
import os
import pathlib
import sys

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
    "numpydoc",
    "sphinx_gallery.gen_gallery",
    "myst_parser",
    "stubdoc",
]

# The examples are scripts that write their own pictures: the gallery runs
# robust_fit.py and demo.py (the Dask example starts a cluster and is shown, not run)
# and shows the PNG files they write.
sys.path.insert(0, str(HERE / "_ext"))
from png_scraper import png_scraper  # noqa: E402

sphinx_gallery_conf = {
    "examples_dirs": str(HERE.parent / "examples"),
    "gallery_dirs": "auto_examples",
    "filename_pattern": r"(robust_fit|demo)\.py$",
    "image_scrapers": (png_scraper,),
    "reset_argv": lambda gallery_conf, script_vars: {
        "robust_fit.py": ["--plot", "robust_fit.png"],
        "demo.py": ["--out", "demo_fit.png"],
    }.get(os.path.basename(script_vars["src_file"]), []),
    "download_all_examples": False,
    "remove_config_comments": True,
    "within_subsection_order": "FileNameSortKey",
}

numpydoc_show_class_members = False
numpydoc_validation_checks = set()
autosummary_generate = False
autodoc_typehints = "none"
source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
myst_heading_anchors = 2

html_theme = "furo"
html_title = f"zelt {release}"
exclude_patterns = ["_build", "auto_examples/*.ipynb", "auto_examples/*.py", "auto_examples/*.zip"]
suppress_warnings = ["config.cache"]   # the gallery settings hold functions
