"""Many fits across processes: the Dask example on a two-process LocalCluster, and the
same fits through multiprocessing (fork and spawn), equal bit for bit to a local run.
Each runs in a child interpreter, so that worker processes and the threads of the
cluster never outlive the test and a hang ends at the timeout."""
import os
import pathlib
import subprocess
import sys
import textwrap

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
EXAMPLE = ROOT / "examples" / "dask_fits.py"
SANITIZED = bool(os.environ.get("ZELT_SANITIZED"))


def run(args, timeout):
    proc = subprocess.run([sys.executable, *args], capture_output=True, text=True,
                          timeout=timeout, cwd=ROOT)
    assert proc.returncode == 0, f"stdout:\n{proc.stdout[-3000:]}\nstderr:\n{proc.stderr[-3000:]}"
    return proc.stdout


def test_dask_example_on_a_two_process_local_cluster():
    pytest.importorskip("distributed")
    out = run([str(EXAMPLE), "--sensors", "16", "--points", "60", "--workers", "2",
               "--huge", "300000", "--chunk", "40000"],
              timeout=900 if SANITIZED else 300)
    assert "16 robust cubic fits of 60 points" in out and "2 worker processes" in out
    # the huge fit, small here: 8 chunks made on the workers, the curve recovered
    huge = [line for line in out.splitlines() if line.startswith("huge fit:")]
    assert huge and "300,000 readings in 8 chunks on the workers" in huge[0], out
    miss = float(out.split("largest miss of the curve ")[1].split()[0])
    assert miss < 0.05, out
    assert "results equal the one-process run bit for bit: True" in out
    assert "100% Completed" in out          # the progress bar ran to its end
    assert "warning" not in out             # each worker's OpenMP team matches its threads


MULTIPROCESSING_SCRIPT = textwrap.dedent("""
    import multiprocessing as mp, pickle
    import numpy as np
    import zelt_core as z

    def make_sensors(count, n, seed):
        rng = np.random.default_rng(seed)
        out = []
        for _ in range(count):
            x = np.sort(rng.uniform(-1.0, 1.0, n))
            y = z.design_matrix_1d(3, x) @ rng.normal(0.0, 1.0, 4) + rng.normal(0.0, 0.05, n)
            y[rng.choice(n, n // 7, replace=False)] += 3.0
            out.append((z.design_matrix_1d(3, x), y))
        return out

    if __name__ == "__main__":
        sensors = make_sensors(6, 60, 3)
        engine = z.TournamentMCMC(8, 40, 100, 3, 0.05, 20, 2**64 - 5)
        # fitted here first: a forked child inherits a process whose thread team exists
        local = [engine.fit(Phi, y) for Phi, y in sensors]
        with mp.get_context({method!r}).Pool(2) as pool:
            # the bound method pickles as its engine plus the name "fit"
            remote = pool.starmap(engine.fit, sensors)
            engines = pool.map(pickle.dumps, [engine] * 2)
        assert [pickle.dumps(r) for r in remote] == [pickle.dumps(r) for r in local]
        assert all(pickle.loads(e) == engine for e in engines)
        print("ok", len(remote))
""")


@pytest.mark.parametrize("method", ["fork", "spawn"])
def test_same_fits_through_multiprocessing(method):
    code = MULTIPROCESSING_SCRIPT.format(method=method)
    out = run(["-c", code], timeout=600 if SANITIZED else 180)
    assert out.split() == ["ok", "6"]
