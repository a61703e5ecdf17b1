#!/usr/bin/env python3
"""Benchmark marrow against the key-value stores Python programs use today.

    bench.py [--quick] [--n N] [--out bench/results.md]

Every (store, workload) pair runs in a fresh subprocess of this script
(`--worker STORE WORKLOAD`), so memory figures and caches stay independent.
The data is seeded and the same for every store: N keys of 16 bytes with
100-byte random values, and N/100 values of 100 KiB. The batch fill writes
the small records 1,000 to a batch through each store's batch write. Results are written
as markdown tables (ops/s or MB/s, and marrow's ratio to each peer and to
the raw I/O floors measured by bench/floor.c) with a bar chart of the ratios.
"""
from __future__ import annotations

import argparse
import datetime
import gc
import glob
import itertools
import json
import operator
import os
import platform
import random
import shutil
import subprocess
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Callable, Iterable, Iterator, Sequence

HERE = Path(__file__).resolve().parent
REPO = HERE.parent
SEED = 20240601
VAL_LEN = 100
LARGE_LEN = 100 * 1024
HOT_KEYS = 5_000  # fits marrow's default value cache of 10,000 entries
BATCH = 100  # keys per get_many call
FILL_BATCH = 1_000  # records per batch write in the batch fill
CHUNK = 1_000  # operations between two checks of the time cap
POOL_LEN = 1 << 20

# ---------------------------------------------------------------------------
# Seeded data, the same in every process.


def make_keys(n: int) -> list[str]:
    return [f"k{i:015d}" for i in range(n)]


_POOL: bytes | None = None


def pool() -> bytes:
    global _POOL
    if _POOL is None:
        _POOL = random.Random(SEED).randbytes(POOL_LEN + LARGE_LEN)
    return _POOL


def value(i: int, gen: int, length: int = VAL_LEN) -> bytes:
    """The value of record i in generation gen (0: fill, 1: overwrite, ...)."""
    o = (i * 7919 + gen * 104729) % POOL_LEN
    return pool()[o:o + length]


def make_values(indices: Iterable[int], gen: int, length: int = VAL_LEN) -> list[bytes]:
    p = pool()
    out = []
    for i in indices:
        o = (i * 7919 + gen * 104729) % POOL_LEN
        out.append(p[o:o + length])
    return out


def rng_for(name: str) -> random.Random:
    return random.Random(f"{SEED}:{name}")


# ---------------------------------------------------------------------------
# Stores. Each adapter runs its operations in tight loops over a chunk of
# prepared arguments, in the store's natural one-call-per-operation mode.


class Store:
    name = ""
    bytes_keys = True
    persistent = True
    module = ""

    def __init__(self) -> None:
        # Imported here, so that no import lands inside a timed section.
        import importlib

        self.mod = importlib.import_module(self.module)

    def open(self, path: Path) -> None:
        raise NotImplementedError

    def close(self) -> None:
        raise NotImplementedError

    def bulk_put(self, keys: Sequence[Any], vals: Sequence[bytes]) -> None:
        """Untimed loading: the store's fastest way to add many records."""
        self.put(keys, vals)

    def begin(self, write: bool) -> None:
        """Called inside the timed section before a run of chunks."""

    def end(self) -> None:
        """Called inside the timed section after a run of chunks."""

    def put(self, keys: Sequence[Any], vals: Sequence[bytes]) -> None:
        raise NotImplementedError

    def put_batch(self, pairs: list[tuple[Any, bytes]]) -> None:
        """One batch write of (key, value) pairs, the store's own batch call."""
        raise NotImplementedError

    def get(self, keys: Sequence[Any]) -> None:
        raise NotImplementedError

    def get_one(self, key: Any) -> bytes | None:
        raise NotImplementedError

    def get_many(self, batches: Sequence[list[Any]]) -> None:
        raise NotImplementedError

    def delete(self, keys: Sequence[Any]) -> None:
        raise NotImplementedError

    def iter_keys(self) -> Iterator[Any]:
        """Every key, in the store's own listing call."""
        raise NotImplementedError

    def prepare_keys(self, keys: list[str]) -> list[Any]:
        return [k.encode() for k in keys] if self.bytes_keys else keys


class MarrowStore(Store):
    name = "marrow"
    bytes_keys = False
    module = "marrow"

    def __init__(self) -> None:
        super().__init__()
        import marrow._core

        self.core_type = marrow._core.StoreCore

    def open(self, path: Path) -> None:
        self.core = self.core_type(str(path))  # set_many; .raw for everything else
        self.db = self.core.raw

    def close(self) -> None:
        del self.db, self.core  # flushes the log buffer and closes the files

    def put(self, keys: Sequence[Any], vals: Sequence[bytes]) -> None:
        put = self.db.set_bytes
        for k, v in zip(keys, vals):
            put(k, v)

    def put_batch(self, pairs: list[tuple[Any, bytes]]) -> None:
        self.core.set_many(pairs)

    def get(self, keys: Sequence[Any]) -> None:
        get = self.db.get_bytes
        for k in keys:
            get(k)

    def get_one(self, key: Any) -> bytes | None:
        return self.db.get_bytes(key)

    def get_many(self, batches: Sequence[list[Any]]) -> None:
        get_many = self.db.get_many
        for b in batches:
            get_many(b)

    def delete(self, keys: Sequence[Any]) -> None:
        delete = self.db.delete
        for k in keys:
            delete(k)

    def iter_keys(self) -> Iterator[Any]:
        return iter(self.db.keys())  # one call builds the whole list


class LmdbStore(Store):
    """One transaction per operation, without syncs (LMDB's per-op mode)."""

    name = "lmdb"
    module = "lmdb"

    def open(self, path: Path) -> None:
        path.mkdir(parents=True, exist_ok=True)
        self.env = self.mod.open(str(path), map_size=1 << 37, sync=False, metasync=False)

    def close(self) -> None:
        self.env.close()

    def bulk_put(self, keys: Sequence[Any], vals: Sequence[bytes]) -> None:
        with self.env.begin(write=True) as txn:
            for k, v in zip(keys, vals):
                txn.put(k, v)

    def put(self, keys: Sequence[Any], vals: Sequence[bytes]) -> None:
        begin = self.env.begin
        for k, v in zip(keys, vals):
            txn = begin(write=True)
            txn.put(k, v)
            txn.commit()

    def put_batch(self, pairs: list[tuple[Any, bytes]]) -> None:
        with self.env.begin(write=True) as txn:  # one write transaction per batch
            txn.cursor().putmulti(pairs)

    def get(self, keys: Sequence[Any]) -> None:
        begin = self.env.begin
        for k in keys:
            txn = begin()
            txn.get(k)
            txn.abort()

    def get_one(self, key: Any) -> bytes | None:
        with self.env.begin() as txn:
            return txn.get(key)

    def get_many(self, batches: Sequence[list[Any]]) -> None:
        begin = self.env.begin
        for b in batches:
            txn = begin()
            txn.cursor().getmulti(b)
            txn.abort()

    def delete(self, keys: Sequence[Any]) -> None:
        begin = self.env.begin
        for k in keys:
            txn = begin(write=True)
            txn.delete(k)
            txn.commit()

    def iter_keys(self) -> Iterator[Any]:
        self.read_txn = self.env.begin()
        return self.read_txn.cursor().iternext(keys=True, values=False)


class LmdbOneTxnStore(LmdbStore):
    """LMDB's best case: the whole workload in one transaction."""

    name = "lmdb-1txn"

    def begin(self, write: bool) -> None:
        self.txn = self.env.begin(write=write)

    def end(self) -> None:
        self.txn.commit()
        del self.txn

    def put(self, keys: Sequence[Any], vals: Sequence[bytes]) -> None:
        put = self.txn.put
        for k, v in zip(keys, vals):
            put(k, v)

    def put_batch(self, pairs: list[tuple[Any, bytes]]) -> None:
        put = self.txn.put  # batches are no different inside the one transaction
        for k, v in pairs:
            put(k, v)

    def get(self, keys: Sequence[Any]) -> None:
        get = self.txn.get
        for k in keys:
            get(k)

    def get_many(self, batches: Sequence[list[Any]]) -> None:
        getmulti = self.txn.cursor().getmulti
        for b in batches:
            getmulti(b)

    def delete(self, keys: Sequence[Any]) -> None:
        delete = self.txn.delete
        for k in keys:
            delete(k)


class RocksStore(Store):
    name = "rocksdict"
    module = "rocksdict"

    def open(self, path: Path) -> None:
        self.db = self.mod.Rdict(str(path), options=self.mod.Options(raw_mode=True))

    def close(self) -> None:
        self.db.close()

    def put(self, keys: Sequence[Any], vals: Sequence[bytes]) -> None:
        put = self.db.put
        for k, v in zip(keys, vals):
            put(k, v)

    def put_batch(self, pairs: list[tuple[Any, bytes]]) -> None:
        wb = self.mod.WriteBatch(raw_mode=True)
        put = wb.put
        for k, v in pairs:
            put(k, v)
        self.db.write(wb)

    def get(self, keys: Sequence[Any]) -> None:
        get = self.db.get
        for k in keys:
            get(k)

    def get_one(self, key: Any) -> bytes | None:
        return self.db.get(key)

    def get_many(self, batches: Sequence[list[Any]]) -> None:
        get = self.db.get  # a list of keys is one multi-get
        for b in batches:
            get(b)

    def delete(self, keys: Sequence[Any]) -> None:
        delete = self.db.delete
        for k in keys:
            delete(k)

    def iter_keys(self) -> Iterator[Any]:
        return iter(self.db.keys())


class PlyvelStore(Store):
    name = "plyvel"
    module = "plyvel"

    def open(self, path: Path) -> None:
        self.db = self.mod.DB(str(path), create_if_missing=True)

    def close(self) -> None:
        self.db.close()

    def put(self, keys: Sequence[Any], vals: Sequence[bytes]) -> None:
        put = self.db.put
        for k, v in zip(keys, vals):
            put(k, v)

    def put_batch(self, pairs: list[tuple[Any, bytes]]) -> None:
        with self.db.write_batch() as wb:
            put = wb.put
            for k, v in pairs:
                put(k, v)

    def get(self, keys: Sequence[Any]) -> None:
        get = self.db.get
        for k in keys:
            get(k)

    def get_one(self, key: Any) -> bytes | None:
        return self.db.get(key)

    def get_many(self, batches: Sequence[list[Any]]) -> None:
        get = self.db.get  # LevelDB has no multi-get
        for b in batches:
            [get(k) for k in b]

    def delete(self, keys: Sequence[Any]) -> None:
        delete = self.db.delete
        for k in keys:
            delete(k)

    def iter_keys(self) -> Iterator[Any]:
        return self.db.iterator(include_value=False)


class SqliteStore(Store):
    """A key-value table: WAL, synchronous=NORMAL, autocommit per statement."""

    name = "sqlite3"
    bytes_keys = False
    module = "sqlite3"

    def open(self, path: Path) -> None:
        path.mkdir(parents=True, exist_ok=True)
        self.con = self.mod.connect(str(path / "kv.sqlite"), isolation_level=None)
        self.con.execute("PRAGMA journal_mode=WAL")
        self.con.execute("PRAGMA synchronous=NORMAL")
        self.con.execute(
            "CREATE TABLE IF NOT EXISTS kv (k TEXT PRIMARY KEY NOT NULL, v BLOB NOT NULL)"
            " WITHOUT ROWID")

    def close(self) -> None:
        self.con.close()

    def bulk_put(self, keys: Sequence[Any], vals: Sequence[bytes]) -> None:
        self.con.execute("BEGIN")
        self.put(keys, vals)
        self.con.execute("COMMIT")

    def put(self, keys: Sequence[Any], vals: Sequence[bytes]) -> None:
        ex = self.con.execute
        q = "INSERT OR REPLACE INTO kv (k, v) VALUES (?, ?)"
        for k, v in zip(keys, vals):
            ex(q, (k, v))

    def put_batch(self, pairs: list[tuple[Any, bytes]]) -> None:
        self.con.execute("BEGIN")  # one transaction per batch
        self.con.executemany("INSERT OR REPLACE INTO kv (k, v) VALUES (?, ?)", pairs)
        self.con.execute("COMMIT")

    def get(self, keys: Sequence[Any]) -> None:
        ex = self.con.execute
        q = "SELECT v FROM kv WHERE k = ?"
        for k in keys:
            ex(q, (k,)).fetchone()

    def get_one(self, key: Any) -> bytes | None:
        row = self.con.execute("SELECT v FROM kv WHERE k = ?", (key,)).fetchone()
        return None if row is None else row[0]

    def get_many(self, batches: Sequence[list[Any]]) -> None:
        ex = self.con.execute
        queries: dict[int, str] = {}
        for b in batches:
            q = queries.get(len(b))
            if q is None:
                q = queries[len(b)] = (
                    "SELECT k, v FROM kv WHERE k IN (" + ",".join("?" * len(b)) + ")")
            rows = dict(ex(q, b).fetchall())
            [rows.get(k) for k in b]

    def delete(self, keys: Sequence[Any]) -> None:
        ex = self.con.execute
        q = "DELETE FROM kv WHERE k = ?"
        for k in keys:
            ex(q, (k,))

    def iter_keys(self) -> Iterator[Any]:
        return map(operator.itemgetter(0), self.con.execute("SELECT k FROM kv"))


class DiskcacheStore(Store):
    name = "diskcache"
    bytes_keys = False
    module = "diskcache"

    def open(self, path: Path) -> None:
        # No size limit: a store, not a cache that culls (the default is 1 GB).
        self.cache = self.mod.Cache(str(path), size_limit=1 << 40)

    def close(self) -> None:
        self.cache.close()

    def bulk_put(self, keys: Sequence[Any], vals: Sequence[bytes]) -> None:
        with self.cache.transact():
            self.put(keys, vals)

    def put(self, keys: Sequence[Any], vals: Sequence[bytes]) -> None:
        put = self.cache.set
        for k, v in zip(keys, vals):
            put(k, v)

    def put_batch(self, pairs: list[tuple[Any, bytes]]) -> None:
        with self.cache.transact():  # one transaction per batch
            put = self.cache.set
            for k, v in pairs:
                put(k, v)

    def get(self, keys: Sequence[Any]) -> None:
        get = self.cache.get
        for k in keys:
            get(k)

    def get_one(self, key: Any) -> bytes | None:
        return self.cache.get(key)

    def get_many(self, batches: Sequence[list[Any]]) -> None:
        get = self.cache.get
        for b in batches:
            [get(k) for k in b]

    def delete(self, keys: Sequence[Any]) -> None:
        delete = self.cache.delete
        for k in keys:
            delete(k)

    def iter_keys(self) -> Iterator[Any]:
        return self.cache.iterkeys()


class DictStore(Store):
    """The in-memory ceiling."""

    name = "dict"
    bytes_keys = False
    persistent = False
    module = "builtins"

    def open(self, path: Path) -> None:
        self.d: dict[Any, bytes] = {}

    def close(self) -> None:
        del self.d

    def put(self, keys: Sequence[Any], vals: Sequence[bytes]) -> None:
        d = self.d
        for k, v in zip(keys, vals):
            d[k] = v

    def put_batch(self, pairs: list[tuple[Any, bytes]]) -> None:
        self.d.update(pairs)

    def get(self, keys: Sequence[Any]) -> None:
        get = self.d.get
        for k in keys:
            get(k)

    def get_one(self, key: Any) -> bytes | None:
        return self.d.get(key)

    def get_many(self, batches: Sequence[list[Any]]) -> None:
        get = self.d.get
        for b in batches:
            [get(k) for k in b]

    def delete(self, keys: Sequence[Any]) -> None:
        d = self.d
        for k in keys:
            del d[k]

    def iter_keys(self) -> Iterator[Any]:
        return iter(self.d)


STORES: dict[str, type[Store]] = {
    s.name: s for s in (MarrowStore, LmdbStore, LmdbOneTxnStore, RocksStore,
                        PlyvelStore, SqliteStore, DiskcacheStore, DictStore)
}
# The peers of the targets: every store but marrow and the in-memory ceiling.
PEERS = [s for s, cls in STORES.items() if cls.persistent and s != "marrow"]

# ---------------------------------------------------------------------------
# Worker side: one (store, workload) in this process.


@dataclass
class Ctx:
    store: Store
    n: int
    large: int
    workdir: Path
    cap: float
    extra: dict[str, Any] = field(default_factory=dict)

    def dir(self, name: str) -> Path:
        return self.workdir / self.store.name / name

    def scratch_copy(self, name: str) -> Path:
        """A private copy of a prepared store directory (copied untimed)."""
        src, dst = self.dir(name), self.dir("scratch")
        shutil.rmtree(dst, ignore_errors=True)
        subprocess.run(["cp", "-a", str(src), str(dst)], check=True)
        os.sync()  # the copy's writeback must not run into the measurement
        return dst

    def source(self) -> str:
        """The prepared directory that read workloads open."""
        return "snap" if self.store.name == "marrow" else "base"


def marrow_db(ctx: Ctx) -> Any:
    """The open Marrow object, for the workloads only marrow has."""
    assert isinstance(ctx.store, MarrowStore)
    return ctx.store.db


def open_and_read(store: Store, path: Path, key: Any) -> None:
    """An open as a program does it: the store is ready once it answers."""
    store.open(path)
    store.get_one(key)


def rss() -> dict[str, int]:
    """Current and peak resident memory of this process, in bytes."""
    out: dict[str, int] = {}
    with open("/proc/self/status") as f:
        for line in f:
            name, _, rest = line.partition(":")
            if name in ("VmRSS", "VmHWM", "RssAnon", "RssFile"):
                out[name] = int(rest.split()[0]) * 1024
    return out


def timed(fn: Callable[[], Any]) -> float:
    gc.collect()
    gc.disable()
    try:
        start = time.perf_counter()
        fn()
        return time.perf_counter() - start
    finally:
        gc.enable()


def run_capped(ctx: Ctx, write: bool, total: int, chunk_fn: Callable[[int, int], None],
               cap: bool = True, chunk: int = CHUNK) -> tuple[int, float]:
    """Runs chunk_fn over [0, total) in chunks of `chunk` until done or the
    time cap; returns (operations done, seconds)."""
    store = ctx.store
    done = 0
    gc.collect()
    gc.disable()
    try:
        start = time.perf_counter()
        store.begin(write)
        deadline = start + ctx.cap if cap else float("inf")
        while done < total:
            hi = min(total, done + chunk)
            chunk_fn(done, hi)
            done = hi
            if time.perf_counter() > deadline:
                break
        store.end()
        return done, time.perf_counter() - start
    finally:
        gc.enable()


def verify(ctx: Ctx, keys: list[Any], indices: Iterable[int], expect: Callable[[int], bytes | None],
           what: str) -> None:
    bad = [i for i in indices if ctx.store.get_one(keys[i]) != expect(i)]
    if bad:
        raise AssertionError(f"{what}: {len(bad)} keys read back wrong, e.g. {keys[bad[0]]!r}")


def open_filled(ctx: Ctx, keys: list[Any], name: str | None = None) -> Path | None:
    """Opens the prepared store (or a private copy); the in-memory store is filled."""
    store = ctx.store
    if not store.persistent:
        store.open(Path())
        store.put(keys, make_values(range(ctx.n), 0))
        return None
    path = ctx.scratch_copy(name) if name else ctx.dir(ctx.source())
    store.open(path)
    return path


def w_fill(ctx: Ctx) -> dict[str, Any]:
    store, n = ctx.store, ctx.n
    keys = store.prepare_keys(make_keys(n))
    vals = make_values(range(n), 0)
    path = ctx.dir("base")
    shutil.rmtree(path, ignore_errors=True)
    path.parent.mkdir(parents=True, exist_ok=True)
    store.open(path)
    done, t = run_capped(ctx, True, n, lambda lo, hi: store.put(keys[lo:hi], vals[lo:hi]))
    store.bulk_put(keys[done:], vals[done:])  # the rest untimed: later workloads need all
    verify(ctx, keys, rng_for("verify").sample(range(n), min(n, 200)),
           lambda i: value(i, 0), "fill")
    store.close()
    return {"value": done / t, "unit": "ops/s", "ops": done, "seconds": t}


def w_batch_fill(ctx: Ctx) -> dict[str, Any]:
    """The fill's records in batches of FILL_BATCH, one batch write each."""
    store, n = ctx.store, ctx.n
    keys = store.prepare_keys(make_keys(n))
    pairs = list(zip(keys, make_values(range(n), 0)))
    batches = [pairs[lo:lo + FILL_BATCH] for lo in range(0, n, FILL_BATCH)]
    path = ctx.dir("scratch")
    shutil.rmtree(path, ignore_errors=True)
    path.parent.mkdir(parents=True, exist_ok=True)
    store.open(path)

    def write(lo: int, hi: int) -> None:
        for b in batches[lo:hi]:
            store.put_batch(b)

    done, t = run_capped(ctx, True, len(batches), write, chunk=max(1, 10_000 // FILL_BATCH))
    written = sum(len(b) for b in batches[:done])
    verify(ctx, keys, rng_for("verify").sample(range(written), min(written, 200)),
           lambda i: value(i, 0), "batch fill")
    store.close()
    return {"value": written / t, "unit": "keys/s", "ops": written, "seconds": t}


def w_persist(ctx: Ctx) -> dict[str, Any]:
    """marrow: persist() of n index entries; the result becomes the 'snap' store."""
    store = ctx.store
    path = ctx.scratch_copy("base")
    store.open(path)  # replays the fill's log
    t = timed(marrow_db(ctx).persist)
    store.close()
    snap = ctx.dir("snap")
    if not os.environ.get("LD_PRELOAD"):
        shutil.rmtree(snap, ignore_errors=True)
        path.rename(snap)
    return {"value": ctx.n / t, "unit": "entries/s", "seconds": t}


def w_reopen(ctx: Ctx) -> dict[str, Any]:
    """Open a prepared store and read one key (marrow: from its snapshot)."""
    store = ctx.store
    path = ctx.scratch_copy(ctx.source())
    key = store.prepare_keys(make_keys(1))[0]
    t = timed(lambda: open_and_read(store, path, key))
    store.close()
    return {"value": ctx.n / t, "unit": "entries/s", "seconds": t}


def w_replay(ctx: Ctx) -> dict[str, Any]:
    """marrow: open a store whose log holds the n records of the fill."""
    store = ctx.store
    path = ctx.scratch_copy("base")
    wal = (path / "wal.bin").stat().st_size
    key = make_keys(1)[0]
    t = timed(lambda: open_and_read(store, path, key))
    keys = make_keys(ctx.n)
    verify(ctx, keys, rng_for("verify").sample(range(ctx.n), min(ctx.n, 200)),
           lambda i: value(i, 0), "replay")
    store.close()
    return {"value": ctx.n / t, "unit": "records/s", "seconds": t, "wal_bytes": wal}


def w_overwrite(ctx: Ctx) -> dict[str, Any]:
    store, n = ctx.store, ctx.n
    keys = store.prepare_keys(make_keys(n))
    picks = rng_for("overwrite").choices(range(n), k=n)
    pk = [keys[i] for i in picks]
    pv = make_values(picks, 1)
    open_filled(ctx, keys, ctx.source())
    done, t = run_capped(ctx, True, n, lambda lo, hi: store.put(pk[lo:hi], pv[lo:hi]))
    touched = set(picks[:done])
    verify(ctx, keys, rng_for("verify").sample(sorted(touched), min(len(touched), 200)),
           lambda i: value(i, 1), "overwrite")
    store.close()
    return {"value": done / t, "unit": "ops/s", "ops": done, "seconds": t}


def w_delete(ctx: Ctx) -> dict[str, Any]:
    store, n = ctx.store, ctx.n
    keys = store.prepare_keys(make_keys(n))
    picks = rng_for("delete").sample(range(n), n // 10)
    pk = [keys[i] for i in picks]
    open_filled(ctx, keys, ctx.source())
    done, t = run_capped(ctx, True, len(pk), lambda lo, hi: store.delete(pk[lo:hi]))
    verify(ctx, keys, picks[:min(done, 200)], lambda i: None, "delete")
    store.close()
    return {"value": done / t, "unit": "ops/s", "ops": done, "seconds": t}


def _reads(ctx: Ctx, picks: list[int], warm: list[int] | None) -> dict[str, Any]:
    store, n = ctx.store, ctx.n
    keys = store.prepare_keys(make_keys(n))
    pk = [keys[i] for i in picks]
    open_filled(ctx, keys)
    if warm:
        store.begin(False)
        store.get([keys[i] for i in warm])
        store.end()
    done, t = run_capped(ctx, False, len(pk), lambda lo, hi: store.get(pk[lo:hi]))
    verify(ctx, keys, picks[:200], lambda i: value(i, 0), "get")
    store.close()
    return {"value": done / t, "unit": "ops/s", "ops": done, "seconds": t}


def w_hot_get(ctx: Ctx) -> dict[str, Any]:
    rng = rng_for("hot")
    hot = rng.sample(range(ctx.n), min(HOT_KEYS, ctx.n))
    return _reads(ctx, rng.choices(hot, k=ctx.n), hot)


def w_cold_get(ctx: Ctx) -> dict[str, Any]:
    return _reads(ctx, rng_for("cold").choices(range(ctx.n), k=ctx.n), None)


def w_get_many(ctx: Ctx) -> dict[str, Any]:
    store, n = ctx.store, ctx.n
    keys = store.prepare_keys(make_keys(n))
    picks = rng_for("get_many").choices(range(n), k=n)
    batches = [[keys[i] for i in picks[lo:lo + BATCH]] for lo in range(0, n, BATCH)]
    open_filled(ctx, keys)
    done, t = run_capped(ctx, False, len(batches),
                         lambda lo, hi: store.get_many(batches[lo:hi]))
    keys_done = sum(len(b) for b in batches[:done])
    store.close()
    return {"value": keys_done / t, "unit": "keys/s", "ops": keys_done, "seconds": t}


def w_keys(ctx: Ctx) -> dict[str, Any]:
    store = ctx.store
    keys = store.prepare_keys(make_keys(ctx.n))
    open_filled(ctx, keys)
    listed: list[Any] = []
    gc.collect()
    gc.disable()
    start = time.perf_counter()
    deadline = start + ctx.cap
    it = store.iter_keys()
    while True:
        before = len(listed)
        listed.extend(itertools.islice(it, CHUNK * 10))
        if len(listed) == before or time.perf_counter() > deadline:
            break
    t = time.perf_counter() - start
    gc.enable()
    if len(listed) != ctx.n and t <= ctx.cap:
        raise AssertionError(f"keys() listed {len(listed)} keys, expected {ctx.n}")
    del it
    store.close()
    return {"value": len(listed) / t, "unit": "keys/s", "ops": len(listed), "seconds": t}


def w_vacuum(ctx: Ctx) -> dict[str, Any]:
    """marrow: vacuum() after half the keys were overwritten."""
    store, n = ctx.store, ctx.n
    keys = make_keys(n)
    half = rng_for("vacuum").sample(range(n), n // 2)
    path = ctx.scratch_copy("snap")
    store.open(path)
    store.put([keys[i] for i in half], make_values(half, 2))
    before = sum(p.stat().st_size for p in path.iterdir())
    t = timed(marrow_db(ctx).vacuum)
    after = sum(p.stat().st_size for p in path.iterdir())
    hs = set(half)
    verify(ctx, keys, range(0, n, max(1, n // 200)),
           lambda i: value(i, 2 if i in hs else 0), "vacuum")
    store.close()
    return {"value": n / t, "unit": "live records/s", "seconds": t,
            "bytes_before": before, "bytes_after": after}


def _memory(ctx: Ctx, fn: Callable[[], Any], held: list[int] | None = None) -> dict[str, Any]:
    """Memory per key that fn adds; held[0] is the number of keys it loaded."""
    gc.collect()
    before = rss()
    fn()
    gc.collect()
    after = rss()
    n = held[0] if held else ctx.n
    return {
        "keys": n,
        "value": (after["VmRSS"] - before["VmRSS"]) / n,
        "unit": "bytes/key",
        "anon": (after["RssAnon"] - before["RssAnon"]) / n,
        "peak": (after["VmHWM"] - before["VmRSS"]) / n,
    }


def w_mem_fill(ctx: Ctx) -> dict[str, Any]:
    """Resident memory per key after a fill, keys and values made on the fly."""
    store, n = ctx.store, ctx.n
    p = pool()
    path = ctx.dir("scratch")
    shutil.rmtree(path, ignore_errors=True)
    path.parent.mkdir(parents=True, exist_ok=True)
    enc = store.bytes_keys

    held = [n]

    def fill() -> None:
        store.open(path)
        deadline = time.perf_counter() + 5 * ctx.cap
        for lo in range(0, n, CHUNK):
            if time.perf_counter() > deadline:
                held[0] = lo
                break
            idx = range(lo, min(n, lo + CHUNK))
            names = [f"k{i:015d}" for i in idx]
            ks: list[Any] = [k.encode() for k in names] if enc else names
            vs = [p[(i * 7919) % POOL_LEN:(i * 7919) % POOL_LEN + VAL_LEN] for i in idx]
            store.bulk_put(ks, vs)
            del names, ks, vs

    result = _memory(ctx, fill, held)
    store.close()
    return result


def w_mem_reopen(ctx: Ctx) -> dict[str, Any]:
    """Resident memory per key after opening the prepared store."""
    store = ctx.store
    key = store.prepare_keys(make_keys(1))[0]
    path = ctx.dir(ctx.source())
    result = _memory(ctx, lambda: open_and_read(store, path, key))
    store.close()
    return result


def w_mem_replay(ctx: Ctx) -> dict[str, Any]:
    """marrow: resident memory per key after an open that replays the log."""
    store = ctx.store
    path = ctx.scratch_copy("base")
    result = _memory(ctx, lambda: store.open(path))
    store.close()
    return result


def w_large_write(ctx: Ctx) -> dict[str, Any]:
    store, count = ctx.store, ctx.large
    keys = store.prepare_keys([f"L{i:015d}" for i in range(count)])
    vals = make_values(range(count), 0, LARGE_LEN)
    path = ctx.dir("large")
    shutil.rmtree(path, ignore_errors=True)
    path.parent.mkdir(parents=True, exist_ok=True)
    store.open(path)
    done, t = run_capped(ctx, True, count,
                         lambda lo, hi: store.put(keys[lo:hi], vals[lo:hi]))
    store.bulk_put(keys[done:], vals[done:])
    if store.name == "marrow":
        marrow_db(ctx).persist()  # so that later opens read a snapshot, not 1 GB of log
    store.close()
    return {"value": done * LARGE_LEN / t / 1e6, "unit": "MB/s", "ops": done, "seconds": t}


def w_large_read(ctx: Ctx) -> dict[str, Any]:
    store, count = ctx.store, ctx.large
    keys = store.prepare_keys([f"L{i:015d}" for i in range(count)])
    picks = rng_for("large").sample(range(count), count)
    pk = [keys[i] for i in picks]
    store.open(ctx.dir("large"))
    done, t = run_capped(ctx, False, count, lambda lo, hi: store.get(pk[lo:hi]))
    verify(ctx, keys, picks[:20], lambda i: value(i, 0, LARGE_LEN), "large read")
    store.close()
    return {"value": done * LARGE_LEN / t / 1e6, "unit": "MB/s", "ops": done, "seconds": t}


def w_large_vacuum(ctx: Ctx) -> dict[str, Any]:
    """marrow: vacuum() of large values after half were overwritten, against
    cp of a file holding the live bytes."""
    store, count = ctx.store, ctx.large
    keys = [f"L{i:015d}" for i in range(count)]
    half = rng_for("large-vacuum").sample(range(count), count // 2)
    path = ctx.scratch_copy("large")
    store.open(path)
    store.put([keys[i] for i in half], make_values(half, 1, LARGE_LEN))
    t = timed(marrow_db(ctx).vacuum)
    store.close()
    shutil.rmtree(path)
    # The live bytes as one file, then cp of it (both in the page cache).
    live = ctx.dir("cp-src")
    with open(live, "wb") as f:
        chunk = pool()[:LARGE_LEN]
        for _ in range(count):
            f.write(chunk)
    dst = ctx.dir("cp-dst")
    cp_t = timed(lambda: subprocess.run(["cp", str(live), str(dst)], check=True))
    live.unlink()
    dst.unlink()
    mb = count * LARGE_LEN / 1e6
    return {"value": mb / t, "unit": "MB/s", "seconds": t, "cp_seconds": cp_t,
            "cp_mb_per_s": mb / cp_t}


WORKLOADS: dict[str, Callable[[Ctx], dict[str, Any]]] = {
    "fill": w_fill,
    "batch-fill": w_batch_fill,
    "persist": w_persist,
    "persist-nofsync": w_persist,
    "reopen": w_reopen,
    "replay": w_replay,
    "overwrite": w_overwrite,
    "hot-get": w_hot_get,
    "cold-get": w_cold_get,
    "get-many": w_get_many,
    "delete": w_delete,
    "keys": w_keys,
    "vacuum": w_vacuum,
    "vacuum-nofsync": w_vacuum,
    "mem-fill": w_mem_fill,
    "mem-reopen": w_mem_reopen,
    "mem-replay": w_mem_replay,
    "large-write": w_large_write,
    "large-read": w_large_read,
    "large-vacuum": w_large_vacuum,
    "large-vacuum-nofsync": w_large_vacuum,
}
MARROW_ONLY = {"persist", "persist-nofsync", "replay", "vacuum", "vacuum-nofsync",
               "mem-replay", "large-vacuum", "large-vacuum-nofsync"}
NOT_FOR_DICT = {"reopen", "mem-reopen", "large-write", "large-read"}  # no I/O to measure
# Run order: later workloads use the directories that earlier ones leave.
ORDER = ["fill", "batch-fill", "persist", "persist-nofsync", "reopen", "replay", "overwrite",
         "hot-get", "cold-get", "get-many", "delete", "keys", "vacuum", "vacuum-nofsync",
         "mem-fill", "mem-reopen", "mem-replay", "large-write", "large-read",
         "large-vacuum", "large-vacuum-nofsync"]
NEEDS = {"persist": "fill", "large-read": "large-write", "large-vacuum": "large-write",
         "large-vacuum-nofsync": "large-write"}
NOFSYNC = {"persist-nofsync", "vacuum-nofsync", "large-vacuum-nofsync"}
# Cells that are another cell of the same store, not run again: lmdb-1txn's
# fill is already the whole load in one transaction.
SAME_AS = {("lmdb-1txn", "batch-fill"): "fill"}


def worker_main(args: argparse.Namespace) -> int:
    store_name, workload = args.worker
    ctx = Ctx(STORES[store_name](), args.n, args.large, Path(args.workdir), args.cap)
    try:
        result = WORKLOADS[workload](ctx)
    finally:
        shutil.rmtree(ctx.dir("scratch"), ignore_errors=True)
    print("RESULT " + json.dumps(result), flush=True)
    return 0


# ---------------------------------------------------------------------------
# Orchestrator side.


def available_stores() -> list[str]:
    import importlib

    names = []
    for name, cls in STORES.items():
        try:
            importlib.import_module(cls.module)
            names.append(name)
        except ImportError:
            print(f"note: {name} is not installed; skipped", file=sys.stderr)
    return names


def eatmydata() -> str | None:
    found = glob.glob("/usr/lib/*/libeatmydata.so*") + glob.glob("/usr/lib/libeatmydata.so*")
    return found[0] if found else None


def build_floor(floor: Path) -> Path:
    src = HERE / "floor.c"
    if not floor.exists() or floor.stat().st_mtime < src.stat().st_mtime:
        floor.parent.mkdir(parents=True, exist_ok=True)
        subprocess.run(["cc", "-O2", "-Wall", "-Wextra", "-Werror", "-o", str(floor), str(src)],
                       check=True)
    return floor


def run_floors(floor: Path, workdir: Path, n: int, large: int) -> dict[str, dict[str, Any]]:
    d = workdir / "floor"
    d.mkdir(parents=True, exist_ok=True)

    def run(*argv: object) -> dict[str, Any]:
        out = subprocess.run([str(floor), *map(str, argv)], check=True,
                             capture_output=True, text=True).stdout
        return json.loads(out)

    res = {
        "fill": run("write", d, n, 16, VAL_LEN),
        "cold-get": run("read", d, n, 16, VAL_LEN, n),
        "large-write": run("write", d, large, 16, LARGE_LEN),
        "large-read": run("read", d, large, 16, LARGE_LEN, large),
    }
    shutil.rmtree(d)
    out = {k: {"value": v["ops_per_s"], "unit": "ops/s"} for k, v in res.items()}
    for k in ("large-write", "large-read"):
        out[k] = {"value": res[k]["mb_per_s"], "unit": "MB/s"}
    # The write floor is the same two pwrites for overwrite and delete.
    out["overwrite"] = out["delete"] = out["fill"]
    return out


def run_worker(store: str, workload: str, args: argparse.Namespace,
               workdir: Path, env: dict[str, str]) -> dict[str, Any]:
    cmd = [sys.executable, str(Path(__file__).resolve()), "--worker", store, workload,
           "--n", str(args.n), "--large", str(args.large), "--workdir", str(workdir),
           "--cap", str(args.cap)]
    # Dirty pages of earlier cells are written back first: on a small machine
    # their writeback takes a core and delays the fsyncs of the next cell.
    os.sync()
    start = time.perf_counter()
    proc = subprocess.run(cmd, capture_output=True, text=True, env=env, timeout=1800)
    wall = time.perf_counter() - start
    for line in reversed(proc.stdout.splitlines()):
        if line.startswith("RESULT "):
            result = json.loads(line[len("RESULT "):])
            result["wall"] = wall
            return result
    tail = (proc.stderr.strip().splitlines() or ["no output"])[-1]
    return {"error": tail, "wall": wall}


def fmt(v: float, unit: str) -> str:
    if unit == "bytes/key":
        return f"{v:,.1f}"
    if unit == "MB/s":
        return f"{v:,.0f}"
    if v >= 1e6:
        return f"{v / 1e6:,.2f} M"
    if v >= 1e3:
        return f"{v / 1e3:,.1f} k"
    return f"{v:,.1f}"


def machine_info(stores: list[str]) -> list[str]:
    import importlib.metadata as md
    import sqlite3

    cpu = "unknown"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    mem = "unknown"
    try:
        with open("/proc/meminfo") as f:
            mem = f"{int(f.readline().split()[1]) / 1024 / 1024:.0f} GiB"
    except OSError:
        pass
    versions = []
    for dist in ("marrow", "lmdb", "rocksdict", "plyvel", "diskcache", "matplotlib"):
        try:
            versions.append(f"{dist} {md.version(dist)}")
        except md.PackageNotFoundError:
            pass
    versions.append(f"sqlite {sqlite3.sqlite_version}")
    try:
        commit = subprocess.run(["git", "-C", str(REPO), "describe", "--always", "--dirty"],
                                capture_output=True, text=True, check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        commit = "unknown"
    return [
        f"- CPU: {cpu}, {os.cpu_count()} cores, {mem} memory",
        f"- Kernel: {platform.system()} {platform.release()}",
        f"- Python: {platform.python_implementation()} {platform.python_version()}",
        f"- Packages: {', '.join(versions)}",
        f"- marrow commit: {commit}",
        "- Load average at the end (1, 5, 15 min): "
        + ", ".join(f"{x:.1f}" for x in os.getloadavg())
        + f" on {os.cpu_count()} cores (other work on the machine moves every figure)",
        f"- Date: {datetime.datetime.now().astimezone().strftime('%Y-%m-%d %H:%M %Z')}",
    ]


ROWS = [  # (workload, label, higher is better)
    ("fill", "sequential fill, one put per call (ops/s)", True),
    ("batch-fill", f"batch fill, {FILL_BATCH:,} records per batch (keys/s)", True),
    ("overwrite", "random overwrite (ops/s)", True),
    ("delete", "random delete of 10% (ops/s)", True),
    ("hot-get", f"hot reads, {HOT_KEYS:,} keys (ops/s)", True),
    ("cold-get", "random reads, all keys (ops/s)", True),
    ("get-many", f"get_many, batches of {BATCH} (keys/s)", True),
    ("keys", "keys() (keys/s)", True),
    ("reopen", "reopen (entries/s)", True),
    ("large-write", "100 KiB writes (MB/s)", True),
    ("large-read", "100 KiB reads (MB/s)", True),
    ("mem-fill", "RSS after fill (bytes/key)", False),
    ("mem-reopen", "RSS after reopen (bytes/key)", False),
]


def best_peer(results: dict[tuple[str, str], dict[str, Any]], workload: str,
              peers: list[str]) -> tuple[str, float] | None:
    vals = [(p, results[(p, workload)]["value"]) for p in peers
            if "value" in results.get((p, workload), {})]
    return max(vals, key=lambda x: x[1]) if vals else None


MEM_GOAL = 80  # bytes of anonymous memory per live key


@dataclass
class Target:
    """One row of the targets table; score is the measured figure over the
    required one (met at 1 or more), None for a figure shown for reference."""

    text: str
    measured: str
    score: float | None = None

    @property
    def met(self) -> str:
        return "-" if self.score is None else ("yes" if self.score >= 1 else "**no**")


def targets(results: dict[tuple[str, str], dict[str, Any]],
            floors: dict[str, dict[str, Any]]) -> list[Target]:
    """The round's targets, each from this run's figures."""
    rows: list[Target] = []

    def fig(store: str, w: str) -> float | None:
        if store == "floor":
            return floors.get(w, {}).get("value")
        return results.get((store, w), {}).get("value")

    def ratio(w: str, what: str, other: str, need: float | None, shown: str = "") -> None:
        """marrow's w over other's w, against a required ratio."""
        mv, ov = fig("marrow", w), fig(other, w)
        if mv and ov:
            r = mv / ov
            unit = results[("marrow", w)]["unit"]
            goal = f">= {need:g}x " if need else "vs "
            rows.append(Target(f"{what}: {goal}{shown or other}",
                               f"{r:.2f}x ({fmt(mv, unit)} vs {fmt(ov, unit)} {unit})",
                               r / need if need else None))

    def absolute(w: str, what: str, need: float | None) -> None:
        mv = fig("marrow", w)
        if mv is not None:
            unit = results[("marrow", w)]["unit"]
            goal = f" >= {need / 1e6:g} M {unit}" if need else ""
            rows.append(Target(f"{what}{goal}", f"{mv / 1e6:.2f} M {unit}",
                               mv / need if need else None))

    fill = "fill, one set_bytes per put"
    ratio("fill", fill, "floor", 0.8, "two-pwrite floor")
    ratio("fill", fill, "plyvel", 1.2)
    ratio("overwrite", "random overwrite", "floor", 0.7, "two-pwrite floor")
    cold = "cold get_bytes, random over all keys"
    ratio("cold-get", cold, "floor", 0.85, "two-pread floor")
    ratio("cold-get", cold, "rocksdict", 1.3)
    ratio("cold-get", cold, "plyvel", 1.3)
    many = f"get_many, batches of {BATCH}, per key"
    ratio("get-many", many, "lmdb", 1.5, "lmdb getmulti (a read transaction per batch)")
    ratio("get-many", many, "lmdb-1txn", None, "lmdb-1txn getmulti")
    batch = f"batch fill ({FILL_BATCH:,} per set_many), per key"
    ratio("batch-fill", batch, "lmdb-1txn", 1.5, "lmdb-1txn fill (one transaction)")
    ratio("batch-fill", batch, "plyvel", 3, "plyvel write_batch")
    mv, bp = fig("marrow", "hot-get"), best_peer(results, "hot-get", PEERS)
    if mv and bp:
        r = mv / bp[1]
        rows.append(Target("hot reads: >= 2x every peer", f"{r:.2f}x {bp[0]} (the fastest)",
                           r / 2))
    absolute("keys", "keys()", 5e6)
    absolute("reopen", "reopen from snapshot", 10e6)
    absolute("vacuum", "vacuum(), small records", 1.5e6)
    for w in ("mem-fill", "mem-reopen"):
        mem = results.get(("marrow", w), {})
        if "value" in mem:
            rows.append(Target(f"{w}: <= {MEM_GOAL} bytes per live key (anonymous memory)",
                               f"{mem['anon']:.1f} B/key (RSS {mem['value']:.1f}, "
                               f"peak {mem['peak']:.1f})", MEM_GOAL / max(mem["anon"], 1e-9)))
    # For reference, no target.
    absolute("persist", "persist() with its fsyncs", None)
    absolute("persist-nofsync", "persist() without fsyncs", None)
    absolute("replay", "log replay", None)
    absolute("vacuum-nofsync", "vacuum() without fsyncs", None)
    for w in ("large-vacuum", "large-vacuum-nofsync"):
        lv = results.get(("marrow", w), {})
        if "value" in lv:
            rows.append(Target(f"{w}: time vs cp of the live bytes",
                               f"{lv['seconds'] / lv['cp_seconds']:.2f}x cp time "
                               f"({lv['value']:,.0f} vs {lv['cp_mb_per_s']:,.0f} MB/s)"))
    return rows


def write_report(out: Path, args: argparse.Namespace, stores: list[str],
                 results: dict[tuple[str, str], dict[str, Any]],
                 floors: dict[str, dict[str, Any]], elapsed: float) -> None:
    peers = [s for s in stores if s != "marrow"]
    lines = ["# marrow benchmark", ""]
    lines.append(f"{args.n:,} keys of 16 bytes with {VAL_LEN}-byte values; {args.large:,} "
                 f"values of 100 KiB. `python bench/bench.py{' --quick' if args.quick else ''}`"
                 f" (`make bench{'-quick' if args.quick else ''}`), {elapsed:.0f} s.")
    lines.append("")
    lines += machine_info(stores)
    lines += ["", "## Throughput", "",
              "Each cell is one fresh process, started after a `sync` so that no cell pays "
              "for the writeback of an earlier one. Peers run one call per operation "
              "(lmdb: one write transaction per put, `sync=False, metasync=False`); "
              "`lmdb-1txn` runs the whole workload in one transaction. A measurement stops "
              f"after {args.cap:g} s of operations (a fill stopped that way loads the rest of "
              "its records untimed, in one transaction where the store has them). "
              "`floor` is two `pwrite` (or `pread`) calls per record from C (the read floor "
              "measured again just before the reads). Cells run workload by workload, every "
              "store in turn, so the figures a ratio compares are minutes apart at most.", "",
              f"The batch fill writes the fill's records {FILL_BATCH:,} to a batch with each "
              "store's own batch write, timed per key: marrow one `StoreCore.set_many` per "
              "batch (one log append and one write per record file), plyvel "
              "`write_batch()`, rocksdict a `WriteBatch`, lmdb one write transaction with "
              "`putmulti`, sqlite3 one transaction with `executemany`, diskcache one "
              "`transact()`, dict `update`. lmdb-1txn's cell is its sequential fill, which "
              "is already the whole load in one transaction.", ""]
    cols = stores + ["floor"]
    lines.append("| workload | " + " | ".join(cols) + " |")
    lines.append("|---|" + "---:|" * len(cols))
    for w, label, _ in ROWS:
        cells = []
        for s in stores:
            r = results.get((s, w))
            if r is None:
                cells.append("")
            elif "error" in r:
                cells.append("error")
            else:
                cells.append(fmt(r["value"], r["unit"]))
        cells.append(fmt(floors[w]["value"], floors[w]["unit"]) if w in floors else "")
        lines.append(f"| {label} | " + " | ".join(cells) + " |")
    lines += ["", "## marrow's ratio to each peer", "",
              "Higher is better for marrow (for memory: the peer's bytes per key over "
              "marrow's).", ""]
    lines.append("| workload | " + " | ".join(peers + ["floor"]) + " |")
    lines.append("|---|" + "---:|" * (len(peers) + 1))
    for w, label, higher in ROWS:
        mv = results.get(("marrow", w), {}).get("value")
        cells = []
        for p in peers:
            pv = results.get((p, w), {}).get("value")
            if mv and pv:
                cells.append(f"{(mv / pv if higher else pv / mv):.2f}x")
            else:
                cells.append("")
        fv = floors.get(w, {}).get("value")
        cells.append(f"{mv / fv:.2f}x" if mv and fv else "")
        lines.append(f"| {label} | " + " | ".join(cells) + " |")
    lines += ["", "## Targets", "",
              "Every ratio is between two figures of this run. The chart's lower panel "
              "shows each target's measured figure over the required one (met at 1 or more).",
              "", "| target | measured | met |", "|---|---|---|"]
    for t in targets(results, floors):
        lines.append(f"| {t.text} | {t.measured} | {t.met} |")
    lines += ["", "## Memory per key", "",
              "Resident memory of a fresh process after the fill or after opening the "
              "filled store, over the number of keys: total RSS (file-backed mapped pages "
              "included), anonymous memory, and the peak.", "",
              "| store | after fill: RSS | anon | peak | after reopen: RSS | anon | peak |",
              "|---|---:|---:|---:|---:|---:|---:|"]
    for s in stores:
        cells = []
        for w in ("mem-fill", "mem-reopen"):
            r = results.get((s, w), {})
            cells += ([f"{r['value']:.1f}", f"{r['anon']:.1f}", f"{r['peak']:.1f}"]
                      if "value" in r else ["", "", ""])
        lines.append(f"| {s} | " + " | ".join(cells) + " |")
    r = results.get(("marrow", "mem-replay"), {})
    if "value" in r:
        lines.append(f"\nmarrow after an open that replays the whole log: RSS "
                     f"{r['value']:.1f}, anon {r['anon']:.1f}, peak {r['peak']:.1f} bytes/key.")
    errors = [(k, v["error"]) for k, v in results.items() if "error" in v]
    if errors:
        lines += ["", "## Errors", ""]
        lines += [f"- {s} {w}: `{e}`" for (s, w), e in errors]
    lines += ["", "![ratios](results.png)", ""]
    out.write_text("\n".join(lines))


def write_chart(path: Path, stores: list[str],
                results: dict[tuple[str, str], dict[str, Any]],
                floors: dict[str, dict[str, Any]], title: str) -> None:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("note: matplotlib is not installed; no chart", file=sys.stderr)
        return
    peers = [s for s in stores if s != "marrow"] + ["floor"]
    rows = [(w, label, higher) for w, label, higher in ROWS
            if "value" in results.get(("marrow", w), {})]
    goals = [t for t in targets(results, floors) if t.score is not None]
    top_h = 0.13 * len(rows) * len(peers) + 1.0
    low_h = 0.3 * len(goals) + 1.0
    fig, (ax, gx) = plt.subplots(2, 1, figsize=(12, top_h + low_h),
                                 gridspec_kw={"height_ratios": [top_h, low_h]})
    height = 0.8 / len(peers)
    cmap = plt.get_cmap("tab10")
    for j, p in enumerate(peers):
        ys, xs = [], []
        for i, (w, _, higher) in enumerate(rows):
            mv = results[("marrow", w)]["value"]
            pv = (floors.get(w, {}) if p == "floor" else results.get((p, w), {})).get("value")
            if pv:
                ys.append(i + (j - (len(peers) - 1) / 2) * height)
                xs.append(mv / pv if higher else pv / mv)
        ax.barh(ys, xs, height=height, label=p, color=cmap(j % 10))
    ax.axvline(1.0, color="black", linewidth=0.8)
    ax.set_xscale("log")
    ax.set_yticks(range(len(rows)))
    ax.set_yticklabels([label for _, label, _ in rows])
    ax.invert_yaxis()
    ax.set_xlabel("marrow's ratio to each peer and to the floor "
                  "(higher is better for marrow; log scale)")
    ax.set_title(title)
    ax.legend(loc="lower right", fontsize="small")
    ax.grid(axis="x", which="both", alpha=0.3)
    if goals:
        scores = [t.score or 0.0 for t in goals]
        gx.barh(range(len(goals)), scores, height=0.6,
                color=["tab:green" if x >= 1 else "tab:red" for x in scores])
        for i, t in enumerate(goals):
            gx.annotate(f" {t.measured.split(' (')[0]}", (scores[i], i), va="center",
                        fontsize="x-small")
        gx.axvline(1.0, color="black", linewidth=0.8)
        gx.set_xscale("log")
        gx.set_xlim(min(0.9, min(scores) / 1.2), max(1.1, max(scores)) * 2)
        plain = matplotlib.ticker.FuncFormatter(lambda x, _: f"{x:g}")
        gx.xaxis.set_major_formatter(plain)
        gx.xaxis.set_minor_formatter(plain)
        gx.tick_params(axis="x", which="minor", labelsize="x-small")
        gx.set_yticks(range(len(goals)))
        gx.set_yticklabels([t.text for t in goals], fontsize="small")
        gx.invert_yaxis()
        gx.set_xlabel("targets: measured over required (met at 1 or more, green; log scale)")
        gx.grid(axis="x", which="both", alpha=0.3)
    else:
        gx.set_visible(False)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="N = 100,000")
    parser.add_argument("--n", type=int, help="number of small keys (default 1,000,000)")
    parser.add_argument("--large", type=int, help="number of 100 KiB values (default N/100)")
    parser.add_argument("--cap", type=float, help="seconds of operations per measurement")
    parser.add_argument("--out", type=Path, default=HERE / "results.md")
    parser.add_argument("--stores", help="comma-separated subset of " + ",".join(STORES))
    parser.add_argument("--workloads", help="comma-separated subset of " + ",".join(ORDER))
    parser.add_argument("--workdir", type=Path, default=REPO / "build" / "bench-work")
    parser.add_argument("--floor", type=Path, default=REPO / "build" / "bench" / "floor")
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
        return worker_main(args)

    started = time.perf_counter()
    stores = available_stores()
    if args.stores:
        wanted = args.stores.split(",")
        stores = [s for s in stores if s in wanted]
    workloads = ORDER
    if args.workloads:
        wanted = set(args.workloads.split(","))
        wanted |= {NEEDS[w] for w in wanted if w in NEEDS}
        wanted.add("fill")
        if "marrow" in stores and wanted & (set(ORDER) - {"fill", "large-write"}):
            wanted.add("persist")  # marrow's read workloads open the persisted store
        workloads = [w for w in ORDER if w in wanted]
    lib = eatmydata()
    workdir: Path = args.workdir
    shutil.rmtree(workdir, ignore_errors=True)
    workdir.mkdir(parents=True)

    results: dict[tuple[str, str], dict[str, Any]] = {}
    try:
        floors: dict[str, dict[str, Any]] = {}

        def measure_floors() -> dict[str, dict[str, Any]]:
            try:
                return run_floors(build_floor(args.floor), workdir, args.n, args.large)
            except (OSError, subprocess.CalledProcessError) as e:
                print(f"note: no raw floors ({e})", file=sys.stderr)
                return {}

        floors = measure_floors()
        if floors:
            print(f"floor: write {fmt(floors['fill']['value'], 'ops/s')} ops/s, "
                  f"read {fmt(floors['cold-get']['value'], 'ops/s')} ops/s", file=sys.stderr)
        # Workload by workload, every store in turn, so that the figures a
        # ratio compares are taken minutes apart at most: a shared machine's
        # speed drifts over a run.
        for w in workloads:
            if w == "cold-get" and floors and (fresh := measure_floors()):
                floors["cold-get"] = fresh["cold-get"]  # next to the reads it is compared with
                print(f"floor: read {fmt(floors['cold-get']['value'], 'ops/s')} ops/s", file=sys.stderr)
            for store in stores:
                if w in MARROW_ONLY and store != "marrow":
                    continue
                if w in NOT_FOR_DICT and store == "dict":
                    continue
                env = dict(os.environ)
                if w in NOFSYNC:
                    if lib is None:
                        continue
                    env["LD_PRELOAD"] = lib
                same = SAME_AS.get((store, w))
                if same and (store, same) in results:
                    r = dict(results[(store, same)], same_as=same, wall=0.0)
                else:
                    r = run_worker(store, w, args, workdir, env)
                results[(store, w)] = r
                shown = (f"error: {r['error']}" if "error" in r
                         else f"{fmt(r['value'], r['unit'])} {r['unit']}")
                print(f"{store:>10} {w:<20} {shown}  [{r['wall']:.1f} s]", file=sys.stderr)
    finally:
        shutil.rmtree(workdir, ignore_errors=True)

    elapsed = time.perf_counter() - started
    args.out.parent.mkdir(parents=True, exist_ok=True)
    write_report(args.out, args, stores, results, floors, elapsed)
    (args.out.with_suffix(".json")).write_text(json.dumps(
        {f"{s}/{w}": r for (s, w), r in results.items()} | {"floors": floors}, indent=1))
    write_chart(args.out.with_suffix(".png"), stores, results, floors,
                f"marrow vs peers, {args.n:,} keys "
                f"({'quick' if args.quick else 'full' if args.n == 1_000_000 else 'custom'} run)")
    print(f"wrote {args.out} and {args.out.with_suffix('.png')} in {elapsed:.0f} s",
          file=sys.stderr)
    return 1 if any("error" in r for r in results.values()) else 0


if __name__ == "__main__":
    sys.exit(main())
