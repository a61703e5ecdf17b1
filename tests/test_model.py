"""A Store's raw Marrow API and batch writes, and read-only Stores beside it,
against a plain model, over random sequences of calls.

The model knows, from the calls alone, every answer of the store (values,
delete's result, len, keys in record-id order, which keys the LRU cache holds) and
the files it must leave: the record files' lengths, the log's bytes, the
snapshot that persist and vacuum write and the record files after a vacuum.
"""

from __future__ import annotations

import contextlib
import io
import os
import shutil
import tempfile
from collections import OrderedDict
from pathlib import Path
from typing import Optional

from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, rule

import pytest

import marrow
from conftest import snapshot, sorted_snapshot, wal, wal_batch
from marrow import Marrow, Store

# Few keys, so that writes of one key often meet; empty, NUL and non-ASCII.
KEYS = st.text(alphabet="aé日\0", max_size=2)
VALUES = st.one_of(
    st.binary(max_size=12),
    # Records that cross the 8192-byte log buffer, and that bypass it.
    st.builds(lambda n, b: bytes([b]) * n, st.integers(2000, 12000), st.integers(0, 255)),
)
CACHE_SIZES = st.sampled_from([0, 1, 3, 8])
FLIPPED = bytes(255 - b for b in range(256))
OPS = st.lists(st.tuples(KEYS, st.none() | VALUES), max_size=5)  # a batch's puts and deletes


class Model:
    """The store's answers and files, computed from the calls alone."""

    def __init__(self, capacity: int, max_bytes: int = marrow._store.CACHE_BYTES) -> None:
        self.capacity, self.max_bytes = capacity, max_bytes
        self.live: dict[str, tuple[int, bytes]] = {}  # key -> (record id, value), in id order
        self.cache: OrderedDict[str, int] = OrderedDict()  # key -> value size, least recently used first
        # Changes since the last snapshot: one per record, or a batch's together.
        self.log: list[tuple[bool, list[tuple[str, Optional[bytes]]]]] = []
        self.base: dict[str, bytes] = {}  # the last snapshot's contents, in record order
        self.next_id = self.keys_end = self.vals_end = 0
        self.persisted = False

    def _cache_insert(self, key: str, size: int) -> None:
        if size > self.max_bytes // 1024:  # too large to cache
            self.cache.pop(key, None)
            return
        if key not in self.cache and self.cache and len(self.cache) >= self.capacity:
            self.cache.popitem(last=False)
        self.cache.pop(key, None)
        self.cache[key] = size  # now the most recently used
        while sum(self.cache.values()) > self.max_bytes and len(self.cache) > 1:
            self.cache.popitem(last=False)

    def _apply(self, key: str, val: Optional[bytes]) -> bool:
        """A put (or, for None, a delete) on the records and the cache; the delete's result."""
        if val is None:
            self.cache.pop(key, None)
            return self.live.pop(key, None) is not None
        self.live.pop(key, None)
        self.live[key] = (self.next_id, val)
        self.next_id, self.keys_end, self.vals_end = self.next_id + 1, self.keys_end + len(key.encode()), self.vals_end + len(val)
        self._cache_insert(key, len(val))
        return True

    def write(self, key: str, val: Optional[bytes]) -> bool:
        self.log.append((False, [(key, val)]))
        return self._apply(key, val)

    def commit(self, ops: list[tuple[str, Optional[bytes]]]) -> None:
        if ops:
            self.log.append((True, ops))
        for key, val in ops:
            self._apply(key, val)

    def changes(self) -> list[tuple[str, Optional[bytes]]]:
        return [op for _, ops in self.log for op in ops]

    def read(self, key: str) -> Optional[bytes]:
        if key not in self.live:  # the cache holds live keys only
            return None
        self._cache_insert(key, len(self.live[key][1]))
        return self.live[key][1]

    def snapshot_taken(self) -> None:
        self.log.clear()
        self.persisted, self.base = True, {k: v for k, (_, v) in self.live.items()}

    def reader_view(self, logged: int) -> dict[str, bytes]:
        """What a reader sees: the snapshot plus the whole records among the
        first `logged` bytes of the log, in record order."""
        view, end = dict(self.base), 0
        for batch, ops in self.log:
            end += len(wal_batch(ops) if batch else wal(*ops[0]))
            if end > logged:
                break
            for key, val in ops:
                view.pop(key, None)
                if val is not None:
                    view[key] = val
        return view

    def vacuum(self) -> None:
        self.live = {k: (i, v) for i, (k, (_, v)) in enumerate(self.live.items())}
        self.next_id, self.keys_end, self.vals_end = len(self.live), sum(len(k.encode()) for k in self.live), sum(len(v) for _, v in self.live.values())
        self.cache.clear()

    def reopen(self, capacity: int) -> None:
        """A new open: the snapshot, then the log replayed through a new cache."""
        self.capacity, self.cache = capacity, OrderedDict()
        if not self.persisted:  # replayed from record id 0, appended to the files again
            self.live, self.next_id = {}, 0
        for key, val in self.changes():
            if not self.persisted:
                self._apply(key, val)
            elif val is None:
                self.cache.pop(key, None)
            else:
                self._cache_insert(key, len(val))

    def wal_bytes(self) -> bytes:
        return b"".join(wal_batch(ops) if batch else wal(*ops[0]) for batch, ops in self.log)

    def snapshot_bytes(self) -> bytes:
        ids = {k: r for k, (r, _) in self.live.items()}
        dead = set(range(self.next_id)) - set(ids.values())
        return snapshot(ids, ids.values(), dead, self.next_id, self.keys_end, self.vals_end)


class StoreMachine(RuleBasedStateMachine):
    def __init__(self) -> None:
        super().__init__()
        self.dir = Path(tempfile.mkdtemp(prefix="marrow-model-"))
        self.store: Optional[Store] = None  # the writer
        self.reader: Optional[Store] = None
        self.model = Model(0)

    @property
    def db(self) -> Marrow:
        assert self.store is not None
        return self.store.raw

    def file(self, name: str) -> bytes:
        return (self.dir / name).read_bytes()

    def listing(self) -> dict[str, tuple[int, bytes]]:
        return {e.name: (e.inode(), Path(e.path).read_bytes()) for e in os.scandir(self.dir)}

    @initialize(cache_size=CACHE_SIZES, sync=st.booleans(), cache_bytes=st.sampled_from([marrow._store.CACHE_BYTES, 16 * 1024]))
    def open(self, cache_size: int, sync: bool, cache_bytes: int) -> None:
        """The package's cache bound in bytes: 16 KiB caches values of at most 16 bytes."""
        self.model = Model(cache_size, cache_bytes)
        self.store = marrow.open(self.dir, cache_size, sync=sync, cache_bytes=cache_bytes)

    @property
    def mapping(self) -> Store:
        assert self.store is not None
        return self.store

    def synced(self) -> None:
        """A store opened with sync=True has its whole log on disk after a change through the mapping."""
        if self.mapping.sync_writes:
            assert self.file("wal.bin") == self.model.wal_bytes()

    @rule(key=KEYS, val=VALUES, mapping=st.booleans())
    def set_bytes(self, key: str, val: bytes, mapping: bool) -> None:
        if mapping:
            self.mapping[key] = val
        else:
            assert self.db.set_bytes(key, val) is None
        self.model.write(key, val)
        if mapping:
            self.synced()

    @rule(items=st.lists(st.tuples(KEYS, VALUES), max_size=5), bad=st.sampled_from([None, 1, "text", (b"k", b"v")]))
    def set_many(self, items: list[tuple[str, bytes]], bad: object) -> None:
        """A batch stores as the same set_bytes calls would; any bad item
        refuses the whole batch before anything is logged."""
        assert self.store is not None
        if bad is None:
            assert self.store.set_many(iter(items)) is None
            self.model.commit(list(items))
            self.synced()
        else:
            with pytest.raises(TypeError):
                self.store.set_many(items + [("k", bad) if isinstance(bad, (int, str)) else bad])  # type: ignore[list-item]

    def commit(self, ops: list[tuple[str, Optional[bytes]]], sync: bool, fail: bool = False) -> None:
        assert self.store is not None
        with self.store.batch(sync=sync) as b:
            buffers = []  # values given as buffers, changed before the block ends
            for key, val in ops:
                if val is None:
                    del b[key]
                else:
                    buffers.append(bytearray(val))
                    b[key] = (val, buffers[-1], memoryview(buffers[-1]))[len(buffers) % 3]
            for buffer in buffers:
                buffer[:] = buffer.translate(FLIPPED)
            assert len(b) == len(ops)
            if fail:
                raise KeyError("discard")

    @rule(ops=OPS, fail=st.booleans(), sync=st.booleans())
    def batch(self, ops: list[tuple[str, Optional[bytes]]], fail: bool, sync: bool) -> None:
        """Puts and deletes committed as one frame when the block ends; an
        exception in the block discards them."""
        with pytest.raises(KeyError) if fail else contextlib.nullcontext():
            self.commit(ops, sync, fail)
        if not fail:
            self.model.commit(ops)
        if sync and not fail:
            assert self.file("wal.bin") == self.model.wal_bytes()

    @rule()
    def sync(self) -> None:
        """The whole log is on disk (and synced) when sync() returns."""
        assert self.store is not None
        assert self.store.sync() is None
        assert self.file("wal.bin") == self.model.wal_bytes()

    @rule(cache_size=CACHE_SIZES, fresh=st.booleans())
    def read_only(self, cache_size: int, fresh: bool) -> None:
        """A reader sees the snapshot plus what of the log reached wal.bin,
        writes nothing, and refuses changes."""
        before = self.listing()
        if fresh or self.reader is None:
            self.reader = marrow.open(self.dir, cache_size, readonly=True)
        else:
            self.reader.refresh()
        view = self.model.reader_view(len(self.file("wal.bin")))
        assert list(self.reader) == list(view) and len(self.reader) == len(view) and self.reader.readonly
        assert self.reader.get_many(list(view) + ["absent\n"]) == list(view.items()) + [("absent\n", None)]
        for change in [Store.persist, Store.vacuum, lambda r: r.raw.delete("k"), lambda r: r.update(k=b"v"), lambda r: r.raw.set_bytes("k", b"v")]:
            with pytest.raises(io.UnsupportedOperation):
                change(self.reader)
        assert self.listing() == before

    @rule(key=KEYS, mapping=st.booleans())
    def delete(self, key: str, mapping: bool) -> None:
        if not mapping:
            assert self.db.delete(key) is self.model.write(key, None)
            return
        with contextlib.nullcontext() if key in self.model.live else pytest.raises(KeyError):
            del self.mapping[key]
        self.model.write(key, None)
        self.synced()

    @rule(key=KEYS, how=st.sampled_from(["raw", "get", "default", "item", "in"]))
    def get_bytes(self, key: str, how: str) -> None:
        """A read through the raw class or the mapping, which act on the cache alike."""
        m, expected = self.mapping, self.model.read(key)
        if how == "item":
            with contextlib.nullcontext() if expected is not None else pytest.raises(KeyError):
                assert m[key] == expected
        elif how == "in":
            assert (key in m) is (expected is not None)
        elif how == "default":
            assert m.get(key, b"\0") == (b"\0" if expected is None else expected)
        else:
            assert {"raw": self.db.get_bytes, "get": m.get}[how](key) == expected

    @rule(keys=st.lists(KEYS, max_size=6))
    def get_many(self, keys: list[str]) -> None:
        assert self.db.get_many(keys) == [(k, self.model.read(k)) for k in keys]

    @rule()
    def clear_cache(self) -> None:
        assert self.db.clear_cache() is None
        self.model.cache.clear()

    @rule(vacuum=st.booleans())
    def persist(self, vacuum: bool) -> None:
        """persist() or vacuum(), then the snapshot; after a vacuum, the records."""
        assert (self.db.vacuum() if vacuum else self.db.persist()) is None
        if vacuum:
            self.model.vacuum()
            assert self.file("keys.bin") == "".join(self.model.live).encode()
            assert self.file("vals.bin") == b"".join(v for _, v in self.model.live.values())
        self.model.snapshot_taken()
        assert sorted_snapshot(self.file("snapshot.bin")) == self.model.snapshot_bytes()
        assert self.file("wal.bin") == b""

    @rule(cache_size=CACHE_SIZES, overlapping=st.booleans())
    def reopen(self, cache_size: int, overlapping: bool) -> None:
        # Overlapping: the new object is opened while the old one still lives.
        sync = self.mapping.sync_writes
        if not overlapping:
            self.store = None
        self.store = marrow.open(self.dir, cache_size, sync=sync, cache_bytes=self.model.max_bytes)
        assert self.file("wal.bin") == self.model.wal_bytes()
        self.model.reopen(cache_size)

    @invariant()
    def answers_and_files_match(self) -> None:
        m = self.model
        assert (self.db.len(), self.db.keys(), self.db.cache_stats()) == (len(m.live), list(m.live), (len(m.cache), m.capacity))
        assert [(self.dir / name).stat().st_size for name in ("keys.bin", "vals.bin")] == [m.keys_end, m.vals_end]
        # The log on disk is a prefix of the logged records; at most one
        # buffer's worth is still in memory.
        logged, expected = self.file("wal.bin"), m.wal_bytes()
        assert expected.startswith(logged) and len(expected) - len(logged) <= 8192
        # The keys of the model's LRU cache read as stored with every byte of
        # vals.bin changed behind the store. Read newest first, each a hit
        # that reverses the order, which the next eviction shows.
        data, keys = self.file("vals.bin"), list(reversed(m.cache))
        with open(self.dir / "vals.bin", "r+b", buffering=0) as f:
            f.write(data.translate(FLIPPED))
            try:
                assert [self.db.get_bytes(k) for k in keys] == [m.read(k) for k in keys]
            finally:
                f.seek(0)
                f.write(data)

    def teardown(self) -> None:
        self.store = self.reader = None
        shutil.rmtree(self.dir, ignore_errors=True)


StoreMachine.TestCase.settings = settings(
    max_examples=100, stateful_step_count=35, derandomize=True, database=None, deadline=None, suppress_health_check=list(HealthCheck)
)
TestStore = StoreMachine.TestCase
