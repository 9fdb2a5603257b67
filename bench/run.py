"""Runs the benchmark suite and writes bench/RESULTS.md and the plot.

    python bench/run.py            # everything (what `make bench` does)
    python bench/run.py --quick    # small books and few rounds, to try the code
    python bench/run.py -w 1 -w 4  # some workloads only, into RESULTS-partial.md
"""
from __future__ import annotations

import argparse
import subprocess
import sys
import time
from pathlib import Path

import harness
import peers
import report
import workloads
import zub_side


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true", help="small books and few rounds")
    ap.add_argument("-w", "--workload", action="append", choices=workloads.ALL_WORKLOADS,
                    help="run only this workload (repeatable)")
    ap.add_argument("--out", type=Path, default=Path(__file__).resolve().parent,
                    help="directory for RESULTS.md and the plot (default: bench/)")
    args = ap.parse_args(argv)
    settings = workloads.QUICK if args.quick else workloads.FULL
    start = time.perf_counter()
    results = workloads.run(settings, args.workload or workloads.ALL_WORKLOADS,
                            log=lambda m: print(m, file=sys.stderr, flush=True))
    elapsed = time.perf_counter() - start
    versions = {"zub": zub_side.version(), "QuantLib": peers.quantlib_version(), "py_vollib": peers.vollib_version()}
    rounds = (f"Rounds: {settings.rounds} for the analytic and default-grid workloads, {settings.fd_rounds} for the "
              f"401x400 grid and the American implied volatility, {settings.sweep_rounds} per point of the accuracy sweep, "
              f"{settings.american_rounds} for the American accuracy set.")
    args.out.mkdir(parents=True, exist_ok=True)
    # A partial run leaves RESULTS.md, which holds every workload, alone.
    name = "RESULTS.md" if args.workload is None else "RESULTS-partial.md"
    path = report.write(results, harness.machine(), versions, args.out, rounds, elapsed, name)
    if args.workload is None:
        # In a process of its own: importing py_vollib_vectorized there
        # replaces py_vollib's functions.
        for script in ("arrays.py", "surface.py"):
            cmd = [sys.executable, str(Path(__file__).with_name(script)), "--out", str(path)]
            subprocess.run(cmd + (["--quick"] if args.quick else []), check=True)
    print(f"wrote {path} and the plot beside it; targets:")
    for r in results:
        for t in r.targets:
            print(f"  workload {r.key}: {'met   ' if t.met else 'MISSED'} {t.text}: {t.measured}")
    missed = sum(not t.met for r in results for t in r.targets)
    print(f"{missed} target(s) missed" if missed else "all targets met")
    return 0


if __name__ == "__main__":
    sys.exit(main())
