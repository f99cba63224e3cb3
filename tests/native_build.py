"""Compiles a small C++ driver of tests/native against the module's sources, for
checks of internal functions that Python cannot reach."""
import pathlib
import shutil
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent


def build_and_run(tmp_dir, driver, sources, opt="-O1"):
    """Returns the driver's standard output; skips without a compiler or Eigen."""
    cxx = shutil.which("c++") or shutil.which("g++")
    eigen = next((pathlib.Path(p) / "cmeel.prefix" / "include" / "eigen3" for p in sys.path
                  if (pathlib.Path(p) / "cmeel.prefix" / "include" / "eigen3").is_dir()), None)
    if cxx is None or eigen is None:
        pytest.skip("needs a C++ compiler and the Eigen headers")
    exe = pathlib.Path(tmp_dir) / pathlib.Path(driver).stem
    subprocess.run(
        [cxx, "-std=c++17", *opt.split(), "-Wall", "-Wextra", "-Werror", f"-I{ROOT / '_native'}",
         f"-I{eigen}", str(ROOT / "tests" / "native" / driver),
         *(str(ROOT / "_native" / s) for s in sources), "-o", str(exe)],
        check=True,
    )
    return subprocess.run([str(exe)], check=True, capture_output=True, text=True).stdout
