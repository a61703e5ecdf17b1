"""Several processes on one store: marrow with multiprocess=True against
lmdb, sqlite3 and diskcache, each process with its own handle.

Every cell starts PROCS processes, each opens the store and waits at a
barrier; the clock runs from the barrier until the last one is done, and
the figure is all their operations over that time. Ratios compare cells of
one run.

    python bench/multiprocess.py [--quick] [--out build/bench/multiprocess.md]
"""

from __future__ import annotations

import argparse
import json
import multiprocessing as mp
import os
import random
import shutil
import sqlite3
import tempfile
import time
from pathlib import Path
from typing import Any, Callable

import marrow

PROCS = 4
VALUE = b"v" * 100


class Marrow:
    name = "marrow"

    def __init__(self, path: Path, durable: bool = False, one_process: bool = False) -> None:
        self.db = marrow.open(path, multiprocess=not one_process)
        self.durable = durable

    def put(self, key: str, value: bytes) -> None:
        self.db[key] = value
        if self.durable:
            self.db.sync()

    def get(self, key: str) -> Any:
        return self.db.get(key)

    def incr(self, key: str) -> None:
        with self.db.transaction() as t:
            t[key] = b"%d" % (int(t.get(key, b"0") or b"0") + 1)

    def count(self, key: str) -> int:
        return int(self.db.get(key, b"0") or b"0")

    def close(self) -> None:
        self.db.close()


class Lmdb:
    name = "lmdb"

    def __init__(self, path: Path, durable: bool = False) -> None:
        import lmdb

        path.mkdir(parents=True, exist_ok=True)
        self.env = lmdb.open(str(path), map_size=1 << 34, sync=durable, metasync=durable)

    def put(self, key: str, value: bytes) -> None:
        with self.env.begin(write=True) as txn:
            txn.put(key.encode(), value)

    def get(self, key: str) -> Any:
        with self.env.begin() as txn:
            return txn.get(key.encode())

    def incr(self, key: str) -> None:
        with self.env.begin(write=True) as txn:
            txn.put(key.encode(), b"%d" % (int(txn.get(key.encode(), b"0")) + 1))

    def count(self, key: str) -> int:
        return int(self.get(key) or b"0")

    def close(self) -> None:
        self.env.close()


class Sqlite:
    name = "sqlite3"

    def __init__(self, path: Path, durable: bool = False) -> None:
        path.mkdir(parents=True, exist_ok=True)
        self.con = sqlite3.connect(str(path / "kv.sqlite"), isolation_level=None, timeout=600)
        self.con.execute("PRAGMA journal_mode=WAL")
        self.con.execute(f"PRAGMA synchronous={'FULL' if durable else 'NORMAL'}")
        self.con.execute("CREATE TABLE IF NOT EXISTS kv (k TEXT PRIMARY KEY NOT NULL, v BLOB NOT NULL) WITHOUT ROWID")

    def put(self, key: str, value: bytes) -> None:
        self.con.execute("INSERT OR REPLACE INTO kv VALUES (?, ?)", (key, value))

    def get(self, key: str) -> Any:
        row = self.con.execute("SELECT v FROM kv WHERE k = ?", (key,)).fetchone()
        return row and row[0]

    def incr(self, key: str) -> None:
        self.con.execute("BEGIN IMMEDIATE")
        row = self.con.execute("SELECT v FROM kv WHERE k = ?", (key,)).fetchone()
        self.con.execute("INSERT OR REPLACE INTO kv VALUES (?, ?)", (key, b"%d" % (int(row[0] if row else b"0") + 1)))
        self.con.execute("COMMIT")

    def count(self, key: str) -> int:
        return int(self.get(key) or b"0")

    def close(self) -> None:
        self.con.close()


class Diskcache:
    name = "diskcache"

    def __init__(self, path: Path, durable: bool = False) -> None:
        import diskcache

        self.cache = diskcache.Cache(str(path), size_limit=1 << 40, sqlite_synchronous=2 if durable else 1)

    def put(self, key: str, value: bytes) -> None:
        self.cache.set(key, value)

    def get(self, key: str) -> Any:
        return self.cache.get(key)

    def incr(self, key: str) -> None:
        self.cache.incr(key)

    def count(self, key: str) -> int:
        return int(self.cache.get(key, 0))

    def close(self) -> None:
        self.cache.close()


STORES: dict[str, Callable[..., Any]] = {"marrow": Marrow, "lmdb": Lmdb, "sqlite3": Sqlite, "diskcache": Diskcache}


def work(kind: str, workload: str, path: Path, index: int, n: int, keyspace: int, durable: bool, barrier: Any, out: Any) -> None:
    store = STORES[kind](path, durable)
    rng = random.Random(index)
    barrier.wait()
    began = time.perf_counter()
    if workload == "puts":
        for i in range(n):
            store.put(f"p{index}-{i}", VALUE)
    elif workload == "mix":
        for _ in range(n):
            key = f"k{rng.randrange(keyspace)}"
            if rng.random() < 0.1:
                store.put(key, VALUE)
            else:
                store.get(key)
    elif workload == "incr":
        for _ in range(n):
            store.incr("counter")
    ended = time.perf_counter()
    store.close()
    out.put((began, ended))


def cell(kind: str, workload: str, n: int, keyspace: int = 0, durable: bool = False) -> dict[str, Any]:
    root = Path(tempfile.mkdtemp(prefix="marrow-mp-bench-", dir=os.environ.get("BENCH_DIR")))
    path = root / "store"
    try:
        if keyspace:
            store = STORES[kind](path)
            for i in range(keyspace):
                store.put(f"k{i}", VALUE)
            store.close()
        ctx = mp.get_context("spawn")
        barrier, out = ctx.Barrier(PROCS), ctx.Queue()
        procs = [ctx.Process(target=work, args=(kind, workload, path, i, n, keyspace, durable, barrier, out)) for i in range(PROCS)]
        for p in procs:
            p.start()
        spans = [out.get(timeout=1800) for _ in procs]
        for p in procs:
            p.join()
        seconds = max(e for _, e in spans) - min(b for b, _ in spans)
        result: dict[str, Any] = {"ops": PROCS * n, "seconds": seconds, "rate": PROCS * n / seconds}
        if workload == "incr":
            store = STORES[kind](path)
            result["count"] = store.count("counter")
            store.close()
        return result
    finally:
        shutil.rmtree(root, ignore_errors=True)


def one_process_fill(n: int) -> dict[str, float]:
    """Puts of distinct keys in one process, each way of opening."""
    rates = {}
    for name, one in (("one-process", True), ("multiprocess", False)):
        root = Path(tempfile.mkdtemp(prefix="marrow-fill-"))
        try:
            db = Marrow(root / "s", one_process=one)
            began = time.perf_counter()
            for i in range(n):
                db.put(f"f{i}", VALUE)
            rates[name] = n / (time.perf_counter() - began)
            db.close()
        finally:
            shutil.rmtree(root, ignore_errors=True)
    return rates


def memory(n: int) -> dict[str, float]:
    """Resident memory each process adds for a store of n keys opened each way."""
    root = Path(tempfile.mkdtemp(prefix="marrow-mem-"))
    try:
        with marrow.open(root / "s") as db:
            for start in range(0, n, 10000):
                db.update({f"m{i}": VALUE for i in range(start, min(n, start + 10000))})
        found = {}
        for multi in (False, True):
            ctx = mp.get_context("spawn")
            q = ctx.Queue()
            p = ctx.Process(target=_memory_child, args=(str(root / "s"), multi, q))
            p.start()
            found["multiprocess" if multi else "one-process"] = q.get(timeout=600)
            p.join()
        return found
    finally:
        shutil.rmtree(root, ignore_errors=True)


def _rss_mib() -> float:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2**20


def _memory_child(path: str, multi: bool, q: Any) -> None:
    before = _rss_mib()
    db = marrow.open(path, multiprocess=multi)
    len(db)
    db.get("m1")
    q.put(_rss_mib() - before)
    db.close()


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--out", default="build/bench/multiprocess.md")
    args = parser.parse_args()
    n = 5000 if args.quick else 25000
    results: dict[str, dict[str, Any]] = {}
    table = [
        ("puts", "distinct keys, one put per call", dict(n=n)),
        ("mix", "90% gets, 10% puts, random keys of 100,000", dict(n=n, keyspace=100000)),
        ("durable", "each put made durable before the next", dict(n=max(200, n // 50), durable=True)),
        ("incr", "increments of one shared counter", dict(n=n // 2)),
    ]
    for name, _, kw in table:
        workload = "puts" if name == "durable" else name
        for kind in STORES:
            results.setdefault(name, {})[kind] = cell(kind, workload, **kw)  # type: ignore[arg-type]
            print(name, kind, f"{results[name][kind]['rate']:,.0f}/s", flush=True)
    fill = one_process_fill(n * 4)
    mem = memory(100000 if args.quick else 1000000)
    lines = [
        f"# Several processes on one store ({PROCS} processes)",
        "",
        "| workload | " + " | ".join(STORES) + " | marrow / best peer |",
        "|---|" + "---|" * (len(STORES) + 1),
    ]
    for name, title, _ in table:
        row = results[name]
        best = max(row[k]["rate"] for k in STORES if k != "marrow")
        cells = [f"{row[k]['rate']:,.0f}/s" + (f" (count {row[k]['count']:,})" if "count" in row[k] else "") for k in STORES]
        lines.append(f"| {title} | " + " | ".join(cells) + f" | {row['marrow']['rate'] / best:.2f}x |")
    lines += [
        "",
        f"One process, {n * 4:,} puts: multiprocess=True {fill['multiprocess']:,.0f}/s, the one-process way "
        f"{fill['one-process']:,.0f}/s ({fill['multiprocess'] / fill['one-process']:.2f}x).",
        "",
        f"Memory each process adds to open a store of {100000 if args.quick else 1000000:,} keys and count them: "
        f"{mem['multiprocess']:.1f} MiB with multiprocess=True, {mem['one-process']:.1f} MiB the one-process way.",
        "",
    ]
    Path(args.out).parent.mkdir(parents=True, exist_ok=True)
    Path(args.out).write_text("\n".join(lines))
    Path(args.out).with_suffix(".json").write_text(json.dumps({"results": results, "fill": fill, "memory": mem}, indent=1))
    print("\n".join(lines))
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
