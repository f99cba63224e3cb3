"""The native checks of internal functions that Python cannot reach
(tests/native/*.cpp): built by CMake (target native_checks) and run by ctest.

The build tree is the module's own when the Makefile names it in ZELT_BUILD_DIR
(the same compiler flags, sanitizers included, and nothing rebuilt twice);
otherwise one is configured under build/native-checks."""
import os
import pathlib
import shutil
import subprocess
import sys
import xml.etree.ElementTree as ET

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent


def _tool(name):
    beside = pathlib.Path(sys.executable).with_name(name)
    return str(beside) if beside.exists() else shutil.which(name)


def _build_tree(cmake):
    given = os.environ.get("ZELT_BUILD_DIR")
    if given:
        return pathlib.Path(given)
    tree = ROOT / "build" / "native-checks"
    if not (tree / "CMakeCache.txt").exists():
        args = [cmake, "-S", str(ROOT), "-B", str(tree), f"-DPython_EXECUTABLE={sys.executable}"]
        ninja = _tool("ninja")
        if ninja:
            args += ["-G", "Ninja", f"-DCMAKE_MAKE_PROGRAM={ninja}"]
        subprocess.run(args, check=True, capture_output=True, text=True)
    return tree


def run_native_checks(tmp_dir):
    """Builds and runs every native check; returns {ctest name: standard output}.
    Fails when a check does not build or exits non-zero."""
    cmake, ctest = _tool("cmake"), _tool("ctest")
    if cmake is None or ctest is None:
        pytest.skip("needs CMake and ctest")
    tree = _build_tree(cmake)
    subprocess.run([cmake, "--build", str(tree), "--target", "native_checks"], check=True)
    junit = pathlib.Path(tmp_dir) / "native_checks.xml"
    proc = subprocess.run([ctest, "--test-dir", str(tree), "--output-junit", str(junit),
                           "--test-output-size-passed", "10000000", "--output-on-failure"],
                          capture_output=True, text=True)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    outputs = {case.get("name"): case.findtext("system-out") or ""
               for case in ET.parse(junit).getroot().iter("testcase")}
    assert {"basis_units", "search_units", "search_units_sse2", "start_units"} <= set(outputs), outputs.keys()
    return outputs
