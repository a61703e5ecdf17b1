"""The benchmark's seeded data and sizes, the same in every process."""
from __future__ import annotations

import random
from typing import Iterable

SEED = 20240601
VAL_LEN = 100
LARGE_LEN = 100 * 1024
HUGE_LEN = 1 << 20  # the 1 MiB values, as many bytes in all as the 100 KiB ones
MIX_WRITES = 0.1  # the mixed workload's share of writes
HOT_KEYS = 5_000  # fits marrow's default value cache of 10,000 entries
BATCH = 100  # keys per get_many call
FILL_BATCH = 1_000  # records per batch write in the batch fill
# Memory written and freed before a batch fill, per key: more than any store
# writes of a small record (marrow: the log, and the three record files).
FILL_WARM_BYTES_PER_KEY = 300
CHUNK = 1_000  # operations between two checks of the time cap
POOL_LEN = 1 << 20

# Durable writes: each operation waits on the disk (about a millisecond), so
# the time cap is checked every few operations.
SMALL_STORE = 10_000  # the small store of the durable workloads
DURABLE_BATCH = 100  # records per durable batch
SYNC_PUTS = 100  # puts before each timed sync() in the sync cost
THREADS = 4  # writer threads of the concurrent durable writes
DURABLE_CHUNK = 4  # durable operations between two checks of the time cap
DURABLE_OPS = 20_000  # prepared durable operations, reused in turn


def make_keys(n: int) -> list[str]:
    return [f"k{i:015d}" for i in range(n)]


_POOL: bytes | None = None


def pool() -> bytes:
    global _POOL
    if _POOL is None:
        _POOL = random.Random(SEED).randbytes(POOL_LEN + HUGE_LEN)
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
