"""Random sequences of operations against a plain model of the store.

The model keeps the live keys in the order of their latest write and the
value cache as an exact least-recently-used list, so every answer of the
store (values, len, keys and cache_stats) is checked after every step,
across persist, vacuum and drop-and-reopen.
"""

from __future__ import annotations

import shutil
import tempfile
from collections import OrderedDict
from typing import Optional

from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, rule

from marrow import Marrow

KEYS = st.sampled_from(["", "a", "b", "c", "dd", "é", "key-six", "日本"])
VALUES = st.one_of(
    st.binary(max_size=24),
    # Large values make log records straddle the 8192-byte log buffer.
    st.builds(lambda n, b: bytes([b]) * n, st.integers(1500, 9000), st.integers(0, 255)),
)


class StoreModel(RuleBasedStateMachine):
    def __init__(self) -> None:
        super().__init__()
        self.dir = tempfile.mkdtemp(prefix="marrow-model-")
        self.store: Optional[Marrow] = None
        self.cache_size: Optional[int] = None
        self.data: OrderedDict[str, bytes] = OrderedDict()
        self.cache: OrderedDict[str, None] = OrderedDict()
        # Writes since the last persist or vacuum: what a reopen replays.
        self.log: list[tuple[str, Optional[bytes]]] = []

    @property
    def capacity(self) -> int:
        return 10000 if self.cache_size is None else self.cache_size

    def _open(self) -> Marrow:
        if self.cache_size is None:
            return Marrow(self.dir)
        return Marrow(self.dir, self.cache_size)

    def _cache_insert(self, key: str) -> None:
        if key not in self.cache and self.cache and len(self.cache) >= self.capacity:
            self.cache.popitem(last=False)
        self.cache[key] = None
        self.cache.move_to_end(key)

    def _model_read(self, key: str) -> Optional[bytes]:
        if key in self.cache:
            self.cache.move_to_end(key)
        elif key in self.data:
            self._cache_insert(key)
        return self.data.get(key)

    @initialize(cache_size=st.sampled_from([0, 1, 3, None]))
    def start(self, cache_size: Optional[int]) -> None:
        self.cache_size = cache_size
        self.store = self._open()

    @rule(key=KEYS, val=VALUES)
    def set_bytes(self, key: str, val: bytes) -> None:
        assert self.store is not None
        assert self.store.set_bytes(key, val) is None
        self.data.pop(key, None)
        self.data[key] = val
        self._cache_insert(key)
        self.log.append((key, val))

    @rule(key=KEYS)
    def delete(self, key: str) -> None:
        assert self.store is not None
        assert self.store.delete(key) is (key in self.data)
        self.data.pop(key, None)
        self.cache.pop(key, None)
        self.log.append((key, None))

    @rule(key=KEYS)
    def get_bytes(self, key: str) -> None:
        assert self.store is not None
        assert self.store.get_bytes(key) == self._model_read(key)

    @rule(keys=st.lists(KEYS, max_size=5))
    def get_many(self, keys: list[str]) -> None:
        assert self.store is not None
        expected = [(k, self._model_read(k)) for k in keys]
        assert self.store.get_many(keys) == expected

    @rule()
    def clear_cache(self) -> None:
        assert self.store is not None
        assert self.store.clear_cache() is None
        self.cache.clear()

    @rule()
    def persist(self) -> None:
        assert self.store is not None
        assert self.store.persist() is None
        self.log.clear()

    @rule()
    def vacuum(self) -> None:
        assert self.store is not None
        assert self.store.vacuum() is None
        self.cache.clear()
        self.log.clear()

    @rule()
    def reopen(self) -> None:
        self.store = None  # the only reference: closes the store
        self.store = self._open()
        # The replay passes every logged put through a fresh cache.
        self.cache.clear()
        for key, val in self.log:
            if val is None:
                self.cache.pop(key, None)
            else:
                self._cache_insert(key)

    @invariant()
    def answers_match(self) -> None:
        if self.store is None:
            return
        assert self.store.len() == len(self.data)
        assert self.store.keys() == list(self.data)
        assert self.store.cache_stats() == (len(self.cache), self.capacity)

    def teardown(self) -> None:
        self.store = None
        shutil.rmtree(self.dir, ignore_errors=True)


StoreModel.TestCase.settings = settings(
    max_examples=60,
    database=None,
    stateful_step_count=25,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)
TestStoreModel = StoreModel.TestCase
