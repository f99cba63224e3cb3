"""The shipped type stub matches the module, and the examples type-check against it."""
import pathlib
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent


def test_stub_is_current(tmp_path):
    pytest.importorskip("pybind11_stubgen")
    subprocess.run([sys.executable, "-m", "pybind11_stubgen", "zelt_core", "-o", str(tmp_path)],
                   check=True, capture_output=True, text=True)
    generated = (tmp_path / "zelt_core.pyi").read_text()
    committed = (ROOT / "stubs" / "zelt_core.pyi").read_text()
    assert generated == committed, (
        "stubs/zelt_core.pyi is stale: regenerate it with "
        "'python -m pybind11_stubgen zelt_core -o stubs' and review the diff")


def test_examples_type_check(tmp_path):
    pytest.importorskip("mypy")
    res = subprocess.run(
        [sys.executable, "-m", "mypy", "--cache-dir", str(tmp_path), "--strict-optional",
         "--disallow-untyped-defs", str(ROOT / "examples")],
        capture_output=True, text=True)
    assert res.returncode == 0, res.stdout + res.stderr
