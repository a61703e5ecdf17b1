#!/usr/bin/env python3
"""Benchmark marrow against the key-value stores Python programs use today.

    bench.py [--quick] [--n N] [--out bench/results.md]
             [--stores a,b] [--workloads name,group]

Every (store, workload) pair runs in a fresh subprocess of this script
(`--worker STORE WORKLOAD`), so memory figures and caches stay independent.
The data is seeded and the same for every store: N keys of 16 bytes with
100-byte random values, and N/100 values of 100 KiB. The batch fill writes
the small records 1,000 to a batch through each store's batch write; the
durable workloads make every write or batch durable before the next. Results
are written as markdown tables (ops/s or MB/s, and marrow's ratio to each
peer and to the raw I/O floors measured by bench/floor.c) with a bar chart
of the ratios.

The parts: data.py (seeded data and sizes), peers.py (one adapter per
store), workloads.py (one function per workload, the registry and the
tables' rows), harness.py (the cells and the floors), report.py (tables,
targets, chart). `--workloads durable` runs the durable group alone.
"""
from __future__ import annotations

import argparse
import json
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import harness  # noqa: E402
import report  # noqa: E402
from peers import STORES  # noqa: E402
from workloads import WORKLOADS  # noqa: E402


def main() -> int:
    groups = sorted({w.group for w in WORKLOADS.values() if w.group})
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="N = 100,000")
    parser.add_argument("--n", type=int, help="number of small keys (default 1,000,000)")
    parser.add_argument("--large", type=int, help="number of 100 KiB values (default N/100)")
    parser.add_argument("--cap", type=float, help="seconds of operations per measurement")
    parser.add_argument("--out", type=Path, default=harness.HERE / "results.md")
    parser.add_argument("--stores", help="comma-separated subset of " + ",".join(STORES))
    parser.add_argument("--workloads", help="comma-separated subset of "
                        + ",".join(list(WORKLOADS) + groups)
                        + " (with the workloads they need)")
    parser.add_argument("--workdir", type=Path, default=harness.REPO / "build" / "bench-work")
    parser.add_argument("--floor", type=Path, default=harness.REPO / "build" / "bench" / "floor")
    parser.add_argument("--report-from", type=Path, metavar="JSON",
                        help="write the report and chart again from a run's .json")
    parser.add_argument("--worker", nargs=2, metavar=("STORE", "WORKLOAD"),
                        help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.n is None:
        args.n = 100_000 if args.quick else 1_000_000
    if args.large is None:
        args.large = max(100, args.n // 100)
    if args.cap is None:
        args.cap = 1.0 if args.quick else 3.0
    if args.worker:
        return harness.worker_main(args)

    started = time.perf_counter()
    stores = harness.available_stores()
    if args.stores:
        wanted = args.stores.split(",")
        stores = [s for s in stores if s in wanted]
    if args.report_from:
        saved = json.loads(args.report_from.read_text())
        floors = saved.pop("floors", {})
        elapsed = saved.pop("elapsed", 0.0)
        results = {tuple(k.split("/", 1)): r for k, r in saved.items()}
        stores = [s for s in stores if any(s == k[0] for k in results)]
    else:
        results, floors = harness.run_cells(
            args, harness.plan(args.workloads, stores),
            bool(harness.selected(args.workloads) & harness.FLOOR_WORKLOADS))
        elapsed = time.perf_counter() - started
    args.out.parent.mkdir(parents=True, exist_ok=True)
    report.write_report(args.out, args, stores, results, floors, elapsed)
    (args.out.with_suffix(".json")).write_text(json.dumps(
        {f"{s}/{w}": r for (s, w), r in results.items()}
        | {"floors": floors, "elapsed": elapsed}, indent=1))
    report.write_chart(args.out.with_suffix(".png"), stores, results, floors,
                       f"marrow vs peers, {args.n:,} keys "
                       f"({'quick' if args.quick else 'full' if args.n == 1_000_000 else 'custom'}"
                       " run)", args.n)
    print(f"wrote {args.out} and {args.out.with_suffix('.png')} in {elapsed:.0f} s",
          file=sys.stderr)
    return 1 if any("error" in r for r in results.values()) else 0


if __name__ == "__main__":
    sys.exit(main())
