"""Module frame: import, registration order, argument conversion and error translation."""
import os
import shutil
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import zelt_core as z

REGISTRATION_ORDER = [
    "mad", "compute_sr", "mdl_score", "mdl_score_reg",
    "design_matrix_1d", "smoothness_penalty_matrices_1d", "boundary_reduce_1d",
    "design_matrix_nd", "build_penalty_matrices_nd",
    "ols", "fit_regularized_linear",
    "GibbsResult", "gibbs_entropy", "MCMCResult", "TournamentMCMC",
]


def test_docstring():
    assert z.__doc__ == "ZELT-P performans-kritik cekirdegi (C++/Eigen)."


def test_attributes_in_registration_order():
    public = [name for name in vars(z) if not name.startswith("_")]
    assert public == REGISTRATION_ORDER


def test_functions_have_only_generated_signature():
    # No hand-written docstrings: pybind11's text is the signature alone.
    doc = z.mad.__doc__.strip()
    assert doc.startswith("mad(") and "\n" not in doc


def test_reimport_reuses_initialised_module():
    code = textwrap.dedent("""
        import sys, zelt_core as a
        del sys.modules["zelt_core"]
        import zelt_core as b
        assert a is b and a.mad is b.mad
        print("ok")
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "ok"


def _other_interpreters():
    found = []
    for minor in sorted({9, 10, 11, 12, 13} - {sys.version_info[1]}):
        exe = shutil.which(f"python3.{minor}")
        pyenv_root = os.environ.get("PYENV_ROOT", os.path.expanduser("~/.pyenv"))
        if exe is None and os.path.isdir(os.path.join(pyenv_root, "versions")):
            for v in sorted(os.listdir(os.path.join(pyenv_root, "versions"))):
                if v.startswith(f"3.{minor}."):
                    exe = os.path.join(pyenv_root, "versions", v, "bin", "python")
        if exe:
            probe = subprocess.run([exe, "-c", "import sys; print(sys.version_info[:2])"],
                                   capture_output=True, text=True)
            if probe.returncode == 0 and probe.stdout.strip() == f"(3, {minor})":
                found.append(exe)
    return found


def test_other_interpreter_refuses_module(tmp_path):
    exes = _other_interpreters()
    if not exes:
        pytest.skip("no other CPython 3.9-3.13 interpreter on this machine to try the module with")
    # The plain ".so" suffix is importable by every CPython, so another
    # interpreter, older or newer, gets as far as the module's own version check
    # (the module's Python references are weak). A repaired wheel's module finds
    # its bundled libraries beside it, so they come too.
    own = f"{sys.version_info[0]}.{sys.version_info[1]}"
    shutil.copy(z.__file__, tmp_path / "zelt_core.so")
    libs = os.path.join(os.path.dirname(z.__file__), "zelt_core.libs")
    if os.path.isdir(libs):
        shutil.copytree(libs, tmp_path / "zelt_core.libs")
    for exe in exes:
        res = subprocess.run([exe, "-c", "import zelt_core"], cwd=tmp_path,
                             capture_output=True, text=True)
        assert res.returncode != 0
        assert (f"ImportError: Python version mismatch: module was compiled for Python {own}, "
                "but the interpreter version is incompatible: 3.") in res.stderr, res.stderr


class Index:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


@pytest.mark.parametrize("vector", [
    [1.0, 2.0, 3.0, 4.0, 100.0],
    (1, 2, 3, 4, 100),
    np.array([1, 2, 3, 4, 100], dtype=np.int32),
    np.array([1, 2, 3, 4, 100], dtype=np.float32),
    np.array([[1.0], [2.0], [3.0], [4.0], [100.0]]),      # (n, 1) is a Vector
    np.arange(10.0)[::2] * 0 + np.array([1.0, 2, 3, 4, 100]),
    np.array([100.0, -5, 1, 2, 3, 4, 100])[2:][::-1][::-1],  # non-contiguous view
], ids=["list", "tuple", "int32", "float32", "column", "strided", "view"])
def test_vector_conversion(vector):
    assert z.mad(vector) == 1.0


@pytest.mark.parametrize("bad", [
    np.array([[1.0, 2.0, 3.0]]),          # (1, n) is not a Vector
    np.zeros((2, 2)),
    np.zeros((2, 2, 2)),
    np.float64(3.0),                      # 0-d
    "abc",
    None,
])
def test_vector_refusals_are_type_errors(bad):
    with pytest.raises(TypeError):
        z.mad(bad)


@pytest.mark.parametrize("k", [3.0, np.float64(3.0), 2**31, -(2**31) - 1, "3", None])
def test_int_parameter_refusals(k):
    with pytest.raises(TypeError):
        z.mdl_score([1.0, 2.0], [1.0, 2.0], k)


@pytest.mark.parametrize("k", [3, np.int64(3), np.int8(3), Index(3), True + 2])
def test_int_parameter_accepts_index_objects(k):
    assert z.mdl_score([1.0, 2.0], [1.0, 2.0], k) == z.mdl_score([1.0, 2.0], [1.0, 2.0], 3)


@pytest.mark.parametrize("eps", [1, np.float32(1.0), np.int64(1), 1.0])
def test_float_parameter_accepts_any_real(eps):
    assert z.compute_sr([1.0, 2.0], [1.5, 2.0], eps) == 1.0


def test_keywords_and_arity():
    a, b = np.array([1.0, 2.0, 3.0, 4.0]), np.array([1.0, 2.5, 3.0, 9.0])
    assert z.compute_sr(yp=a, yt=b, eps=0.5) == z.compute_sr(a, b, 0.5)
    with pytest.raises(TypeError):
        z.compute_sr(a, b)
    with pytest.raises(TypeError):
        z.compute_sr(a, b, 0.5, 1)
    with pytest.raises(TypeError):
        z.compute_sr(a, b, tolerance=0.5)


def test_mdl_score_reg_refuses_none_matrices():
    with pytest.raises(TypeError):
        z.mdl_score_reg([1.0], [1.0], 1, 20, [1.0], None, np.eye(1))


@pytest.mark.skipif(not os.environ.get("ZELT_SANITIZED"), reason="only in the sanitizer run")
def test_sanitizer_build_is_the_one_loaded():
    # Guards the sanitizer run against silently testing the release build.
    assert os.path.join("build", "asan") in z.__file__
    with open("/proc/self/maps") as maps:
        assert "libasan" in maps.read()


@pytest.mark.skipif(not os.environ.get("ZELT_WHEEL"), reason="only in the run against the wheel")
def test_wheel_module_and_its_bundled_openmp_are_the_ones_loaded():
    # Guards the wheel run against testing the development build, and shows that
    # the repaired module uses the OpenMP runtime it carries, not the system's.
    assert os.path.join("build", "wheel-site") in z.__file__
    # in a process of its own: scikit-learn, loaded by other tests, carries a libgomp too
    code = ("import numpy as np, zelt_core as z\n"
            "z.TournamentMCMC(4, 5, 5, 2).fit(np.eye(4), np.ones(4))\n"
            "print('\\n'.join(sorted({l.split()[-1] for l in open('/proc/self/maps') if 'libgomp' in l})))")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    gomp = out.stdout.split()
    assert gomp and all("zelt_core.libs" in path for path in gomp), gomp
