#!/usr/bin/env python3
"""The Store's own calls against the raw class's, in one process.

Part one: on a store of 100,000 cached keys, each round times a Store call
over every key (`store[key]`, `store.get(key)` of present and absent keys,
`key in store`, `store[key] = value`, `len(store)`, `del store[key]`), then
the raw class's nearest call (`get_bytes`, `set_bytes`, `len()`,
`delete`); the ratio is the median of the rounds' ratios, the rates their
best.

Part two: random `store.get` over a store of 20,000 keys with
`cache_size=1000`, before and after 20,000 random overwrites: a record
written since the open should read as fast as one written before it.

Run with the project's interpreter: `.venv/bin/python bench/mapping.py`
(`make bench-mapping`).
"""
from __future__ import annotations

import argparse
import random
import shutil
import statistics
import tempfile
import time
from pathlib import Path
from typing import Callable, Optional

import marrow

REPO = Path(__file__).resolve().parents[1]
VALUE = b"v" * 100
Loop = Callable[[list[str]], None]


def rate(loop: Loop, keys: list[str], before: Optional[Loop] = None) -> float:
    if before is not None:
        before(keys)
    t = time.perf_counter()
    loop(keys)
    return len(keys) / (time.perf_counter() - t)


def mapping_vs_raw(workdir: Path, n: int, rounds: int) -> None:
    store = marrow.open(str(workdir / "calls"), cache_size=n)
    raw = store.raw
    keys = [f"k{i:015d}" for i in range(n)]
    absent = [f"x{i:015d}" for i in range(n)]
    for k in keys:
        store[k] = VALUE
    for k in keys:
        store.get(k)  # every value cached

    def getitem(ks: list[str]) -> None:
        for k in ks:
            store[k]

    def get(ks: list[str]) -> None:
        g = store.get
        for k in ks:
            g(k)

    def raw_get(ks: list[str]) -> None:
        g = raw.get_bytes
        for k in ks:
            g(k)

    def contains(ks: list[str]) -> None:
        for k in ks:
            k in store

    def raw_contains(ks: list[str]) -> None:
        g = raw.get_bytes
        for k in ks:
            g(k) is not None

    def setitem(ks: list[str]) -> None:
        for k in ks:
            store[k] = VALUE

    def raw_set(ks: list[str]) -> None:
        f = raw.set_bytes
        for k in ks:
            f(k, VALUE)

    def length(ks: list[str]) -> None:
        for _ in ks:
            len(store)

    def raw_len(ks: list[str]) -> None:
        f = raw.len
        for _ in ks:
            f()

    def delitem(ks: list[str]) -> None:
        for k in ks:
            del store[k]

    def raw_delete(ks: list[str]) -> None:
        f = raw.delete
        for k in ks:
            f(k)

    writes = keys[:n // 5]
    cases: list[tuple[str, Loop, Loop, list[str], Optional[Loop]]] = [
        ("store[key]", getitem, raw_get, keys, None),
        ("store.get(key), present", get, raw_get, keys, None),
        ("store.get(key), absent", get, raw_get, absent, None),
        ("key in store", contains, raw_contains, keys, None),
        ("store[key] = value", setitem, raw_set, writes, None),
        ("len(store)", length, raw_len, keys, None),
        ("del store[key]", delitem, raw_delete, writes, raw_set),
    ]
    print(f"| call ({n:,} keys) | Store (M/s) | raw (M/s) | Store / raw |")
    print("|---|---:|---:|---:|")
    for name, mine, theirs, ks, before in cases:
        ratios, best_mine, best_raw = [], 0.0, 0.0
        for _ in range(rounds):
            a, b = rate(mine, ks, before), rate(theirs, ks, before)
            ratios.append(a / b)
            best_mine, best_raw = max(best_mine, a), max(best_raw, b)
        print(f"| {name} | {best_mine / 1e6:.2f} | {best_raw / 1e6:.2f} | "
              f"{statistics.median(ratios):.2f}x |")
    store.close()


def reads_after_writes(workdir: Path, n: int, rounds: int) -> None:
    store = marrow.open(str(workdir / "reads"), cache_size=1000)
    keys = [f"k{i:015d}" for i in range(n)]
    for k in keys:
        store[k] = VALUE
    store.persist()
    store.close()
    store = marrow.open(str(workdir / "reads"), cache_size=1000)
    rng = random.Random(1)
    picks = [keys[i] for i in rng.choices(range(n), k=n)]

    def reads(ks: list[str]) -> None:
        g = store.get
        for k in ks:
            g(k)

    before = max(rate(reads, picks) for _ in range(rounds))
    for k in rng.sample(keys, n):
        store[k] = VALUE[::-1]
    after = max(rate(reads, picks) for _ in range(rounds))
    print(f"\nrandom store.get, {n:,} keys, cache_size=1000: {before / 1e3:,.0f} k/s "
          f"written before the open, {after / 1e3:,.0f} k/s after {n:,} overwrites "
          f"since ({after / before:.2f}x)")
    store.close()


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--n", type=int, default=100_000, help="keys of part one")
    parser.add_argument("--reads-n", type=int, default=20_000, help="keys of part two")
    parser.add_argument("--rounds", type=int, default=7)
    args = parser.parse_args()
    workdir = Path(tempfile.mkdtemp(dir=REPO / "build"))
    try:
        mapping_vs_raw(workdir, args.n, args.rounds)
        reads_after_writes(workdir, args.reads_n, args.rounds)
    finally:
        shutil.rmtree(workdir)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
