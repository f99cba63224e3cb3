"""Run every benchmarks/bench_*.py module and print one table (see harness.py),
then the extra reports of the modules that have one (the tournament search's
floor and thread speed-up).

    python benchmarks/run.py [--quick] [--only NAME]

Each module runs in a child process of its own, with the environment that
its optional ``ENV`` dict adds (bench_ensemble keeps OpenBLAS to one thread,
see there), so that no module inherits another's thread pools.
``--quick`` runs tiny sizes once (a smoke run, as the tests do); its figures
mean nothing.
"""
from __future__ import annotations

import argparse
import dataclasses
import importlib
import json
import os
import pathlib
import platform
import re
import subprocess
import sys

HERE = pathlib.Path(__file__).resolve().parent
BUILD = HERE.parent / "build" / "release"
sys.path.insert(0, str(HERE))

from harness import Row, measure, table  # noqa: E402


def machine() -> str:
    """One line on where the figures come from."""
    import numpy as np

    cpu = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as f:
            m = re.search(r"^model name\s*:\s*(.*)$", f.read(), re.M)
            cpu = m.group(1) if m else cpu
    except OSError:
        pass
    flags = "?"
    cache = BUILD / "CMakeCache.txt"
    if cache.exists():
        text = cache.read_text()
        m = re.search(r"^CMAKE_CXX_FLAGS_RELEASE:\w+=(.*)$", text, re.M)
        extra = re.search(r"^CMAKE_CXX_FLAGS:\w+=(.*)$", text, re.M)
        flags = " ".join(x.group(1) for x in (extra, m) if x and x.group(1)) or "?"
    load = " ".join(f"{v:.2f}" for v in os.getloadavg())
    return (f"Machine: {cpu}, {os.cpu_count()} logical CPUs, {platform.system()} {platform.release()}; "
            f"Python {platform.python_version()}, NumPy {np.__version__}; module built with "
            f"`{flags}` (OpenMP); OMP_NUM_THREADS={os.environ.get('OMP_NUM_THREADS', 'unset')}; "
            f"load average at start {load}")


def run_module(stem: str, quick: bool) -> dict:
    """Workloads and report of one module, in this process."""
    mod = importlib.import_module(stem)
    rows = []
    for w in mod.workloads(quick):
        rows.append(dataclasses.asdict(measure(w, repeat=1 if quick else 7, min_time=0.0 if quick else 0.02)))
        print(f"  done: {w.name}", file=sys.stderr)
    report = mod.report(quick) if hasattr(mod, "report") else None
    return {"rows": rows, "report": report}


def module_env(path: pathlib.Path) -> dict:
    """The ENV = {...} literal of a module, read without importing it."""
    m = re.search(r"^ENV\s*=\s*(\{.*?\})\s*$", path.read_text(), re.M)
    return json.loads(m.group(1).replace("'", '"')) if m else {}


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--quick", action="store_true", help="tiny sizes, one repeat (smoke run)")
    ap.add_argument("--only", default=None, help="run only bench_<ONLY>.py")
    ap.add_argument("--module", default=None, help=argparse.SUPPRESS)  # child: one module, JSON out
    args = ap.parse_args(argv)
    if args.module:
        print(json.dumps(run_module(args.module, args.quick)))
        return 0

    header = machine()
    rows, reports = [], []
    for path in sorted(HERE.glob("bench_*.py")):
        if args.only and path.stem != f"bench_{args.only}":
            continue
        env = dict(os.environ, **module_env(path))
        cmd = [sys.executable, str(HERE / "run.py"), "--module", path.stem] + (["--quick"] if args.quick else [])
        proc = subprocess.run(cmd, env=env, stdout=subprocess.PIPE, text=True, check=True)
        out = json.loads(proc.stdout.strip().splitlines()[-1])
        rows += [Row(**r) for r in out["rows"]]
        if out["report"]:
            reports.append(out["report"])
    print(header)
    print(f"Load average at end {' '.join(f'{v:.2f}' for v in os.getloadavg())}")
    print()
    print(table(rows, max((r.threads for r in rows if r.threads), default=os.cpu_count())))
    for r in reports:
        print()
        print(r)
    return 0


if __name__ == "__main__":
    sys.exit(main())
