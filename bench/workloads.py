"""The workloads: one function each, run in a worker process on one store.

A workload takes a `Ctx` (the store's adapter, the sizes, the time cap) and
returns its figures as a dict: "value" and "unit" at least. A new workload is
one function here and one `Workload` entry in `WORKLOADS` (which stores run
it, which workloads prepare what it needs, its row in a table); its targets,
if any, go to `targets()` in report.py.
"""
from __future__ import annotations

import functools
import gc
import itertools
import os
import shutil
import subprocess
import threading
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Callable, Iterable

from data import (BATCH, CHUNK, DURABLE_BATCH, DURABLE_CHUNK, DURABLE_OPS, FILL_BATCH,
                  FILL_WARM_BYTES_PER_KEY, HOT_KEYS, HUGE_LEN, LARGE_LEN, MIX_WRITES, POOL_LEN,
                  SMALL_STORE, SYNC_PUTS, THREADS, VAL_LEN,
                  make_keys, make_values, pool, rng_for, value)
from peers import MarrowStore, Store

# ---------------------------------------------------------------------------
# The worker's context and the helpers of the workloads.


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


def marrow(ctx: Ctx) -> MarrowStore:
    """The marrow adapter, for the workloads only marrow has."""
    assert isinstance(ctx.store, MarrowStore)
    return ctx.store


def marrow_db(ctx: Ctx) -> Any:
    """The open Marrow object, for the workloads only marrow has."""
    return marrow(ctx).db


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


def _batch_fill(ctx: Ctx, open_store: Callable[[Path], None],
                put_batch: Callable[[list[tuple[Any, bytes]]], None],
                shuffled: bool = False) -> dict[str, Any]:
    """The fill's records in batches of FILL_BATCH, one batch write each;
    shuffled: in a seeded random order of the keys instead of theirs."""
    store, n = ctx.store, ctx.n
    keys = store.prepare_keys(make_keys(n))
    order = list(range(n))
    if shuffled:
        rng_for("batch-fill-random").shuffle(order)
    vals = make_values(range(n), 0)
    pairs = [(keys[i], vals[i]) for i in order]
    batches = [pairs[lo:lo + FILL_BATCH] for lo in range(0, n, FILL_BATCH)]
    path = ctx.dir("scratch")
    shutil.rmtree(path, ignore_errors=True)
    path.parent.mkdir(parents=True, exist_ok=True)
    warm_free_memory(ctx.workdir, FILL_WARM_BYTES_PER_KEY * n)
    open_store(path)

    def write(lo: int, hi: int) -> None:
        for b in batches[lo:hi]:
            put_batch(b)

    done, t = run_capped(ctx, True, len(batches), write, chunk=max(1, 10_000 // FILL_BATCH))
    written = sum(len(b) for b in batches[:done])
    verify(ctx, keys, rng_for("verify").sample(order[:written], min(written, 200)),
           lambda i: value(i, 0), "batch fill")
    store.close()
    return {"value": written / t, "unit": "keys/s", "ops": written, "seconds": t}


def w_batch_fill(ctx: Ctx) -> dict[str, Any]:
    """Each store's own batch write (marrow: StoreCore.set_many)."""
    return _batch_fill(ctx, ctx.store.open, ctx.store.put_batch)


def w_batch_fill_random(ctx: Ctx) -> dict[str, Any]:
    """The batch fill with the keys in random order."""
    return _batch_fill(ctx, ctx.store.open, ctx.store.put_batch, shuffled=True)


def w_batch_fill_commit(ctx: Ctx) -> dict[str, Any]:
    """marrow: the batch fill through the mapping's batch commit, Store.set_many."""
    m = marrow(ctx)
    return _batch_fill(ctx, m.open_mapping, m.put_batch_commit)


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


def w_mixed(ctx: Ctx) -> dict[str, Any]:
    """Random keys, 90% reads (marrow: store.get) and 10% writes (store[k] = v)."""
    store, n = ctx.store, ctx.n
    keys = store.prepare_keys(make_keys(n))
    rng = rng_for("mixed")
    picks = rng.choices(range(n), k=n)
    writes = [rng.random() < MIX_WRITES for _ in range(n)]
    # Runs of reads and of writes, so that every store pays one call per run.
    runs: list[tuple[list[Any], list[bytes] | None]] = []
    for write, group in itertools.groupby(zip(picks, writes), key=lambda p: p[1]):
        ids = [i for i, _ in group]
        runs.append(([keys[i] for i in ids], make_values(ids, 1) if write else None))
    ends = list(itertools.accumulate(len(r[0]) for r in runs))
    open_filled(ctx, keys, ctx.source())
    done, t = run_capped(ctx, True, len(runs), lambda lo, hi: store.mix(runs[lo:hi]), chunk=CHUNK // 10)
    ops = ends[done - 1] if done else 0
    written = {i for i, w in zip(picks[:ops], writes[:ops]) if w}
    verify(ctx, keys, sorted(written)[:200], lambda i: value(i, 1), "mixed")
    store.close()
    return {"value": ops / t, "unit": "ops/s", "ops": ops, "seconds": t}


def warm_free_memory(workdir: Path, size: int) -> None:
    """Writes and deletes a file of `size` bytes, untimed. On this virtual
    machine the first use of memory that earlier cells left to the page
    cache or gave back costs several times a reuse; a store writing a
    gigabyte then measured the machine's memory more than itself, and
    whichever store came first paid for it."""
    scratch = workdir / "warm.tmp"
    block = bytes(1 << 20)
    with open(scratch, "wb") as f:
        for _ in range(size // len(block) + 1):
            f.write(block)
    scratch.unlink()


def read_files(path: Path) -> None:
    """Reads every file under `path` once, untimed: the large reads measure
    the store on values in the page cache, not what the page cache kept of
    the stores' write cells (a gigabyte each, one store after another), which
    once sent one store's reads to the disk at a sixth of the others' rate."""
    files = [path] if path.is_file() else sorted(p for p in path.rglob("*") if p.is_file())
    for f in files:
        with open(f, "rb", buffering=0) as src:
            while src.read(1 << 20):
                pass


def w_large_write(ctx: Ctx, length: int = LARGE_LEN) -> dict[str, Any]:
    store, count = ctx.store, ctx.large * LARGE_LEN // length
    keys = store.prepare_keys([f"L{i:015d}" for i in range(count)])
    vals = make_values(range(count), 0, length)
    path = ctx.dir("large" if length == LARGE_LEN else "huge")
    shutil.rmtree(path, ignore_errors=True)
    path.parent.mkdir(parents=True, exist_ok=True)
    warm_free_memory(ctx.workdir, count * length)
    store.open(path)
    done, t = run_capped(ctx, True, count, lambda lo, hi: store.put(keys[lo:hi], vals[lo:hi]),
                         chunk=max(1, CHUNK * LARGE_LEN // length // 10))
    store.bulk_put(keys[done:], vals[done:])
    if store.name == "marrow":
        marrow_db(ctx).persist()  # so that later opens read a snapshot, not 1 GB of log
    store.close()
    return {"value": done * length / t / 1e6, "unit": "MB/s", "ops": done, "seconds": t}


def w_large_read(ctx: Ctx, length: int = LARGE_LEN) -> dict[str, Any]:
    store, count = ctx.store, ctx.large * LARGE_LEN // length
    keys = store.prepare_keys([f"L{i:015d}" for i in range(count)])
    picks = rng_for("large").sample(range(count), count)
    pk = [keys[i] for i in picks]
    path = ctx.dir("large" if length == LARGE_LEN else "huge")
    read_files(path)
    store.open(path)
    done, t = run_capped(ctx, False, count, lambda lo, hi: store.get(pk[lo:hi]), chunk=max(1, CHUNK * LARGE_LEN // length // 10))
    verify(ctx, keys, picks[:20], lambda i: value(i, 0, length), "large read")
    store.close()
    return {"value": done * length / t / 1e6, "unit": "MB/s", "ops": done, "seconds": t}


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


# ---------------------------------------------------------------------------
# Durable writes: each write is on the disk when its call returns. The stores
# overwrite random keys of a store of a given size with the values of
# generation 1, so the store keeps its size; the prepared writes are reused in
# turn until the time cap.


def durable_store(ctx: Ctx, size: int, open_store: Callable[[Path], None],
                  prepared: bool) -> list[Any]:
    """Opens with open_store a private store of `size` keys holding the fill's
    values: a copy of the prepared store (prepared, size n) or a store loaded
    untimed and brought to rest. Returns its keys."""
    store = ctx.store
    keys = store.prepare_keys(make_keys(size))
    if prepared:
        path = ctx.scratch_copy(ctx.source())
    else:
        path = ctx.dir("scratch")
        shutil.rmtree(path, ignore_errors=True)
        path.parent.mkdir(parents=True, exist_ok=True)
        store.open(path)
        step = CHUNK * 10
        for lo in range(0, size, step):
            hi = min(size, lo + step)
            store.bulk_put(keys[lo:hi], make_values(range(lo, hi), 0))
        store.checkpoint()
        store.close()
        os.sync()
    open_store(path)
    return keys


def durable_size(ctx: Ctx, prepared: bool) -> int:
    return ctx.n if prepared else SMALL_STORE


def verify_overwritten(ctx: Ctx, keys: list[Any], picks: list[int], what: str) -> None:
    touched = sorted(set(picks))
    verify(ctx, keys, rng_for("verify").sample(touched, min(len(touched), 200)),
           lambda i: value(i, 1), what)


def w_durable_put(ctx: Ctx, prepared: bool, option: bool = False) -> dict[str, Any]:
    """One write at a time, each durable before the next (option: marrow
    opened with sync=True, each write durable by itself)."""
    store, size = ctx.store, durable_size(ctx, prepared)
    opener = (lambda p: marrow(ctx).open_mapping(p, sync=True)) if option else store.open_durable
    keys = durable_store(ctx, size, opener, prepared)
    picks = rng_for(f"durable-put:{size}").choices(range(size), k=DURABLE_OPS)
    pk = [keys[i] for i in picks]
    pv = make_values(picks, 1)

    def write(lo: int, hi: int) -> None:
        o = lo % DURABLE_OPS  # a multiple of the chunk: no chunk wraps around
        store.durable_put(pk[o:o + hi - lo], pv[o:o + hi - lo])

    done, t = run_capped(ctx, True, 1 << 40, write, chunk=DURABLE_CHUNK)
    verify_overwritten(ctx, keys, picks[:done], "durable put")
    store.close()
    return {"value": done / t, "unit": "writes/s", "ops": done, "seconds": t,
            "store_keys": size}


def w_durable_batch(ctx: Ctx, prepared: bool) -> dict[str, Any]:
    """Batches of DURABLE_BATCH records, each durable before the next."""
    store, size = ctx.store, durable_size(ctx, prepared)
    keys = durable_store(ctx, size, store.open_durable, prepared)
    picks = rng_for(f"durable-batch:{size}").choices(range(size), k=DURABLE_OPS)
    pairs = list(zip([keys[i] for i in picks], make_values(picks, 1)))
    batches = [pairs[lo:lo + DURABLE_BATCH] for lo in range(0, len(pairs), DURABLE_BATCH)]

    def write(lo: int, hi: int) -> None:
        for j in range(lo, hi):
            store.durable_batch(batches[j % len(batches)])

    done, t = run_capped(ctx, True, 1 << 40, write, chunk=1)
    verify_overwritten(ctx, keys, picks[:done * DURABLE_BATCH], "durable batch")
    store.close()
    return {"value": done / t, "unit": "batches/s", "ops": done, "seconds": t,
            "keys_per_s": done * DURABLE_BATCH / t, "store_keys": size}


def _durable_threads(ctx: Ctx, keys: list[Any], size: int, nthreads: int) -> tuple[int, float]:
    """nthreads writers at once, each a durable_put at a time until the cap;
    returns (writes done, seconds)."""
    store = ctx.store
    per = DURABLE_OPS // nthreads // DURABLE_CHUNK * DURABLE_CHUNK
    counts = [0] * nthreads
    errors: list[BaseException] = []
    ready = threading.Barrier(nthreads + 1)
    go = threading.Event()
    deadline = [0.0]

    def writer(i: int) -> None:
        try:
            picks = rng_for(f"durable-threads:{nthreads}:{i}").choices(range(size), k=per)
            pk = [keys[j] for j in picks]
            pv = make_values(picks, 1)
            store.thread_start()
        except BaseException as e:
            errors.append(e)
            ready.abort()
            return
        ready.wait()
        go.wait()
        done = 0
        try:
            while time.perf_counter() < deadline[0]:
                o = done % per
                store.durable_put(pk[o:o + DURABLE_CHUNK], pv[o:o + DURABLE_CHUNK])
                done += DURABLE_CHUNK
        except BaseException as e:
            errors.append(e)
        counts[i] = done

    threads = [threading.Thread(target=writer, args=(i,)) for i in range(nthreads)]
    for th in threads:
        th.start()
    gc.collect()
    gc.disable()
    try:
        try:
            ready.wait()
        except threading.BrokenBarrierError:
            pass
        start = time.perf_counter()
        deadline[0] = start + ctx.cap
        go.set()
        for th in threads:
            th.join()
        t = time.perf_counter() - start
    finally:
        gc.enable()
    if errors:
        raise errors[0]
    return sum(counts), t


def w_durable_threads(ctx: Ctx) -> dict[str, Any]:
    """Durable writes from THREADS threads at once against one thread, in
    the same process on the same store."""
    store, size = ctx.store, SMALL_STORE
    keys = durable_store(ctx, size, store.open_durable, False)
    one, one_t = _durable_threads(ctx, keys, size, 1)
    many, many_t = _durable_threads(ctx, keys, size, THREADS)
    # Every key holds the fill's value or the overwrite's.
    bad = [i for i in rng_for("verify").sample(range(size), min(size, 200))
           if store.get_one(keys[i]) not in (value(i, 0), value(i, 1))]
    if bad:
        raise AssertionError(f"durable threads: {len(bad)} keys read back wrong")
    store.close()
    return {"value": many / many_t, "unit": "writes/s", "ops": many, "seconds": many_t,
            "threads": THREADS, "one_thread": one / one_t,
            "scaling": (many / many_t) / (one / one_t), "store_keys": size}


def w_sync_cost(ctx: Ctx, prepared: bool) -> dict[str, Any]:
    """marrow: the time of a sync() after SYNC_PUTS puts (the puts untimed)."""
    m, size = marrow(ctx), durable_size(ctx, prepared)
    keys = durable_store(ctx, size, m.open_durable, prepared)
    s, sync = m.store, m.sync
    picks = rng_for(f"sync-cost:{size}").choices(range(size), k=DURABLE_OPS)
    pk = [keys[i] for i in picks]
    pv = make_values(picks, 1)
    times: list[float] = []
    o = 0
    gc.collect()
    gc.disable()
    try:
        deadline = time.perf_counter() + ctx.cap
        while len(times) < 3 or time.perf_counter() < deadline:
            for k, v in zip(pk[o:o + SYNC_PUTS], pv[o:o + SYNC_PUTS]):
                s[k] = v
            o = (o + SYNC_PUTS) % DURABLE_OPS
            start = time.perf_counter()
            sync()
            times.append(time.perf_counter() - start)
    finally:
        gc.enable()
    verify_overwritten(ctx, keys, picks[:len(times) * SYNC_PUTS], "sync cost")
    m.close()
    times.sort()
    return {"value": sum(times) / len(times) * 1e6, "unit": "µs/sync",
            "median_us": times[len(times) // 2] * 1e6, "syncs": len(times),
            "store_keys": size}


def w_vacuum_gil(ctx: Ctx) -> dict[str, Any]:
    """marrow: a plain Python loop's rate while vacuum() runs in another
    thread, against its rate alone (the vacuum of w_vacuum)."""
    store, n = ctx.store, ctx.n
    keys = make_keys(n)
    half = rng_for("vacuum").sample(range(n), n // 2)
    path = ctx.scratch_copy("snap")
    store.open(path)
    store.put([keys[i] for i in half], make_values(half, 2))
    db = marrow_db(ctx)
    finished = threading.Event()
    errors: list[BaseException] = []

    def spin(deadline: float) -> int:
        count = 0
        while not finished.is_set() and time.perf_counter() < deadline:
            for _ in range(1_000):
                pass
            count += 1_000
        return count

    def vacuum() -> None:
        try:
            store.core.vacuum()  # StoreCore: lets other threads run
        except BaseException as e:
            errors.append(e)
        finally:
            finished.set()

    gc.collect()
    gc.disable()
    try:
        start = time.perf_counter()
        alone = spin(start + ctx.cap)
        alone_t = time.perf_counter() - start
        th = threading.Thread(target=vacuum)
        start = time.perf_counter()
        th.start()
        during = spin(float("inf"))
        th.join()
        vacuum_t = time.perf_counter() - start
    finally:
        gc.enable()
    if errors:
        raise errors[0]
    hs = set(half)
    verify(ctx, keys, range(0, n, max(1, n // 200)),
           lambda i: value(i, 2 if i in hs else 0), "vacuum")
    store.close()
    rate, alone_rate = during / vacuum_t, alone / alone_t
    return {"value": rate, "unit": "iterations/s", "iterations": during,
            "alone": alone_rate, "share": rate / alone_rate, "vacuum_seconds": vacuum_t}


# ---------------------------------------------------------------------------
# The registry: every workload in run order (later ones use the directories
# that earlier ones leave), and the rows of the report's tables.


def every(cls: type[Store]) -> bool:
    return True


def on_disk(cls: type[Store]) -> bool:
    return cls.persistent  # no I/O to measure in the in-memory store


def marrow_only(cls: type[Store]) -> bool:
    return cls.name == "marrow"


def durable(cls: type[Store]) -> bool:
    return cls.durable


PREPARED = ("fill", "persist")  # the filled store (marrow: persisted, its "snap")


@dataclass(frozen=True)
class Workload:
    name: str
    fn: Callable[[Ctx], dict[str, Any]]
    runs_on: Callable[[type[Store]], bool] = every
    needs: tuple[str, ...] = ()  # the workloads that prepare its directories
    nofsync: bool = False  # runs with fsync turned off (libeatmydata); skipped without it
    same_as: dict[str, str] = field(default_factory=dict)  # store: its cell of this workload
    group: str = ""  # --workloads takes a group's name for all of its workloads


def _p(fn: Callable[..., dict[str, Any]], **kw: Any) -> Callable[[Ctx], dict[str, Any]]:
    return functools.partial(fn, **kw)


WORKLOADS: dict[str, Workload] = {w.name: w for w in [
    Workload("fill", w_fill),
    # lmdb-1txn's fill is already the whole load in one transaction.
    Workload("batch-fill", w_batch_fill, same_as={"lmdb-1txn": "fill"}),
    Workload("batch-fill-commit", w_batch_fill_commit, marrow_only),
    Workload("batch-fill-random", w_batch_fill_random),
    Workload("persist", w_persist, marrow_only, ("fill",)),
    Workload("persist-nofsync", w_persist, marrow_only, ("fill",), nofsync=True),
    Workload("reopen", w_reopen, on_disk, PREPARED),
    Workload("replay", w_replay, marrow_only, ("fill",)),
    Workload("overwrite", w_overwrite, every, PREPARED),
    Workload("hot-get", w_hot_get, every, PREPARED),
    Workload("cold-get", w_cold_get, every, PREPARED),
    Workload("get-many", w_get_many, every, PREPARED),
    Workload("delete", w_delete, every, PREPARED),
    Workload("mixed", w_mixed, every, PREPARED),
    Workload("keys", w_keys, every, PREPARED),
    Workload("vacuum", w_vacuum, marrow_only, PREPARED),
    Workload("vacuum-nofsync", w_vacuum, marrow_only, PREPARED, nofsync=True),
    Workload("vacuum-gil", w_vacuum_gil, marrow_only, PREPARED),
    Workload("mem-fill", w_mem_fill),
    Workload("mem-reopen", w_mem_reopen, on_disk, PREPARED),
    Workload("mem-replay", w_mem_replay, marrow_only, ("fill",)),
    Workload("large-write", w_large_write, on_disk),
    Workload("large-read", w_large_read, on_disk, ("large-write",)),
    Workload("huge-write", _p(w_large_write, length=HUGE_LEN), on_disk),
    Workload("huge-read", _p(w_large_read, length=HUGE_LEN), on_disk, ("huge-write",)),
    Workload("large-vacuum", w_large_vacuum, marrow_only, ("large-write",)),
    Workload("large-vacuum-nofsync", w_large_vacuum, marrow_only, ("large-write",),
             nofsync=True),
    Workload("durable-put-small", _p(w_durable_put, prepared=False), durable, group="durable"),
    Workload("durable-put-big", _p(w_durable_put, prepared=True), durable, PREPARED,
             group="durable"),
    Workload("durable-put-option", _p(w_durable_put, prepared=False, option=True),
             marrow_only, group="durable"),
    Workload("durable-batch-small", _p(w_durable_batch, prepared=False), durable,
             group="durable"),
    Workload("durable-batch-big", _p(w_durable_batch, prepared=True), durable, PREPARED,
             group="durable"),
    Workload("durable-threads", w_durable_threads, durable, group="durable"),
    Workload("sync-cost-small", _p(w_sync_cost, prepared=False), marrow_only, group="durable"),
    Workload("sync-cost-big", _p(w_sync_cost, prepared=True), marrow_only, PREPARED,
             group="durable"),
]}


@dataclass(frozen=True)
class Row:
    """One row of a table: a figure of one workload's results."""

    workload: str
    label: str  # "{n}" stands for the run's number of keys
    higher: bool = True  # higher is better
    key: str = "value"  # the figure in the result
    unit: str = ""  # the figure's unit, when not the result's
    peers_from: str = ""  # marrow-only rows: the peers' figures are this workload's
    chart: bool = True  # a row of the chart's ratios

    def text(self, n: int) -> str:
        return self.label.replace("{n}", f"{n:,}")


THROUGHPUT_ROWS = [
    Row("fill", "sequential fill, one put per call (ops/s)"),
    Row("batch-fill", f"batch fill, {FILL_BATCH:,} records per batch (keys/s)"),
    Row("batch-fill-commit", f"batch fill through Store.set_many, {FILL_BATCH:,} records "
        "per call (keys/s)", peers_from="batch-fill"),
    Row("batch-fill-random", f"batch fill in random key order, {FILL_BATCH:,} records per "
        "batch (keys/s)"),
    Row("overwrite", "random overwrite (ops/s)"),
    Row("delete", "random delete of 10% (ops/s)"),
    Row("mixed", "random mix, 90% get, 10% put (ops/s)"),
    Row("hot-get", f"hot reads, {HOT_KEYS:,} keys (ops/s)"),
    Row("cold-get", "random reads, all keys (ops/s)"),
    Row("get-many", f"get_many, batches of {BATCH} (keys/s)"),
    Row("keys", "keys() (keys/s)"),
    Row("reopen", "reopen (entries/s)"),
    Row("large-write", "100 KiB writes (MB/s)"),
    Row("large-read", "100 KiB reads (MB/s)"),
    Row("huge-write", "1 MiB writes (MB/s)"),
    Row("huge-read", "1 MiB reads (MB/s)"),
    Row("mem-fill", "RSS after fill (bytes/key)", higher=False),
    Row("mem-reopen", "RSS after reopen (bytes/key)", higher=False),
]

DURABLE_ROWS = [
    Row("durable-put-small", f"durable single writes, {SMALL_STORE:,} keys (writes/s)"),
    Row("durable-put-big", "durable single writes, {n} keys (writes/s)"),
    Row("durable-put-option", f"durable single writes, open option sync=True, "
        f"{SMALL_STORE:,} keys (writes/s)", peers_from="durable-put-small", chart=False),
    Row("durable-batch-small", f"durable batches of {DURABLE_BATCH}, {SMALL_STORE:,} keys "
        "(batches/s)"),
    Row("durable-batch-big", f"durable batches of {DURABLE_BATCH}, {{n}} keys (batches/s)"),
    Row("durable-threads", f"durable writes from {THREADS} threads, {SMALL_STORE:,} keys "
        "(writes/s)", chart=False),
    Row("durable-threads", "the same from one thread (writes/s)", key="one_thread",
        chart=False),
    Row("durable-threads", f"{THREADS} threads over one thread", key="scaling", unit="x",
        chart=False),
    Row("sync-cost-small", f"sync() after {SYNC_PUTS} puts, {SMALL_STORE:,} keys (µs)",
        higher=False, chart=False),
    Row("sync-cost-big", f"sync() after {SYNC_PUTS} puts, {{n}} keys (µs)", higher=False,
        chart=False),
]
