#!/usr/bin/env python3
"""Persistence timings: persist(), reopen from a snapshot, reopen replaying
the whole log, and vacuum() after half the keys were overwritten.

Run with the project's interpreter, e.g. `.venv/bin/python bench/persistence.py`.
"""
from __future__ import annotations

import argparse
import os
import random
import shutil
import sys
import tempfile
import time
from pathlib import Path

from marrow import Marrow


def dir_size(path: Path) -> int:
    return sum(p.stat().st_size for p in path.iterdir() if p.is_file())


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--n", type=int, default=1_000_000, help="number of keys")
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    n: int = args.n

    rng = random.Random(args.seed)
    pool = rng.randbytes(1 << 20)
    span = len(pool) - 100

    def value(i: int, gen: int) -> bytes:
        o = (i * 7919 + gen * 104729) % span
        return pool[o:o + 100]

    keys = [f"k{i:015d}" for i in range(n)]
    vals = [value(i, 0) for i in range(n)]
    root = Path(tempfile.mkdtemp(prefix="marrow-persistence-"))
    failures: list[str] = []
    rows: list[tuple[str, float, int, str]] = []

    def check(store: Marrow, expected: list[bytes], what: str) -> None:
        if store.len() != n:
            failures.append(f"{what}: len() is {store.len()}, expected {n}")
        for i in rng.sample(range(n), min(n, 1000)):
            if store.get_bytes(keys[i]) != expected[i]:
                failures.append(f"{what}: {keys[i]} reads back wrong")
                break

    try:
        logged, snap = root / "logged", root / "snap"
        store = Marrow(str(logged))
        put = store.set_bytes
        start = time.perf_counter()
        for k, v in zip(keys, vals):
            put(k, v)
        rows.append(("fill (set_bytes)", time.perf_counter() - start, n, "records"))
        del store, put  # leaves a log of n records and no snapshot
        wal_size = (logged / "wal.bin").stat().st_size
        shutil.copytree(logged, snap)

        start = time.perf_counter()
        store = Marrow(str(logged))
        rows.append((f"reopen replaying the log ({wal_size / 1e6:.0f} MB)",
                     time.perf_counter() - start, n, "records"))
        check(store, vals, "after replay")
        del store

        store = Marrow(str(snap))
        start = time.perf_counter()
        store.persist()
        rows.append(("persist()", time.perf_counter() - start, n, "entries"))
        del store
        snap_size = (snap / "snapshot.bin").stat().st_size

        start = time.perf_counter()
        store = Marrow(str(snap))
        rows.append((f"reopen from the snapshot ({snap_size / 1e6:.0f} MB)",
                     time.perf_counter() - start, n, "entries"))
        check(store, vals, "after snapshot reopen")

        half = rng.sample(range(n), n // 2)
        for i in half:
            vals[i] = value(i, 1)
            store.set_bytes(keys[i], vals[i])
        before = dir_size(snap)
        start = time.perf_counter()
        store.vacuum()
        rows.append((f"vacuum() after {n // 2:,} overwrites "
                     f"({before / 1e6:.0f} -> {dir_size(snap) / 1e6:.0f} MB)",
                     time.perf_counter() - start, n, "live records"))
        check(store, vals, "after vacuum")
        del store
        store = Marrow(str(snap))
        check(store, vals, "reopen after vacuum")
        del store
    finally:
        shutil.rmtree(root, ignore_errors=True)

    print(f"persistence, {n:,} keys of 16 bytes, values of 100 bytes "
          f"({os.cpu_count()} cores)")
    print("| step | seconds | rate |")
    print("|---|---:|---:|")
    for name, t, count, unit in rows:
        print(f"| {name} | {t:.3f} | {count / t / 1e6:.2f} M {unit}/s |")
    if failures:
        for f in failures:
            print("FAILED:", f)
        return 1
    print("contents verified after each reopen and after vacuum")
    return 0


if __name__ == "__main__":
    sys.exit(main())
