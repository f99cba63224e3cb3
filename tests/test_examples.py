"""The examples run end to end on small sizes and show what they are for: on
data with gross outliers the tournament (MDL) fit recovers the polynomial far
better than least squares, and robust_polyfit's refit of its consensus set
better still, flagging exactly the corrupted points."""
import os
import pathlib
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
EXAMPLES = ROOT / "examples"


def run_example(name, *args, timeout=300):
    proc = subprocess.run([sys.executable, str(EXAMPLES / name), *args], capture_output=True, text=True,
                          timeout=timeout, cwd=ROOT)
    assert proc.returncode == 0, proc.stderr[-3000:]
    return proc.stdout


def test_robust_fit_example_flags_exactly_the_corrupted_readings(tmp_path):
    pytest.importorskip("matplotlib")
    out = run_example("robust_fit.py", "--plot", str(tmp_path / "fit.png"))
    assert "flagged 30 (30 of the 30 corrupted readings)" in out, out
    assert "Robust polynomial fit (zelt_fit)" in out and "prediction interval" in out
    assert (tmp_path / "fit.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


@pytest.mark.parametrize("seed", [2, 7])
def test_demo_robust_fit_beats_the_search_alone_and_least_squares(tmp_path, seed):
    pytest.importorskip("matplotlib")
    png = tmp_path / "fit.png"
    text = run_example("demo.py", "--n", "150", "--seed", str(seed), "--out", str(png))
    assert "Part 1" in text and "Part 2" in text and str(png) in text
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    err = {}
    for line in text.splitlines():
        for name in ("least squares", "tournament MCMC alone", "robust_polyfit"):
            if line.startswith(name + " "):
                err[name] = float(line[len(name):].split()[0])
    assert err["tournament MCMC alone"] < 0.5 * err["least squares"], err
    assert err["robust_polyfit"] < err["tournament MCMC alone"], err
    # n = 150 with 20 % outliers: the consensus set leaves out all 30 of them, and
    # the surface in two variables flags all of its own
    assert "30 of 30 gross outliers and 0 clean points left out" in text, text
    assert "(30 of 30 outliers)" in text, text


def test_cube_example_robust_trends_beat_least_squares(tmp_path):
    for name in ("matplotlib", "xarray"):
        pytest.importorskip(name)
    png = tmp_path / "cube.png"
    text = run_example("robust_trends_cube.py", "--size", "16", "--times", "36", "--plot", str(png))
    errors = {}
    for line in text.splitlines():
        if line.startswith("median trend error"):
            errors["robust" if "robust" in line else "ls"] = float(line.split(":")[1].split()[0])
    assert set(errors) == {"robust", "ls"}, text
    assert errors["robust"] < errors["ls"] / 3, text
    assert "pixels without a fit: 0" in text, text
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n" and png.stat().st_size > 5000


def test_peer_benchmark_compares_every_method(monkeypatch):
    # Runs only where the benchmark's peers are installed (`make bench` installs them).
    for name in ("sklearn", "scipy", "statsmodels"):
        pytest.importorskip(name)
    monkeypatch.syspath_prepend(str(ROOT / "benchmarks"))
    before = dict(os.environ)
    try:
        import bench_peers
    finally:  # its thread settings are for benchmark processes, not for later tests
        for key in set(os.environ) - set(before):
            del os.environ[key]

    text = bench_peers.run([60], ["20%", "2 vars 20%"], 3, 1, degrees=False)
    for cell in ("20%", "2 vars 20%"):
        rows = {line.split("|")[3].strip() for line in text.splitlines() if line.startswith(f"| 60 | {cell} |")}
        assert set(bench_peers.methods()) | {bench_peers.ORACLE} <= rows, text


def test_peer_benchmark_degree_table(monkeypatch):
    for name in ("sklearn", "scipy", "statsmodels"):
        pytest.importorskip(name)
    monkeypatch.syspath_prepend(str(ROOT / "benchmarks"))
    import bench_peers

    rules = bench_peers.degree_rules()
    share = bench_peers.run_degree_cell(60, bench_peers.DEGREE_CELLS["20%"], 5, rules, seed=1)
    assert set(share) == set(rules) | {bench_peers.DEGREE_ORACLE} and all(0.0 <= v <= 1.0 for v in share.values())
