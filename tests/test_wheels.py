"""Every wheel that `make wheels` left in ZELT_WHEELS_DIR, as a user gets it:
installed with its dependencies from the index into a fresh venv of its own
interpreter, it fits, its core gives the bits the CPython 3.9 build recorded
(whatever NumPy the index resolved), it carries the licence notices of what it
bundles, and its module refuses an interpreter it was not compiled for with the
module's version message. Skipped unless ZELT_WHEELS_DIR is set (`make
test-wheels`)."""
import json
import os
import pathlib
import re
import shutil
import subprocess
import sys
import zipfile

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
HERE = pathlib.Path(__file__).resolve().parent
DIR = os.environ.get("ZELT_WHEELS_DIR")
WHEELS = sorted(pathlib.Path(DIR).glob("zelt_core-*manylinux*.whl")) if DIR else []
VERSIONS = ["3.9", "3.10", "3.11", "3.12", "3.13"]
pytestmark = pytest.mark.skipif(not DIR, reason="set ZELT_WHEELS_DIR (make test-wheels)")

SMOKE = """
import sys, numpy as np, zelt_core, zelt_fit
from zelt_fit import robust_polyfit
rng = np.random.default_rng(0)
x = np.sort(rng.uniform(1990, 2020, 120))
y = 150_000 + 2_000 * (x - 2005) - 40 * (x - 2005) ** 2 + rng.normal(0, 500, 120)
y[::4] += rng.uniform(20_000, 60_000, 30)
fit = robust_polyfit(x, y, 2)
assert fit.n - fit.n_inliers == 30 and not fit.inliers[::4].any(), fit.summary()
assert zelt_core.__file__.startswith(sys.prefix), zelt_core.__file__
print("numpy", np.__version__)
"""


def interpreter_of(wheel):
    tag = re.search(r"-cp3(\d+)-cp3\1-", wheel.name)
    assert tag, wheel.name
    return f"3.{tag.group(1)}"


def find_python(version):
    proc = subprocess.run([str(ROOT / "scripts" / "find-python"), version], capture_output=True, text=True)
    if proc.returncode:
        pytest.skip(f"no CPython {version} here")
    return proc.stdout.strip()


def run(*cmd, **kw):
    proc = subprocess.run([str(c) for c in cmd], capture_output=True, text=True, timeout=900, **kw)
    assert proc.returncode == 0, f"{' '.join(map(str, cmd))}\n{proc.stdout[-2000:]}\n{proc.stderr[-3000:]}"
    return proc.stdout


def test_make_wheels_built_one_wheel_per_interpreter():
    assert sorted(map(interpreter_of, WHEELS), key=lambda v: int(v[2:])) == VERSIONS, [w.name for w in WHEELS]


@pytest.mark.parametrize("wheel", WHEELS, ids=[w.name.split("-")[2] for w in WHEELS])
def test_wheel_installs_fits_and_gives_the_recorded_bits(wheel, tmp_path):
    venv = tmp_path / "venv"
    run(find_python(interpreter_of(wheel)), "-m", "venv", venv)
    py = venv / "bin" / "python"
    run(py, "-m", "pip", "install", "-q", wheel)
    out = run(py, "-c", SMOKE, cwd=tmp_path)
    assert out.startswith("numpy "), out
    bits = run(py, HERE / "fit_bits.py", cwd=tmp_path)
    assert bits == (HERE / "data" / "fit_bits.txt").read_text(), f"{wheel.name} ({out.strip()})"


@pytest.mark.parametrize("wheel", WHEELS, ids=[w.name.split("-")[2] for w in WHEELS])
def test_wheel_carries_the_licences_of_what_it_bundles(wheel):
    with zipfile.ZipFile(wheel) as zf:
        names = zf.namelist()
        licences = {n.rsplit("/", 1)[-1]: zf.read(n).decode() for n in names
                    if ".dist-info/" in n and ("LICENSE" in n.upper() or "/licenses/" in n)}
    assert any(n.startswith("zelt_core.libs/libgomp") for n in names), names
    text = "\n".join(licences.values())
    for needle in ("GCC RUNTIME LIBRARY EXCEPTION", "GNU GENERAL PUBLIC LICENSE", "Mozilla Public License",
                   "Wenzel Jakob", "BSD"):
        assert needle in text, (needle, sorted(licences))


PAIRS = [(w, other) for w in WHEELS for other in VERSIONS if other != interpreter_of(w)]


@pytest.mark.parametrize("wheel, other", PAIRS, ids=[f"{w.name.split('-')[2]}-on-{v}" for w, v in PAIRS])
def test_wheel_module_refuses_every_other_interpreter(wheel, other, tmp_path):
    # The module under a name that every interpreter loads (no ABI tag), so that
    # the module's own check, not the import system, meets the other interpreter.
    # Its Python references are weak: an older or newer interpreter that lacks
    # some of them still loads it, and the check refuses it.
    own = interpreter_of(wheel)
    with zipfile.ZipFile(wheel) as zf:
        so = next(n for n in zf.namelist() if re.fullmatch(r"zelt_core\.cpython-3\d+-.*\.so", n))
        zf.extractall(tmp_path / "site")
    shutil.move(str(tmp_path / "site" / so), str(tmp_path / "site" / "zelt_core.so"))
    code = ("import json, sys\ntry:\n    import zelt_core\nexcept ImportError as e:\n"
            "    print(json.dumps([str(e), sys.version]))\nelse:\n    sys.exit('imported')")
    message, version = json.loads(run(find_python(other), "-c", code, cwd=tmp_path / "site"))
    assert message == (f"Python version mismatch: module was compiled for Python {own}, but the interpreter "
                       f"version is incompatible: {version}.")
