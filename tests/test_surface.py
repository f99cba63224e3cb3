"""Runs the property-based fuzzing of surface_props.py group by group, each in a
child interpreter: a crash of the module fails one test instead of the run."""
import os
import pathlib
import subprocess
import sys

import pytest

HERE = pathlib.Path(__file__).resolve().parent


@pytest.mark.parametrize("group", ["stats", "basis", "fit", "ensemble", "layout", "limits"])
def test_surface_group(group):
    res = subprocess.run(
        [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "-m", group,
         str(HERE / "surface_props.py")],
        capture_output=True, text=True, cwd=HERE.parent, env=dict(os.environ), timeout=1200,
    )
    assert res.returncode == 0, (
        f"exit code {res.returncode}\n--- stdout ---\n{res.stdout[-6000:]}\n"
        f"--- stderr ---\n{res.stderr[-6000:]}")
