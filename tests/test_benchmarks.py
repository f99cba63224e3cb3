"""The benchmark suite runs: ``benchmarks/run.py --quick`` on tiny sizes, and
the peers' and the previous estimator's comparisons on a few data sets.

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

import numpy as np
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


# -- bench_peers.py and bench_previous.py ----------------------------------------
def bench_module(name):
    sys.path.insert(0, str(ROOT / "benchmarks"))
    try:
        return __import__(name)
    finally:
        sys.path.pop(0)


def test_bad_leverage_points_lie_far_out_on_a_line():
    bp = bench_module("bench_peers")
    rng = np.random.default_rng(3)
    X, y, beta, terms, inlier = bp.make_data(rng, 200, 4, 0.0, 0.2, "bad leverage", unit=True)
    bad = ~inlier
    assert bad.sum() == 40
    assert (X[bad, 0] >= 4).all() and (X[bad, 0] <= 6).all() and (abs(X[inlier, 0]) <= 1).all()
    # noise sd 0: the bad points sit exactly on one line, the rest on the polynomial
    slope, icpt = np.polyfit(X[bad, 0], y[bad], 1)
    assert abs(y[bad] - (icpt + slope * X[bad, 0])).max() < 1e-9
    assert abs(y[inlier] - bp.monomials(X[inlier], terms) @ beta).max() < 1e-9
    assert ((abs(beta) >= 0.5) & (abs(beta) <= 1)).all()


@pytest.mark.parametrize("rows, text", [([], "none"), ([3], "3"), ([1, 2, 3, 5], "1-3, 5"), ([9, 1, 2], "1-2, 9")])
def test_row_lists_are_compact(rows, text):
    assert bench_module("bench_peers").compact(rows) == text


@pytest.mark.parametrize("text, fields", [("n_chains=10,n_warmup=100", dict(n_chains=10, n_warmup=100)),
                                          ("n_deep=0,step_size=0.1", dict(n_deep=0, step_size=0.1)),
                                          ("", {})])
def test_search_option_makes_the_settings_it_names(text, fields):
    from zelt_fit import SearchSettings
    assert bench_module("bench_peers").parse_search(text) == SearchSettings(**fields)


@pytest.mark.parametrize("text", ["chains=10", "n_chains", "n_chains=ten", "n_elite=0"])
def test_search_option_refuses_what_it_cannot_make(text):
    with pytest.raises(ValueError):
        bench_module("bench_peers").parse_search(text)


def test_collapse_table_counts_sets_below_h():
    bp = bench_module("bench_peers")
    # n = 60, p = 5: h = 33, ceil(n / 2) = 30
    table = bp.collapse_table([(60, 5, 40, "a"), (60, 5, 31, "b"), (60, 5, 29, "b"), (300, 2, 200, "a")])
    rows = [[c.strip() for c in l.strip("|").split("|")] for l in table.splitlines()[2:]]
    assert rows[0] == ["60", "3", "29 (5)", "33", "2", "1", "-4", "b (2)"]
    assert rows[1] == ["300", "1", "200 (2)", "151", "0", "0", "49", "-"]


def test_peers_quick_run_has_leverage_collapse_and_textbook_tables():
    for mod in ("sklearn", "statsmodels", "scipy"):
        pytest.importorskip(mod)
    proc = subprocess.run([sys.executable, str(ROOT / "benchmarks" / "bench_peers.py"), "--quick"],
                          capture_output=True, text=True, timeout=300, cwd=ROOT)
    assert proc.returncode == 0, proc.stderr
    out = proc.stdout
    assert "| 60 | leverage 20% deg 2 | robust_polyfit |" in out
    goal = [l for l in out.splitlines() if l.startswith("| 60 | leverage 20% deg 2 |") and l.count("|") == 9]
    assert len(goal) == 1 and re.search(r"\| [0-9.]+% \|$", goal[0]), goal
    assert "h = floor((n+p+1)/2)" in out
    classic = [l for l in out.splitlines() if re.match(r"\| (starsCYG|hbk|stackloss|wood) \(", l)]
    assert len(classic) == 4 * 8
    assert all(re.search(r"\| [0-5]/5 \| ", l) for l in classic)


def test_previous_comparison_skips_without_the_folder(tmp_path):
    proc = subprocess.run([sys.executable, str(ROOT / "benchmarks" / "bench_previous.py"), "--prev", str(tmp_path)],
                          capture_output=True, text=True, timeout=120, cwd=ROOT)
    assert proc.returncode == 0, proc.stderr
    assert "skipped" in proc.stdout


def test_previous_comparison_runs_on_a_copy(tmp_path):
    import shutil
    shutil.copytree(ROOT / "src" / "zelt_fit", tmp_path / "zelt_fit_prev")
    proc = subprocess.run([sys.executable, str(ROOT / "benchmarks" / "bench_previous.py"), "--prev", str(tmp_path),
                           "--sizes", "60", "--datasets", "3", "--cells", "clean,leverage 20% deg 4"],
                          capture_output=True, text=True, timeout=300, cwd=ROOT)
    assert proc.returncode == 0, proc.stderr
    rows = [l for l in proc.stdout.splitlines() if l.startswith("| 60 |")]
    assert [l.split("|")[2].strip() for l in rows] == ["clean", "leverage 20% deg 4"]
    # the same code on the same data: the same errors
    for line in rows:
        failures, medians = (c.strip() for c in line.split("|")[3:5])
        a, b = failures.split(" / ")
        assert a == b, line
        assert medians.split(" (")[0].split(" / ")[0] == medians.split(" (")[0].split(" / ")[1], line
    classic = [[c.strip() for c in l.strip("|").split("|")] for l in proc.stdout.splitlines()
               if re.match(r"\| (starsCYG|hbk|stackloss|wood) \(", l)]
    assert len(classic) == 8
    for new, old in zip(classic[::2], classic[1::2]):
        assert new[0] == old[0] and new[2:] == old[2:], (new, old)


@pytest.mark.parametrize("script", ["bench_peers.py", "bench_previous.py"])
def test_help_prints(script):
    # cell names hold "%", which argparse's help formatting would take for a format
    proc = subprocess.run([sys.executable, str(ROOT / "benchmarks" / script), "--help"],
                          capture_output=True, text=True, timeout=120, cwd=ROOT)
    assert proc.returncode == 0, proc.stderr
    assert "--sizes" in proc.stdout


def test_batch_benchmark_runs_and_finds_the_same_answers():
    proc = subprocess.run([sys.executable, str(ROOT / "benchmarks" / "bench_batch.py"), "--series", "6",
                           "--rounds", "1"], capture_output=True, text=True, timeout=300, cwd=ROOT)
    assert proc.returncode == 0, proc.stderr
    assert re.search(r"\| batch `robust_polyfit\(x, Y, 2\)` \| [0-9.]+ s \| [0-9]+ \|", proc.stdout), proc.stdout
    assert re.search(r"\| loop of single calls \| [0-9.]+ s \| [0-9]+ \|", proc.stdout), proc.stdout
    assert "bit for bit): yes" in proc.stdout, proc.stdout
    usage = subprocess.run([sys.executable, str(ROOT / "benchmarks" / "bench_batch.py"), "--help"],
                           capture_output=True, text=True, timeout=120, cwd=ROOT)
    assert usage.returncode == 0 and "--cube" in usage.stdout, usage.stderr
