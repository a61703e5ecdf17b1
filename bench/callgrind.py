#!/usr/bin/env python3
"""Instructions per operation on marrow's hot paths, from valgrind's callgrind.

For each operation a small Python driver opens a store, loads it, prepares
its arguments and then either runs COUNT operations or skips them; the
difference between the two runs, over COUNT, is the cost of one operation
(the Python loop included). Instruction counts do not depend on the load of
the machine, so they show regressions that timings on a shared machine hide.

    callgrind.py [--count N] [--append bench/results.md] [--top K] [--syscalls] [--raw]

The operations go through the mapping users get, marrow.open()'s Store
(store[k] = v, store.get(k), store.get_many, del store[k], store.set_many);
with --raw, through the raw class's set_bytes, get_bytes, get_many and
delete (set-many always through the mapping).

Also prints, per operation, where the instructions go (by shared object and
by function) and, with --syscalls (strace), the system calls per operation.
"""
from __future__ import annotations

import argparse
import collections
import concurrent.futures
import os
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent

# The driver leaves with os._exit right after the loop, so teardown (which
# differs between the two runs) is not counted. The loops run in a function,
# where their variables are fast locals, as in the benchmark.
DRIVER = r'''
import os, sys
import marrow


def main() -> None:
    op, count, run, directory = sys.argv[1], int(sys.argv[2]), sys.argv[3] == "1", sys.argv[4]
    prefill, raw = int(sys.argv[5]), sys.argv[6] == "raw"
    mapping = marrow.open(directory, cache_size=1 if op in ("cold-get", "get-many") else 10000)
    store = mapping.raw
    pool = bytes(range(256)) * 2
    keys = [f"k{i:015d}" for i in range(prefill)]
    vals = [pool[i % 150:i % 150 + 100] for i in range(max(prefill, count))]
    for k, v in zip(keys, vals):
        store.set_bytes(k, v)
    if op == "set":
        args = [f"n{i:015d}" for i in range(count)]
    elif op == "overwrite":
        args = [keys[(i * 7919) % prefill] for i in range(count)]
    elif op == "hot-get":
        hot = keys[:1000]
        for k in hot:
            store.get_bytes(k)
        args = [hot[(i * 7) % 1000] for i in range(count)]
    elif op == "cold-get":
        args = [keys[(i * 7919) % prefill] for i in range(count)]
    elif op == "get-many":
        picks = [keys[(i * 7919) % prefill] for i in range(count)]
        args = [picks[i:i + 100] for i in range(0, count, 100)]
    elif op == "delete":
        args = keys[:count]
    elif op == "set-many":
        names = [f"n{i:015d}" for i in range(count)]
        args = [list(zip(names[i:i + 1000], vals[i:i + 1000])) for i in range(0, count, 1000)]
    if run and op == "set-many":
        set_many = mapping.set_many
        for b in args:
            set_many(b)
    elif run and raw:
        if op in ("set", "overwrite"):
            put = store.set_bytes
            for k, v in zip(args, vals):
                put(k, v)
        elif op in ("hot-get", "cold-get"):
            get = store.get_bytes
            for k in args:
                get(k)
        elif op == "get-many":
            get_many = store.get_many
            for b in args:
                get_many(b)
        elif op == "delete":
            delete = store.delete
            for k in args:
                delete(k)
    elif run:
        if op in ("set", "overwrite"):
            for k, v in zip(args, vals):
                mapping[k] = v
        elif op in ("hot-get", "cold-get"):
            get = mapping.get
            for k in args:
                get(k)
        elif op == "get-many":
            get_many = mapping.get_many
            for b in args:
                get_many(b)
        elif op == "delete":
            for k in args:
                del mapping[k]
    sys.stdout.flush()
    os._exit(0)


main()
'''

MODE = "mapping"  # or "raw": which API the driver calls
OPS = ["set", "overwrite", "hot-get", "cold-get", "get-many", "delete", "set-many"]
EXTENSION = "_marrow"  # shared-object name of the binding


class Profile:
    """Self cost (instructions) per shared object and per function."""

    def __init__(self) -> None:
        self.total = 0
        self.by_object: collections.Counter[str] = collections.Counter()
        self.by_function: collections.Counter[tuple[str, str]] = collections.Counter()


def parse_callgrind(path: Path) -> Profile:
    """Reads a callgrind output file (events: Ir) into self costs."""
    prof = Profile()
    names: dict[str, dict[str, str]] = {"ob": {}, "fn": {}, "fl": {}}
    kind_of = {"ob": "ob", "cob": "ob", "fn": "fn", "cfn": "fn", "fl": "fl", "fi": "fl",
               "fe": "fl", "cfl": "fl", "cfi": "fl"}
    ob, fn = "?", "?"
    skip_next_cost = False
    line_re = re.compile(r"^(ob|cob|fn|cfn|fl|fi|fe|cfl|cfi)=(?:\((\d+)\))?\s*(.*)$")
    with open(path, errors="replace") as f:
        for line in f:
            c = line[:1]
            if c.isdigit() or c in "+-*":
                if skip_next_cost:
                    skip_next_cost = False
                    continue
                parts = line.split()
                if len(parts) >= 2:
                    cost = int(parts[1])
                    prof.by_object[ob] += cost
                    prof.by_function[(ob, fn)] += cost
                    prof.total += cost
                continue
            if line.startswith("calls="):
                skip_next_cost = True  # the next cost line is the callee's inclusive cost
                continue
            m = line_re.match(line)
            if not m:
                continue
            key, ident, name = m.group(1), m.group(2), m.group(3).strip()
            table = names[kind_of[key]]
            if ident is not None:
                if name:
                    table[ident] = name
                name = table.get(ident, name or ident)
            if key == "ob":
                ob = os.path.basename(name)
            elif key == "fn":
                fn = name
    return prof


def run_callgrind(python: str, driver: Path, op: str, count: int, prefill: int,
                  run: bool, work: Path) -> Profile:
    tag = f"{op}-{int(run)}"
    store_dir = work / f"store-{tag}"
    out = work / f"callgrind-{tag}.out"
    cmd = ["valgrind", "--tool=callgrind", "--dump-instr=no", "--dump-line=no",
           f"--callgrind-out-file={out}", python, str(driver), op, str(count),
           "1" if run else "0", str(store_dir), str(prefill), MODE]
    proc = subprocess.run(cmd, capture_output=True, text=True)
    if proc.returncode != 0:
        raise RuntimeError(f"valgrind failed for {op}: {proc.stderr[-2000:]}")
    return parse_callgrind(out)


def run_strace(python: str, driver: Path, op: str, count: int, prefill: int, run: bool,
               work: Path) -> collections.Counter[str]:
    tag = f"{op}-{int(run)}"
    out = work / f"strace-{tag}.txt"
    cmd = ["strace", "-f", "-c", "-o", str(out), python, str(driver), op, str(count),
           "1" if run else "0", str(work / f"strace-store-{tag}"), str(prefill), MODE]
    subprocess.run(cmd, capture_output=True, check=True)
    calls: collections.Counter[str] = collections.Counter()
    for line in out.read_text().splitlines():
        parts = line.split()
        # % time, seconds, usecs/call, calls, [errors], syscall
        if len(parts) >= 5 and parts[3].isdigit() and parts[-1] != "total":
            calls[parts[-1]] += int(parts[3])
    return calls


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--count", type=int, default=5_000, help="operations per run")
    parser.add_argument("--prefill", type=int, default=10_000, help="keys loaded first")
    parser.add_argument("--ops", default=",".join(OPS))
    parser.add_argument("--top", type=int, default=12, help="functions shown per operation")
    parser.add_argument("--append", type=Path, help="markdown file to add the table to")
    parser.add_argument("--syscalls", action="store_true",
                        help="also count system calls per operation with strace")
    parser.add_argument("--profile", action="store_true",
                        help="print the top functions of each operation")
    parser.add_argument("--raw", action="store_true", help="call the raw class instead of the mapping")
    args = parser.parse_args()
    global MODE
    MODE = "raw" if args.raw else "mapping"
    if shutil.which("valgrind") is None:
        print("valgrind is not installed (apt-get install valgrind)", file=sys.stderr)
        return 1
    ops = args.ops.split(",")
    work = Path(tempfile.mkdtemp(prefix="marrow-callgrind-"))
    driver = work / "driver.py"
    driver.write_text(DRIVER)
    python = sys.executable
    rows: list[tuple[str, float, float, float]] = []
    profiles: dict[str, list[str]] = {}
    syscalls: dict[str, str] = {}
    try:
        with concurrent.futures.ThreadPoolExecutor(max_workers=os.cpu_count() or 2) as pool:
            futures = {(op, run): pool.submit(run_callgrind, python, driver, op, args.count,
                                              args.prefill, run, work)
                       for op in ops for run in (False, True)}
            if args.syscalls and shutil.which("strace"):
                sfutures = {(op, run): pool.submit(run_strace, python, driver, op, args.count,
                                                   args.prefill, run, work)
                            for op in ops for run in (False, True)}
            else:
                sfutures = {}
            for op in ops:
                base, full = futures[(op, False)].result(), futures[(op, True)].result()
                n = args.count
                per_op = (full.total - base.total) / n
                ext_cost = sum(v for k, v in full.by_object.items() if EXTENSION in k) - sum(
                    v for k, v in base.by_object.items() if EXTENSION in k)
                py_objs = ("python", "libpython")
                py_cost = sum(v for k, v in full.by_object.items() if k.startswith(py_objs)) - sum(
                    v for k, v in base.by_object.items() if k.startswith(py_objs))
                rows.append((op, per_op, ext_cost / n, py_cost / n))
                lines = [f"{op}: {per_op:,.0f} instructions per operation"]
                objs = collections.Counter({k: (full.by_object[k] - base.by_object.get(k, 0)) / n
                                            for k in full.by_object})
                lines.append("  by object: " + ", ".join(
                    f"{k} {v:,.0f}" for k, v in objs.most_common(6) if v > 0.5))
                funcs = collections.Counter(
                    {k: (full.by_function[k] - base.by_function.get(k, 0)) / n
                     for k in full.by_function})
                for (ob, fn), v in funcs.most_common(args.top):
                    if v < 1:
                        break
                    lines.append(f"  {v:10,.0f}  {fn[:90]}  [{ob}]")
                profiles[op] = lines
                if sfutures:
                    sb, sf = sfutures[(op, False)].result(), sfutures[(op, True)].result()
                    diff = {k: (sf[k] - sb.get(k, 0)) / n for k in sf}
                    syscalls[op] = ", ".join(f"{k} {v:.2f}" for k, v in
                                             sorted(diff.items(), key=lambda x: -x[1])
                                             if v >= 0.005) or "none"
    finally:
        shutil.rmtree(work, ignore_errors=True)

    table = [f"## Instructions per operation (callgrind)", "",
             f"{args.count:,} operations on a store of {args.prefill:,} keys, minus a run "
             "without them, " + ("through the raw class" if args.raw else "through the mapping, "
             "marrow.open()'s Store") + "; the Python loop is included. `cold-get` and `get-many` use a "
             "value cache of one entry, so every read misses; `get-many` is per key, and so is "
             "`set-many` (new keys, 1,000 pairs per set_many call).", "",
             "| operation | instructions/op | in _marrow | in the interpreter |"
             + (" system calls/op |" if syscalls else ""),
             "|---|---:|---:|---:|" + ("---|" if syscalls else "")]
    for op, per_op, ext, py in rows:
        table.append(f"| {op} | {per_op:,.0f} | {ext:,.0f} | {py:,.0f} |"
                     + (f" {syscalls.get(op, '')} |" if syscalls else ""))
    text = "\n".join(table) + "\n"
    print(text)
    if args.profile:
        for op in ops:
            print("\n".join(profiles[op]))
            print()
    if args.append:
        old = args.append.read_text() if args.append.exists() else ""
        marker = "## Instructions per operation (callgrind)"
        if marker in old:
            head, _, rest = old.partition(marker)
            nxt = rest.find("\n## ")
            old = head + (rest[nxt + 1:] if nxt >= 0 else "")
        args.append.write_text(old.rstrip("\n") + "\n\n" + text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
