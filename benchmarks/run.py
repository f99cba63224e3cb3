"""Run every benchmarks/bench_*.py module and print one table (see harness.py),
then the extra reports of the modules that have one (the tournament search's
floor and thread speed-up).

    python benchmarks/run.py [--quick] [--only NAME]

``--quick`` runs tiny sizes once (a smoke run, as the tests do); its figures
mean nothing.
"""
from __future__ import annotations

import argparse
import importlib
import os
import pathlib
import platform
import re
import sys

HERE = pathlib.Path(__file__).resolve().parent
BUILD = HERE.parent / "build" / "release"
sys.path.insert(0, str(HERE))

from harness import measure, table  # noqa: E402


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


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--quick", action="store_true", help="tiny sizes, one repeat (smoke run)")
    ap.add_argument("--only", default=None, help="run only bench_<ONLY>.py")
    args = ap.parse_args(argv)
    rows, reports = [], []
    header = machine()
    for path in sorted(HERE.glob("bench_*.py")):
        if args.only and path.stem != f"bench_{args.only}":
            continue
        mod = importlib.import_module(path.stem)
        for w in mod.workloads(args.quick):
            rows.append(measure(w, repeat=1 if args.quick else 7, min_time=0.0 if args.quick else 0.02))
            print(f"  done: {w.name}", file=sys.stderr)
        if hasattr(mod, "report"):
            reports.append(mod.report(args.quick))
            print(f"  done: {path.stem} report", file=sys.stderr)
    print(header)
    print(f"Load average at end {' '.join(f'{v:.2f}' for v in os.getloadavg())}")
    print()
    print(table(rows))
    for r in reports:
        print()
        print(r)
    return 0


if __name__ == "__main__":
    sys.exit(main())
