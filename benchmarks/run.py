"""Run every benchmarks/bench_*.py module and print one table (see harness.py).

    python benchmarks/run.py [--quick] [--only NAME]
"""
from __future__ import annotations

import argparse
import importlib
import pathlib
import sys

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from harness import measure, table  # noqa: E402


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--quick", action="store_true", help="tiny sizes, one repeat (smoke run)")
    ap.add_argument("--only", default=None, help="run only bench_<ONLY>.py")
    args = ap.parse_args(argv)
    rows = []
    for path in sorted(HERE.glob("bench_*.py")):
        if args.only and path.stem != f"bench_{args.only}":
            continue
        mod = importlib.import_module(path.stem)
        for w in mod.workloads(args.quick):
            rows.append(measure(w, repeat=1 if args.quick else 7, min_time=0.0 if args.quick else 0.02))
            print(f"  done: {w.name}", file=sys.stderr)
    print(table(rows))
    return 0


if __name__ == "__main__":
    sys.exit(main())
