"""The benchmark suite runs: ``benchmarks/run.py --quick`` on tiny sizes.

Benchmarks are not tests: nothing here looks at a time. These tests only
check that every workload of the suite runs side by side with its NumPy
counterpart and that the tournament search's floor and thread report come
out, so that ``make bench`` cannot rot unnoticed.
"""
import os
import pathlib
import re
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[1]


@pytest.fixture(scope="module")
def quick_run():
    proc = subprocess.run([sys.executable, str(ROOT / "benchmarks" / "run.py"), "--quick"],
                          capture_output=True, text=True, timeout=600, cwd=ROOT)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


def table_rows(text):
    """Main table rows: name -> (1-thread time, full-team time, other label, other time, speed-up, note)."""
    rows = {}
    for line in text.splitlines():
        cells = [c.strip() for c in line.strip().strip("|").split("|")]
        if len(cells) == 7 and cells[0] not in ("workload", "---"):
            rows[cells[0]] = cells[1:7]
    return rows


@pytest.mark.parametrize(
    "prefix, other",
    [
        ("mad n=", "numpy.median"),
        ("design_matrix_1d", "polyvander"),
        ("design_matrix_nd", "numpy broadcast"),
        ("smoothness_penalty_matrices_1d", "numpy tables + W'W"),
        ("build_penalty_matrices_nd D=2", "numpy tables + W'W"),
        ("build_penalty_matrices_nd D=3", "numpy tables + W'W"),
        ("ols ", "numpy.linalg.lstsq"),
        ("fit_regularized_linear ", "numpy normal equations"),
        ("gibbs_entropy", "numpy"),
        ("TournamentMCMC.fit n=60 k=4", "numpy, chains batched"),
        ("TournamentMCMC.fit n=1000 k=8", "numpy, chains batched"),
    ],
)
def test_every_workload_is_timed_against_its_counterpart(quick_run, prefix, other):
    rows = {name: cells for name, cells in table_rows(quick_run).items() if name.startswith(prefix)}
    assert rows, f"no row for {prefix}"
    time_re = r"[0-9.e+]+ (s|ms|us|ns)"
    for name, (one_thread, ours, label, theirs, speedup, note) in rows.items():
        assert label == other, name
        assert re.fullmatch(time_re, ours) and re.fullmatch(time_re, theirs), name
        assert re.fullmatch(r"[0-9.e+]+x", speedup), name
        if prefix.startswith("TournamentMCMC"):  # on the team: timed at 1 thread too, scaling in the note
            assert re.fullmatch(time_re, one_thread), name
            assert re.match(r"1 -> [0-9]+ threads: [0-9.]+x", note), name
        else:
            assert one_thread == "-", name


def test_mad_runs_at_two_sizes(quick_run):
    assert len([n for n in table_rows(quick_run) if n.startswith("mad n=")]) == 2


def test_tournament_report_has_floor_and_thread_speedup(quick_run):
    assert quick_run.startswith("Machine: ")
    floor = [l for l in quick_run.splitlines() if l.startswith("| n=") and l.count("|") == 10]
    threads = [l for l in quick_run.splitlines() if l.startswith("| n=") and l.count("|") == 8]
    assert [l.split("|")[1].strip() for l in floor] == ["n=60, k=4", "n=1000, k=8"]
    assert [tuple(c.strip() for c in l.split("|")[1:3]) for l in threads] == [
        (f"n={n}, k={k}", run) for n, k in ((60, 4), (1000, 8)) for run in ("whole search", "chain phase")]
    for line in threads:
        assert len(re.findall(r"[0-9.]+x", line)) == 2, line
    if (ROOT / "build" / "release" / "CMakeCache.txt").exists():
        # the helper builds from the release tree; its fused kernel must give
        # Eigen's bits on the benchmark data, and the ratios must be printed
        for line in floor:
            cells = [c.strip() for c in line.strip().strip("|").split("|")]
            assert cells[8] == "yes", line
            assert re.fullmatch(r"[0-9.]+x", cells[6]) and re.fullmatch(r"[0-9.]+x", cells[7]), line


def test_single_module_selection():
    proc = subprocess.run([sys.executable, str(ROOT / "benchmarks" / "run.py"), "--quick", "--only", "stats"],
                          capture_output=True, text=True, timeout=300, cwd=ROOT,
                          env=dict(os.environ))
    assert proc.returncode == 0, proc.stderr
    assert sorted(table_rows(proc.stdout)) == ["mad n=1e+02", "mad n=1e+03"]
